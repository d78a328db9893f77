// The driver's own data of a port: only the driver and its white-box tests
// include this.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "platform/serial_device.h"
#include "serial/com_port.h"

// Accumulated line error bits, with the values of the platform's CE_ bits.
enum : uint32_t {
    Ce_rxover = 0x0001,
    Ce_overrun = 0x0002,
    Ce_rxparity = 0x0004,
    Ce_frame = 0x0008,
    Ce_break = 0x0010,
    Ce_txfull = 0x0100,
    Ce_mode = 0x8000,
};

enum : uint8_t { Dtr_control_disable = 0, Dtr_control_enable = 1, Dtr_control_handshake = 2 };
enum : uint8_t {
    Rts_control_disable = 0,
    Rts_control_enable = 1,
    Rts_control_handshake = 2,
    Rts_control_toggle = 3,
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
    uint8_t fDtrControl = Dtr_control_enable;
    uint8_t fDsrSensitivity = 0;
    uint8_t fTXContinueOnXoff = 0;
    uint8_t fOutX = 0;
    uint8_t fInX = 0;
    uint8_t fErrorChar = 0;
    uint8_t fNull = 0;
    uint8_t fRtsControl = Rts_control_enable;
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

