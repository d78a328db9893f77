#include "platform/process.h"

namespace platform {

// The priority class is the process's own to set: no broker is needed.
void set_priority_broker(PriorityBroker) {}
void priority_run_ended() {}

}  // namespace platform
