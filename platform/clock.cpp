#include "platform/clock.h"

#include <chrono>

namespace platform {

namespace {
SteadyClock steady;
Clock* current = &steady;
}  // namespace

uint64_t SteadyClock::now_us() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

uint32_t SteadyClock::tick_ms() { return static_cast<uint32_t>(now_us() / 1000); }

Clock& clock() { return *current; }

void set_clock(Clock* c) { current = c ? c : &steady; }

}  // namespace platform
