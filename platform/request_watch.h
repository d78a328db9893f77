// The request file as its writers leave it. Where the system reports the
// directory's events (inotify), a writer's every open and close is seen,
// whoever it is; elsewhere (network file systems) the file must keep its size
// and time between two looks. Where the file is this user's, a read lease
// tells besides whether anyone holds it open for writing.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// What is at the path, and whether it may be taken.
enum class RequestState {
    Absent,    // nothing (a directory of that name does not count)
    Writing,   // a regular file that a writer may still be at
    Ready,     // a regular file its writers are done with
    NotAFile,  // something else: a link, a FIFO, a device
};

// Which file it is, so that one left in place can be told from a new one.
struct RequestIdentity {
    uint64_t device = 0, inode = 0;
    int64_t size = -1, mtime_ns = -1;
    bool operator==(const RequestIdentity&) const = default;
};

struct RequestLook {
    RequestState state = RequestState::Absent;
    RequestIdentity identity;
};

class RequestWatch {
public:
    // A writer that closes the file and opens it again within this time is
    // still writing: the file is taken this long after its last close.
    static constexpr int Settle_ms = 1000;

    // use_events = false: only the looks, as on a network file system.
    // settle_ms: how long a file must stand still after its last write.
    explicit RequestWatch(std::string path, bool use_events = true, int settle_ms = Settle_ms);
    ~RequestWatch();
    RequestWatch(const RequestWatch&) = delete;
    RequestWatch& operator=(const RequestWatch&) = delete;

    // Looks at the path now.
    RequestLook look();
    // Waits at most ms for an event at the path, a wake() or the time when a
    // settling file becomes ready; returns at once after a wake().
    void wait(int ms);
    // Ends a wait from another thread.
    void wake();
    // The directory's events are seen (inotify works here).
    bool events() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d_;
};

}  // namespace platform
