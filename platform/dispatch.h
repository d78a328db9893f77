// "Dispatch the calling thread's pending messages" without a window system:
// the program binds it to its event loop, elsewhere it does nothing. Waits of
// a command run dispatch through here, a few milliseconds at a time, so the
// window stays alive without pushing a wait past its deadline.
#pragma once
#include <cstdint>

namespace platform {

// Longest time one dispatch may take, and how often a wait dispatches.
constexpr uint64_t Dispatch_bound_us = 3000;
constexpr uint64_t Dispatch_period_us = 10000;
// Less time than this before a deadline is left alone.
constexpr uint64_t Dispatch_min_room_us = 500;

// fn runs the pending messages for at most max_ms milliseconds (0: one pass).
// nullptr makes dispatching a no-op again.
void set_message_dispatcher(void (*fn)(int max_ms));

// One bounded dispatch, now.
void dispatch_pending_messages();
// A bounded dispatch when Dispatch_period has passed since the last one and
// the deadline (process clock, microseconds) leaves room; true when it ran.
bool dispatch_if_due(uint64_t deadline_us);
// Waits until the deadline, dispatching as dispatch_if_due allows. Returns
// at once when a stop has been asked for.
void wait_dispatching_until(uint64_t deadline_us);
// The same for ms milliseconds from now.
void wait_dispatching(uint32_t ms);

// Asked when the program must end during a command run: no further command
// goes out and waits end at once. Cleared by the next run.
void request_stop();
void clear_stop();
bool stop_requested();

}  // namespace platform
