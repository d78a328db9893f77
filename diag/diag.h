// Working directory, error log, serial error names and the status file.
#pragma once
#include <string>
#include <string_view>

// The process's current directory as taken once at start, without a trailing
// "/" (except for the root itself). Files of the program are built from it.
extern std::string Work_dir;

// Longest path built from Work_dir, and thus the longest usable Work_dir
// (254 characters plus "/" leaves no room, so real names need less).
constexpr size_t Max_path_length = 255;
constexpr size_t Max_work_dir_length = 254;

struct SerialErrorName {
    const char* name;
    int number;
};
// Rows 1..42 and 75 in the driver's order, then the end row with number -1.
extern const SerialErrorName Serial_error_names[];

// Takes the current directory into Work_dir; returns its length (0 on failure).
// A directory longer than Max_work_dir_length is kept, but every path built
// from it is refused, so nothing is written anywhere else instead.
int Read_work_dir();

// Work_dir + "/" + name into out; false (out untouched) when Work_dir is
// empty or the result would be longer than Max_path_length.
bool work_path(const char* name, std::string& out);

// Appends "dd/mm/yyyy hh:mm:ss - text\n" (local time) to errorlog.txt in
// Work_dir; text is UTF-8 and is written in Windows-1250. The same line goes
// to standard error in UTF-8, for the journal. 0 on success, nonzero when the
// line could not be written to the file. Never throws.
int Log_error(std::string_view text);
// The same line with text written byte for byte, without conversion.
int Log_error_bytes(std::string_view raw);
// Longest part of an outside line (a command, a request line) that goes into the log.
constexpr size_t Max_logged_line = 200;
// Logs raw bytes of an outside line: at most Max_logged_line of them, and
// then how long the whole line was.
int Log_long_line(std::string_view raw);

// Name of a driver error code, whatever its sign; "NEDEFINOVANA CHYBA" when unknown.
const char* serial_error_name(int code);
// Logs "Chyba RS232 cislo: -n  NAME" for the code.
int Log_serial_error(int code);

// Replaces porcom.sta in Work_dir with the one line "a,b\n". A reader sees
// either the old or the new file, never a part of a line. 0 on success.
int Write_status(int a, int b);

// Copies Work_dir into dest (room for 256 characters with the terminator);
// an empty string when Work_dir is longer than Max_work_dir_length. Returns dest.
char* GetWorkDir(char* dest256);
std::string GetWorkDir();
