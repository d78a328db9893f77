#include "router/hlidac.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

THlidac::THlidac(std::string path, Handover handover, Handler handler, int period_ms)
    : FPath(std::move(path)), FHandover(std::move(handover)), FHandler(std::move(handler)), FPeriod(period_ms) {}

THlidac::~THlidac() {
    Terminate();
    if (FThread.joinable()) FThread.join();
}

void THlidac::Resume() {
    if (!FThread.joinable()) FThread = std::thread([this] { Execute(); });
}

void THlidac::Terminate() {
    {
        std::lock_guard<std::mutex> lock(FMutex);
        FTerminated = true;
    }
    FWake.notify_all();
}

bool THlidac::Request_exists(const std::string& path) {
    struct stat st {};
    // Only a regular file: opening a FIFO of that name would block the window.
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool THlidac::Request_complete(const std::string& path, TSeen& seen) {
    const TSeen before = seen;
    struct stat st {};
    if (!Request_exists(path) || ::stat(path.c_str(), &st) != 0) {
        seen = TSeen{};
        return false;
    }
    seen = TSeen{true, static_cast<long long>(st.st_size),
                 static_cast<long long>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    // A writer that opens the file while the lease is held makes the kernel
    // signal the holder, SIGIO by default, which would end the program.
    static const bool ignored = [] { return std::signal(SIGIO, SIG_IGN) != SIG_ERR; }();
    (void)ignored;
    int lease = ::fcntl(fd, F_SETLEASE, F_RDLCK);
    const int err = errno;
    if (lease == 0) ::fcntl(fd, F_SETLEASE, F_UNLCK);
    ::close(fd);
    if (lease == 0) return true;
    if (err == EAGAIN) return false;  // open for writing now
    return before.present && before.size == seen.size && before.mtime_ns == seen.mtime_ns;
}

void THlidac::Execute() {
    pthread_setname_np(pthread_self(), "hlidac");
    // One step below normal, as far as the system lets a thread have it.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), ::getpriority(PRIO_PROCESS, 0) + 1);
    while (!FTerminated) {
        if (Request_complete(FPath, FSeen)) {
            // Blocks until the window's thread has processed the request.
            FHandover([this] { FHandler(FPath); });
        }
        std::unique_lock<std::mutex> lock(FMutex);
        FWake.wait_for(lock, std::chrono::milliseconds(FPeriod), [this] { return FTerminated.load(); });
    }
    FFinished = true;
}
