#include "protocol/porcio.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "diag/diag.h"
#include "protocol/command_view.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
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
    // The bytes last taken could be the start of a poll.
    bool MayBeginPoll() const {
        return (count_ >= 1 && last_[2] == 0x10) || (count_ >= 2 && last_[1] == 0x10 && last_[2] == 0x04) ||
               (count_ == 3 && last_[0] == 0x10 && last_[1] == 0x04 && last_[2] == 0x55);
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

// While a block streams in, the next byte is not waited for one at a time:
// the bytes of this long gather in the port's queue and are taken together,
// which saves a wake-up per byte.
constexpr uint64_t kGatherUs = 2000;

// The queue has not been seen empty since the reader began.
constexpr uint64_t kNotSeenEmpty = 0;

// Longest single wait for a byte, so that the window's events are run often.
constexpr uint64_t kWaitSliceUs = platform::Dispatch_period_us;

// A drop of the echo this late after the pause is still in it: a sleep
// overshoots a little.
constexpr uint64_t kEchoDropSlackUs = 1000;

// Longer than a reader on time looks away (a gather, a bounded dispatch)
// between taking a byte and finding the queue empty.
constexpr uint64_t kLateReaderUs = 2 * kGatherUs + platform::Dispatch_bound_us + 2000;

// How often a streaming block shows how much of it has come.
constexpr uint64_t kProgressPeriodUs = 250'000;

}  // namespace

// A byte taken from the line, and when it arrived. A byte is taken as it
// arrives, except one found queued after the reader looked away (a gather,
// a dispatch) from a queue it had seen empty: that one arrived no earlier
// than that moment, nor closer to the byte before it than the wire allows,
// and is given that earliest time, so that a gap is never measured shorter
// than it was.
struct TPorcio::Taken {
    int byte = -1;
    uint64_t arrival_us = 0;
};

// Deadlines are kept in microseconds: a millisecond tick would add up to a
// tick of slack to every wait.
uint64_t TPorcio::MasterWaitUs() const { return uint64_t(FSettings.Master_wait) * 1000; }

// One character on the wire (start, 8 data bits, stop).
uint64_t TPorcio::ByteTimeUs() const {
    return FSettings.Baud_rate > 0 ? 10'000'000ull / uint64_t(FSettings.Baud_rate) : 0;
}

TPorcio::Taken TPorcio::TakeQueued(uint64_t empty_at_us, uint64_t previous_arrival_us) {
    int b = -1;
    if (!FHeld.empty()) {
        b = FHeld.front();
        FHeld.pop_front();
    } else {
        b = FSerPort->GetChar();
    }
    if (b < 0) return {};
    const uint64_t now = NowUs();
    // Queued behind the byte before, it came a byte's time after it at the
    // earliest: a reader that ran late reads a backlog without gaps in it.
    const uint64_t earliest = previous_arrival_us ? previous_arrival_us + ByteTimeUs() : now;
    return {b, std::min(now, std::max(empty_at_us, earliest))};
}

// The next byte that arrives before the deadline, or none (-1). The window's
// events run meanwhile where dispatch allows it. A port that fails at once
// does not turn the wait into a spin: the time is waited out. empty_at: when
// the caller last saw the queue empty, if it did.
TPorcio::Taken TPorcio::ByteBefore(uint64_t deadline_us, bool dispatch, uint64_t previous_arrival_us,
                                   uint64_t empty_at) {
    for (;;) {
        if (platform::stop_requested()) return {};
        Taken t = TakeQueued(empty_at, previous_arrival_us);
        if (t.byte >= 0) return t;
        const uint64_t now = NowUs();
        empty_at = now;
        if (now >= deadline_us) return {};
        if (dispatch && platform::dispatch_if_due(deadline_us)) continue;
        const uint64_t slice = std::min(deadline_us - now, kWaitSliceUs);
        bool in_time = true;
        const int b = FSerPort->GetCharWaitUs(slice, false, &in_time);
        const uint64_t woke = NowUs();
        // Woken by its arrival. A byte that came within the wait is in time
        // even when this thread was scheduled late after it.
        const uint64_t wait_end = now + slice;
        if (b >= 0) return {b, in_time && woke > wait_end ? wait_end - 1 : woke};
        if (woke < now + slice) {
            platform::wait_dispatching_until(deadline_us);
            return {};
        }
    }
}

void TPorcio::Pause(uint32_t ms) { platform::wait_dispatching(ms); }

// Quiet is counted from the last byte's arrival. A reader that finds the
// queue empty only long after that (it was not scheduled, and read a
// backlog) cannot tell when the last bytes came: it counts from when it
// found the queue empty, so a gap is never taken for longer than it was.
uint64_t TPorcio::QuietEnd(uint64_t last_arrival_us, uint64_t quiet_us, uint64_t seen_empty_at_us) {
    return (seen_empty_at_us > last_arrival_us + kLateReaderUs ? seen_empty_at_us : last_arrival_us) + quiet_us;
}

TPorcio::TPorcio(TSer_Port* port, uint8_t address, const TLinkSettings& settings)
    : FSerPort(port),
      FAddress(address),
      FBuffer(static_cast<size_t>(std::max<int32_t>(settings.Data_length, 0))),
      FSettings(settings) {}

TPorcio::~TPorcio() = default;

// Steps shared by the master test and the wait before sending: a poll,
// quiet (more than Master_wait without a byte), or chatter without a poll
// for kPollWaitLimitMs. No dispatch while the last bytes taken could begin a
// poll: the frame after a poll follows it at once.
TPorcio::Listen TPorcio::ListenForPoll(uint64_t quiet_start_us) {
    PollWindow window;
    // "More than" Master_wait: the first microsecond past it ends the wait.
    const uint64_t limit_end = quiet_start_us + uint64_t(kPollWaitLimitMs) * 1000 + 1;
    uint64_t last_arrival = 0;
    for (;;) {
        uint64_t quiet_end = quiet_start_us + MasterWaitUs() + 1;
        Taken t = TakeQueued(kNotSeenEmpty, last_arrival);
        if (t.byte < 0) {
            const uint64_t empty_at = NowUs();
            if (last_arrival) quiet_end = QuietEnd(last_arrival, MasterWaitUs() + 1, empty_at);
            t = ByteBefore(std::min(quiet_end, limit_end), !window.MayBeginPoll(), last_arrival, empty_at);
            if (t.byte < 0) return NowUs() >= quiet_end ? Listen::Quiet : Listen::Chatter;
        }
        const auto b = static_cast<uint8_t>(t.byte);
        if (window.Completes(b)) {
            FMaster = true;
            return Listen::Poll;
        }
        window.Shift(b);
        quiet_start_us = last_arrival = t.arrival_us;
    }
}

bool TPorcio::WaitPoll() { return WaitForPoll() == Listen::Poll; }

TPorcio::Listen TPorcio::WaitForPoll() {
    FMaster = false;
    ClearInput();
    FSerPort->RtsOff();
    return ListenForPoll(NowUs());
}

void TPorcio::ClearInput() {
    FHeld.clear();
    FSerPort->ClearInput();
}

// The frame goes whole; returns when it has left the wire.
uint64_t TPorcio::PutFrame(const uint8_t* frame, int length) {
    for (int i = 0; i < length; ++i) FSerPort->PutChar(frame[i]);
    // RTS must not drop while the frame is still in the transmitter.
    FSerPort->WaitSent();
    return FSerPort->Wire_end_us();
}

// What the line gave back of our own frame goes, and nothing else: an
// echoing line returns the frame while it is sent, and the terminal answers
// only after the pause that follows it. A drop in that pause takes all; a
// drop that comes later (the router was not scheduled) may find the answer
// behind the echo, so it takes only a whole echo of the frame in front and
// keeps every other byte for the answer.
void TPorcio::DropEcho(const uint8_t* frame, int length, uint64_t answer_from_us) {
    if (NowUs() < answer_from_us + kEchoDropSlackUs) {
        ClearInput();
        return;
    }
    std::vector<uint8_t> front;
    while (static_cast<int>(front.size()) < length) {
        const int b = FSerPort->GetChar();
        if (b < 0) break;
        front.push_back(static_cast<uint8_t>(b));
    }
    if (static_cast<int>(front.size()) == length && std::equal(front.begin(), front.end(), frame)) return;
    FHeld.insert(FHeld.begin(), front.begin(), front.end());
}

void TPorcio::SendNow(const uint8_t* frame, int length) {
    FSerPort->RtsOn();
    const uint64_t sent = PutFrame(frame, length);
    platform::Sleep(2);
    DropEcho(frame, length, sent + 2000);
    FSerPort->RtsOff();
    platform::Sleep(2);
}

bool TPorcio::SendAfterPoll(const uint8_t* frame, int length) {
    const uint64_t quiet_start = NowUs();
    ClearInput();
    FSerPort->RtsOff();
    FMaster = false;
    if (ListenForPoll(quiet_start) != Listen::Poll) return false;
    FSerPort->RtsOn();
    const uint64_t sent = PutFrame(frame, length);
    platform::Sleep(5);
    DropEcho(frame, length, sent + 5000);
    FSerPort->RtsOff();
    return true;
}

int TPorcio::WaitAck() {
    // Allowed until more than Master_wait has passed.
    const Taken t = ByteBefore(NowUs() + MasterWaitUs() + 1, true, 0);
    FHeard = t.byte;
    return t.byte == kAck ? 0 : 1;
}

int TPorcio::Transact(char* line, size_t capacity) {
    uint8_t frame[kFrameSize] = {};
    const int length = BuildPayload(line, capacity, FSettings);
    if (length < 0 || length > kMaxPayload) return 1;
    frame[0] = FAddress;
    frame[1] = static_cast<uint8_t>(length + 3);
    std::memcpy(frame + 2, line, static_cast<size_t>(length));
    uint8_t sum = 0;
    for (int i = 0; i < length + 2; ++i) sum = static_cast<uint8_t>(sum + frame[i]);
    frame[length + 2] = sum;

    FHeard = -1;
    FSent = false;
    switch (WaitForPoll()) {
    case Listen::Poll:
        FSent = SendAfterPoll(frame, length + 3);
        break;
    case Listen::Quiet:
        SendNow(frame, length + 3);
        FSent = true;
        break;
    case Listen::Chatter:
        // Traffic that is neither quiet nor a poll: a frame now would collide.
        return 1;
    }
    if (platform::stop_requested()) return 1;
    const int result = WaitAck();
    if (length > 0 && line[0] == 'C') Pause(3000);
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
    FGapUs = 0;
    FEndedByPoll = false;
    // The bytes so far, a few times a second, when the window gets its events.
    uint64_t shown_at = NowUs();
    const auto show_progress = [&] {
        if (!FProgress || NowUs() < shown_at + kProgressPeriodUs) return;
        shown_at = NowUs();
        FProgress->ShowReceived(static_cast<int>(count));
    };
    // The first byte may be long in coming.
    Taken t = ByteBefore(NowUs() + MasterWaitUs(), true, 0);
    uint64_t previous_arrival = 0;
    // When the queue was last seen empty: bytes found after it came later.
    uint64_t empty_at = kNotSeenEmpty;
    bool dense = false;
    while (t.byte >= 0) {
        if (count == FBuffer.size()) {
            Log_error("Blok dat je delsi nez " + std::to_string(FBuffer.size()) + " B");
            return nullptr;
        }
        FBuffer[count++] = static_cast<uint8_t>(t.byte);
        // Bytes a wire's length apart: the block streams, and may be gathered.
        dense = previous_arrival != 0 && t.arrival_us - previous_arrival <= ByteTimeUs() * 3 / 2;
        previous_arrival = t.arrival_us;
        // The block ends when Master_wait has passed since this byte.
        uint64_t quiet_end = t.arrival_us + MasterWaitUs();
        t = TakeQueued(empty_at, previous_arrival);
        if (t.byte < 0) {
            empty_at = NowUs();
            quiet_end = QuietEnd(previous_arrival, MasterWaitUs(), empty_at);
            // Looking away (gathering, running the window's events) only while
            // the end of the gap is further off than that takes, so the block
            // still ends exactly; and only where bytes stream, since a byte
            // found afterwards counts from when the queue was seen empty.
            if (dense && !platform::stop_requested() && quiet_end > empty_at + 2 * kGatherUs) {
                if (platform::dispatch_if_due(quiet_end))
                    show_progress();
                else
                    platform::clock().sleep_us(std::min(kGatherUs, MasterWaitUs() / 4));
                t = TakeQueued(empty_at, previous_arrival);
            }
            if (t.byte < 0) {
                t = ByteBefore(quiet_end, true, previous_arrival, empty_at);
                empty_at = t.arrival_us;
            }
        }
        if (t.byte >= 0 && t.arrival_us >= quiet_end) t.byte = -1;  // came after the gap
        if (t.byte < 0) {
            FGapUs = NowUs() - previous_arrival;
            break;
        }
        if (window.Completes(static_cast<uint8_t>(t.byte))) {
            FMaster = true;
            FEndedByPoll = true;
            break;
        }
        window.Shift(static_cast<uint8_t>(t.byte));
    }
    FReceived = static_cast<int32_t>(count);
    if (platform::stop_requested()) return nullptr;
    return FBuffer.data();
}
