#include "app/hlidac.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QMetaObject>

THlidac::THlidac(std::string path, QObject* receiver, Handler handler, int period_ms)
    : FPath(std::move(path)), FReceiver(receiver), FHandler(std::move(handler)), FPeriod(period_ms) {}

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

void THlidac::Execute() {
    // One step below normal, as far as the system lets a thread have it.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), ::getpriority(PRIO_PROCESS, 0) + 1);
    while (!FTerminated) {
        if (Request_exists(FPath)) {
            // Blocks until the window's thread has processed the request.
            QMetaObject::invokeMethod(
                FReceiver, [this] { FHandler(FPath); }, Qt::BlockingQueuedConnection);
        }
        std::unique_lock<std::mutex> lock(FMutex);
        FWake.wait_for(lock, std::chrono::milliseconds(FPeriod), [this] { return FTerminated.load(); });
    }
    FFinished = true;
}
