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

// Raises the process to High_priority_nice for its lifetime and then puts
// the previous nice value back. Does nothing when enable is false or the
// process already runs at least that high; a refused raise is silent and
// leaves nothing to restore. On Linux the nice value belongs to the calling
// thread, which is the one that talks to the terminals.
class ScopedHighPriority {
public:
    explicit ScopedHighPriority(bool enable = true);
    ~ScopedHighPriority();
    ScopedHighPriority(const ScopedHighPriority&) = delete;
    ScopedHighPriority& operator=(const ScopedHighPriority&) = delete;
    bool raised() const { return raised_; }

private:
    int previous_ = 0;
    bool raised_ = false;
};

// The process's current directory; empty when it cannot be read.
std::string current_directory();

// The calling thread's name, as tools that list threads show it.
void name_this_thread(const char* name);
// The calling thread one step below normal priority, as far as the system
// lets a thread have it.
void lower_this_thread();

}  // namespace platform
