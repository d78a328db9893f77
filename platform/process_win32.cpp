#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include "platform/process.h"

namespace platform {

namespace {

// Priority classes on the nice scale, so that the Linux callers read the
// same numbers: HIGH_PRIORITY_CLASS is High_priority_nice.
int nice_of_class(DWORD c) {
    switch (c) {
    case IDLE_PRIORITY_CLASS: return 19;
    case BELOW_NORMAL_PRIORITY_CLASS: return 10;
    case ABOVE_NORMAL_PRIORITY_CLASS: return -5;
    case HIGH_PRIORITY_CLASS: return High_priority_nice;
    case REALTIME_PRIORITY_CLASS: return -20;
    default: return 0;
    }
}

// Never the real-time class: it can starve the system's own input threads.
DWORD class_of_nice(int nice) {
    if (nice <= High_priority_nice) return HIGH_PRIORITY_CLASS;
    if (nice < 0) return ABOVE_NORMAL_PRIORITY_CLASS;
    if (nice == 0) return NORMAL_PRIORITY_CLASS;
    if (nice <= 10) return BELOW_NORMAL_PRIORITY_CLASS;
    return IDLE_PRIORITY_CLASS;
}

}  // namespace

int get_priority() { return nice_of_class(GetPriorityClass(GetCurrentProcess())); }

bool set_priority(int nice) { return SetPriorityClass(GetCurrentProcess(), class_of_nice(nice)) != 0; }

// The whole process: Windows raises the class, not a thread.
ScopedHighPriority::ScopedHighPriority(bool enable) {
    if (!enable) return;
    const DWORD current = GetPriorityClass(GetCurrentProcess());
    if (current == 0 || current == HIGH_PRIORITY_CLASS || current == REALTIME_PRIORITY_CLASS) return;
    previous_ = static_cast<int>(current);
    raised_ = SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS) != 0;
}

ScopedHighPriority::~ScopedHighPriority() {
    if (raised_) SetPriorityClass(GetCurrentProcess(), static_cast<DWORD>(previous_));
}

std::string current_directory() {
    DWORD size = GetCurrentDirectoryA(0, nullptr);
    for (int attempt = 0; size > 0 && attempt < 4; ++attempt) {
        std::string buffer(size, '\0');
        const DWORD n = GetCurrentDirectoryA(size, buffer.data());
        if (n == 0) return {};
        if (n < size) {
            buffer.resize(n);
            return buffer;
        }
        size = n;  // changed in between: n is the size needed now
    }
    return {};
}

void name_this_thread(const char* name) {
    // SetThreadDescription is there from Windows 10 1607 on: looked up, so
    // the program still starts on older systems.
    using Describe = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    static const auto describe = reinterpret_cast<Describe>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
    if (!describe || !name) return;
    wchar_t wide[64];
    size_t n = 0;
    for (; name[n] && n + 1 < sizeof wide / sizeof wide[0]; ++n) wide[n] = static_cast<unsigned char>(name[n]);
    wide[n] = L'\0';
    describe(GetCurrentThread(), wide);
}

void lower_this_thread() { SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL); }

}  // namespace platform
