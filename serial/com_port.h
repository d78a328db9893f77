// The serial port driver: a port object carrying its own operation table,
// over a platform::SerialDevice.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "diag/serial_errors.h"
#include "platform/serial_device.h"

// The device data of a port that reached the device open; the driver's own
// (serial/com_port_private.h).
struct Win32PortData;
struct PortDataDeleter {
    void operator()(Win32PortData* d) const;
};

using LinePrinter = void (*)(const char* line);

struct ComPort {
    std::unique_ptr<Win32PortData, PortDataDeleter> data;
    ComPort* next = nullptr;
    int32_t port_index = 0;
    int32_t status = 0;
    int32_t transfer_count = 0;

    // The operation table, in slot order; call as port->op_x(port, ...).
    int (*op_read_byte)(ComPort*);
    int (*op_reserved_a)(ComPort*);
    int (*op_write_byte)(ComPort*, int byte);
    int (*op_close)(ComPort*);
    int (*op_set_line)(ComPort*, int baud, char parity, uint8_t word_length, int stop_bits);
    int (*op_xon_xoff)(ComPort*, int on);
    int (*op_rts_cts)(ComPort*, int on);
    int (*op_dtr_dsr)(ComPort*, int on);
    int (*op_dtr)(ComPort*, int on);
    int (*op_rts)(ComPort*, int on);
    int (*op_tx_free)(ComPort*);
    int (*op_tx_count)(ComPort*);
    int (*op_rx_free)(ComPort*);
    int (*op_rx_count)(ComPort*);
    int (*op_purge_tx)(ComPort*);
    int (*op_write_block)(ComPort*, const uint8_t* buf, uint32_t length);
    int (*op_read_block)(ComPort*, uint8_t* buf, uint32_t length);
    int (*op_dump)(ComPort*, LinePrinter printer);
    int (*op_break)(ComPort*, int ms);
    int (*op_modem_status)(ComPort*);
    int (*op_line_status)(ComPort*);
    int (*op_clear_line_errors)(ComPort*);
    int (*op_reserved_b)(ComPort*);
    void (*op_clear_status)(ComPort*);
};

// Receive and transmit queue sizes of every port.
constexpr uint32_t Rx_queue_size = 1050;
constexpr uint32_t Tx_queue_size = 1050;

// Opens COM<port_index + 1>. Never null: failure is a negative status in the
// returned port, which still has to be closed with op_close.
ComPort* open_com_port(int port_index, int baud, char parity, uint8_t word_length, int stop_bits);

// A byte 0..255 within ms (-1: no limit), -8 on time-out, or an error code.
int read_byte_timed(ComPort* port, int ms);
// The same with a time-out in microseconds, for deadlines kept to the microsecond.
// dispatch = false waits without the idle hook, so no window handler runs
// inside the link's timed waits. in_time, when given, tells a byte that was
// there before the time-out ran out (even if this thread ran late) from one
// found only after it.
int read_byte_timed_us(ComPort* port, uint64_t timeout_us, bool dispatch = true, bool* in_time = nullptr);
// Discards everything received; 0 or an error code.
int drain_rx(ComPort* port);
// 1 when nothing is waiting, 0 when bytes are, or op_rx_count's error.
int is_rx_empty(ComPort* port);
// Waits ms, running the idle hook; 0 or the hook's negative result.
int idle_wait(ComPort* port, int ms);
// Blocks until everything written has left the transmitter, and at least its
// computed wire time where the line has RTS; -24 on a failed port.
int wait_tx_empty(ComPort* port);
// Opens the device of a port whose device failed again, on the path opened
// first, with the same line settings; never blocks. 0, -14 while the path is
// missing, another code when the open fails, -24 when the device is not gone.
int reopen_com_port(ComPort* port);
// The device the port's COM link led to at its last open (the link itself
// when the device said nothing); empty for a port that never got that far.
std::string device_path_of(const ComPort* port);
// Closes every port still open; registered to run at exit.
void close_all_ports();

// Called while a wait finds nothing to read; a negative result aborts the
// wait. The default dispatches the thread's pending window messages.
using IdleHook = int (*)(ComPort*);
void set_idle_hook(IdleHook hook);  // nullptr restores the default

// Chooses the device each open uses; the path opened on it is
// platform::com_device_path(port_index + 1).
using DeviceFactory = std::function<std::unique_ptr<platform::SerialDevice>(int port_index)>;
void set_device_factory(DeviceFactory f);  // empty restores the termios device

// Translates a device's -errno into a driver code.
int map_system_error(int neg_errno);

// What the port's device said about its last open (why it failed, a remark
// on a slow adapter); null for a port that has no device data.
const platform::OpenReport* open_report_of(const ComPort* port);
// The port reached its device at some open (it may be lost since).
bool has_device(const ComPort* port);
// The device failed (unplugged, hung up) and its descriptor is closed until
// reopen_com_port.
bool device_lost(const ComPort* port);
// When the bytes handed to the device last leave the wire, by their computed
// wire time (process clock, microseconds); 0 before any.
uint64_t wire_end_of(const ComPort* port);

// Where the driver's own lines go (a lost device); the program binds it to
// its log. nullptr: nowhere.
using DriverLog = void (*)(const std::string& line);
void set_driver_log(DriverLog log);
