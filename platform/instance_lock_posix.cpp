#include "platform/instance_lock.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

std::string default_instance_lock_path()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] != '\0') return std::string(runtime) + "/Stravonprogram.lock";
    return "/tmp/Stravonprogram-" + std::to_string(getuid()) + ".lock";
}

InstanceLock::InstanceLock(std::string path) : path_(std::move(path)) {}

InstanceLock::~InstanceLock() { release(); }

bool InstanceLock::acquire()
{
    if (fd_ >= 0) return true;
    // Not through a link, and only a file of this user: in /tmp anyone could
    // have made the name first and so kept this user's program from starting.
    int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        error_ = errno;
        return false;
    }
    struct stat st {};
    const bool stated = ::fstat(fd, &st) == 0;
    if (!stated || !S_ISREG(st.st_mode) || st.st_uid != ::getuid()) {
        error_ = stated ? EPERM : errno;
        ::close(fd);
        return false;
    }
    int r;
    do {
        r = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (r != 0 && errno == EINTR);
    if (r != 0) {
        error_ = errno;
        ::close(fd);
        return false;
    }
    error_ = 0;
    fd_ = fd;
    return true;
}

void InstanceLock::release()
{
    if (fd_ < 0) return;
    // The file stays: removing it would let a newcomer lock a fresh inode
    // while a third copy still waits on the old one.
    ::close(fd_);
    fd_ = -1;
}

}  // namespace platform
