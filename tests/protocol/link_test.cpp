#include "sim_fixture.h"

using testing_support::SimLinkTest;

namespace {

using Bytes = std::vector<uint8_t>;

TEST_F(SimLinkTest, ProbeIsFourBytesKeyedByRtsAndAcknowledged) {
    line.add_terminal(1);
    Open(1);
    EXPECT_EQ(Transact("A"), 0);
    ASSERT_EQ(line.frames().size(), 1u);
    const sim::ReceivedFrame& f = line.frames()[0];
    EXPECT_EQ(f.bytes, (Bytes{0x01, 0x04, 0x41, 0x46}));
    EXPECT_TRUE(f.rts_high);
    EXPECT_TRUE(f.complete);
    EXPECT_FALSE(term->IsMaster());
    // RTS is down again once the exchange is over.
    ASSERT_NE(device, nullptr);
    EXPECT_FALSE(device->rts());

    // On a line that hears its own bytes, the echo is not taken for an answer.
    line.set_echo(true);
    EXPECT_EQ(Transact("A"), 0);
    EXPECT_EQ(Transact("A"), 0);
}

TEST_F(SimLinkTest, AnAnswerBehindALateEchoDropStillCounts) {
    // The router comes back from sending 20 ms late, when the terminal's 0x06
    // (10 ms after the frame) is in the queue already: it is kept, and a
    // command is never sent twice for it.
    line.add_terminal(6);
    Open(6);
    device->set_late_drain_us(20'000);
    EXPECT_EQ(Transact("A"), 0);
    // The same behind the frame's own echo, which goes.
    line.set_echo(true);
    EXPECT_EQ(Transact("A"), 0);
    line.set_echo(false);
    // A read command: its block, behind the acknowledgement, is read whole.
    sim::Diner d;
    d.number = 7;
    line.terminal(6)->store_diner(d);
    EXPECT_TRUE(Run("Y"));
    EXPECT_EQ(term->Delivered(), 1);
    EXPECT_EQ(term->Records(), 1);
    EXPECT_EQ(line.frames().size(), 3u) << "each frame once";
    EXPECT_EQ(view.attempts_shown, std::vector<int>{1});
}

TEST_F(SimLinkTest, QuietLineSendsAfterListeningForMasterWait) {
    line.add_terminal(2);
    Open(2);
    const uint64_t start = clock.now_us();
    EXPECT_EQ(Transact("Y"), 0);
    ASSERT_EQ(line.frames().size(), 1u);
    EXPECT_EQ(line.frames()[0].bytes, (Bytes{0x02, 0x04, 0x59, 0x5F}));
    // RtsOff 2 ms, more than Master_wait of quiet (by one microsecond), RtsOn 2 ms, then the frame.
    EXPECT_EQ(line.frames()[0].start_us - start, (2 + settings.Master_wait + 2) * 1000 + 1);
}

TEST_F(SimLinkTest, UnansweredReachabilityTestCostsThreeListeningTimes) {
    for (uint32_t wait : {40u, 136u}) {
        settings.Master_wait = wait;
        line.add_terminal(static_cast<uint8_t>(wait)).add_fault({sim::FaultKind::Dead, -1, 0});
        Open(static_cast<uint8_t>(wait));
        const uint64_t start = clock.now_us();
        EXPECT_FALSE(term->TestLink());
        // Two listens of more than Master_wait (each after a 2 ms RtsOff), the probe
        // (RtsOn 2, four bytes, 2, RtsOff 2, 2) and an acknowledgement wait of
        // more than Master_wait; "more than" is one microsecond here.
        const uint64_t want = 3 * (wait * 1000 + 1) + (2 * 2 + 2 + 2 + 2 + 2) * 1000 + 4 * ByteUs();
        EXPECT_EQ(clock.now_us() - start, want) << "Master_wait " << wait;
        term.reset();
        port.reset();
    }
}

TEST_F(SimLinkTest, AcknowledgementFirstByteDecides) {
    sim::Terminal& t = line.add_terminal(1);
    Open(1);
    t.add_fault({sim::FaultKind::Refuse, 1, 0});
    EXPECT_EQ(Transact("A"), 1);
    // Refused at once: the call ends with the refusal byte, long before Master_wait.
    const uint64_t frame_end = line.frames().back().end_us;
    EXPECT_LT(clock.now_us() - frame_end, t.config().ack_delay_us + 2 * ByteUs() + 8000);

    t.add_fault({sim::FaultKind::NoAck, 1, 0});
    EXPECT_EQ(Transact("A"), 1);
    EXPECT_GE(clock.now_us() - line.frames().back().end_us, settings.Master_wait * 1000);

    EXPECT_EQ(Transact("A"), 0);
    EXPECT_EQ(t.received().size(), 3u);
}

TEST_F(SimLinkTest, CommandStartingWithCIsFollowedByALongPause) {
    line.add_terminal(1);
    Open(1);
    uint64_t start = clock.now_us();
    EXPECT_EQ(Transact("C1"), 0);
    const uint64_t with_pause = clock.now_us() - start;
    start = clock.now_us();
    EXPECT_EQ(Transact("D1"), 0);
    const uint64_t without = clock.now_us() - start;
    EXPECT_EQ(with_pause - without, 3'000'000u);
    // Only a capital C: "c" carries settings and goes on at once.
    start = clock.now_us();
    EXPECT_EQ(Transact("c0001 0002 0003 0004 0005 0006 0007"), 0);
    EXPECT_LT(clock.now_us() - start, 200'000u);
}

// The fixed pauses of a command, on the virtual clock to the microsecond.
TEST_F(SimLinkTest, PausesOfACommand) {
    sim::Terminal& t = line.add_terminal(1);
    Open(1);

    // 300 ms after a write attempt that failed, and the number of attempts
    // read anew for every attempt.
    class ShrinkingView : public testing_support::RecordingView {
    public:
        int WriteAttempts() override { return asked++ == 0 ? 5 : 2; }
        int asked = 0;
    } shrinking;
    t.add_fault({sim::FaultKind::NoAck, -1, 0});
    char cmd[255] = "A";
    EXPECT_FALSE(term->RunCommand(cmd, shrinking));
    EXPECT_EQ(shrinking.attempts_shown, (std::vector<int>{1, 2}));
    ASSERT_EQ(line.frames().size(), 2u);
    // Acknowledgement wait, 300 ms, then RtsOff 2, quiet, RtsOn 2 before the next.
    EXPECT_EQ(line.frames()[1].start_us - line.frames()[0].end_us,
              2'000 + 2'000 + 2'000 + (settings.Master_wait * 1000 + 1) + 300'000 + 2'000 + (settings.Master_wait * 1000 + 1) + 2'000);
    t.clear_faults();

    // 500 ms before a block is read: a terminal slow to send its block still
    // has it read whole.
    t.config().block_delay_us = 300'000;
    t.set_next_block(Bytes{'S', 1, 2, 3, 4, 5, 6, 7, 0, 'T', 'E', 'S', 'T', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_TRUE(Run("S"));
    EXPECT_EQ(term->Records(), 1);

    // The block, queued meanwhile, is read at once after the 500 ms; the
    // command ends Master_wait later and 5 ms after each of its lines.
    t.config().block_delay_us = 20'000;
    Bytes block;
    for (int r = 0; r < 7; ++r) {
        Bytes rec(24, 0);
        rec[0] = 'R';
        rec[2] = static_cast<uint8_t>(r);
        block.insert(block.end(), rec.begin(), rec.end());
    }
    t.set_next_block(block);
    EXPECT_TRUE(Run("Y"));
    ASSERT_EQ(view.lines.size(), 8u);
    const auto answers = line.sent();
    ASSERT_GE(answers.size(), 2u);
    const sim::SentAnswer& ack = answers[answers.size() - 2];
    ASSERT_EQ(ack.kind, sim::AnswerKind::Ack);
    EXPECT_EQ(clock.now_us() - ack.end_us, 500'000 + settings.Master_wait * 1000 + 7 * 5'000);
}

TEST_F(SimLinkTest, MasterIsFoundAndFramesGoRightAfterThePoll) {
    line.set_master(20, 5'000);
    line.add_terminal(1);
    Open(1);
    EXPECT_TRUE(term->TestLink());
    EXPECT_TRUE(term->IsMaster());
    EXPECT_TRUE(line.frames().empty());  // a heard master makes the probe unnecessary

    const size_t polls_before = line.sent_of(sim::AnswerKind::Poll).size();
    EXPECT_EQ(Transact("A"), 0);
    ASSERT_EQ(line.frames().size(), 1u);
    const sim::ReceivedFrame& f = line.frames()[0];
    EXPECT_EQ(f.bytes, (Bytes{0x01, 0x04, 0x41, 0x46}));
    EXPECT_TRUE(f.rts_high);
    const auto polls = line.sent_of(sim::AnswerKind::Poll);
    // One poll to find the master, the next one to send after.
    ASSERT_GE(polls.size(), polls_before + 2);
    const sim::SentAnswer* last = nullptr;
    for (const auto& p : polls)
        if (p.end_us <= f.start_us) last = &p;
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(f.start_us - last->end_us, 2000u);  // only the RTS settling time
    EXPECT_GT(last->end_us, polls[polls_before].end_us);
}

TEST_F(SimLinkTest, MasterThatFallsSilentMeansTheFrameIsNotSent) {
    line.set_master(20, 5'000);
    line.add_terminal(1);
    Open(1);
    EXPECT_TRUE(term->WaitPoll());
    line.clear_master();
    const uint8_t frame[4] = {0x01, 0x04, 0x41, 0x46};
    EXPECT_FALSE(term->SendAfterPoll(frame, 4));
    EXPECT_FALSE(term->IsMaster());
    EXPECT_TRUE(line.frames().empty());
}

TEST_F(SimLinkTest, RtsStaysUpUntilTheFrameHasLeft) {
    // A long frame at a low rate: dropping RTS early would cut its tail.
    line.set_baud(1200);
    line.add_terminal(3);
    Open(3);
    const std::string long_line(97, 'A');
    EXPECT_EQ(Transact(long_line), 0);
    ASSERT_EQ(line.frames().size(), 1u);
    EXPECT_EQ(line.frames()[0].bytes.size(), 100u);
    EXPECT_TRUE(line.frames()[0].rts_high);
    EXPECT_TRUE(line.frames()[0].checksum_ok);
}

}  // namespace
