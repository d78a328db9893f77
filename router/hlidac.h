// THlidac: the request-file watcher. It looks for the request file once a
// second, and at once when the directory says a writer is done with it, and
// hands its processing to the window's thread, waiting until it is done.
#pragma once
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/request_watch.h"

class THlidac {
public:
    // Runs fn on the window's thread and returns once it has run there; the
    // window provides it (a blocking queued call, a SendMessage).
    using Handover = std::function<void(const std::function<void()>& fn)>;
    // What the window's thread does with a request file: true when it is
    // dealt with, false when it must wait (a run in progress) and be offered
    // again at the next look.
    using Handler = std::function<bool(const std::string& path)>;

    // Looks at least this often; a file stands still this long after its
    // writer's last close before it is taken.
    static constexpr int Period_ms = platform::RequestWatch::Settle_ms;

    // Created suspended. The path is fixed here; an empty path finds nothing.
    // use_events = false watches as on a network file system.
    THlidac(std::string path, Handover handover, Handler handler, int period_ms = Period_ms,
            bool use_events = true);
    ~THlidac();
    THlidac(const THlidac&) = delete;
    THlidac& operator=(const THlidac&) = delete;

    void Resume();
    // Sets the terminate flag and wakes the thread from its pause; does not wait.
    void Terminate();
    // The thread's loop has ended.
    bool Finished() const { return FFinished; }
    const std::string& Path() const { return FPath; }
    int Period() const { return FPeriod; }
    // How many times it has looked for the file.
    int Looks() const { return FLooks; }

private:
    void Execute();

    std::string FPath;
    Handover FHandover;
    Handler FHandler;
    int FPeriod;
    platform::RequestWatch FWatch;
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FFinished{false};
    std::atomic<int> FLooks{0};
    std::thread FThread;
};
