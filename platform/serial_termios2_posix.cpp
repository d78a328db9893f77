#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "platform/posix_serial.h"

namespace platform {

int termios2_set_baud(int fd, uint32_t baud) {
    struct termios2 t;
    if (::ioctl(fd, TCGETS2, &t) != 0) return -errno;
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ospeed = baud;
    t.c_ispeed = baud;
    if (::ioctl(fd, TCSETS2, &t) != 0) return -errno;
    return 0;
}

int termios2_get_baud(int fd, uint32_t* out_speed, uint32_t* in_speed) {
    struct termios2 t;
    if (::ioctl(fd, TCGETS2, &t) != 0) return -errno;
    if (out_speed) *out_speed = t.c_ospeed;
    if (in_speed) *in_speed = t.c_ispeed;
    return 0;
}

}  // namespace platform
