#include "platform/process.h"

#include <pthread.h>

#include <cerrno>
#include <sys/resource.h>
#include <unistd.h>

namespace platform {

int get_priority()
{
    // -1 is a valid nice value, so failure shows only through errno.
    errno = 0;
    int value = getpriority(PRIO_PROCESS, 0);
    return errno == 0 ? value : 0;
}

bool set_priority(int nice)
{
    return setpriority(PRIO_PROCESS, 0, nice) == 0;
}

ScopedHighPriority::ScopedHighPriority(bool enable)
{
    if (!enable) return;
    errno = 0;
    int current = getpriority(PRIO_PROCESS, 0);
    // Already at or above the high level: a "raise" would lower it.
    if (errno != 0 || current <= High_priority_nice) return;
    previous_ = current;
    raised_ = set_priority(High_priority_nice);
}

ScopedHighPriority::~ScopedHighPriority()
{
    if (raised_) set_priority(previous_);
}

std::string current_directory()
{
    std::string buffer(256, '\0');
    for (;;) {
        if (getcwd(buffer.data(), buffer.size()) != nullptr) {
            buffer.resize(buffer.find('\0'));
            return buffer;
        }
        if (errno != ERANGE || buffer.size() > (size_t(1) << 20)) return {};
        buffer.resize(buffer.size() * 2);
    }
}

void name_this_thread(const char* name) { ::pthread_setname_np(::pthread_self(), name); }

void lower_this_thread() {
    // On Linux the nice value belongs to the thread.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), ::getpriority(PRIO_PROCESS, 0) + 1);
}

}  // namespace platform
