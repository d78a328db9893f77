#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "platform/files.h"

namespace platform {

const char* const Text_line_end = "\r\n";

namespace {

int errno_of(DWORD e) {
    switch (e) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_PATHNAME:
        return -ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
        return -EACCES;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return -EBUSY;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return -EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return -ENOSPC;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return -ENOMEM;
    case ERROR_FILENAME_EXCED_RANGE:
        return -ENAMETOOLONG;
    case ERROR_DIRECTORY:
        return -ENOTDIR;
    case ERROR_CANT_RESOLVE_FILENAME:
        return -ELOOP;
    default:
        return -EIO;
    }
}

bool is_directory(const std::string& path) {
    const DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

int write_all(HANDLE h, std::string_view bytes) {
    while (!bytes.empty()) {
        const DWORD chunk = bytes.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(bytes.size());
        DWORD n = 0;
        if (!WriteFile(h, bytes.data(), chunk, &n, nullptr)) return errno_of(GetLastError());
        bytes.remove_prefix(n);
    }
    return 0;
}

// What an opened handle is: 0 for a regular file, -EINVAL for a directory,
// a device or a pipe, -ELOOP for a link (opened as itself, never followed).
int check_regular(HANDLE h) {
    if (GetFileType(h) != FILE_TYPE_DISK) return -EINVAL;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) return errno_of(GetLastError());
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return -ELOOP;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return -EINVAL;
    return 0;
}

// A new file beside path under a name nobody has taken: CREATE_NEW refuses
// a name that exists, a link planted there included.
HANDLE create_beside(const std::string& path, std::string& temp, int& error) {
    const size_t slash = path.find_last_of("\\/");
    const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    static std::mt19937 random{std::random_device{}()};
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp = dir + "." + name + "." + std::to_string(GetCurrentProcessId()) + "." +
               std::to_string(random() % 1000000);
        HANDLE h = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) return h;
        const DWORD e = GetLastError();
        if (e != ERROR_FILE_EXISTS && e != ERROR_ALREADY_EXISTS) {
            error = errno_of(e);
            return INVALID_HANDLE_VALUE;
        }
    }
    error = -EEXIST;
    return INVALID_HANDLE_VALUE;
}

}  // namespace

int replace_file(const std::string& path, std::string_view bytes) {
    std::string temp;
    int r = 0;
    HANDLE h = create_beside(path, temp, r);
    if (h == INVALID_HANDLE_VALUE) return r;
    r = write_all(h, bytes);
    // On the disk before the name moves: a crash leaves the old file or the
    // whole new one.
    if (r == 0 && !FlushFileBuffers(h)) r = errno_of(GetLastError());
    if (!CloseHandle(h) && r == 0) r = errno_of(GetLastError());
    // rename() of the C runtime does not replace an existing file here. A
    // reader that has the old file open without sharing its deletion holds
    // the move up for a moment: tried again briefly.
    for (int attempt = 0; r == 0; ++attempt) {
        if (MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) break;
        const DWORD e = GetLastError();
        const bool held = (e == ERROR_SHARING_VIOLATION || e == ERROR_ACCESS_DENIED) && !is_directory(path);
        if (!held || attempt == 10) {
            r = is_directory(path) ? -EISDIR : errno_of(e);
            break;
        }
        Sleep(10);
    }
    if (r != 0) DeleteFileA(temp.c_str());
    return r;
}

int append_file(const std::string& path, std::string_view bytes) {
    // FILE_APPEND_DATA alone: every write lands at the end, whoever else
    // appends meanwhile.
    HANDLE h = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        return e == ERROR_ACCESS_DENIED && is_directory(path) ? -EISDIR : errno_of(e);
    }
    int r = check_regular(h);
    if (r == 0) r = write_all(h, bytes);
    if (!CloseHandle(h) && r == 0) r = errno_of(GetLastError());
    return r;
}

int remove_file(const std::string& path) {
    // A link is removed itself, never what it leads to.
    if (DeleteFileA(path.c_str())) return 0;
    const DWORD e = GetLastError();
    return e == ERROR_ACCESS_DENIED && is_directory(path) ? -EISDIR : errno_of(e);
}

int read_regular_file(const std::string& path, std::size_t limit, std::string& out) {
    // Others may go on writing, renaming or deleting the file meanwhile; a
    // link is opened as itself and refused, never followed.
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        return e == ERROR_ACCESS_DENIED && is_directory(path) ? -EINVAL : errno_of(e);
    }
    int r = check_regular(h);
    if (r == -ELOOP) r = -EINVAL;
    LARGE_INTEGER size{};
    if (r == 0 && !GetFileSizeEx(h, &size)) r = errno_of(GetLastError());
    if (r == 0 && static_cast<unsigned long long>(size.QuadPart) > limit) r = -EFBIG;
    std::string text;
    char buf[65536];
    while (r == 0) {
        DWORD n = 0;
        if (!ReadFile(h, buf, sizeof buf, &n, nullptr)) {
            r = errno_of(GetLastError());
            break;
        }
        if (n == 0) break;
        if (text.size() + n > limit) {
            r = -EFBIG;
            break;
        }
        text.append(buf, n);
    }
    CloseHandle(h);
    if (r == 0) out = std::move(text);
    return r;
}

std::string error_text(int neg_errno) {
    // The C runtime knows only the classic codes.
    switch (-neg_errno) {
    case ELOOP: return "Too many levels of symbolic links";
    case EFBIG: return "File too large";
    case ENAMETOOLONG: return "File name too long";
    case EWOULDBLOCK: return "Resource temporarily unavailable";
    case ETIMEDOUT: return "Connection timed out";
    case EPROTO: return "Protocol error";
    default: return std::strerror(-neg_errno);
    }
}

}  // namespace platform
