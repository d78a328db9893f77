#include "serial/ser_port.h"

#include "diag/diag.h"
#include "platform/clock.h"
#include "serial/com_port.h"

TSer_Port::TSer_Port(int com_index, int baud) : FComIndex(com_index), FBaud(baud) {
    FOpened = Open(com_index, baud);
}

TSer_Port::~TSer_Port() { Close(); }

bool TSer_Port::Open(int com_index, int baud) {
    // Reopening must not leak the port (and its device lock) held so far.
    if (FPort) Close();
    FComIndex = com_index;
    FBaud = baud;
    FPort = open_com_port(com_index, baud, 'N', 8, 1);
    FLastError = FPort->status;
    if (FLastError < 0) {
        Log_serial_error(FLastError);
        // The code alone misleads (EACCES reads as "in use"): say why.
        if (const platform::OpenReport* r = open_report_of(FPort); r && !r->why.empty())
            Log_error(Com_name() + ": " + r->why);
    }
    FOpened = FLastError >= 0;
    return FOpened;
}

std::string TSer_Port::Com_name() const { return "COM" + std::to_string(FComIndex + 1); }

void TSer_Port::Log_opened() const {
    Log_error(Com_name() + " otevřen");
    Log_error(Device_line());
    // The device's own remark on its open (a slow adapter), where it made one.
    if (FPort && has_device(FPort) && !open_report_of(FPort)->notice.empty())
        Log_error(Com_name() + ": " + open_report_of(FPort)->notice);
}

std::string TSer_Port::Device_path() const { return FPort ? device_path_of(FPort) : std::string(); }

std::string TSer_Port::Device_line() const { return Com_name() + ": zarizeni " + Device_path(); }

bool TSer_Port::Device_gone() const { return FPort && device_lost(FPort); }

bool TSer_Port::Revive() {
    if (!FPort || !has_device(FPort)) return false;
    // An unplugged adapter that nothing has read since is noticed here.
    if (!Device_gone()) FPort->op_rx_count(FPort);
    if (!Device_gone() || reopen_com_port(FPort) < 0) return false;
    FLastError = FPort->status;
    Log_opened();
    return true;
}

int TSer_Port::Close() {
    // op_close releases the port object; forget it so a second Close (or the
    // destructor after an explicit Close) does not touch freed memory.
    if (!FPort) return 0;
    ComPort* p = FPort;
    FPort = nullptr;
    FOpened = false;
    return p->op_close(p);
}

// A read's result for the link: the byte, or -1 with the driver's status
// kept in FLastError (a closed wrapper answers like a failed port).
template <class Read>
int TSer_Port::Take(Read read) {
    if (!FPort) {
        FLastError = NOTSUPPORTED;
        return -1;
    }
    const int r = read(FPort);
    if (r >= 0) return r;
    FLastError = FPort->status;
    return -1;
}

int TSer_Port::GetChar() {
    return Take([](ComPort* p) { return p->op_read_byte(p); });
}

int TSer_Port::GetCharWait(int ms) {
    return Take([ms](ComPort* p) { return read_byte_timed(p, ms); });
}

int TSer_Port::GetCharWaitUs(uint64_t us, bool dispatch, bool* in_time) {
    return Take([us, dispatch, in_time](ComPort* p) { return read_byte_timed_us(p, us, dispatch, in_time); });
}

int TSer_Port::PutChar(int byte) {
    if (!FPort) return NOTSUPPORTED;
    return FPort->op_write_byte(FPort, byte);
}

void TSer_Port::WaitSent() {
    if (FPort) wait_tx_empty(FPort);
}

uint64_t TSer_Port::Wire_end_us() const { return FPort ? wire_end_of(FPort) : 0; }

// The transceiver needs a moment after every change of RTS before the line is usable.
void TSer_Port::RtsOff() {
    if (!FPort) return;
    FPort->op_rts(FPort, 0);
    platform::Sleep(2);
}

void TSer_Port::RtsOn() {
    if (!FPort) return;
    FPort->op_rts(FPort, 1);
    platform::Sleep(2);
}

void TSer_Port::ClearInput() {
    if (!FPort) return;
    if (is_rx_empty(FPort) == 0) drain_rx(FPort);
}
