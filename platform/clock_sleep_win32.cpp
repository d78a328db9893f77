#include "platform/clock.h"
#include "platform/timer_win32.h"

namespace platform {

// Sleep and sleep_for last whole ticks of the system timer (15.6 ms by
// default), far longer than the link's pauses of a few milliseconds.
void SteadyClock::sleep_ms(uint32_t ms) { win32::sleep_precise_us(uint64_t(ms) * 1000); }

void SteadyClock::sleep_us(uint64_t us) { win32::sleep_precise_us(us); }

}  // namespace platform
