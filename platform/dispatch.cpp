#include "platform/dispatch.h"

namespace platform {

namespace {
void (*dispatcher)() = nullptr;
}  // namespace

void dispatch_pending_messages() {
    if (dispatcher) dispatcher();
}

void set_message_dispatcher(void (*fn)()) { dispatcher = fn; }

}  // namespace platform
