// Helpers of the termios device that need the kernel's termios2, which
// cannot share a translation unit with <termios.h>.
#pragma once
#include <cstdint>
#include <functional>

namespace platform {

// Sets input and output speed to exactly baud (BOTHER); 0 or -errno.
int termios2_set_baud(int fd, uint32_t baud);
// Reads the output and input speed the kernel holds; 0 or -errno.
int termios2_get_baud(int fd, uint32_t* out_speed, uint32_t* in_speed);

// After a drain the UART's shift register may still hold the last byte:
// asks the line status until the transmitter is empty, a quarter of a
// millisecond apart and at most 50 ms in all. read_lsr gives 0 and the
// status bits (TIOCSER_TEMT), or -errno: a device that cannot tell is not
// waited for.
void wait_transmitter_empty(const std::function<int(unsigned* lsr)>& read_lsr);

// Puts a tty into raw 8N1 at exactly baud (a rate with no B constant
// through termios2); 0 or -errno. For the programs that stand in for the
// other end of a line.
int set_raw_8n1(int fd, uint32_t baud);

}  // namespace platform
