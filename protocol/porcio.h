// TPorcio: one terminal on a half-duplex, RTS-keyed line that may carry a
// polling master. Frames are address, length, payload, checksum.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "protocol/settings.h"

class TSer_Port;
class TCommandView;

// The frame buffer holds 100 bytes: address, length, payload, checksum.
constexpr int kFrameSize = 100;
constexpr int kMaxPayload = kFrameSize - 3;
// Commands are encoded in a zero-filled working copy of this size.
constexpr size_t kWorkLineSize = 200;
// Longest wait for a poll on a line that is never quiet: nothing is sent
// then, and the exchange counts as not acknowledged.
constexpr uint32_t kPollWaitLimitMs = 2000;

// Payload length the line will encode to, without encoding it.
int PayloadLength(const char* line, const TLinkSettings& s);

// Encodes the zero-terminated line in place (capacity bytes available) and
// returns the payload length; -1, line untouched, when it would not fit.
int BuildPayload(char* line, size_t capacity, const TLinkSettings& s);

class TPorcio {
public:
    // The settings are read at every use (Master_wait changes at run time)
    // and must outlive the object; the buffer is sized by Data_length now.
    TPorcio(TSer_Port* port, uint8_t address, const TLinkSettings& settings);
    virtual ~TPorcio();
    TPorcio(const TPorcio&) = delete;
    TPorcio& operator=(const TPorcio&) = delete;

    bool TestLink();
    bool IsMaster() const { return FMaster; }

    // Listens for a poll; false after more than Master_wait ms of quiet.
    bool WaitPoll();
    // Frames, sends and waits for the acknowledgement: 0 acknowledged, 1 not.
    // The line (capacity bytes) is rewritten by the encoder.
    int Transact(char* line, size_t capacity);
    // Reads a data block into FBuffer; nullptr when it overflowed the buffer
    // (FReceived then keeps its old value).
    const uint8_t* ReadBlock();

    // One command line with write attempts, block reading and decoding.
    // line must hold at least one character; on a rejected block its first
    // character becomes 'E'.
    bool RunCommand(char* line, TCommandView& view);

    void SendNow(const uint8_t* frame, int length);
    bool SendAfterPoll(const uint8_t* frame, int length);
    int WaitAck();
    bool Ping();

    TSer_Port* SerPort() const { return FSerPort; }
    uint8_t Address() const { return FAddress; }
    const std::vector<uint8_t>& Buffer() const { return FBuffer; }
    int32_t Received() const { return FReceived; }
    // Records of the last command's block, and commands delivered since the
    // counters were last reset.
    int32_t Records() const { return FRecords; }
    int32_t Delivered() const { return FDelivered; }
    // A new batch counts from nothing.
    void ResetDelivered() { FDelivered = 0; }
    // A request's status counts that request only.
    void ResetCounters() { FDelivered = 0; FRecords = 0; }
    // An attempt whose answer proved unusable is not a delivery.
    void UncountDelivery() { --FDelivered; }
    // Why the last command failed, in a few words for the log; empty after
    // one that succeeded.
    const std::string& Failure() const { return FFailure; }

private:
    TSer_Port* FSerPort;
    bool FMaster = false;
    uint8_t FAddress;
    std::vector<uint8_t> FBuffer;
    int32_t FReceived = 0;
    int32_t FRecords = 0;
    int32_t FDelivered = 0;
    const TLinkSettings& FSettings;
    // Bytes taken from the port to look at and kept for the next read.
    std::deque<uint8_t> FHeld;
    std::string FFailure;
    // What the last exchange heard instead of 0x06 (-1: nothing), and
    // whether its frame went out at all.
    int FHeard = -1;
    bool FSent = false;
    // How the last block ended: the quiet after its last byte, or a poll.
    uint64_t FGapUs = 0;
    bool FEndedByPoll = false;
    // Where a running command shows the bytes of its block as they come.
    TCommandView* FProgress = nullptr;

    enum class Listen { Poll, Quiet, Chatter };
    struct Taken;
    Listen WaitForPoll();
    Listen ListenForPoll(uint64_t quiet_start_us);
    Taken TakeQueued(uint64_t empty_at_us, uint64_t previous_arrival_us);
    Taken ByteBefore(uint64_t deadline_us, bool dispatch, uint64_t previous_arrival_us, uint64_t empty_at = 0);
    void ClearInput();
    void DropEcho(const uint8_t* frame, int length, uint64_t answer_from_us);
    // A fixed pause in which the window's events run.
    static void Pause(uint32_t ms);
    static uint64_t QuietEnd(uint64_t last_arrival_us, uint64_t quiet_us, uint64_t seen_empty_at_us);
    uint64_t MasterWaitUs() const;
    uint64_t ByteTimeUs() const;
    uint64_t PutFrame(const uint8_t* frame, int length);
    bool DecodeBlock(char* line, TCommandView& view, const uint8_t* block);
    bool WrongLength(char* line, int record_length);
    std::string NotAcknowledged(int attempts, bool sent, int heard) const;
};
