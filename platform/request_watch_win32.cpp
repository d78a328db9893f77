// The request file on Windows. A writer that still has the file open shows
// itself: the file cannot be opened for reading without sharing writes.
// ReadDirectoryChangesW tells a file renamed into place (taken at once) from
// one written in place (taken once it has stood still); where the directory
// says nothing (some network shares), the looks alone decide by the file's
// size and time. The look never opens anything that is not a regular file of
// the directory: a name like COM1 would otherwise open the serial port.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <chrono>
#include <cstring>
#include <cwctype>

#include "platform/request_watch.h"

namespace platform {

namespace {

int64_t steady_us() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

// 100 ns units since 1601, as nanoseconds.
int64_t file_time_ns(const FILETIME& t) {
    return int64_t((uint64_t(t.dwHighDateTime) << 32 | t.dwLowDateTime) * 100);
}

int64_t wall_ns() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return file_time_ns(now);
}

// Paths are in the program's ANSI code page, as GetCurrentDirectoryA gives them.
std::wstring widen(const std::string& s) {
    if (s.empty()) return {};
    const int n = MultiByteToWideChar(CP_ACP, 0, s.data(), int(s.size()), nullptr, 0);
    std::wstring w(size_t(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_ACP, 0, s.data(), int(s.size()), w.data(), n);
    return w;
}

bool same_name(const wchar_t* a, size_t a_len, const std::wstring& b) {
    return CompareStringOrdinal(a, int(a_len), b.data(), int(b.size()), TRUE) == CSTR_EQUAL;
}

// CON, NUL, COM1, LPT1 ... (with any extension) name devices in every directory.
bool names_a_device(const std::wstring& name) {
    std::wstring base = name.substr(0, name.find(L'.'));
    while (!base.empty() && (base.back() == L' ' || base.back() == L':')) base.pop_back();
    for (wchar_t& c : base) c = wchar_t(std::towupper(c));
    for (const wchar_t* d : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$", L"CLOCK$"})
        if (base == d) return true;
    return base.size() == 4 && (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0) &&
           base[3] >= L'0' && base[3] <= L'9';
}

}  // namespace

struct RequestWatch::Impl {
    std::wstring path, dir, name;
    int64_t settle_us = 0;
    // Two looks this far apart that find the file unchanged confirm its time.
    int64_t relook_us = 0;
    HANDLE wake = nullptr;

    // The directory's changes, read overlapped.
    HANDLE dir_handle = INVALID_HANDLE_VALUE;
    HANDLE changed = nullptr;
    OVERLAPPED ov{};
    alignas(DWORD) char buf[16384];
    bool reading = false;

    // What the changes told about the file since it came into being: known
    // only when its creation (or its rename into place) was seen.
    bool counted = false;
    bool moved_in = false;  // renamed into place and not written since
    int64_t last_write_us = 0;

    // The size-and-time rule: when this identity was first seen.
    RequestIdentity seen;
    int64_t seen_since_us = 0;

    void forget() {
        counted = false;
        moved_in = false;
    }

    bool arm() {
        ResetEvent(changed);
        ov = OVERLAPPED{};
        ov.hEvent = changed;
        reading = ReadDirectoryChangesW(dir_handle, buf, sizeof buf, FALSE,
                                        FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                                            FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE,
                                        nullptr, &ov, nullptr) != 0;
        return reading;
    }

    // Takes the changes that have come; true when one was about the file.
    bool take_changes() {
        if (!reading) return false;
        DWORD n = 0;
        if (!GetOverlappedResult(dir_handle, &ov, &n, FALSE)) {
            if (GetLastError() == ERROR_IO_INCOMPLETE) return false;
            n = 0;
        }
        bool ours = false;
        const int64_t now = steady_us();
        if (n == 0) {
            // More changes than the buffer held: what the file went through is unknown.
            forget();
            ours = true;
        }
        for (DWORD at = 0; n > 0 && at + sizeof(FILE_NOTIFY_INFORMATION) <= n;) {
            const auto* e = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(buf + at);
            if (same_name(e->FileName, e->FileNameLength / sizeof(wchar_t), name)) {
                ours = true;
                switch (e->Action) {
                case FILE_ACTION_ADDED:
                case FILE_ACTION_RENAMED_NEW_NAME:
                    forget();
                    counted = true;
                    moved_in = e->Action == FILE_ACTION_RENAMED_NEW_NAME;
                    last_write_us = now;
                    break;
                case FILE_ACTION_MODIFIED:
                    moved_in = false;
                    last_write_us = now;
                    break;
                default:  // removed, renamed away
                    forget();
                    break;
                }
            }
            if (e->NextEntryOffset == 0) break;
            at += e->NextEntryOffset;
        }
        arm();
        return ours;
    }
};

RequestWatch::RequestWatch(std::string path, bool use_events, int settle_ms) : d_(std::make_unique<Impl>()) {
    Impl& d = *d_;
    d.path = widen(path);
    d.settle_us = int64_t(settle_ms) * 1000;
    d.relook_us = d.settle_us / 5;
    const size_t slash = d.path.find_last_of(L"\\/");
    d.dir = slash == std::wstring::npos ? L"." : d.path.substr(0, slash + 1);
    d.name = slash == std::wstring::npos ? d.path : d.path.substr(slash + 1);
    d.wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!use_events || d.name.empty()) return;
    d.dir_handle = CreateFileW(d.dir.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    if (d.dir_handle == INVALID_HANDLE_VALUE) return;
    d.changed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!d.changed || !d.arm()) {
        CloseHandle(d.dir_handle);
        d.dir_handle = INVALID_HANDLE_VALUE;
    }
}

RequestWatch::~RequestWatch() {
    Impl& d = *d_;
    if (d.dir_handle != INVALID_HANDLE_VALUE) {
        if (d.reading && CancelIoEx(d.dir_handle, &d.ov)) {
            DWORD n = 0;
            GetOverlappedResult(d.dir_handle, &d.ov, &n, TRUE);
        }
        CloseHandle(d.dir_handle);
    }
    if (d.changed) CloseHandle(d.changed);
    if (d.wake) CloseHandle(d.wake);
}

bool RequestWatch::events() const { return d_->dir_handle != INVALID_HANDLE_VALUE && d_->reading; }

RequestLook RequestWatch::look() {
    Impl& d = *d_;
    d.take_changes();
    if (d.name.empty() || d.name.find_first_of(L"*?") != std::wstring::npos || names_a_device(d.name)) {
        d.seen = {};
        return {};
    }
    // The directory's own entry: nothing is opened to find it.
    WIN32_FIND_DATAW found;
    const HANDLE find = FindFirstFileExW(d.path.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) {
        d.seen = {};
        return {};
    }
    FindClose(find);
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        d.seen = {};
        return {};
    }
    RequestIdentity id{0, 0, int64_t(uint64_t(found.nFileSizeHigh) << 32 | found.nFileSizeLow),
                       file_time_ns(found.ftLastWriteTime)};
    if (found.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE))
        return {RequestState::NotAFile, id};

    // Which file it is; opened for its attributes only, which no writer's
    // sharing refuses, and a link as itself.
    const HANDLE h = CreateFileW(d.path.c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return {RequestState::Writing, id};
    BY_HANDLE_FILE_INFORMATION info{};
    const bool disk = GetFileType(h) == FILE_TYPE_DISK;
    const bool known = GetFileInformationByHandle(h, &info) != 0;
    CloseHandle(h);
    if (!disk) return {RequestState::NotAFile, id};
    if (known) {
        if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            d.seen = {};
            return {};
        }
        id = {info.dwVolumeSerialNumber, uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow,
              int64_t(uint64_t(info.nFileSizeHigh) << 32 | info.nFileSizeLow), file_time_ns(info.ftLastWriteTime)};
        if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return {RequestState::NotAFile, id};
    }

    const int64_t now = steady_us();
    if (!(id == d.seen)) {
        d.seen = id;
        d.seen_since_us = now;
    }
    // A writer still at work holds the file open for writing: then it
    // cannot be opened without sharing writes. The handle lives only for
    // this test, so a writer that opens it in that instant is refused once.
    const HANDLE probe = CreateFileW(d.path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (probe == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        if (e == ERROR_SHARING_VIOLATION || e == ERROR_LOCK_VIOLATION) return {RequestState::Writing, id};
    } else {
        CloseHandle(probe);
    }
    d.take_changes();
    if (d.counted) {
        if (d.moved_in) return {RequestState::Ready, id};
        return {now - d.last_write_us >= d.settle_us ? RequestState::Ready : RequestState::Writing, id};
    }
    // Nothing seen of its writers: its own time, confirmed by a second
    // look, says when it was last written; a time from the future (a
    // server's clock) counts from when it was first seen here.
    const bool confirmed = now - d.seen_since_us >= d.relook_us;
    const bool old_enough = wall_ns() - id.mtime_ns >= d.settle_us * 1000 || now - d.seen_since_us >= d.settle_us;
    return {confirmed && old_enough ? RequestState::Ready : RequestState::Writing, id};
}

void RequestWatch::wait(int ms) {
    Impl& d = *d_;
    const int64_t until = steady_us() + int64_t(ms < 0 ? 0 : ms) * 1000;
    for (;;) {
        const int64_t left_us = until - steady_us();
        if (left_us <= 0) return;
        HANDLE handles[2] = {d.wake, d.changed};
        const DWORD count = d.reading ? 2 : 1;
        const DWORD r = WaitForMultipleObjects(count, handles, FALSE, DWORD((left_us + 999) / 1000));
        if (r == WAIT_OBJECT_0 || r == WAIT_TIMEOUT || r == WAIT_FAILED) return;
        // Taken as they come, so that a settling file counts from its last
        // write; changes of other files (the program's own log) wait on.
        if (r == WAIT_OBJECT_0 + 1 && d.take_changes()) return;
    }
}

void RequestWatch::wake() {
    if (d_->wake) SetEvent(d_->wake);
}

}  // namespace platform
