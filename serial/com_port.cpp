#include "serial/com_port.h"
#include "serial/com_port_private.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "platform/clock.h"
#include "platform/dispatch.h"

namespace {

ComPort* open_ports = nullptr;
bool exit_hook_registered = false;
DeviceFactory device_factory;
DriverLog driver_log = nullptr;

void say(const std::string& line) {
    if (driver_log) driver_log(line);
}

// Longest single wait inside a polling loop, so the idle hook still runs often.
constexpr int Wait_slice_ms = 10;

int default_idle_hook(ComPort*) {
    platform::dispatch_pending_messages();
    return 0;
}
IdleHook idle_hook = default_idle_hook;

void link_port(ComPort* p) {
    p->next = open_ports;
    open_ports = p;
    if (!exit_hook_registered) {
        std::atexit(close_all_ports);
        exit_hook_registered = true;
    }
}

bool is_linked(const ComPort* p) {
    for (const ComPort* q = open_ports; q; q = q->next)
        if (q == p) return true;
    return false;
}

void unlink_port(ComPort* p) {
    for (ComPort** q = &open_ports; *q; q = &(*q)->next) {
        if (*q == p) {
            *q = p->next;
            break;
        }
    }
    p->next = nullptr;
}

ComPort& placeholder();

void release_port(ComPort* p) {
    unlink_port(p);
    if (p != &placeholder()) delete p;
}

// ---- defaults: every slot answers NOTSUPPORTED ----

int not_supported(ComPort* p) {
    p->status = NOTSUPPORTED;
    return NOTSUPPORTED;
}

void install_defaults(ComPort* p) {
    p->op_read_byte = [](ComPort* q) { return not_supported(q); };
    p->op_reserved_a = [](ComPort* q) { return not_supported(q); };
    p->op_write_byte = [](ComPort* q, int) { return not_supported(q); };
    p->op_close = [](ComPort* q) {
        release_port(q);
        return 0;
    };
    p->op_set_line = [](ComPort* q, int, char, uint8_t, int) { return not_supported(q); };
    p->op_xon_xoff = [](ComPort* q, int) { return not_supported(q); };
    p->op_rts_cts = [](ComPort* q, int) { return not_supported(q); };
    p->op_dtr_dsr = [](ComPort* q, int) { return not_supported(q); };
    p->op_dtr = [](ComPort* q, int) { return not_supported(q); };
    p->op_rts = [](ComPort* q, int) { return not_supported(q); };
    p->op_tx_free = [](ComPort* q) { return not_supported(q); };
    p->op_tx_count = [](ComPort* q) { return not_supported(q); };
    p->op_rx_free = [](ComPort* q) { return not_supported(q); };
    p->op_rx_count = [](ComPort* q) { return not_supported(q); };
    p->op_purge_tx = [](ComPort* q) { return not_supported(q); };
    p->op_write_block = [](ComPort* q, const uint8_t*, uint32_t) { return not_supported(q); };
    p->op_read_block = [](ComPort* q, uint8_t*, uint32_t) { return not_supported(q); };
    p->op_dump = [](ComPort* q, LinePrinter print) {
        if (print) {
            print("Port dump not supported for this driver");
            print("");
        }
        return not_supported(q);
    };
    p->op_break = [](ComPort* q, int) { return not_supported(q); };
    p->op_modem_status = [](ComPort* q) { return not_supported(q); };
    p->op_line_status = [](ComPort* q) { return not_supported(q); };
    p->op_clear_line_errors = [](ComPort* q) { return not_supported(q); };
    p->op_reserved_b = [](ComPort* q) { return not_supported(q); };
    p->op_clear_status = [](ComPort* q) { q->status = 0; };
}

// Handed out when memory runs out; shared and never released.
ComPort& placeholder() {
    static ComPort* port = [] {
        static ComPort p;
        install_defaults(&p);
        p.port_index = -1;
        p.status = NOMEMORY;
        return &p;
    }();
    return *port;
}

// ---- the device operations ----

bool usable(const ComPort* p) { return p->data && p->data->device && !p->data->gone; }
bool is_gone(const ComPort* p) { return p->data && p->data->gone; }

// Time n characters take on the wire with the working line settings.
uint64_t wire_time_us(const Dcb& c, uint32_t n) {
    if (c.BaudRate == 0) return 0;
    // In half bits: start, data, parity, and 1, 1.5 or 2 stop bits.
    const uint64_t half_bits = 2 * (1 + uint64_t(c.ByteSize) + (c.Parity ? 1 : 0)) +
                               (c.StopBits == 0 ? 2 : c.StopBits == 1 ? 3 : 4);
    const uint64_t per_second = 2 * uint64_t(c.BaudRate);
    return (n * half_bits * 1'000'000 + per_second - 1) / per_second;
}

// The device for every call but a write or a count of queued output: bytes
// written before such a call are handed to the kernel with it, so their wire
// time starts now (or when the bytes before them have left). A device without
// RTS (a pty) passes them on at once: its far end may answer before a wire
// time has passed.
platform::SerialDevice& dev(ComPort* p) {
    Win32PortData& d = *p->data;
    if (d.held_bytes) {
        const uint64_t now = platform::clock().now_us();
        d.wire_end_us = !d.has_rts ? now : std::max(now, d.wire_end_us) + wire_time_us(d.dcb, d.held_bytes);
        d.held_bytes = 0;
    }
    return *d.device;
}

std::string device_name(const Win32PortData& d) { return d.report.device.empty() ? d.path : d.report.device; }

// A tty failing so is gone for good (unplugged, hung up).
bool is_loss(int neg_errno) { return neg_errno == -EIO || neg_errno == -ENODEV || neg_errno == -ENXIO; }

// The driver code for a device's -errno. A lost device is logged once and
// closed at once: holding it makes a replugged adapter come back under
// another name.
int device_error(ComPort* p, int neg_errno) {
    Win32PortData& d = *p->data;
    if (is_loss(neg_errno) && !d.gone) {
        d.gone = true;
        d.held_bytes = 0;
        d.tx_unsent = false;
        d.device->close();
        say("COM" + std::to_string(p->port_index + 1) + ": zarizeni odpojeno (" + device_name(d) + ")");
    }
    return map_system_error(neg_errno);
}

// What every call on a gone device answers.
constexpr int Gone_error = GENERALERROR;

// Queue counts (where asked for) and the line errors that arose since the
// last call, folded into the accumulated errors. 0 or a driver code.
int clear_comm_error(ComPort* p, int* in, int* out) {
    Win32PortData& d = *p->data;
    if (d.gone) return Gone_error;
    platform::LineErrorCounts c;
    // Asked before every transfer; a device without counters (a pty, many USB
    // adapters) does not grow them, so one refusal is enough.
    const int counted = d.has_error_counts ? d.device->error_counts(&c) : -ENOTTY;
    if (counted == -ENOTTY) d.has_error_counts = false;
    if (is_loss(counted)) return device_error(p, counted);
    if (counted == 0) {
        uint32_t mask = 0;
        if (c.frame != d.last_counts.frame) mask |= Ce_frame;
        if (c.overrun != d.last_counts.overrun) mask |= Ce_overrun;
        if (c.parity != d.last_counts.parity) mask |= Ce_rxparity;
        if (c.brk != d.last_counts.brk) mask |= Ce_break;
        if (c.buf_overrun != d.last_counts.buf_overrun) mask |= Ce_rxover;
        d.last_counts = c;
        d.line_errors |= mask;
    }
    if (in) {
        int n = dev(p).rx_count();
        if (n < 0) return device_error(p, n);
        *in = n;
    }
    if (out) {
        int n = d.device->tx_count();
        if (n < 0) return device_error(p, n);
        *out = n;
    }
    return 0;
}

int fail(ComPort* p, int code) {
    p->status = code;
    return code;
}

// RTS keys the line where the device has the line at all.
void note_rts(Win32PortData& d, int result) {
    if (result == 0) d.has_rts = true;
    if (result == -ENOTTY) d.has_rts = false;
}

// Applies the whole working copy; 0 or a driver code.
int apply_dcb(ComPort* p) {
    if (p->data->gone) return Gone_error;
    const Dcb& dcb = p->data->dcb;
    if (dcb.ByteSize < 5 || dcb.ByteSize > 8) return ILLEGALWORDLENGTH;
    platform::LineSettings s;
    s.baud = dcb.BaudRate;
    s.data_bits = dcb.ByteSize;
    s.parity = dcb.Parity;
    s.stop_bits = dcb.StopBits == 0 ? 1 : 2;
    s.xon_xoff_out = dcb.fOutX != 0;
    s.xon_xoff_in = dcb.fInX != 0;
    s.cts_flow = dcb.fOutxCtsFlow != 0;
    s.rts_flow = dcb.fRtsControl == Rts_control_handshake;
    s.dsr_flow = dcb.fOutxDsrFlow != 0;
    s.dtr_flow = dcb.fDtrControl == Dtr_control_handshake;
    int r = dev(p).apply(s);
    if (r < 0) return device_error(p, r);
    // The line levels follow the control modes, as the settings call sets
    // them; a device without modem lines (a pty) refuses, which is harmless.
    if (dcb.fDtrControl == Dtr_control_enable || dcb.fDtrControl == Dtr_control_disable)
        dev(p).set_dtr(dcb.fDtrControl == Dtr_control_enable);
    if (dcb.fRtsControl == Rts_control_enable || dcb.fRtsControl == Rts_control_disable)
        note_rts(*p->data, dev(p).set_rts(dcb.fRtsControl == Rts_control_enable));
    return 0;
}

int apply_or_fail(ComPort* p) {
    int r = apply_dcb(p);
    return r < 0 ? fail(p, r) : 0;
}

int dev_set_line(ComPort* p, int baud, char parity, uint8_t word_length, int stop_bits) {
    // Unsigned, as the rate is a DWORD: a negative rate is refused too.
    if (static_cast<uint32_t>(baud) > 115200) return fail(p, ILLEGALBAUDRATE);
    Dcb& dcb = p->data->dcb;
    dcb.BaudRate = static_cast<uint32_t>(baud);
    dcb.ByteSize = word_length;
    switch (std::toupper(static_cast<unsigned char>(parity))) {
    case 'N': dcb.Parity = 0; break;
    case 'O': dcb.Parity = 1; break;
    case 'E': dcb.Parity = 2; break;
    case 'M': dcb.Parity = 3; break;
    case 'S': dcb.Parity = 4; break;
    default: return fail(p, ILLEGALPARITY);
    }
    if (stop_bits == 1)
        dcb.StopBits = 0;
    else if (stop_bits == 2)
        dcb.StopBits = 2;
    else
        return fail(p, ILLEGALSTOPBITS);
    return apply_or_fail(p);
}

int dev_read_block(ComPort* p, uint8_t* buf, uint32_t length) {
    int in = 0;
    if (int r = clear_comm_error(p, &in, nullptr); r < 0) {
        // A vanished device is an error, not an empty queue.
        p->transfer_count = 0;
        return fail(p, r);
    }
    if (in == 0) {
        p->transfer_count = 0;
        return BUFREMPTY;
    }
    uint32_t n = length < static_cast<uint32_t>(in) ? length : static_cast<uint32_t>(in);
    int got = dev(p).read(buf, n);
    if (got < 0) {
        const int code = device_error(p, got);
        clear_comm_error(p, nullptr, nullptr);
        p->transfer_count = 0;
        return fail(p, code);
    }
    p->transfer_count = got;
    return 0;
}

int dev_read_byte(ComPort* p) {
    uint8_t b = 0;
    int r = dev_read_block(p, &b, 1);
    if (r < 0) return r;
    if (p->transfer_count == 0) return BUFREMPTY;
    return b;
}

int dev_write_block(ComPort* p, const uint8_t* buf, uint32_t length) {
    const uint32_t size = p->data->tx_queue_size;
    int out = 0;
    if (int r = clear_comm_error(p, nullptr, &out); r < 0) {
        p->transfer_count = 0;
        return fail(p, r);
    }
    // A queue already over its size has no room (rather than wrapping around).
    uint32_t room = static_cast<uint32_t>(out) >= size ? 0 : size - static_cast<uint32_t>(out);
    uint32_t n = room < length ? room : length;
    // Not through dev(): a write hands nothing over by itself.
    int written = n ? p->data->device->write(buf, n) : 0;
    if (written < 0) {
        const int code = device_error(p, written);
        clear_comm_error(p, nullptr, nullptr);
        p->transfer_count = 0;
        return fail(p, code);
    }
    if (written > 0) {
        p->data->held_bytes += static_cast<uint32_t>(written);
        p->data->tx_unsent = true;
    }
    p->transfer_count = written;
    if (static_cast<uint32_t>(written) >= length) return 0;
    return fail(p, BUFRFULL);
}

int dev_write_byte(ComPort* p, int byte) {
    uint8_t b = static_cast<uint8_t>(byte & 0xFF);
    return dev_write_block(p, &b, 1);
}

// Everything written has left: the device's drain, and where RTS keys the
// line never before the computed wire time, as a USB adapter's drain may
// return while the last bytes are still on their way.
int wait_sent(ComPort* p) {
    Win32PortData& d = *p->data;
    if (d.gone) return fail(p, Gone_error);
    const int r = dev(p).drain_tx();
    if (r < 0) return fail(p, device_error(p, r));
    const uint64_t now = platform::clock().now_us();
    if (d.has_rts && now < d.wire_end_us) platform::clock().sleep_us(d.wire_end_us - now);
    d.tx_unsent = false;
    return 0;
}

int dev_close(ComPort* p) {
    Win32PortData& d = *p->data;
    if (d.tx_unsent) wait_sent(p);
    int r = 0;
    if (!d.gone) {  // a lost device is closed already
        dev(p).set_dtr(false);
        dev(p).set_rts(false);
        r = d.device->close();
    }
    release_port(p);
    return r < 0 ? map_system_error(r) : 0;
}

int dev_xon_xoff(ComPort* p, int on) {
    Dcb& dcb = p->data->dcb;
    dcb.fOutX = dcb.fInX = on != 0;
    return apply_or_fail(p);
}

int dev_rts_cts(ComPort* p, int on) {
    Dcb& dcb = p->data->dcb;
    dcb.fOutxCtsFlow = on != 0;
    dcb.fRtsControl = on ? Rts_control_handshake : Rts_control_disable;
    return apply_or_fail(p);
}

int dev_dtr_dsr(ComPort* p, int on) {
    Dcb& dcb = p->data->dcb;
    dcb.fOutxDsrFlow = on != 0;
    dcb.fDtrControl = on ? Dtr_control_handshake : Dtr_control_disable;
    return apply_or_fail(p);
}

// RTS keys every frame, so a plain level change only touches the line; the
// whole settings are applied only when a handshake mode is left. The DTR and
// RTS control values share their numbers (disable 0, enable 1, handshake 2).
static_assert(int(Rts_control_disable) == int(Dtr_control_disable) &&
              int(Rts_control_enable) == int(Dtr_control_enable) &&
              int(Rts_control_handshake) == int(Dtr_control_handshake));

int set_line_level(ComPort* p, bool rts, int on) {
    Win32PortData& d = *p->data;
    // Dropping RTS under a frame would cut it, whatever order the caller chose.
    if (rts && !on && d.tx_unsent) wait_sent(p);
    if (d.gone) return fail(p, Gone_error);
    uint8_t& mode = rts ? d.dcb.fRtsControl : d.dcb.fDtrControl;
    const bool was_handshake = mode == Dtr_control_handshake;
    mode = on ? Dtr_control_enable : Dtr_control_disable;
    if (was_handshake) return apply_or_fail(p);
    const int r = rts ? dev(p).set_rts(on != 0) : dev(p).set_dtr(on != 0);
    if (rts) note_rts(d, r);
    // A line without modem lines (a pty) has nothing to set: not a failure.
    if (r < 0 && r != -ENOTTY) return fail(p, device_error(p, r));
    return 0;
}

int dev_dtr(ComPort* p, int on) { return set_line_level(p, false, on); }

int dev_rts(ComPort* p, int on) { return set_line_level(p, true, on); }

int dev_tx_count(ComPort* p) {
    int out = 0;
    if (int r = clear_comm_error(p, nullptr, &out); r < 0) return fail(p, r);
    return out;
}

// The kernel queues more than the nominal size; no room is 0, never a
// negative count that would read as an error code.
int room(uint32_t size, int count) { return count >= static_cast<int>(size) ? 0 : static_cast<int>(size) - count; }

int dev_tx_free(ComPort* p) {
    int out = dev_tx_count(p);
    return out < 0 ? out : room(p->data->tx_queue_size, out);
}

int dev_rx_count(ComPort* p) {
    int in = 0;
    if (int r = clear_comm_error(p, &in, nullptr); r < 0) return fail(p, r);
    return in;
}

int dev_rx_free(ComPort* p) {
    int in = dev_rx_count(p);
    return in < 0 ? in : room(p->data->rx_queue_size, in);
}

int dev_purge_tx(ComPort* p) {
    Win32PortData& d = *p->data;
    if (d.gone) return fail(p, Gone_error);
    // Discarded bytes never reach the wire.
    d.held_bytes = 0;
    d.wire_end_us = 0;
    d.tx_unsent = false;
    int r = d.device->purge_tx();
    return r < 0 ? fail(p, device_error(p, r)) : 0;
}

int dev_modem_status(ComPort* p) {
    if (p->data->gone) return fail(p, Gone_error);
    unsigned bits = 0;
    int r = dev(p).modem_status(&bits);
    if (r == -ENOTTY) return 0;  // no modem lines (a pty): none raised
    if (r < 0) return fail(p, device_error(p, r));
    return static_cast<int>(bits & 0xFF);
}

int dev_line_status(ComPort* p) {
    clear_comm_error(p, nullptr, nullptr);
    return static_cast<int>(p->data->line_errors & 0x1E);
}

int dev_clear_line_errors(ComPort* p) {
    p->data->line_errors = 0;
    return 0;
}

int dev_break(ComPort* p, int ms) {
    if (!usable(p)) return fail(p, Gone_error);
    if (const int r = dev(p).set_break(true); r < 0) return fail(p, device_error(p, r));
    const int waited = idle_wait(p, ms);
    // The line is let go even when the wait was cut short.
    if (usable(p))
        if (const int r = dev(p).set_break(false); r < 0) return fail(p, device_error(p, r));
    return waited < 0 ? fail(p, waited) : 0;
}

int dev_dump(ComPort* p, LinePrinter print) {
    if (!print) return 0;
    const Win32PortData& d = *p->data;
    const Dcb& c = d.dcb;
    char line[192];
    print("");
    std::snprintf(line, sizeof line, "Port type:  MS Windows  DCB BaudRate: %-6d  ByteSize: %1d  Parity: %1d",
                  static_cast<int>(c.BaudRate), c.ByteSize, c.Parity);
    print(line);
    std::snprintf(line, sizeof line, "StopBits: %1d fBinary: %1d  fRtsControl: %1d", c.StopBits, c.fBinary,
                  c.fRtsControl);
    print(line);
    std::snprintf(line, sizeof line,
                  "Parity: %1d  OutCtsFlow: %1d  OutDsrFlow: %1d  DtrControl: %1d  OutX: %1d  InX: %1d", c.fParity,
                  c.fOutxCtsFlow, c.fOutxDsrFlow, c.fDtrControl, c.fOutX, c.fInX);
    print(line);
    std::snprintf(line, sizeof line, "Null: %1d  DtrControl: %1d  RtsControl: %1d  XonChar: %02x  XoffChar: %02x",
                  c.fNull, c.fDtrControl, c.fRtsControl, c.XonChar, c.XoffChar);
    print(line);
    std::snprintf(line, sizeof line, "XonLim: %-5u XoffLim: %-5u EofChr: %02x  EvtChr: %02x", unsigned(c.XonLim),
                  unsigned(c.XoffLim), c.EofChar, c.EvtChar);
    print(line);
    int ls = dev_line_status(p);
    int in = 0, out = 0;
    clear_comm_error(p, &in, &out);
    std::snprintf(line, sizeof line,
                  "RX count/free: %5d/%-5d  TX count/free: %5d/%-5d  BREAK/FE/OE/PE: %d%d%d%d", in,
                  static_cast<int>(d.rx_queue_size) - in, out, static_cast<int>(d.tx_queue_size) - out,
                  (ls & 0x10) != 0, (ls & 0x08) != 0, (ls & 0x02) != 0, (ls & 0x04) != 0);
    print(line);
    const uint32_t e = d.line_errors;
    std::snprintf(line, sizeof line, "CE_BREAK:%d  CE_FRAME:%d  CE_MODE:%d CE_OVERRUN:%d", (e & Ce_break) != 0,
                  (e & Ce_frame) != 0, (e & Ce_mode) != 0, (e & Ce_overrun) != 0);
    print(line);
    int m = dev_modem_status(p);
    if (m < 0) m = 0;
    std::snprintf(line, sizeof line, "CE_RXOVER:%d CE_RXPARITY:%d CE_TXFULL:%d  CTS/DSR/RI/CD: %d%d%d%d",
                  (e & Ce_rxover) != 0, (e & Ce_rxparity) != 0, (e & Ce_txfull) != 0, (m & 0x10) != 0,
                  (m & 0x20) != 0, (m & 0x40) != 0, (m & 0x80) != 0);
    print(line);
    // "%.4x" prints the same four digits as the classic "%04.4x".
    std::snprintf(line, sizeof line, "8250:%.4x", unsigned(d.uart_register));
    print(line);
    return 0;
}

void install_device_ops(ComPort* p) {
    p->op_read_byte = dev_read_byte;
    p->op_write_byte = dev_write_byte;
    p->op_close = dev_close;
    p->op_set_line = dev_set_line;
    p->op_xon_xoff = dev_xon_xoff;
    p->op_rts_cts = dev_rts_cts;
    p->op_dtr_dsr = dev_dtr_dsr;
    p->op_dtr = dev_dtr;
    p->op_rts = dev_rts;
    p->op_tx_free = dev_tx_free;
    p->op_tx_count = dev_tx_count;
    p->op_rx_free = dev_rx_free;
    p->op_rx_count = dev_rx_count;
    p->op_purge_tx = dev_purge_tx;
    p->op_write_block = dev_write_block;
    p->op_read_block = dev_read_block;
    p->op_dump = dev_dump;
    p->op_break = dev_break;
    p->op_modem_status = dev_modem_status;
    p->op_line_status = dev_line_status;
    p->op_clear_line_errors = dev_clear_line_errors;
}

// Errors counted before an open are not this port's.
void take_error_baseline(Win32PortData& d) {
    platform::LineErrorCounts base;
    const int counted = d.device->error_counts(&base);
    if (counted == 0) d.last_counts = base;
    d.has_error_counts = counted != -ENOTTY;
}

int device_open(ComPort* p) {
    Win32PortData& d = *p->data;
    d.rx_queue_size = Rx_queue_size;
    d.tx_queue_size = Tx_queue_size;
    d.line_errors = 0;
    p->status = 0;
    d.path = platform::com_device_path(p->port_index + 1);
    std::unique_ptr<platform::SerialDevice> device =
        device_factory ? device_factory(p->port_index) : platform::make_serial_device();
    if (!device) return fail(p, NO8250);
    int r = device->open(d.path);
    d.report = device->open_report();
    if (r < 0) return fail(p, map_system_error(r));
    d.device = std::move(device);

    Dcb& c = d.dcb;
    c.fBinary = 1;
    c.fParity = 0;
    c.fNull = 0;
    c.XonChar = 0x11;
    c.XoffChar = 0x13;
    c.XonLim = c.XoffLim = static_cast<uint16_t>(d.rx_queue_size / 4);
    c.EofChar = 0;
    c.EvtChar = 0;
    c.fOutxDsrFlow = 0;
    c.fOutxCtsFlow = 0;
    c.fDtrControl = Dtr_control_enable;
    c.fRtsControl = Rts_control_enable;
    take_error_baseline(d);
    return 0;
}

}  // namespace

int map_system_error(int neg_errno) {
    switch (-neg_errno) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
    case ENOTTY:  // the path names something that is no serial port
        return NO8250;
    case EACCES:
    case EBUSY:
    case EWOULDBLOCK:
        return INUSE;
    case ENOMEM:
        return NOMEMORY;
    default:
        return GENERALERROR;
    }
}

// Every caller that runs out of memory gets the one placeholder, with its
// status telling why whatever an earlier caller did with it.
static ComPort* placeholder_port() {
    ComPort& ph = placeholder();
    ph.status = NOMEMORY;
    if (!is_linked(&ph)) link_port(&ph);
    return &ph;
}

ComPort* open_com_port(int port_index, int baud, char parity, uint8_t word_length, int stop_bits) {
    ComPort* p = new (std::nothrow) ComPort();
    if (!p) {
        return placeholder_port();
    }
    install_defaults(p);
    link_port(p);
    p->data.reset(new (std::nothrow) Win32PortData());
    if (!p->data) {
        release_port(p);
        return placeholder_port();
    }
    p->port_index = port_index;
    if (device_open(p) < 0) return p;
    dev_set_line(p, baud, parity, word_length, stop_bits);
    install_device_ops(p);
    return p;
}

namespace {

// The first byte before the deadline (none: no limit), else -8 or an error.
// Trying the read first spares a separate count of the queue for every byte.
// The deadline is tested after a read, so a byte that came in time is taken
// even when the idle hook ran past the deadline.
// A device lost before or during a timed wait fails it, but only at its
// end: a caller that waits again at once does not spin.
int wait_for_byte(ComPort* port, const uint64_t* deadline_us, bool dispatch, bool* in_time) {
    int lost = 0;
    // Nothing waited for yet, or the last wait ended with a byte there.
    bool woken = true;
    for (;;) {
        if (!lost) {
            const int r = port->op_read_byte(port);
            if (r >= 0 && in_time) *in_time = woken || !deadline_us || platform::clock().now_us() < *deadline_us;
            if (r != BUFREMPTY) {
                if (r >= 0 || !deadline_us || !is_gone(port)) return r;
                lost = r;
            }
        }
        uint64_t slice = Wait_slice_ms * 1000;
        if (deadline_us) {
            const uint64_t now = platform::clock().now_us();
            if (now >= *deadline_us) return lost ? lost : BUFREMPTY;
            if (*deadline_us - now < slice) slice = *deadline_us - now;
        }
        if (dispatch) {
            int h = idle_hook(port);
            if (h < 0) return fail(port, h);
        }
        // Block instead of spinning; a simulated line lets its time pass here.
        if (!lost && usable(port)) {
            int w = dev(port).wait_rx_us(slice);
            woken = w > 0;
            if (w < 0) {
                const int code = fail(port, device_error(port, w));
                if (!deadline_us || !is_gone(port)) return code;
                lost = code;
            }
        } else {
            platform::clock().sleep_us(slice);
        }
    }
}

}  // namespace

int read_byte_timed(ComPort* port, int ms) {
    if (ms == -1) return wait_for_byte(port, nullptr, true, nullptr);
    const uint64_t deadline = platform::clock().now_us() + uint64_t(ms < 0 ? 0 : ms) * 1000;
    return wait_for_byte(port, &deadline, true, nullptr);
}

int read_byte_timed_us(ComPort* port, uint64_t timeout_us, bool dispatch, bool* in_time) {
    const uint64_t deadline = platform::clock().now_us() + timeout_us;
    return wait_for_byte(port, &deadline, dispatch, in_time);
}

int drain_rx(ComPort* port) {
    uint8_t scratch[64];
    for (;;) {
        int r = port->op_read_block(port, scratch, sizeof scratch);
        if (r < 0 && r != BUFREMPTY) return r;
        if (port->transfer_count == 0) return 0;
    }
}

int is_rx_empty(ComPort* port) {
    int n = port->op_rx_count(port);
    if (n < 0) return n;
    return n == 0 ? 1 : 0;
}

int idle_wait(ComPort* port, int ms) {
    const uint32_t end = platform::GetTickCount() + static_cast<uint32_t>(ms);
    for (;;) {
        int32_t left = static_cast<int32_t>(end - platform::GetTickCount());
        if (left <= 0) return 0;
        int h = idle_hook(port);
        if (h < 0) return h;
        platform::Sleep(static_cast<uint32_t>(left < Wait_slice_ms ? left : Wait_slice_ms));
    }
}

int wait_tx_empty(ComPort* port) {
    if (!port->data || !port->data->device) return fail(port, NOTSUPPORTED);
    return wait_sent(port);
}

int reopen_com_port(ComPort* port) {
    if (!is_gone(port)) return NOTSUPPORTED;
    Win32PortData& d = *port->data;
    if (!platform::device_present(d.path)) return NO8250;
    const int r = d.device->open(d.path);
    d.report = d.device->open_report();
    if (r < 0) return map_system_error(r);
    d.gone = false;
    d.held_bytes = 0;
    d.wire_end_us = 0;
    d.tx_unsent = false;
    d.has_rts = true;
    take_error_baseline(d);
    if (const int a = apply_dcb(port); a < 0) {
        // Not usable after all: gone still, so a later call tries again.
        d.device->close();
        d.gone = true;
        return a;
    }
    port->status = 0;
    return 0;
}

std::string device_path_of(const ComPort* port) { return port->data ? device_name(*port->data) : std::string(); }

void close_all_ports() {
    while (open_ports) open_ports->op_close(open_ports);
}

void set_idle_hook(IdleHook hook) { idle_hook = hook ? hook : default_idle_hook; }

void set_device_factory(DeviceFactory f) { device_factory = std::move(f); }

void PortDataDeleter::operator()(Win32PortData* d) const { delete d; }

const platform::OpenReport* open_report_of(const ComPort* port) { return port->data ? &port->data->report : nullptr; }

bool has_device(const ComPort* port) { return port->data && port->data->device; }

bool device_lost(const ComPort* port) { return is_gone(port); }

uint64_t wire_end_of(const ComPort* port) { return port->data ? port->data->wire_end_us : 0; }

void set_driver_log(DriverLog log) { driver_log = log; }
