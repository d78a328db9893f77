// The device beneath the serial driver: POSIX termios in production,
// an in-memory line or a simulated line in tests.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform {

// Line settings as the driver's working copy describes them.
struct LineSettings {
    uint32_t baud = 19200;
    int data_bits = 8;      // 5..8
    int parity = 0;         // 0 none, 1 odd, 2 even, 3 mark, 4 space
    int stop_bits = 1;      // 1 or 2
    bool xon_xoff_out = false;
    bool xon_xoff_in = false;
    bool cts_flow = false;  // output waits for CTS
    bool rts_flow = false;  // RTS driven by the receiver (with cts_flow: CRTSCTS)
    bool dsr_flow = false;
    bool dtr_flow = false;
};

// Modem status bits as the driver reports them.
enum : unsigned { MODEM_CTS = 0x10, MODEM_DSR = 0x20, MODEM_RI = 0x40, MODEM_CD = 0x80 };

// Running counts of line errors since open (as TIOCGICOUNT gives them).
struct LineErrorCounts {
    uint32_t frame = 0, overrun = 0, parity = 0, brk = 0, buf_overrun = 0;
};

// What the last open found out beyond its result, for the log.
struct OpenReport {
    std::string device;  // the device the path led to, links followed
    std::string why;     // why it failed, in plain Czech; empty when the code says it all
    std::string notice;  // a remark on a device that opened (a slow receive timer); usually empty
};

// Every call returns 0 (or a count) on success and -errno on failure.
class SerialDevice {
public:
    virtual ~SerialDevice() = default;
    virtual int open(const std::string& path) = 0;
    virtual OpenReport open_report() const { return {}; }
    virtual int apply(const LineSettings& s) = 0;
    virtual int rx_count() = 0;                              // bytes waiting to be read
    virtual int tx_count() = 0;                              // bytes not yet sent
    virtual int read(uint8_t* buf, size_t n) = 0;            // never blocks; bytes read
    // Never blocks; bytes taken. A device may keep them together until its
    // next call other than write, tx_count or error_counts (they count as queued).
    virtual int write(const uint8_t* buf, size_t n) = 0;
    // Blocks until a byte can be read or timeout_ms passes (-1: no limit).
    // 1 = readable, 0 = time-out.
    virtual int wait_rx(int timeout_ms) = 0;
    // The same to the microsecond, for deadlines that must not round up to a
    // whole millisecond; a device that only knows milliseconds rounds up.
    virtual int wait_rx_us(uint64_t timeout_us) {
        const uint64_t ms = (timeout_us + 999) / 1000;
        return wait_rx(ms > 0x7fffffff ? 0x7fffffff : static_cast<int>(ms));
    }
    // Blocks until everything written has left the transmitter.
    virtual int drain_tx() = 0;
    virtual int set_rts(bool on) = 0;
    virtual int set_dtr(bool on) = 0;
    virtual int set_break(bool on) = 0;
    virtual int modem_status(unsigned* bits) = 0;            // MODEM_* bits
    virtual int error_counts(LineErrorCounts* c) = 0;        // -ENOTTY where the device has none
    virtual int purge_tx() = 0;
    virtual int close() = 0;
};

// The system's serial device: termios, or the Win32 communications API.
std::unique_ptr<SerialDevice> make_serial_device();

// Path of COMn (n from 1): the dosdevices link when it exists, else
// /dev/ttyS<n-1>; on Windows \\.\COMn.
std::string com_device_path(int com_number);

// Something is at the device path now (an adapter plugged in again), so a
// reopen may be tried; asked without opening it.
bool device_present(const std::string& path);

}  // namespace platform
