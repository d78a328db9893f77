#include "protocol/porcio.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "diag/diag.h"
#include "platform/clock.h"
#include "protocol/settings.h"
#include "serial/ser_port.h"

namespace {

constexpr uint8_t kAck = 0x06;

// The last three bytes taken during one wait; a poll is 10 04 55 and their sum.
class PollWindow {
public:
    bool Completes(uint8_t b) const {
        return count_ == 3 && last_[0] == 0x10 && last_[1] == 0x04 && last_[2] == 0x55 &&
               b == static_cast<uint8_t>(last_[0] + last_[1] + last_[2]);
    }
    void Shift(uint8_t b) {
        last_[0] = last_[1];
        last_[1] = last_[2];
        last_[2] = b;
        if (count_ < 3) ++count_;
    }

private:
    uint8_t last_[3] = {};
    int count_ = 0;
};

uint64_t NowUs() { return platform::clock().now_us(); }

// Deadlines are kept in microseconds: a millisecond tick would add up to a
// tick of slack to every wait.
uint64_t MasterWaitUs() { return uint64_t(Master_wait) * 1000; }

// While a block streams in, the next byte is not waited for one at a time:
// the bytes of this long gather in the port's queue and are taken together,
// which saves a wake-up per byte. The quiet timer restarts when a byte is
// taken, never before it arrived, so a block still ends only after
// Master_wait or more of silence; at most this much later than the bare rule.
constexpr uint64_t kGatherUs = 2000;

// Waits for one byte until the deadline; -1 when none came in time.
// A port that fails at once is not allowed to turn the wait into a spin.
// These waits run no window handler: only the first byte of a block does.
int ByteBefore(TSer_Port& port, uint64_t deadline_us) {
    uint64_t now = NowUs();
    if (now >= deadline_us) return -1;
    const int b = port.GetCharWaitUs(deadline_us - now, false);
    if (b >= 0) return b;
    now = NowUs();
    if (now < deadline_us) platform::clock().sleep_us(deadline_us - now);
    return -1;
}

}  // namespace

TPorcio::TPorcio(TSer_Port* port, uint8_t address)
    : FSerPort(port), FAddress(address), FBuffer(static_cast<size_t>(std::max<int32_t>(Data_length, 0))) {}

TPorcio::~TPorcio() = default;

// Steps shared by the master test and the wait before sending: true at a
// complete poll, false after more than Master_wait ms of quiet, or once the
// line has chattered for kPollWaitLimitMs without a poll.
bool TPorcio::ListenForPoll(uint64_t quiet_start_us) {
    PollWindow window;
    // "More than" Master_wait: the first microsecond past it ends the wait.
    const uint64_t limit_end = quiet_start_us + uint64_t(kPollWaitLimitMs) * 1000 + 1;
    for (;;) {
        const uint64_t quiet_end = quiet_start_us + MasterWaitUs() + 1;
        const int b = ByteBefore(*FSerPort, std::min(quiet_end, limit_end));
        if (b < 0) return false;
        if (window.Completes(static_cast<uint8_t>(b))) {
            FMaster = true;
            return true;
        }
        window.Shift(static_cast<uint8_t>(b));
        quiet_start_us = NowUs();
    }
}

bool TPorcio::WaitPoll() {
    FMaster = false;
    FSerPort->ClearInput();
    FSerPort->RtsOff();
    return ListenForPoll(NowUs());
}

void TPorcio::PutFrame(const uint8_t* frame, int length) {
    for (int i = 0; i < length; ++i) FSerPort->PutChar(frame[i]);
    // RTS must not drop while the frame is still in the transmitter.
    FSerPort->WaitSent();
}

void TPorcio::SendNow(const uint8_t* frame, int length) {
    FSerPort->RtsOn();
    PutFrame(frame, length);
    platform::Sleep(2);
    FSerPort->ClearInput();  // our own echo
    FSerPort->RtsOff();
    platform::Sleep(2);
}

bool TPorcio::SendAfterPoll(const uint8_t* frame, int length) {
    const uint64_t quiet_start = NowUs();
    FSerPort->ClearInput();
    FSerPort->RtsOff();
    FMaster = false;
    if (!ListenForPoll(quiet_start)) return false;
    FSerPort->RtsOn();
    PutFrame(frame, length);
    platform::Sleep(5);
    FSerPort->ClearInput();
    FSerPort->RtsOff();
    return true;
}

int TPorcio::WaitAck() {
    // Allowed until more than Master_wait has passed.
    const int b = ByteBefore(*FSerPort, NowUs() + MasterWaitUs() + 1);
    return b == kAck ? 0 : 1;
}

int TPorcio::Transact(char* line, size_t capacity) {
    uint8_t frame[kFrameSize] = {};
    const int length = BuildPayload(line, capacity);
    if (length < 0 || length > kMaxPayload) return 1;
    frame[0] = FAddress;
    frame[1] = static_cast<uint8_t>(length + 3);
    std::memcpy(frame + 2, line, static_cast<size_t>(length));
    uint8_t sum = 0;
    for (int i = 0; i < length + 2; ++i) sum = static_cast<uint8_t>(sum + frame[i]);
    frame[length + 2] = sum;

    if (WaitPoll())
        SendAfterPoll(frame, length + 3);
    else
        SendNow(frame, length + 3);
    const int result = WaitAck();
    if (length > 0 && line[0] == 'C') platform::Sleep(3000);
    return result;
}

bool TPorcio::Ping() {
    char line[kWorkLineSize] = "A";
    return Transact(line, sizeof line) == 0;
}

bool TPorcio::TestLink() {
    if (WaitPoll()) return true;
    return Ping();
}

const uint8_t* TPorcio::ReadBlock() {
    std::fill(FBuffer.begin(), FBuffer.end(), uint8_t{0});
    PollWindow window;
    size_t count = 0;
    // The first byte may be long in coming: the window stays responsive meanwhile.
    int b = FSerPort->GetCharWaitUs(MasterWaitUs());
    while (b >= 0) {
        if (count == FBuffer.size()) {
            Log_error("Blok dat je delsi nez " + std::to_string(FBuffer.size()) + " B");
            return nullptr;
        }
        FBuffer[count++] = static_cast<uint8_t>(b);
        // The first byte counts too, so a block that is only a poll ends at it.
        window.Shift(static_cast<uint8_t>(b));
        const uint64_t quiet_end = NowUs() + MasterWaitUs();
        b = FSerPort->GetChar();
        if (b < 0) {
            platform::clock().sleep_us(std::min(kGatherUs, MasterWaitUs() / 4));
            b = ByteBefore(*FSerPort, quiet_end);
        }
        if (b >= 0 && window.Completes(static_cast<uint8_t>(b))) {
            FMaster = true;
            break;
        }
    }
    FReceived = static_cast<int32_t>(count);
    return FBuffer.data();
}
