#include "platform/dispatch.h"

#include <algorithm>
#include <atomic>

#include "platform/clock.h"

namespace platform {

namespace {
void (*dispatcher)(int) = nullptr;
uint64_t last_dispatch_us = 0;
std::atomic<bool> stop{false};

void run_dispatch(uint64_t budget_us) {
    dispatcher(static_cast<int>(budget_us / 1000));
    last_dispatch_us = clock().now_us();
}
}  // namespace

void set_message_dispatcher(void (*fn)(int)) { dispatcher = fn; }

void dispatch_pending_messages() {
    if (dispatcher) run_dispatch(Dispatch_bound_us);
}

bool dispatch_if_due(uint64_t deadline_us) {
    if (!dispatcher) return false;
    const uint64_t now = clock().now_us();
    if (now < last_dispatch_us + Dispatch_period_us && now >= last_dispatch_us) return false;
    if (deadline_us < now + Dispatch_min_room_us) return false;
    // Half the room at most, so a dispatch that runs a little over its
    // budget still ends before the deadline.
    run_dispatch(std::min(Dispatch_bound_us, (deadline_us - now) / 2));
    return true;
}

void wait_dispatching_until(uint64_t deadline_us) {
    for (;;) {
        if (stop_requested()) return;
        dispatch_if_due(deadline_us);
        const uint64_t now = clock().now_us();
        if (now >= deadline_us) return;
        clock().sleep_us(std::min(deadline_us - now, Dispatch_period_us));
    }
}

void wait_dispatching(uint32_t ms) { wait_dispatching_until(clock().now_us() + uint64_t(ms) * 1000); }

void request_stop() { stop = true; }
void clear_stop() { stop = false; }
bool stop_requested() { return stop; }

}  // namespace platform
