// The Win32 communications device: what the driver needs of a COM port.
// Written to be right on Windows and to work under Wine, whose serial
// emulation differs: EscapeCommFunction(SETRTS/CLRRTS) and
// GetCommModemStatus fail with ERROR_NOT_SUPPORTED, a read that is told to
// return at once never completes when nothing has come, and WaitCommEvent
// wakes with an empty mask. So no read is issued for bytes that are not
// queued, and a wait for the first byte is a one-byte read that is cancelled
// when its time is up.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/serial_device.h"
#include "platform/timer_win32.h"

#ifndef ERROR_NO_SUCH_DEVICE
#define ERROR_NO_SUCH_DEVICE 433L
#endif

namespace platform {

namespace {

// The driver's queue sizes; SetupComm takes them as a recommendation.
constexpr DWORD Queue_size = 1050;

// Longest a read of bytes already queued, or the end of a write at close,
// is waited for: neither should take any time, and a stuck device must not
// hang the program.
constexpr DWORD Stuck_ms = 500;

// Errors of an open handle that mean the device is gone (a USB adapter
// pulled out): usbser and most adapter drivers answer ACCESS_DENIED or
// BAD_COMMAND once the device has been removed; Wine answers NOT_READY and
// BROKEN_PIPE for a line whose other end has hung up.
bool is_vanished(DWORD e) {
    switch (e) {
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_NOT_READY:
    case ERROR_BROKEN_PIPE:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_NO_SUCH_DEVICE:
    case ERROR_INVALID_HANDLE:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_IO_DEVICE:
        return true;
    default:
        return false;
    }
}

// GetLastError of an open, as the -errno the driver maps.
int open_error(DWORD e) {
    switch (e) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_NO_SUCH_DEVICE:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
        return -ENOENT;
    case ERROR_ACCESS_DENIED:  // another program has the port
        return -EACCES;
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
        return -EBUSY;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_NO_SYSTEM_RESOURCES:
        return -ENOMEM;
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
        return -ENOTTY;
    default:
        return -EIO;
    }
}

// GetLastError of a call on an open port.
int io_error(DWORD e) {
    if (is_vanished(e)) return -EIO;
    switch (e) {
    // The device has no such function (Wine has no RTS or modem lines).
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
        return -ENOTTY;
    case ERROR_INVALID_PARAMETER:
        return -EINVAL;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_NO_SYSTEM_RESOURCES:
        return -ENOMEM;
    case ERROR_SEM_TIMEOUT:
    case WAIT_TIMEOUT:
        return -ETIMEDOUT;
    default:
        return -EPROTO;
    }
}

class Win32SerialDevice final : public SerialDevice {
public:
    Win32SerialDevice() {
        read_ov_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        write_ov_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    ~Win32SerialDevice() override {
        close();
        if (read_ov_.hEvent) CloseHandle(read_ov_.hEvent);
        if (write_ov_.hEvent) CloseHandle(write_ov_.hEvent);
    }
    Win32SerialDevice(const Win32SerialDevice&) = delete;
    Win32SerialDevice& operator=(const Win32SerialDevice&) = delete;

    int open(const std::string& path) override {
        close();
        report_ = OpenReport{};
        report_.device = dos_device_of(path);
        if (!read_ov_.hEvent || !write_ov_.hEvent) return -ENOMEM;
        HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            const DWORD e = GetLastError();
            if (e == ERROR_ACCESS_DENIED) report_.why = "port uz ma otevreny jiny program";
            return open_error(e);
        }
        // Anything that keeps no line settings is no serial port.
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (GetFileType(h) != FILE_TYPE_CHAR || !GetCommState(h, &dcb)) {
            CloseHandle(h);
            return -ENOTTY;
        }
        SetupComm(h, Queue_size, Queue_size);
        SetCommMask(h, 0);
        // No time-outs: a read asks only for bytes already queued, or waits
        // for one byte until it is cancelled.
        COMMTIMEOUTS t{};
        SetCommTimeouts(h, &t);
        // Raw 8N1 without flow control, whatever the port was left with;
        // DTR and RTS raised as an open raises them.
        dcb.fBinary = TRUE;
        dcb.fParity = FALSE;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fDsrSensitivity = FALSE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fErrorChar = FALSE;
        dcb.fNull = FALSE;
        // With it set, one line error stops every transfer until it is cleared.
        dcb.fAbortOnError = FALSE;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        SetCommState(h, &dcb);
        PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
        handle_ = h;
        gone_ = false;
        rts_on_ = dtr_on_ = true;
        rx_head_ = rx_tail_ = 0;
        held_len_ = 0;
        write_pending_ = false;
        flight_len_ = 0;
        counts_ = LineErrorCounts{};
        return 0;
    }

    OpenReport open_report() const override { return report_; }

    int apply(const LineSettings& s) override {
        if (int e = hand_over()) return e;
        if (s.baud == 0 || s.data_bits < 5 || s.data_bits > 8 || s.parity < 0 || s.parity > 4 ||
            (s.stop_bits != 1 && s.stop_bits != 2))
            return -EINVAL;
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(handle_, &dcb)) return failed(GetLastError());
        dcb.BaudRate = s.baud;
        dcb.ByteSize = static_cast<BYTE>(s.data_bits);
        dcb.Parity = static_cast<BYTE>(s.parity);  // NOPARITY .. SPACEPARITY in the same order
        dcb.fParity = s.parity != 0;
        dcb.StopBits = s.stop_bits == 2 ? TWOSTOPBITS : ONESTOPBIT;
        dcb.fBinary = TRUE;
        dcb.fOutX = s.xon_xoff_out;
        dcb.fInX = s.xon_xoff_in;
        dcb.XonChar = 0x11;
        dcb.XoffChar = 0x13;
        dcb.XonLim = dcb.XoffLim = static_cast<WORD>(Queue_size / 4);
        dcb.fOutxCtsFlow = s.cts_flow;
        dcb.fOutxDsrFlow = s.dsr_flow;
        dcb.fDsrSensitivity = FALSE;
        dcb.fErrorChar = FALSE;
        dcb.fNull = FALSE;
        dcb.fAbortOnError = FALSE;
        // Outside a handshake the lines keep the level last set.
        dcb.fRtsControl = s.rts_flow ? RTS_CONTROL_HANDSHAKE : rts_on_ ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
        dcb.fDtrControl = s.dtr_flow ? DTR_CONTROL_HANDSHAKE : dtr_on_ ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
        if (!SetCommState(handle_, &dcb)) return failed(GetLastError());
        return 0;
    }

    int rx_count() override {
        if (int e = hand_over()) return e;
        COMSTAT st{};
        if (int e = clear_comm_error(&st)) return e;
        return static_cast<int>(st.cbInQue + (rx_tail_ - rx_head_));
    }

    int tx_count() override {
        if (int e = usable()) return e;
        if (int e = settle_write(false)) return e;
        COMSTAT st{};
        if (int e = clear_comm_error(&st)) return e;
        DWORD out = st.cbOutQue;
        // Wine counts only what its tty holds, not a write still pending.
        if (write_pending_ && out == 0) out = flight_len_;
        return static_cast<int>(out + held_len_);
    }

    // One ReadFile takes all that is queued; the link then takes the bytes
    // one at a time without a system call each.
    int read(uint8_t* buf, size_t n) override {
        if (int e = hand_over()) return e;
        if (n == 0) return 0;
        if (rx_head_ == rx_tail_) {
            rx_head_ = rx_tail_ = 0;
            COMSTAT st{};
            if (int e = clear_comm_error(&st)) return e;
            if (st.cbInQue == 0) return 0;
            const DWORD want = std::min<DWORD>(st.cbInQue, sizeof rx_buf_);
            DWORD got = 0;
            if (int e = read_queued(rx_buf_, want, &got)) return e;
            rx_tail_ = got;
        }
        const size_t k = std::min(n, rx_tail_ - rx_head_);
        std::memcpy(buf, rx_buf_ + rx_head_, k);
        rx_head_ += k;
        return static_cast<int>(k);
    }

    // A frame comes a byte at a time: its bytes are kept together and go
    // out in one WriteFile at the next call that is not another write, so
    // the line sees the frame whole.
    int write(const uint8_t* buf, size_t n) override {
        if (int e = usable()) return e;
        if (n == 0) return 0;
        if (held_len_ == sizeof held_)
            if (int e = hand_over()) return e;
        const size_t k = std::min(n, sizeof held_ - held_len_);
        std::memcpy(held_ + held_len_, buf, k);
        held_len_ += k;
        return static_cast<int>(k);
    }

    int wait_rx(int timeout_ms) override {
        if (timeout_ms < 0) return wait_for_byte(nullptr);
        const uint64_t us = uint64_t(timeout_ms) * 1000;
        return wait_for_byte(&us);
    }

    int wait_rx_us(uint64_t timeout_us) override { return wait_for_byte(&timeout_us); }

    int drain_tx() override {
        if (int e = usable()) return e;
        // Held bytes go out once the write before them has ended.
        for (int i = 0; i < 2 && (held_len_ > 0 || write_pending_); ++i) {
            if (int e = settle_write(true)) return e;
            if (int e = hand_over()) return e;
        }
        if (int e = settle_write(true)) return e;
        // The port's own queue: polled, as Wine has no event for it. Bounded
        // by the queue's wire time at the slowest rate, for a port held by
        // a handshake line that never comes.
        for (int i = 0; i < 10000; ++i) {
            COMSTAT st{};
            if (int e = clear_comm_error(&st)) return e;
            if (st.cbOutQue == 0) break;
            win32::sleep_precise_us(500);
        }
        return 0;
    }

    int set_rts(bool on) override {
        if (int e = hand_over()) return e;
        rts_on_ = on;
        return EscapeCommFunction(handle_, on ? SETRTS : CLRRTS) ? 0 : failed(GetLastError());
    }

    int set_dtr(bool on) override {
        if (int e = hand_over()) return e;
        dtr_on_ = on;
        return EscapeCommFunction(handle_, on ? SETDTR : CLRDTR) ? 0 : failed(GetLastError());
    }

    int set_break(bool on) override {
        if (int e = hand_over()) return e;
        const BOOL ok = on ? SetCommBreak(handle_) : ClearCommBreak(handle_);
        return ok ? 0 : failed(GetLastError());
    }

    int modem_status(unsigned* bits) override {
        if (int e = hand_over()) return e;
        DWORD m = 0;
        if (!GetCommModemStatus(handle_, &m)) return failed(GetLastError());
        unsigned b = 0;
        if (m & MS_CTS_ON) b |= MODEM_CTS;
        if (m & MS_DSR_ON) b |= MODEM_DSR;
        if (m & MS_RING_ON) b |= MODEM_RI;
        if (m & MS_RLSD_ON) b |= MODEM_CD;
        *bits = b;
        return 0;
    }

    // ClearCommError reports each error once; the counts add them up since
    // the open, as the driver expects of a device.
    int error_counts(LineErrorCounts* c) override {
        if (int e = usable()) return e;
        COMSTAT st{};
        if (int e = clear_comm_error(&st)) return e;
        *c = counts_;
        return 0;
    }

    int purge_tx() override {
        if (int e = usable()) return e;
        held_len_ = 0;
        // TXABORT ends our own pending write too: its bytes are unsent.
        if (!PurgeComm(handle_, PURGE_TXABORT | PURGE_TXCLEAR)) return failed(GetLastError());
        if (write_pending_) {
            CancelIoEx(handle_, &write_ov_);
            DWORD n = 0;
            GetOverlappedResult(handle_, &write_ov_, &n, TRUE);
            write_pending_ = false;
        }
        return 0;
    }

    int close() override {
        if (handle_ == INVALID_HANDLE_VALUE) return 0;
        if (!gone_) {
            hand_over();
            // A frame handed over is not cut off by the close.
            if (write_pending_ && WaitForSingleObject(write_ov_.hEvent, Stuck_ms) != WAIT_OBJECT_0)
                CancelIoEx(handle_, &write_ov_);
        }
        if (write_pending_) {
            DWORD n = 0;
            GetOverlappedResult(handle_, &write_ov_, &n, TRUE);
        }
        const BOOL ok = CloseHandle(handle_);
        const DWORD e = ok ? 0 : GetLastError();
        handle_ = INVALID_HANDLE_VALUE;
        gone_ = false;
        write_pending_ = false;
        held_len_ = 0;
        rx_head_ = rx_tail_ = 0;
        return ok ? 0 : io_error(e);
    }

private:
    // What \\.\COMn stands for (\Device\Serial0, \Device\VCP0), for the log.
    static std::string dos_device_of(const std::string& path) {
        const std::string prefix = "\\\\.\\";
        if (path.compare(0, prefix.size(), prefix) != 0) return path;
        char target[512];
        if (QueryDosDeviceA(path.c_str() + prefix.size(), target, sizeof target) == 0) return path;
        return target;
    }

    int usable() const {
        if (handle_ == INVALID_HANDLE_VALUE) return -EBADF;
        return gone_ ? -EIO : 0;
    }

    int failed(DWORD e) {
        const int r = io_error(e);
        if (r == -EIO) gone_ = true;
        return r;
    }

    // Queue counts, and the line errors since the last call added to the counts.
    int clear_comm_error(COMSTAT* st) {
        DWORD errors = 0;
        if (!ClearCommError(handle_, &errors, st)) return failed(GetLastError());
        if (errors & CE_FRAME) ++counts_.frame;
        if (errors & CE_OVERRUN) ++counts_.overrun;
        if (errors & CE_RXPARITY) ++counts_.parity;
        if (errors & CE_BREAK) ++counts_.brk;
        if (errors & CE_RXOVER) ++counts_.buf_overrun;
        return 0;
    }

    // Reads bytes known to be queued; the read ends at once, and is
    // cancelled should a device keep it.
    int read_queued(uint8_t* buf, DWORD want, DWORD* got) {
        ResetEvent(read_ov_.hEvent);
        if (ReadFile(handle_, buf, want, got, &read_ov_)) return 0;
        const DWORD e = GetLastError();
        if (e != ERROR_IO_PENDING) return failed(e);
        if (WaitForSingleObject(read_ov_.hEvent, Stuck_ms) != WAIT_OBJECT_0) CancelIoEx(handle_, &read_ov_);
        return finish_read(got);
    }

    // The result of the read in flight, cancelled or not; 0 with the count.
    int finish_read(DWORD* got) {
        *got = 0;
        if (GetOverlappedResult(handle_, &read_ov_, got, TRUE)) return 0;
        const DWORD e = GetLastError();
        return e == ERROR_OPERATION_ABORTED ? 0 : failed(e);
    }

    // 1 when a byte can be read, 0 when the time passed first. A one-byte
    // read stands in for the wait: it ends when the byte comes, on Windows
    // and under Wine alike, and is cancelled when the time is up.
    int wait_for_byte(const uint64_t* timeout_us) {
        if (int e = hand_over()) return e;
        if (rx_head_ != rx_tail_) return 1;
        COMSTAT st{};
        if (int e = clear_comm_error(&st)) return e;
        if (st.cbInQue > 0) return 1;
        if (timeout_us && *timeout_us == 0) return 0;
        rx_head_ = rx_tail_ = 0;
        DWORD got = 0;
        ResetEvent(read_ov_.hEvent);
        if (ReadFile(handle_, rx_buf_, 1, &got, &read_ov_)) {
            rx_tail_ = got;
            return got > 0 ? 1 : 0;
        }
        const DWORD e = GetLastError();
        if (e != ERROR_IO_PENDING) return failed(e);
        HANDLE waits[2] = {read_ov_.hEvent, nullptr};
        DWORD count = 1;
        DWORD ms = INFINITE;
        if (timeout_us) {
            void* timer = win32::thread_wait_timer();
            if (win32::arm_wait_timer(timer, *timeout_us)) {
                waits[count++] = static_cast<HANDLE>(timer);
            } else {
                const uint64_t rounded = (*timeout_us + 999) / 1000;
                ms = rounded >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(rounded);
            }
        }
        const DWORD w = WaitForMultipleObjects(count, waits, FALSE, ms);
        if (w != WAIT_OBJECT_0) CancelIoEx(handle_, &read_ov_);
        // A byte that came just as the time ran out is kept all the same.
        if (int r = finish_read(&got)) return r;
        rx_tail_ = got;
        return got > 0 ? 1 : 0;
    }

    // Notes the end of the write in flight (waiting for it when wait is set).
    int settle_write(bool wait) {
        if (!write_pending_) return 0;
        DWORD n = 0;
        if (wait && WaitForSingleObject(write_ov_.hEvent, INFINITE) != WAIT_OBJECT_0) return failed(GetLastError());
        if (GetOverlappedResult(handle_, &write_ov_, &n, FALSE)) {
            write_pending_ = false;
            return 0;
        }
        const DWORD e = GetLastError();
        if (e == ERROR_IO_INCOMPLETE) return 0;
        write_pending_ = false;
        return e == ERROR_OPERATION_ABORTED ? 0 : failed(e);
    }

    // Starts the held bytes on their way once no write is in flight; until
    // then they stay held and count as queued. 0 or -errno.
    int hand_over() {
        if (int e = usable()) return e;
        if (held_len_ == 0) return 0;
        if (int e = settle_write(false)) return e;
        if (write_pending_) return 0;
        std::memcpy(flight_, held_, held_len_);
        flight_len_ = static_cast<DWORD>(held_len_);
        held_len_ = 0;
        ResetEvent(write_ov_.hEvent);
        DWORD n = 0;
        if (WriteFile(handle_, flight_, flight_len_, &n, &write_ov_)) return 0;
        const DWORD e = GetLastError();
        if (e == ERROR_IO_PENDING) {
            write_pending_ = true;
            return 0;
        }
        return failed(e);
    }

    HANDLE handle_ = INVALID_HANDLE_VALUE;
    bool gone_ = false;
    bool rts_on_ = true;
    bool dtr_on_ = true;
    OpenReport report_;
    LineErrorCounts counts_;
    // One record per direction: a pending write must not share its record
    // with a read.
    OVERLAPPED read_ov_{};
    OVERLAPPED write_ov_{};
    // Received bytes already read from the port, not yet taken.
    uint8_t rx_buf_[1024];
    size_t rx_head_ = 0;
    size_t rx_tail_ = 0;
    // Written bytes not yet handed to the port.
    uint8_t held_[Queue_size];
    size_t held_len_ = 0;
    // The bytes of the write in flight, which must stay put until it ends.
    uint8_t flight_[Queue_size];
    DWORD flight_len_ = 0;
    bool write_pending_ = false;
};

}  // namespace

std::unique_ptr<SerialDevice> make_serial_device() { return std::make_unique<Win32SerialDevice>(); }

}  // namespace platform
