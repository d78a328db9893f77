#include <chrono>
#include <thread>

#include "platform/clock.h"

namespace platform {

void SteadyClock::sleep_ms(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void SteadyClock::sleep_us(uint64_t us) { std::this_thread::sleep_for(std::chrono::microseconds(us)); }

}  // namespace platform
