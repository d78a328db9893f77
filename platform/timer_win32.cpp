#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#include <timeapi.h>

#include "platform/timer_win32.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace platform::win32 {

namespace {

// Without high-resolution timers a wait lasts whole ticks of the system
// timer; one millisecond ticks keep the link's 2 ms pauses near 2 ms.
void raise_timer_resolution_once() {
    static const bool raised = [] {
        if (timeBeginPeriod(1) != TIMERR_NOERROR) return false;
        static struct Restore {
            ~Restore() { timeEndPeriod(1); }
        } restore;
        return true;
    }();
    (void)raised;
}

struct ThreadTimer {
    HANDLE handle = nullptr;
    ThreadTimer() {
        handle = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
        if (!handle) {
            raise_timer_resolution_once();
            handle = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
        }
    }
    ~ThreadTimer() {
        if (handle) CloseHandle(handle);
    }
    ThreadTimer(const ThreadTimer&) = delete;
    ThreadTimer& operator=(const ThreadTimer&) = delete;
};

}  // namespace

void* thread_wait_timer() {
    thread_local ThreadTimer timer;
    return timer.handle;
}

bool arm_wait_timer(void* timer, uint64_t us) {
    if (!timer) return false;
    LARGE_INTEGER due;
    // Relative, in 100 ns units.
    const uint64_t ticks = us * 10;
    due.QuadPart = -static_cast<LONGLONG>(ticks > 0x7fffffffffffffffull ? 0x7fffffffffffffffull : ticks);
    if (due.QuadPart == 0) due.QuadPart = -1;
    return SetWaitableTimer(static_cast<HANDLE>(timer), &due, 0, nullptr, nullptr, FALSE) != 0;
}

void sleep_precise_us(uint64_t us) {
    if (us == 0) {
        SwitchToThread();
        return;
    }
    void* timer = thread_wait_timer();
    if (arm_wait_timer(timer, us) && WaitForSingleObject(static_cast<HANDLE>(timer), INFINITE) == WAIT_OBJECT_0)
        return;
    raise_timer_resolution_once();
    const uint64_t ms = (us + 999) / 1000;
    Sleep(ms > 0xfffffffeull ? 0xfffffffeu : static_cast<DWORD>(ms));
}

}  // namespace platform::win32
