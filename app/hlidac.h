// THlidac: the request-file watcher. Once a second it looks for the request
// file and hands its processing to the window's thread, waiting until done.
#pragma once
#include "app/watcher.h"

#include <QObject>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class THlidac : public TWatcherThread {
public:
    // Runs on the receiver's thread with the request path.
    using Handler = std::function<void(const std::string& path)>;

    // The path is fixed here; an empty path (name too long) finds nothing.
    THlidac(std::string path, QObject* receiver, Handler handler, int period_ms = 1000);
    ~THlidac() override;

    void Resume();
    void Terminate() override;
    bool Finished() const override { return FFinished; }
    const std::string& Path() const { return FPath; }

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
    QObject* FReceiver;
    Handler FHandler;
    int FPeriod;
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FFinished{false};
    std::mutex FMutex;
    std::condition_variable FWake;
    std::thread FThread;
};
