#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <cerrno>
#include <cstdint>

#include "platform/instance_lock.h"

namespace platform {

namespace {

// The handle lives in the int the class keeps for a descriptor: kernel
// handles hold 32 significant bits (so 32- and 64-bit processes can share
// them), and they are positive.
HANDLE as_handle(int fd) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd)); }

}  // namespace

// The name of the mutex; it lasts as long as a process holds it open.
std::string default_instance_lock_path() { return "Stravonprogram"; }

InstanceLock::InstanceLock(std::string path) : path_(std::move(path)) {}

InstanceLock::~InstanceLock() { release(); }

bool InstanceLock::acquire() {
    if (fd_ >= 0) return true;
    HANDLE h = CreateMutexA(nullptr, FALSE, path_.c_str());
    const DWORD e = GetLastError();
    if (!h) {
        // A mutex of that name that we may not open is another copy's too.
        error_ = e == ERROR_ACCESS_DENIED ? EWOULDBLOCK : e == ERROR_INVALID_HANDLE ? EINVAL : EIO;
        return false;
    }
    if (e == ERROR_ALREADY_EXISTS) {
        CloseHandle(h);
        error_ = EWOULDBLOCK;
        return false;
    }
    const intptr_t value = reinterpret_cast<intptr_t>(h);
    if (value <= 0 || value > INT32_MAX) {
        CloseHandle(h);
        error_ = EIO;
        return false;
    }
    error_ = 0;
    fd_ = static_cast<int>(value);
    return true;
}

void InstanceLock::release() {
    if (fd_ < 0) return;
    CloseHandle(as_handle(fd_));
    fd_ = -1;
}

}  // namespace platform
