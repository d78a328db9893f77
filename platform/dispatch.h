// "Dispatch the calling thread's pending messages" without a window system:
// the program binds it to its event loop, elsewhere it does nothing.
#pragma once

namespace platform {

void dispatch_pending_messages();
// nullptr makes dispatching a no-op again.
void set_message_dispatcher(void (*fn)());

}  // namespace platform
