// Poll recognition and bounded waits, against a line that delivers exactly
// the bytes a test scripts, at the virtual times it names.
#include <algorithm>
#include <map>

#include "platform/clock.h"
#include "platform/dispatch.h"
#include "protocol/porcio.h"
#include "serial/com_port.h"
#include "serial/ser_port.h"
#include "test_support.h"

namespace {

struct Script {
    std::multimap<uint64_t, uint8_t> incoming;  // arrival time (us) -> byte
    struct Written {
        uint8_t byte;
        uint64_t at_us;
        bool rts;
    };
    std::vector<Written> written;
    bool rts = false;
    uint64_t rts_off_at_us = 0;
    int waits = 0;  // times the reader blocked: its wake-ups
    // The reader runs this much after its late_wake_on-th wake-up by a byte,
    // as a thread the system did not schedule in time.
    uint64_t late_wake_us = 0;
    int late_wake_on = 1;
};

// A window that lets the link run its events notes when, and may take time.
std::vector<uint64_t> dispatched_at;
uint64_t dispatch_costs_us = 0;
platform::VirtualClock* dispatch_clock = nullptr;
void NoteDispatch(int max_ms) {
    dispatched_at.push_back(dispatch_clock->now_us());
    // A slow repaint uses all the time it was given.
    if (dispatch_costs_us) dispatch_clock->sleep_us(std::min<uint64_t>(dispatch_costs_us, uint64_t(max_ms) * 1000));
}

class ScriptedDevice final : public platform::SerialDevice {
public:
    ScriptedDevice(Script& s, platform::VirtualClock& c) : s_(s), c_(c) {}
    int open(const std::string&) override { return 0; }
    int apply(const platform::LineSettings&) override { return 0; }
    int rx_count() override {
        int n = 0;
        for (auto it = s_.incoming.begin(); it != s_.incoming.end() && it->first <= c_.now_us(); ++it) ++n;
        return n;
    }
    int tx_count() override { return 0; }
    int read(uint8_t* buf, size_t n) override {
        size_t got = 0;
        while (got < n && !s_.incoming.empty() && s_.incoming.begin()->first <= c_.now_us()) {
            buf[got++] = s_.incoming.begin()->second;
            s_.incoming.erase(s_.incoming.begin());
        }
        return static_cast<int>(got);
    }
    int write(const uint8_t* buf, size_t n) override {
        for (size_t i = 0; i < n; ++i) s_.written.push_back({buf[i], c_.now_us(), s_.rts});
        return static_cast<int>(n);
    }
    int wait_rx(int timeout_ms) override {
        return wait_rx_us(timeout_ms < 0 ? 60'000'000ull : uint64_t(timeout_ms) * 1000);
    }
    // Waits to the microsecond, as poll(2) with a fine time-out does.
    int wait_rx_us(uint64_t timeout_us) override {
        ++s_.waits;
        const uint64_t deadline = c_.now_us() + timeout_us;
        if (!s_.incoming.empty() && s_.incoming.begin()->first <= deadline) {
            c_.advance_to_us(s_.incoming.begin()->first + (--s_.late_wake_on == 0 ? s_.late_wake_us : 0));
            return 1;
        }
        c_.advance_to_us(deadline);
        return 0;
    }
    int drain_tx() override { return 0; }
    int set_rts(bool on) override {
        if (s_.rts && !on) s_.rts_off_at_us = c_.now_us();
        s_.rts = on;
        return 0;
    }
    int set_dtr(bool) override { return 0; }
    int set_break(bool) override { return 0; }
    int modem_status(unsigned* bits) override {
        *bits = 0;
        return 0;
    }
    int error_counts(platform::LineErrorCounts*) override { return -ENOTTY; }
    int purge_tx() override { return 0; }
    int close() override { return 0; }

private:
    Script& s_;
    platform::VirtualClock& c_;
};

class PollWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::set_clock(&clock);
        set_device_factory([this](int) -> std::unique_ptr<platform::SerialDevice> {
            return std::make_unique<ScriptedDevice>(script, clock);
        });
        port = std::make_unique<TSer_Port>(0, 19200);
        term = std::make_unique<TPorcio>(port.get(), 1, settings);
    }
    void TearDown() override {
        term.reset();
        port.reset();
        set_device_factory({});
        platform::set_message_dispatcher(nullptr);
        platform::set_clock(nullptr);
    }
    void WatchDispatch(uint64_t costs_us = 0) {
        dispatched_at.clear();
        dispatch_costs_us = costs_us;
        dispatch_clock = &clock;
        platform::set_message_dispatcher(NoteDispatch);
    }
    // Bytes arriving from ms_from on, one per ms.
    void Arrive(uint64_t ms_from, std::initializer_list<uint8_t> bytes) {
        uint64_t t = clock.now_us() + ms_from * 1000;
        for (uint8_t b : bytes) {
            script.incoming.emplace(t, b);
            t += 1000;
        }
    }
    uint64_t Ms() { return clock.now_us() / 1000; }

    testing_support::ScratchDir dir;
    TLinkSettings settings;
    platform::VirtualClock clock{1'000'000'000};
    Script script;
    std::unique_ptr<TSer_Port> port;
    std::unique_ptr<TPorcio> term;
};

TEST_F(PollWindowTest, PollIsRecognisedAtItsLastByteThroughASlidingWindow) {
    const uint64_t start = Ms();
    Arrive(10, {0x10, 0x04, 0x10, 0x04, 0x55, 0x69, 0x77});
    EXPECT_TRUE(term->WaitPoll());
    EXPECT_TRUE(term->IsMaster());
    EXPECT_EQ(Ms() - start, 15u);  // the 0x69, sixth byte from 10 ms on
}

TEST_F(PollWindowTest, NearMissesAreNoPoll) {
    Arrive(10, {0x10, 0x04, 0x55, 0x6A, 0x55, 0x04, 0x10, 0x69});
    const uint64_t start = clock.now_us();
    EXPECT_FALSE(term->WaitPoll());
    // Quiet for more than Master_wait after the last byte (at 17 ms): waits are
    // kept to the microsecond, so the first one past Master_wait ends it.
    EXPECT_EQ(clock.now_us() - start, (17 + settings.Master_wait) * 1000 + 1);
    EXPECT_FALSE(term->IsMaster());
}

TEST_F(PollWindowTest, PollMustCompleteWithinOneWait) {
    Arrive(10, {0x10, 0x04, 0x55});
    EXPECT_FALSE(term->WaitPoll());
    Arrive(20, {0x69});  // after the next wait has cleared input and emptied its window
    EXPECT_FALSE(term->WaitPoll());
    EXPECT_FALSE(term->IsMaster());
}

TEST_F(PollWindowTest, ChatterWithoutPollEndsAfterTheLimit) {
    for (int i = 0; i < 1000; ++i) Arrive(5 + 10 * static_cast<uint64_t>(i), {0x33});
    uint64_t start = Ms();
    EXPECT_FALSE(term->WaitPoll());
    EXPECT_GE(Ms() - start, kPollWaitLimitMs);
    EXPECT_LE(Ms() - start, kPollWaitLimitMs + 10);

    start = Ms();
    const uint8_t frame[4] = {0x01, 0x04, 0x41, 0x46};
    EXPECT_FALSE(term->SendAfterPoll(frame, 4));
    EXPECT_LE(Ms() - start, kPollWaitLimitMs + 10);
    EXPECT_TRUE(script.written.empty());

    // An exchange on such a line sends nothing and counts as not acknowledged.
    char line[kWorkLineSize] = "A";
    EXPECT_EQ(term->Transact(line, sizeof line), 1);
    EXPECT_TRUE(script.written.empty()) << "no frame onto a busy line";
}

TEST_F(PollWindowTest, StaleInputIsClearedBeforeListening) {
    // A poll that came before the wait began is not heard in it.
    const auto stale = [this] {
        const uint64_t t = clock.now_us() - 4000;
        for (uint8_t b : {0x10, 0x04, 0x55, 0x69}) script.incoming.emplace(t + script.incoming.size(), b);
    };
    stale();
    EXPECT_FALSE(term->WaitPoll());
    stale();
    const uint8_t frame[4] = {0x01, 0x04, 0x41, 0x46};
    EXPECT_FALSE(term->SendAfterPoll(frame, 4));
    EXPECT_TRUE(script.written.empty());
}

TEST_F(PollWindowTest, FrameAfterPollIsKeyedAndFollowsThePoll) {
    // A poll whose bytes come slowly, while the window's events are run.
    WatchDispatch();
    const uint64_t t0 = clock.now_us();
    const uint64_t poll_from = t0 + 25'000;
    const uint8_t poll[4] = {0x10, 0x04, 0x55, 0x69};
    for (int i = 0; i < 4; ++i) script.incoming.emplace(poll_from + uint64_t(i) * 12'000, poll[i]);
    const uint8_t frame[4] = {0x01, 0x04, 0x41, 0x46};
    ASSERT_TRUE(term->SendAfterPoll(frame, 4));
    ASSERT_EQ(script.written.size(), 4u);
    for (const auto& w : script.written) {
        EXPECT_TRUE(w.rts);
        EXPECT_EQ(w.at_us, script.written[0].at_us);
    }
    EXPECT_FALSE(script.rts);
    EXPECT_EQ(script.written[0].at_us, poll_from + 36'000 + 2'000) << "RTS settles, then the frame at once";
    // The frame leaves the wire, then 5 ms before input is cleared and RTS drops.
    const uint64_t wire_us = 4 * 10'000'000 / 19200;
    EXPECT_GE(script.rts_off_at_us - script.written[0].at_us, wire_us + 5'000);
    EXPECT_LT(script.rts_off_at_us - script.written[0].at_us, wire_us + 6'000);
    // Events ran while the line was quiet, never once a poll had begun.
    EXPECT_FALSE(dispatched_at.empty());
    for (uint64_t t : dispatched_at) EXPECT_TRUE(t < poll_from || t > script.written[0].at_us) << t - t0;
}

TEST_F(PollWindowTest, AcknowledgementIsTheFirstByteOnly) {
    Arrive(3, {0x15, 0x06});
    uint64_t start = Ms();
    EXPECT_EQ(term->WaitAck(), 1);
    EXPECT_EQ(Ms() - start, 3u);

    script.incoming.clear();
    Arrive(settings.Master_wait, {0x06});  // still inside the allowed time
    EXPECT_EQ(term->WaitAck(), 0);

    const uint64_t start_us = clock.now_us();
    script.incoming.emplace(start_us + settings.Master_wait * 1000 + 2, 0x06);  // too late, if only just
    EXPECT_EQ(term->WaitAck(), 1);
    // Over once more than Master_wait has passed, not at the next millisecond tick.
    EXPECT_EQ(clock.now_us() - start_us, settings.Master_wait * 1000 + 1);
}

TEST_F(PollWindowTest, BlockEndsAfterAGapOfMasterWait) {
    Arrive(0, {'S', 1, 2});
    Arrive(2 + settings.Master_wait - 1, {3});      // a gap just short of Master_wait
    Arrive(3 + 2 * settings.Master_wait + 5, {4});  // this one comes too late
    ASSERT_NE(term->ReadBlock(), nullptr);
    EXPECT_EQ(term->Received(), 4);
    EXPECT_EQ(term->Buffer()[3], 3);
}

TEST_F(PollWindowTest, BlockThatIsOnlyAPollIsData) {
    // The block's first byte is stored, not looked at: only the bytes taken
    // after it can make a poll.
    Arrive(1, {0x10, 0x04, 0x55, 0x69});
    ASSERT_NE(term->ReadBlock(), nullptr);
    EXPECT_EQ(term->Received(), 4);
    EXPECT_FALSE(term->IsMaster());
    // Behind a first byte, the same four bytes end the block at the poll.
    Arrive(1, {'S', 0x10, 0x04, 0x55, 0x69});
    ASSERT_NE(term->ReadBlock(), nullptr);
    EXPECT_EQ(term->Received(), 4);
    EXPECT_TRUE(term->IsMaster());
}

TEST_F(PollWindowTest, FailedPortDoesNotSpin) {
    term.reset();
    port.reset();
    set_device_factory([](int) -> std::unique_ptr<platform::SerialDevice> { return nullptr; });
    TSer_Port dead(0, 19200);
    TPorcio t(&dead, 1, settings);
    const uint64_t start = Ms();
    EXPECT_FALSE(t.TestLink());
    // Three waits of about Master_wait each, not a busy loop nor an endless one.
    EXPECT_GE(Ms() - start, 3 * settings.Master_wait);
    EXPECT_LE(Ms() - start, 3 * settings.Master_wait + 40);
}

TEST_F(PollWindowTest, QuietTimeIsMeasuredFromTheLastByteToTheMicrosecond) {
    // Running the window's events, even slow ones, moves no deadline.
    WatchDispatch(2500);
    // A byte between two millisecond ticks: the quiet time counts from it, not from a tick.
    const uint64_t t0 = clock.now_us();
    script.incoming.emplace(t0 + 7'400, 0x33);
    EXPECT_FALSE(term->WaitPoll());
    EXPECT_EQ(clock.now_us() - t0, 7'400 + settings.Master_wait * 1000 + 1);

    // A byte that comes just inside Master_wait of quiet keeps the test going.
    const uint64_t t1 = clock.now_us();
    script.incoming.emplace(t1 + 2'000 + settings.Master_wait * 1000, 0x33);  // 2 ms RtsOff first
    script.incoming.emplace(t1 + 2'000 + settings.Master_wait * 2000 + 2, 0x33);  // one microsecond late
    EXPECT_FALSE(term->WaitPoll());
    EXPECT_EQ(clock.now_us() - t1, 2'000 + settings.Master_wait * 2000 + 1);
    EXPECT_EQ(script.incoming.size(), 1u);  // the late byte was not taken
    EXPECT_GT(dispatched_at.size(), 4u);
}

TEST_F(PollWindowTest, BlockBytesAreGatheredWithoutAWakeUpEach) {
    // 400 bytes 0.5 ms apart, as a fast line delivers them.
    const uint64_t t0 = clock.now_us();
    std::vector<uint8_t> sent;
    for (int i = 0; i < 400; ++i) {
        sent.push_back(static_cast<uint8_t>(i * 7));
        script.incoming.emplace(t0 + 1000 + uint64_t(i) * 500, sent.back());
    }
    const uint64_t last = t0 + 1000 + 399 * 500;
    ASSERT_NE(term->ReadBlock(), nullptr);
    ASSERT_EQ(term->Received(), 400);
    EXPECT_TRUE(std::equal(sent.begin(), sent.end(), term->Buffer().begin()));
    // Several bytes per wake-up, not one.
    EXPECT_LT(script.waits, 400 / 3);
    // The block still ends only after Master_wait of silence, and not long after.
    EXPECT_GE(clock.now_us() - last, settings.Master_wait * 1000);
    EXPECT_LE(clock.now_us() - last, settings.Master_wait * 1000 + 2000);
}

TEST_F(PollWindowTest, AStreamingBlockEndsExactlyAtItsGap) {
    // Bytes a wire's length apart are gathered; a byte just after the gap
    // that ends the block is not taken, one just inside it is.
    for (uint64_t late_us : {uint64_t(1), uint64_t(1'000)}) {
        for (const int64_t side : {+1, -1}) {
            script.incoming.clear();
            const uint64_t t0 = clock.now_us();
            const uint64_t byte_us = 10'000'000 / 19200;
            uint64_t last = 0;
            for (int i = 0; i < 300; ++i) script.incoming.emplace(last = t0 + 1000 + uint64_t(i) * byte_us, 'R');
            const uint64_t gap_end = last + settings.Master_wait * 1000;
            script.incoming.emplace(side > 0 ? gap_end + late_us - 1 : gap_end - late_us, 'X');
            ASSERT_NE(term->ReadBlock(), nullptr);
            EXPECT_EQ(term->Received(), side > 0 ? 300 : 301) << "late by " << late_us << " us, side " << side;
        }
    }
}

TEST_F(PollWindowTest, GatheringNeverShortensTheGapThatEndsABlock) {
    // Gaps just under Master_wait, ending at odd microseconds: all one block.
    const uint64_t t0 = clock.now_us();
    uint64_t t = t0 + 300;
    for (int i = 0; i < 5; ++i) {
        script.incoming.emplace(t, static_cast<uint8_t>(i));
        script.incoming.emplace(t + 450, static_cast<uint8_t>(0x80 + i));
        t += 450 + settings.Master_wait * 1000 - 1;
    }
    ASSERT_NE(term->ReadBlock(), nullptr);
    EXPECT_EQ(term->Received(), 10);
    EXPECT_TRUE(script.incoming.empty());

    // A reader woken by a byte inside such a gap but run 60 ms later (longer
    // than the gap) finds the block going on: it ends only at a real gap,
    // whether the late wake is the block's first or one inside it.
    for (int late_on : {1, 2}) {
        t = clock.now_us() + 300;
        for (int i = 0; i < 4; ++i) {
            script.incoming.emplace(t, static_cast<uint8_t>(i));
            t += settings.Master_wait * 1000 - 1'000;
        }
        script.late_wake_us = 60'000;
        script.late_wake_on = late_on;
        ASSERT_NE(term->ReadBlock(), nullptr);
        EXPECT_EQ(term->Received(), 4) << "late at wake " << late_on;
        EXPECT_TRUE(script.incoming.empty());
    }
}

}  // namespace
