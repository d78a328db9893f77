// Helpers of the termios device that need the kernel's termios2, which
// cannot share a translation unit with <termios.h>.
#pragma once
#include <cstdint>

namespace platform {

// Sets input and output speed to exactly baud (BOTHER); 0 or -errno.
int termios2_set_baud(int fd, uint32_t baud);
// Reads the output and input speed the kernel holds; 0 or -errno.
int termios2_get_baud(int fd, uint32_t* out_speed, uint32_t* in_speed);

// Puts a tty into raw 8N1 at exactly baud (a rate with no B constant
// through termios2); 0 or -errno. For the programs that stand in for the
// other end of a line.
int set_raw_8n1(int fd, uint32_t baud);

}  // namespace platform
