#include "platform/process.h"

#include <pthread.h>

#include <cerrno>
#include <cstring>
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

namespace {

PriorityBroker broker = nullptr;
// A broker's raise held for the run: the thread and the value to put back.
bool held = false;
pid_t held_tid = 0;
int held_previous = 0;
// The broker said no during this run: it is not asked again at every
// exchange of the run, each a round trip on the bus.
bool refused_in_run = false;

std::string rlimit_nice_text() {
    rlimit r{};
    if (::getrlimit(RLIMIT_NICE, &r) != 0) return {};
    // RLIMIT_NICE n allows nice values down to 20 - n.
    return " (RLIMIT_NICE " + (r.rlim_cur == RLIM_INFINITY ? std::string("bez omezeni") : std::to_string(r.rlim_cur)) +
           ")";
}

}  // namespace

void set_priority_broker(PriorityBroker b) { broker = b; }

void priority_run_ended() {
    refused_in_run = false;
    if (!held) return;
    held = false;
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(held_tid), held_previous);
}

ScopedHighPriority::ScopedHighPriority(bool enable)
{
    if (!enable || held) {
        raised_ = enable;
        return;
    }
    const pid_t tid = ::gettid();
    errno = 0;
    const int current = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
    // Already at or above the high level: a "raise" would lower it.
    if (errno != 0 || current <= High_priority_nice) return;
    previous_ = current;
    if (::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), High_priority_nice) == 0) {
        raised_ = restore_ = true;
        return;
    }
    const int refused = errno;
    std::string brokers_why;
    if (broker && !refused_in_run) {
        if (broker(static_cast<long>(tid), High_priority_nice, brokers_why)) {
            held = raised_ = true;
            held_tid = tid;
            held_previous = current;
            return;
        }
        refused_in_run = true;
    }
    why_ = "setpriority: " + std::string(std::strerror(refused)) + rlimit_nice_text();
    if (!brokers_why.empty()) why_ = brokers_why + "; " + why_;
}

ScopedHighPriority::~ScopedHighPriority()
{
    if (restore_) ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), previous_);
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
