#include "diag/diag.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "diag/serial_errors.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/process.h"

std::string Work_dir;

const SerialErrorName Serial_error_names[] = {
#define STRAVON_SERIAL_ERROR_ROW(id, number, name) {name, number},
    STRAVON_SERIAL_ERRORS(STRAVON_SERIAL_ERROR_ROW)
#undef STRAVON_SERIAL_ERROR_ROW
    {"NEDEFINOVANA CHYBA", -1},
};

int Read_work_dir()
{
    Work_dir = platform::current_directory();
    return static_cast<int>(Work_dir.size());
}

bool work_path(const char* name, std::string& out)
{
    if (Work_dir.empty() || name == nullptr) return false;
    std::string path = Work_dir;
    if (path.back() != '/') path += '/';
    path += name;
    if (path.size() > Max_path_length) return false;
    out = std::move(path);
    return true;
}

namespace {

// Said once on standard error for each reason the log cannot be written,
// not at every line: the journal has the lines themselves.
void say_log_unwritable(const std::string& path, int err)
{
    static int said = 0;
    if (err == said) return;
    said = err;
    const std::string why = err == -ELOOP ? "je odkaz, pres ktery se nezapisuje"
                            : err == -EINVAL ? "neni obycejny soubor"
                                             : "nelze zapsat: " + platform::error_text(err);
    std::fprintf(stderr, "stravon: protokol %s %s\n", path.c_str(), why.c_str());
    std::fflush(stderr);
}

int append_log_line(std::string_view text) noexcept
{
    try {
        const platform::LocalTime t = platform::local_time_now();
        char stamp[64];
        std::snprintf(stamp, sizeof stamp, "%02d/%02d/%04d %02d:%02d:%02d - ", t.day, t.month, t.year, t.hour,
                      t.minute, t.second);
        std::string line = stamp;
        line.append(text);
        // The journal gets the line even when the file cannot.
        const std::string journal = platform::cp1250_to_utf8(line) + "\n";
        std::fwrite(journal.data(), 1, journal.size(), stderr);
        std::fflush(stderr);
        std::string path;
        if (!work_path("errorlog.txt", path)) return -1;
        line += platform::Text_line_end;
        const int r = platform::append_file(path, line);
        if (r < 0) say_log_unwritable(path, r);
        return r < 0 ? -1 : 0;
    } catch (...) {
        return -1;
    }
}

}  // namespace

int Log_error(std::string_view text)
{
    try {
        return append_log_line(platform::utf8_to_cp1250(text));
    } catch (...) {
        return -1;
    }
}

int Log_error_bytes(std::string_view raw) { return append_log_line(raw); }

int Log_long_line(std::string_view raw)
{
    if (raw.size() <= Max_logged_line) return append_log_line(raw);
    std::string cut(raw.substr(0, Max_logged_line));
    cut += "... (" + std::to_string(raw.size()) + " znaku)";
    return append_log_line(cut);
}

const char* serial_error_name(int code)
{
    // Widened so that the most negative int has a magnitude too.
    long long n = code < 0 ? -static_cast<long long>(code) : code;
    const SerialErrorName* row = Serial_error_names;
    while (row->number != -1 && row->number != n) ++row;
    return row->name;
}

int Log_serial_error(int code)
{
    long long n = code < 0 ? -static_cast<long long>(code) : code;
    char text[96];
    std::snprintf(text, sizeof text, "Chyba RS232 cislo: %lld  %s", -n, serial_error_name(code));
    return Log_error(text);
}

int Write_status(int a, int b)
{
    try {
        std::string path;
        if (!work_path("porcom.sta", path)) return -1;
        char line[32];
        std::snprintf(line, sizeof line, "%d,%d", a, b);
        // Written aside and renamed, so the reader never meets a half-written line.
        const int r = platform::replace_file(path, std::string(line) + platform::Text_line_end);
        if (r == 0) return 0;
        // The status of the request before must not pass for this one's.
        const int removed = platform::remove_file(path);
        Log_error("Status " + std::string(line) + " nelze zapsat do porcom.sta (" + platform::error_text(r) + "), " +
                  (removed == 0 || removed == -ENOENT ? "stary soubor porcom.sta je smazan"
                                                      : "stary soubor porcom.sta nelze smazat (" +
                                                            platform::error_text(removed) + ")"));
        return -1;
    } catch (...) {
        return -1;
    }
}

char* GetWorkDir(char* dest256)
{
    if (dest256 == nullptr) return dest256;
    if (Work_dir.size() <= Max_work_dir_length) {
        std::memcpy(dest256, Work_dir.c_str(), Work_dir.size() + 1);
    } else {
        dest256[0] = '\0';
    }
    return dest256;
}

std::string GetWorkDir() { return Work_dir; }
