#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "platform/files.h"

namespace platform {

const char* const Text_line_end = "\n";

namespace {

int write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return -errno;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return 0;
}

// A name beside path that nobody has taken: O_EXCL refuses a name that
// exists, a link planted there included.
int create_beside(const std::string& path, std::string& temp) {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    static std::mt19937 random{std::random_device{}()};
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp = dir + "." + name + "." + std::to_string(::getpid()) + "." + std::to_string(random() % 1000000);
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd >= 0 ? fd : -errno;
    }
    return -EEXIST;
}

}  // namespace

int replace_file(const std::string& path, std::string_view bytes) {
    std::string temp;
    const int fd = create_beside(path, temp);
    if (fd < 0) return fd;
    int r = write_all(fd, bytes);
    // On the disk before the name moves: a crash leaves the old file or the
    // whole new one.
    if (r == 0 && ::fsync(fd) != 0) r = -errno;
    if (::close(fd) != 0 && r == 0) r = -errno;
    if (r == 0 && ::rename(temp.c_str(), path.c_str()) != 0) r = -errno;
    if (r != 0) ::unlink(temp.c_str());
    return r;
}

int append_file(const std::string& path, std::string_view bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) return -errno;
    struct stat st {};
    int r = ::fstat(fd, &st) != 0 ? -errno : S_ISREG(st.st_mode) ? 0 : -EINVAL;
    if (r == 0) r = write_all(fd, bytes);
    if (::close(fd) != 0 && r == 0) r = -errno;
    return r;
}

int remove_file(const std::string& path) { return ::unlink(path.c_str()) == 0 ? 0 : -errno; }

int read_regular_file(const std::string& path, std::size_t limit, std::string& out) {
    // O_NONBLOCK: a FIFO put in the file's place must not hold the open.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == ELOOP ? -EINVAL : -errno;
    struct stat st {};
    int r = 0;
    if (::fstat(fd, &st) != 0)
        r = -errno;
    else if (!S_ISREG(st.st_mode))
        r = -EINVAL;
    else if (static_cast<unsigned long long>(st.st_size) > limit)
        r = -EFBIG;
    std::string text;
    char buf[65536];
    while (r == 0) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            r = -errno;
            break;
        }
        if (text.size() + static_cast<size_t>(n) > limit) {
            r = -EFBIG;
            break;
        }
        text.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    if (r == 0) out = std::move(text);
    return r;
}

std::string error_text(int neg_errno) { return std::strerror(-neg_errno); }

}  // namespace platform
