// THlidac: the request-file watcher. Once a second it looks for the request
// file and hands its processing to the window's thread, waiting until done.
#pragma once
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class THlidac {
public:
    // Runs fn on the window's thread and returns once it has run there; the
    // window provides it (a blocking queued call, a SendMessage).
    using Handover = std::function<void(const std::function<void()>& fn)>;
    // What the window's thread does with a request file.
    using Handler = std::function<void(const std::string& path)>;

    static constexpr int Period_ms = 1000;

    // Created suspended. The path is fixed here; an empty path finds nothing.
    THlidac(std::string path, Handover handover, Handler handler, int period_ms = Period_ms);
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

    // A regular file of that name exists (a directory does not count).
    static bool Request_exists(const std::string& path);
    // What the watcher knows of a request file between two polls.
    struct TSeen {
        bool present = false;
        long long size = -1;
        long long mtime_ns = -1;
    };
    // The file is whole: no process holds it open for writing (a read lease
    // is granted only then). Where no lease can be had (not the file's owner,
    // a network file system) it must have kept its size and time since the
    // poll before, kept in seen.
    static bool Request_complete(const std::string& path, TSeen& seen);

private:
    void Execute();

    std::string FPath;
    TSeen FSeen;
    Handover FHandover;
    Handler FHandler;
    int FPeriod;
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FFinished{false};
    std::mutex FMutex;
    std::condition_variable FWake;
    std::thread FThread;
};
