// The termios device: what the driver needs of a COM port, over a Linux tty.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/posix_serial.h"
#include "platform/serial_device.h"
#include "platform/tty_info.h"

namespace platform {

namespace {

speed_t standard_speed(uint32_t baud) {
    switch (baud) {
    case 50: return B50;
    case 75: return B75;
    case 110: return B110;
    case 134: return B134;
    case 150: return B150;
    case 200: return B200;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 1800: return B1800;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    default: return B0;
    }
}

// Plain 8N1 without flow control, whatever the tty was left with: an open
// whose line settings are then refused must not keep another program's.
void make_raw(struct termios& t) {
    cfmakeraw(&t);
    t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | IGNPAR);
    t.c_cflag &= ~(CSTOPB | CRTSCTS | PARODD | CMSPAR);
    t.c_cflag |= CLOCAL | CREAD;
    // With O_NONBLOCK a read never waits; VMIN 1 makes an empty read report
    // EAGAIN rather than 0, so 0 keeps meaning "the line is gone".
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
}

class PosixSerialDevice final : public SerialDevice {
public:
    ~PosixSerialDevice() override { close(); }

    int open(const std::string& path) override {
        close();
        report_ = OpenReport{};
        report_.device = resolve_device(path);
        // Looked at before the open, which would raise RTS and DTR and, on
        // the console, set it raw.
        struct stat st;
        const bool is_char = ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
        if (is_char && is_system_console(report_.device)) {
            report_.why = report_.device + " je systemova konzole, neotevira se";
            return -EBUSY;
        }
        if (is_char && uart_absent(report_.device)) return no_uart();

        int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            int e = errno;
            if (e == EACCES) report_.why = access_denied_text(report_.device);
            if (e == EBUSY && is_char) name_holder(st.st_rdev);
            return e == EISDIR ? -ENOTTY : -e;
        }
        if (!::isatty(fd) || ::fstat(fd, &st) != 0) {
            ::close(fd);
            return -ENOTTY;
        }
        // flock is what keeps a second user out when running as root, which
        // ignores TIOCEXCL.
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            int e = errno;
            ::close(fd);
            name_holder(st.st_rdev);
            return -e;
        }
        // A getty or a terminal program holds a port without locking it.
        if (name_holder(st.st_rdev)) {
            ::close(fd);
            return -EBUSY;
        }
        ::ioctl(fd, TIOCEXCL);

        struct serial_struct ss;
        if (::ioctl(fd, TIOCGSERIAL, &ss) == 0) {
            if (ss.type == PORT_UNKNOWN) {
                ::close(fd);
                return no_uart();
            }
            if (!(ss.flags & ASYNC_LOW_LATENCY)) {
                ss.flags |= ASYNC_LOW_LATENCY;
                ::ioctl(fd, TIOCSSERIAL, &ss);  // best effort
            }
        }
        // An FTDI chip holds received bytes back for its latency timer,
        // which low-latency mode does not shorten.
        if (const int ms = latency_timer_ms(report_.device); ms > 1)
            report_.notice = "prevodnik " + report_.device + " predava prijate bajty az po " + std::to_string(ms) +
                             " ms (latency_timer); pravidlo udev z balicku ho nastavi na 1 ms, jinak: echo 1 | sudo tee " +
                             sysfs_tty_dir(report_.device) + "/device/latency_timer";

        // Raw at once: a tty left in cooked mode would echo the line back.
        struct termios t;
        if (::tcgetattr(fd, &t) == 0) {
            make_raw(t);
            ::tcsetattr(fd, TCSANOW, &t);
        }
        fd_ = fd;
        gone_ = false;
        rx_head_ = rx_tail_ = 0;
        tx_len_ = 0;
        return 0;
    }

    OpenReport open_report() const override { return report_; }

    int apply(const LineSettings& s) override {
        if (int e = hand_over()) return e;
        if (s.baud == 0 || s.data_bits < 5 || s.data_bits > 8 || s.parity < 0 || s.parity > 4 ||
            (s.stop_bits != 1 && s.stop_bits != 2))
            return -EINVAL;
        struct termios t;
        if (::tcgetattr(fd_, &t) != 0) return -errno;
        make_raw(t);
        t.c_cflag &= ~CSIZE;
        static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
        t.c_cflag |= sizes[s.data_bits - 5];
        switch (s.parity) {
        case 1: t.c_cflag |= PARENB | PARODD; break;
        case 2: t.c_cflag |= PARENB; break;
        case 3: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
        case 4: t.c_cflag |= PARENB | CMSPAR; break;
        default: break;
        }
        if (s.stop_bits == 2) t.c_cflag |= CSTOPB;
        if (s.xon_xoff_out) t.c_iflag |= IXON;
        if (s.xon_xoff_in) t.c_iflag |= IXOFF;
        // Linux ties RTS and CTS together; DSR/DTR handshake has no termios flag.
        if (s.cts_flow || s.rts_flow) t.c_cflag |= CRTSCTS;
        speed_t code = standard_speed(s.baud);
        if (code != B0) {
            cfsetspeed(&t, code);
            // A rate set earlier through termios2 leaves its input field
            // behind; zero means "input as output".
            t.c_cflag &= ~CIBAUD;
        }
        if (::tcsetattr(fd_, TCSANOW, &t) != 0) return -errno;
        if (code == B0) return termios2_set_baud(fd_, s.baud);
        return 0;
    }

    // What the kernel holds plus what an earlier read left in our buffer.
    int rx_count() override {
        if (int e = hand_over()) return e;
        int n = 0;
        if (::ioctl(fd_, FIONREAD, &n) != 0) return failed(errno);
        return n + static_cast<int>(rx_tail_ - rx_head_);
    }

    int tx_count() override {
        if (int e = usable()) return e;
        int n = 0;
        if (::ioctl(fd_, TIOCOUTQ, &n) != 0) return failed(errno);
        return n + static_cast<int>(tx_len_);
    }

    // Bytes are taken one at a time by the link, so one read() fetches all
    // that is queued and the following bytes cost no system call.
    int read(uint8_t* buf, size_t n) override {
        if (int e = hand_over()) return e;
        if (n == 0) return 0;
        if (rx_head_ == rx_tail_) {
            rx_head_ = rx_tail_ = 0;
            if (n >= sizeof rx_buf_) return read_fd(buf, n);
            int r = read_fd(rx_buf_, sizeof rx_buf_);
            if (r <= 0) return r;
            rx_tail_ = static_cast<size_t>(r);
        }
        size_t k = rx_tail_ - rx_head_;
        if (k > n) k = n;
        std::memcpy(buf, rx_buf_ + rx_head_, k);
        rx_head_ += k;
        return static_cast<int>(k);
    }

    // A frame comes a byte at a time. Its bytes are kept together and handed
    // to the kernel at the next call that is not another write (the driver's
    // queue counts in between are not), at the latest when the caller waits
    // for them to be sent: the line then sees the frame whole, and a router
    // that loses the processor mid-frame cannot leave a gap inside it.
    int write(const uint8_t* buf, size_t n) override {
        if (int e = usable()) return e;
        if (n == 0) return 0;
        if (tx_len_ + n > sizeof tx_buf_)
            if (int e = hand_over()) return e;
        if (n >= sizeof tx_buf_) return tx_len_ == 0 ? write_fd(buf, n) : 0;
        const size_t k = std::min(n, sizeof tx_buf_ - tx_len_);
        std::memcpy(tx_buf_ + tx_len_, buf, k);
        tx_len_ += k;
        return static_cast<int>(k);
    }

    int wait_rx(int timeout_ms) override {
        if (timeout_ms < 0) return wait_rx_for(nullptr);
        struct timespec ts = {timeout_ms / 1000, (timeout_ms % 1000) * 1000000L};
        return wait_rx_for(&ts);
    }

    int wait_rx_us(uint64_t timeout_us) override {
        struct timespec ts = {static_cast<time_t>(timeout_us / 1000000), static_cast<long>(timeout_us % 1000000) * 1000};
        return wait_rx_for(&ts);
    }

    int wait_rx_for(const struct timespec* timeout) {
        if (int e = hand_over()) return e;
        if (rx_head_ != rx_tail_) return 1;
        struct pollfd p = {fd_, POLLIN, 0};
        int r = ::ppoll(&p, 1, timeout, nullptr);
        if (r < 0) return errno == EINTR ? 0 : -errno;
        if (r == 0) return 0;
        // Bytes still queued when the line vanishes are lost anyway.
        if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return failed(EIO);
        return 1;
    }

    int drain_tx() override {
        if (int e = usable()) return e;
        // Bytes the kernel could not take at once are handed over as it makes room.
        for (int i = 0; i < 1000 && tx_len_ > 0; ++i) {
            if (int e = hand_over()) return e;
            if (tx_len_ == 0) break;
            struct pollfd p = {fd_, POLLOUT, 0};
            ::poll(&p, 1, 10);
        }
        if (::tcdrain(fd_) != 0) return failed(errno);
        wait_transmitter_empty([this](unsigned* lsr) { return ::ioctl(fd_, TIOCSERGETLSR, lsr) == 0 ? 0 : -errno; });
        return 0;
    }

    int set_rts(bool on) override { return modem_bit(TIOCM_RTS, on); }
    int set_dtr(bool on) override { return modem_bit(TIOCM_DTR, on); }

    int set_break(bool on) override {
        if (int e = hand_over()) return e;
        return ::ioctl(fd_, on ? TIOCSBRK : TIOCCBRK) == 0 ? 0 : -errno;
    }

    int modem_status(unsigned* bits) override {
        if (int e = hand_over()) return e;
        int m = 0;
        if (::ioctl(fd_, TIOCMGET, &m) != 0) return -errno;
        unsigned b = 0;
        if (m & TIOCM_CTS) b |= MODEM_CTS;
        if (m & TIOCM_DSR) b |= MODEM_DSR;
        if (m & TIOCM_RNG) b |= MODEM_RI;
        if (m & TIOCM_CAR) b |= MODEM_CD;
        *bits = b;
        return 0;
    }

    int error_counts(LineErrorCounts* c) override {
        if (int e = usable()) return e;
        struct serial_icounter_struct ic;
        if (::ioctl(fd_, TIOCGICOUNT, &ic) != 0) return -errno;
        c->frame = static_cast<uint32_t>(ic.frame);
        c->overrun = static_cast<uint32_t>(ic.overrun);
        c->parity = static_cast<uint32_t>(ic.parity);
        c->brk = static_cast<uint32_t>(ic.brk);
        c->buf_overrun = static_cast<uint32_t>(ic.buf_overrun);
        return 0;
    }

    int purge_tx() override {
        if (int e = usable()) return e;
        tx_len_ = 0;  // unsent, so discarded with the rest
        return ::tcflush(fd_, TCOFLUSH) == 0 ? 0 : -errno;
    }

    int close() override {
        if (fd_ < 0) return 0;
        hand_over();
        tx_len_ = 0;
        ::ioctl(fd_, TIOCNXCL);
        ::flock(fd_, LOCK_UN);
        int r = ::close(fd_);
        fd_ = -1;
        gone_ = false;
        rx_head_ = rx_tail_ = 0;
        return r == 0 ? 0 : -errno;
    }

private:
    int no_uart() {
        report_.why = report_.device + " nema UART (takovy port v pocitaci neni)";
        return -ENODEV;
    }

    // Names whoever else has the port, where someone has; true when found.
    bool name_holder(dev_t rdev) {
        const auto h = find_tty_holder(report_.device, rdev);
        if (h) report_.why = holder_text(*h);
        return h.has_value();
    }

    int usable() const {
        if (fd_ < 0) return -EBADF;
        return gone_ ? -EIO : 0;
    }

    // EIO from a tty means its other end (pty peer, USB adapter) is gone for good.
    int failed(int e) {
        if (e == EIO) gone_ = true;
        return -e;
    }

    // Hands the kept bytes to the kernel, as many as it takes now; 0 or -errno.
    int hand_over() {
        if (int e = usable()) return e;
        while (tx_len_ > 0) {
            const int r = write_fd(tx_buf_, tx_len_);
            if (r < 0) return r;
            if (r == 0) break;
            std::memmove(tx_buf_, tx_buf_ + r, tx_len_ - static_cast<size_t>(r));
            tx_len_ -= static_cast<size_t>(r);
        }
        return 0;
    }

    int write_fd(const uint8_t* buf, size_t n) {
        ssize_t r = ::write(fd_, buf, n);
        if (r >= 0) return static_cast<int>(r);
        if (errno == EAGAIN || errno == EINTR) return 0;
        return failed(errno);
    }

    int read_fd(uint8_t* buf, size_t n) {
        ssize_t r = ::read(fd_, buf, n);
        if (r > 0) return static_cast<int>(r);
        if (r == 0) return hung_up() ? failed(EIO) : 0;
        if (errno == EAGAIN || errno == EINTR) return 0;
        return failed(errno);
    }

    bool hung_up() const {
        struct pollfd p = {fd_, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL));
    }

    int modem_bit(int bit, bool on) {
        if (int e = hand_over()) return e;
        return ::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bit) == 0 ? 0 : -errno;
    }

    int fd_ = -1;
    bool gone_ = false;
    OpenReport report_;
    // Received bytes already taken from the kernel, not yet from us.
    uint8_t rx_buf_[256];
    size_t rx_head_ = 0;
    size_t rx_tail_ = 0;
    // Written bytes not yet handed to the kernel.
    uint8_t tx_buf_[256];
    size_t tx_len_ = 0;
};

}  // namespace

void wait_transmitter_empty(const std::function<int(unsigned* lsr)>& read_lsr) {
    // tcdrain returns once the driver's buffer is empty; the shift register
    // may still be sending. Bounded in case it never reports empty.
    for (int i = 0; i < 200; ++i) {
        unsigned lsr = 0;
        if (read_lsr(&lsr) != 0 || (lsr & TIOCSER_TEMT)) return;
        struct timespec ts = {0, 250000};
        ::nanosleep(&ts, nullptr);
    }
}

std::unique_ptr<SerialDevice> make_serial_device() {
    return std::make_unique<PosixSerialDevice>();
}

int set_raw_8n1(int fd, uint32_t baud) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0) return -errno;
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    const speed_t code = standard_speed(baud);
    if (code != B0) ::cfsetspeed(&t, code);
    if (::tcsetattr(fd, TCSANOW, &t) != 0) return -errno;
    return code == B0 ? termios2_set_baud(fd, baud) : 0;
}

}  // namespace platform
