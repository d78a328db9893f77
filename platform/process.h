// Process-level facilities: scheduling priority and the current directory.
#pragma once
#include <string>

namespace platform {

// Nice value asked for while the program talks to a terminal.
constexpr int High_priority_nice = -10;

// Nice value of this process (0 when it cannot be read).
int get_priority();
// Best effort: false when the system refuses (raising needs privileges).
bool set_priority(int nice);

// Raises the calling thread to High_priority_nice for an exchange with a
// terminal and puts the previous value back after. Where this user may raise
// it (RLIMIT_NICE, privileges) the system's own call does, exchange by
// exchange; else the broker the program bound (RealtimeKit on a desktop),
// whose grants are rationed, is asked at the first exchange of a run and its
// raise held until priority_run_ended(). Does nothing when enable is false or
// the thread already runs at least that high. On Windows: the process's
// priority class, HIGH_PRIORITY_CLASS.
class ScopedHighPriority {
public:
    explicit ScopedHighPriority(bool enable = true);
    ~ScopedHighPriority();
    ScopedHighPriority(const ScopedHighPriority&) = delete;
    ScopedHighPriority& operator=(const ScopedHighPriority&) = delete;
    bool raised() const { return raised_; }
    // Why a raise that was asked for could not be had; empty otherwise.
    const std::string& why() const { return why_; }

private:
    int previous_ = 0;
    bool raised_ = false;
    bool restore_ = false;
    std::string why_;
};

// Raises the thread tid to nice for the program, as RealtimeKit does; false
// with the reason when it cannot.
using PriorityBroker = bool (*)(long tid, int nice, std::string& why);
void set_priority_broker(PriorityBroker broker);  // nullptr: none
// A command run has ended: a raise held for it is put back.
void priority_run_ended();

// The process's current directory; empty when it cannot be read.
std::string current_directory();

// The calling thread's name, as tools that list threads show it.
void name_this_thread(const char* name);
// The calling thread one step below normal priority, as far as the system
// lets a thread have it.
void lower_this_thread();

}  // namespace platform
