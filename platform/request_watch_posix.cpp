#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>

#include "platform/request_watch.h"

namespace platform {

namespace {

int64_t steady_us() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

int64_t wall_ns() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}


// Whether someone holds the file open for writing, where a read lease can
// tell (only the file's owner may take one): 1 yes, 0 no, -1 cannot tell.
int writer_holds_open(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    // A writer that opens the file while the lease is held makes the kernel
    // signal the holder, SIGIO by default, which would end the program.
    static const bool ignored = std::signal(SIGIO, SIG_IGN) != SIG_ERR;
    (void)ignored;
    struct stat st {};
    int result = -1;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        if (::fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
            ::fcntl(fd, F_SETLEASE, F_UNLCK);
            result = 0;
        } else if (errno == EAGAIN) {
            result = 1;
        }
    }
    ::close(fd);
    return result;
}

}  // namespace

struct RequestWatch::Impl {
    std::string path, dir, name;
    int64_t settle_us = 0;
    // Two looks this far apart that find the file unchanged confirm its time.
    int64_t relook_us = 0;
    int inotify = -1;
    int wake[2] = {-1, -1};

    // What the events told about the file since it came into being: known
    // only when its creation (or its rename into place) was seen.
    bool counted = false;
    int opens = 0;          // opens not closed yet, ours included while we look
    bool moved_in = false;  // renamed into place and not written since
    int64_t last_write_us = 0;

    // The size-and-time rule: when this identity was first seen.
    RequestIdentity seen;
    int64_t seen_since_us = 0;

    void forget() {
        counted = false;
        opens = 0;
        moved_in = false;
    }

    void take_events() {
        if (inotify < 0) return;
        alignas(inotify_event) char buf[4096];
        for (;;) {
            const ssize_t n = ::read(inotify, buf, sizeof buf);
            if (n <= 0) return;
            for (ssize_t at = 0; at < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
                at += ssize_t(sizeof(inotify_event) + e->len);
                if (e->mask & IN_Q_OVERFLOW) {
                    forget();  // events were lost: counts are unknown
                    continue;
                }
                if (e->len == 0 || name != e->name) continue;
                const int64_t now = steady_us();
                if (e->mask & (IN_CREATE | IN_MOVED_TO)) {
                    forget();
                    counted = true;
                    moved_in = (e->mask & IN_MOVED_TO) != 0;
                    last_write_us = now;
                }
                if (e->mask & IN_OPEN) ++opens;
                if (e->mask & (IN_MODIFY | IN_CLOSE_WRITE)) {
                    moved_in = false;
                    last_write_us = now;
                }
                if ((e->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) && opens > 0) --opens;
                if (e->mask & (IN_DELETE | IN_MOVED_FROM)) forget();
            }
        }
    }
};

RequestWatch::RequestWatch(std::string path, bool use_events, int settle_ms) : d_(std::make_unique<Impl>()) {
    d_->path = std::move(path);
    d_->settle_us = int64_t(settle_ms) * 1000;
    d_->relook_us = d_->settle_us / 5;
    const size_t slash = d_->path.rfind('/');
    d_->dir = slash == std::string::npos ? "." : slash == 0 ? "/" : d_->path.substr(0, slash);
    d_->name = slash == std::string::npos ? d_->path : d_->path.substr(slash + 1);
    if (::pipe2(d_->wake, O_CLOEXEC | O_NONBLOCK) != 0) d_->wake[0] = d_->wake[1] = -1;
    if (!use_events || d_->name.empty()) return;
    d_->inotify = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (d_->inotify >= 0 &&
        ::inotify_add_watch(d_->inotify, d_->dir.c_str(),
                            IN_CREATE | IN_MOVED_TO | IN_OPEN | IN_MODIFY | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE |
                                IN_DELETE | IN_MOVED_FROM | IN_ONLYDIR) < 0) {
        ::close(d_->inotify);
        d_->inotify = -1;
    }
}

RequestWatch::~RequestWatch() {
    if (d_->inotify >= 0) ::close(d_->inotify);
    for (int fd : d_->wake)
        if (fd >= 0) ::close(fd);
}

bool RequestWatch::events() const { return d_->inotify >= 0; }

RequestLook RequestWatch::look() {
    Impl& d = *d_;
    d.take_events();
    struct stat st {};
    if (d.path.empty() || ::lstat(d.path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
        d.seen = {};
        return {};
    }
    const int64_t mtime_ns = int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
    const RequestIdentity id{uint64_t(st.st_dev), uint64_t(st.st_ino), int64_t(st.st_size), mtime_ns};
    if (!S_ISREG(st.st_mode)) return {RequestState::NotAFile, id};

    const int64_t now = steady_us();
    if (!(id == d.seen)) {
        d.seen = id;
        d.seen_since_us = now;
    }
    const auto state = [&]() -> RequestState {
        if (writer_holds_open(d.path) == 1) return RequestState::Writing;
        if (d.counted) {
            // Every open and close of it was seen, whoever made them.
            if (d.opens > 0) return RequestState::Writing;
            if (d.moved_in) return RequestState::Ready;
            return now - d.last_write_us >= d.settle_us ? RequestState::Ready : RequestState::Writing;
        }
        // Nothing seen of its writers: its own time, confirmed by a second
        // look, says when it was last written; a time from the future (a
        // server's clock) counts from when it was first seen here.
        const bool confirmed = now - d.seen_since_us >= d.relook_us;
        const bool old_enough = wall_ns() - mtime_ns >= d.settle_us * 1000 || now - d.seen_since_us >= d.settle_us;
        return confirmed && old_enough ? RequestState::Ready : RequestState::Writing;
    }();
    // Our own look opened it: the pair of events must not count as a writer.
    d.take_events();
    return {state, id};
}

void RequestWatch::wait(int ms) {
    pollfd fds[2] = {{d_->wake[0], POLLIN, 0}, {d_->inotify, POLLIN, 0}};
    const int n = d_->inotify >= 0 ? 2 : 1;
    if (::poll(fds, nfds_t(n), ms) <= 0) return;
    if (fds[0].revents & POLLIN) {
        char drain[64];
        while (::read(d_->wake[0], drain, sizeof drain) > 0) {
        }
    }
    // Taken as they come, so that a settling file counts from its last write.
    if (n > 1 && (fds[1].revents & POLLIN)) d_->take_events();
}

void RequestWatch::wake() {
    if (d_->wake[1] >= 0) {
        const char b = 1;
        [[maybe_unused]] const ssize_t n = ::write(d_->wake[1], &b, 1);
    }
}

}  // namespace platform
