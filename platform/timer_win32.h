// Waits shorter than the Windows timer tick (15.6 ms unless raised), for the
// Win32 files of platform/ only: callers include <windows.h> themselves.
#pragma once
#include <cstdint>

namespace platform::win32 {

// A waitable timer of the calling thread, high-resolution where the system
// has them (Windows 10 1803 and later); null when none can be made.
void* thread_wait_timer();

// Arms timer to fire us microseconds from now; false when it cannot.
bool arm_wait_timer(void* timer, uint64_t us);

// Sleeps us microseconds on the thread's timer (Sleep where there is none).
void sleep_precise_us(uint64_t us);

}  // namespace platform::win32
