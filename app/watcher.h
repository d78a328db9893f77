// The request-file watcher as the window owns it. The thread class itself
// comes with request processing; the window only starts, stops and waits.
#pragma once

class TWatcherThread {
public:
    virtual ~TWatcherThread() = default;
    // Sets the terminate flag; does not wait.
    virtual void Terminate() = 0;
    // True once the thread's loop has ended.
    virtual bool Finished() const = 0;
};
