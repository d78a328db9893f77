// Single-instance lock: only one copy of the program may run per user.
#pragma once
#include <string>

namespace platform {

// ${XDG_RUNTIME_DIR}/Stravonprogram.lock, or /tmp/Stravonprogram-<uid>.lock
// when XDG_RUNTIME_DIR is not set.
std::string default_instance_lock_path();

// An exclusive flock on the lock file, held until release(), the object's
// end or the process's end (the kernel drops it even after a crash).
class InstanceLock {
public:
    explicit InstanceLock(std::string path = default_instance_lock_path());
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // True when this object now holds the lock. False when another holder
    // has it (last_error() EWOULDBLOCK) or the file cannot be opened.
    bool acquire();
    void release();
    bool held() const { return fd_ >= 0; }
    int last_error() const { return error_; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    int fd_ = -1;
    int error_ = 0;
};

}  // namespace platform
