// Helpers of the termios device that need the kernel's termios2, which
// cannot share a translation unit with <termios.h>.
#pragma once
#include <cstdint>

namespace platform {

// Sets input and output speed to exactly baud (BOTHER); 0 or -errno.
int termios2_set_baud(int fd, uint32_t baud);
// Reads the output and input speed the kernel holds; 0 or -errno.
int termios2_get_baud(int fd, uint32_t* out_speed, uint32_t* in_speed);

}  // namespace platform
