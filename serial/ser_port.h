// TSer_Port: one COM port as the terminal objects use it (8N1, byte at a time).
#pragma once
#include <cstdint>
#include <string>

struct ComPort;

class TSer_Port {
public:
    TSer_Port(int com_index, int baud);
    virtual ~TSer_Port();
    TSer_Port(const TSer_Port&) = delete;
    TSer_Port& operator=(const TSer_Port&) = delete;

    bool Open(int com_index, int baud);
    int Close();
    int GetChar();              // a waiting byte 0..255, else -1 at once
    int GetCharWait(int ms);    // first byte within ms (-1: no limit), else -1
    // The same, the time-out in microseconds; without dispatch the window's
    // messages wait until the byte or the time-out. in_time: the byte was
    // there before the time-out ran out, however late this thread ran.
    int GetCharWaitUs(uint64_t us, bool dispatch = true, bool* in_time = nullptr);
    int PutChar(int byte);
    // Blocks until every byte handed to PutChar has left the transmitter,
    // so RTS is never dropped under a frame still in the queue.
    void WaitSent();
    // When the bytes handed over last have left the wire (the process
    // clock's microseconds), by their computed wire time.
    uint64_t Wire_end_us() const;
    void RtsOff();
    void RtsOn();
    void ClearInput();

    // The device COMn led to at the last open, links followed (/dev/ttyUSB0).
    std::string Device_path() const;
    // "COMn: zarizeni <device>", the log line that follows "COMn otevřen".
    std::string Device_line() const;
    // "COMn otevřen", the device line, and the device's remark on its open.
    void Log_opened() const;
    // The device failed (unplugged, hung up) and its descriptor is closed.
    bool Device_gone() const;
    // Notices a device that failed, and once the COM link leads to a device
    // again reopens it under the same port with the same line settings and
    // logs that; true then. Otherwise false, at once: it never waits.
    bool Revive();

    // The open succeeded: the line is usable.
    bool Opened() const { return FOpened; }
    // The driver code of the open, or of the last failed read; 0 otherwise.
    int32_t LastError() const { return FLastError; }
    int32_t ComIndex() const { return FComIndex; }
    int32_t Baud() const { return FBaud; }

private:
    ComPort* FPort = nullptr;
    int32_t FComIndex = 0;
    int32_t FBaud = 0;
    bool FOpened = false;
    int32_t FLastError = 0;

    template <class Read>
    int Take(Read read);
    std::string Com_name() const;
};
