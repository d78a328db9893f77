#include "diag/diag.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include "diag/serial_errors.h"
#include "platform/codepage.h"
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

int append_log_line(std::string_view text) noexcept
{
    try {
        std::time_t now = std::time(nullptr);
        std::tm local{};
        if (localtime_r(&now, &local) == nullptr) return -1;
        char stamp[64];
        std::snprintf(stamp, sizeof stamp, "%02d/%02d/%04d %02d:%02d:%02d - ", local.tm_mday,
                      local.tm_mon + 1, local.tm_year + 1900, local.tm_hour, local.tm_min,
                      local.tm_sec);
        std::string line = stamp;
        line.append(text);
        line += '\n';
        // The journal gets the line even when the file cannot.
        const std::string journal = platform::cp1250_to_utf8(line);
        std::fwrite(journal.data(), 1, journal.size(), stderr);
        std::fflush(stderr);
        std::string path;
        if (!work_path("errorlog.txt", path)) return -1;
        std::FILE* f = std::fopen(path.c_str(), "ae");
        if (f == nullptr) return -1;
        bool written = std::fwrite(line.data(), 1, line.size(), f) == line.size();
        int closed = std::fclose(f);
        return written && closed == 0 ? 0 : -1;
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
        int len = std::snprintf(line, sizeof line, "%d,%d\n", a, b);
        // Written aside and renamed, so the reader never meets a half-written line.
        std::string temp = path + ".tmp";
        int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0) return -1;
        bool ok = ::write(fd, line, size_t(len)) == len;
        ok = ::fsync(fd) == 0 && ok;
        ok = ::close(fd) == 0 && ok;
        if (ok) ok = std::rename(temp.c_str(), path.c_str()) == 0;
        if (!ok) {
            ::unlink(temp.c_str());
            return -1;
        }
        return 0;
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
