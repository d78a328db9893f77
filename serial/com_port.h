// The serial port driver: a port object carrying its own operation table,
// over a platform::SerialDevice.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/serial_device.h"

// Driver error codes; 0 is success. Their names are printed by the error log.
enum ComError {
    GENERALERROR = -1,
    INVPORT = -2,
    INUSE = -3,
    INVBUFSIZE = -4,
    NOMEMORY = -5,
    NOTSETUP = -6,
    INVPAR = -7,
    BUFREMPTY = -8,
    BUFRFULL = -9,
    TIMEOUT = -10,
    NOCTS = -11,
    NOCD = -12,
    NODSR = -13,
    NO8250 = -14,
    XMSTATUS = -15,
    USERABORT = -16,
    FILERR = -17,
    XMERROR = -18,
    NOWIDERX = -19,
    CONFLICT = -20,
    CRCMODE = -21,
    NOHAYESOK = -22,
    NOHAYESRESPONSE = -23,
    NOTSUPPORTED = -24,
    ILLEGALBAUDRATE = -25,
    ILLEGALPARITY = -26,
    ILLEGALWORDLENGTH = -27,
    ILLEGALSTOPBITS = -28,
    NOCOPYRIGHTNOTICE = -29,
    DRIVERNOTINSTALLED = -30,
    OVERFLOW = -31,
    CONNECTFAILURE = -32,
    DOSEXTENDERERROR = -33,
    ILLEGALBOARDNUMBER = -34,
    BOARDINUSE = -35,
    HANDSHAKEBLOCK = -36,
    MAXPORTSEXCEEDED = -37,
    ILLEGALIRQ = -38,
    IRQINUSE = -39,
    // The printed names of -40..-42 begin with "_", which C++ reserves.
    THUNK_SETUP_FAILED = -40,
    NASI_ERROR = -41,
    PACKING_ERROR = -42,
    USERDEFINEDERROR = -75,
};

// Accumulated line error bits (the CE_ values).
enum : uint32_t {
    CE_RXOVER = 0x0001,
    CE_OVERRUN = 0x0002,
    CE_RXPARITY = 0x0004,
    CE_FRAME = 0x0008,
    CE_BREAK = 0x0010,
    CE_TXFULL = 0x0100,
    CE_MODE = 0x8000,
};

enum : uint8_t { DTR_CONTROL_DISABLE = 0, DTR_CONTROL_ENABLE = 1, DTR_CONTROL_HANDSHAKE = 2 };
enum : uint8_t {
    RTS_CONTROL_DISABLE = 0,
    RTS_CONTROL_ENABLE = 1,
    RTS_CONTROL_HANDSHAKE = 2,
    RTS_CONTROL_TOGGLE = 3,
};

// The working copy of the line settings, edited in place by the settings
// operations and applied whole.
struct Dcb {
    uint32_t BaudRate = 9600;
    uint8_t ByteSize = 8;
    uint8_t Parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t StopBits = 0;  // 0 one, 1 one and a half, 2 two
    uint8_t fBinary = 1;
    uint8_t fParity = 0;
    uint8_t fOutxCtsFlow = 0;
    uint8_t fOutxDsrFlow = 0;
    uint8_t fDtrControl = DTR_CONTROL_ENABLE;
    uint8_t fDsrSensitivity = 0;
    uint8_t fTXContinueOnXoff = 0;
    uint8_t fOutX = 0;
    uint8_t fInX = 0;
    uint8_t fErrorChar = 0;
    uint8_t fNull = 0;
    uint8_t fRtsControl = RTS_CONTROL_ENABLE;
    uint8_t fAbortOnError = 0;
    uint16_t XonLim = 0;
    uint16_t XoffLim = 0;
    uint8_t XonChar = 0x11;
    uint8_t XoffChar = 0x13;
    uint8_t ErrorChar = 0;
    uint8_t EofChar = 0;
    uint8_t EvtChar = 0;
};

// The device data of a port that reached the device open.
struct Win32PortData {
    uint32_t rx_queue_size = 0;
    uint32_t tx_queue_size = 0;
    Dcb dcb;
    uint32_t line_errors = 0;  // CE_ bits since the last op_clear_line_errors
    uint32_t uart_register = 0;
    std::unique_ptr<platform::SerialDevice> device;  // null once the open failed
    platform::LineErrorCounts last_counts;            // for the error deltas
    bool has_error_counts = true;                     // false once the device said it has none
    std::string path;                                 // what was opened (the COM link), for a reopen
    platform::OpenReport report;                      // what the device said about the last open
    // The device failed (unplugged, hung up): its descriptor is closed, every
    // call fails at once until reopen_com_port.
    bool gone = false;
    // Keying: RTS must not drop under a frame. Bytes written count as on the
    // wire from the device call after them (the termios device holds a frame
    // until then); wire_end_us is when the last of them has left.
    bool has_rts = true;     // false once the device said it has no RTS line (a pty)
    bool tx_unsent = false;  // written since the last completed wait for the transmitter
    uint32_t held_bytes = 0;
    uint64_t wire_end_us = 0;
};

using LinePrinter = void (*)(const char* line);

struct ComPort {
    std::unique_ptr<Win32PortData> data;
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
// inside the link's timed waits.
int read_byte_timed_us(ComPort* port, uint64_t timeout_us, bool dispatch = true);
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
