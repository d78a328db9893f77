// The line model driven through SimLineDevice on virtual time, as the serial
// driver would drive it, with exact times.
#include <gtest/gtest.h>

#include <vector>

#include "sim/sim_line_device.h"

namespace {

using sim::AnswerKind;
using sim::FaultKind;

constexpr uint64_t BT = 521;  // one byte at 19200 baud, rounded

class SimLine : public ::testing::Test {
protected:
    SimLine() : dev(line, clock) { dev.open("COM1"); }

    // Keys RTS, sends the frame, waits for the transmitter, drops RTS.
    void send(const std::vector<uint8_t>& frame) {
        dev.set_rts(true);
        dev.write(frame.data(), frame.size());
        dev.drain_tx();
        dev.set_rts(false);
    }

    // Reads until the line has been quiet for quiet_ms; remembers when the
    // last byte came.
    std::vector<uint8_t> read_until_quiet(int quiet_ms = 40) {
        std::vector<uint8_t> out;
        while (dev.wait_rx(quiet_ms) == 1) {
            uint8_t b[64];
            int n = dev.read(b, sizeof b);
            out.insert(out.end(), b, b + n);
            last_byte_us = clock.now_us();
        }
        return out;
    }

    // Reads everything that arrives up to virtual time t.
    std::vector<uint8_t> read_until_time(uint64_t t) {
        std::vector<uint8_t> out;
        while (clock.now_us() < t) {
            if (dev.wait_rx(int((t - clock.now_us() + 999) / 1000)) != 1) continue;
            uint8_t b[64];
            int n = dev.read(b, sizeof b);
            out.insert(out.end(), b, b + n);
        }
        return out;
    }

    sim::LineSim line;
    platform::VirtualClock clock;
    sim::SimLineDevice dev;
    uint64_t last_byte_us = 0;
};

TEST_F(SimLine, ProbeIsAcknowledgedAtFrameEndPlusTurnaround) {
    line.add_terminal(1);
    send({0x01, 0x04, 0x41, 0x46});
    EXPECT_EQ(clock.now_us(), 4 * BT);
    ASSERT_EQ(dev.wait_rx(40), 1);
    EXPECT_EQ(clock.now_us(), 4 * BT + 10'000 + BT);
    uint8_t b = 0;
    ASSERT_EQ(dev.read(&b, 1), 1);
    EXPECT_EQ(b, sim::ACK);

    ASSERT_EQ(line.frames().size(), 1u);
    const auto& f = line.frames()[0];
    EXPECT_EQ(f.bytes, (std::vector<uint8_t>{0x01, 0x04, 0x41, 0x46}));
    EXPECT_EQ(f.start_us, 0u);
    EXPECT_EQ(f.end_us, 4 * BT);
    EXPECT_TRUE(f.rts_high);
    EXPECT_TRUE(f.checksum_ok);
    ASSERT_EQ(line.terminal(1)->received().size(), 1u);
    EXPECT_EQ(line.terminal(1)->received()[0].payload, std::vector<uint8_t>{'A'});
}

TEST_F(SimLine, UnansweredFrames) {
    line.add_terminal(1);
    send({0x01, 0x04, 0x41, 0x47});  // wrong checksum
    EXPECT_EQ(dev.wait_rx(40), 0);
    EXPECT_EQ(clock.now_us(), 4 * BT + 40'000);
    send(sim::make_frame(2, "A"));  // nobody at 2
    EXPECT_EQ(dev.wait_rx(40), 0);
    send({0x01, 0x02});  // a length no frame can have
    EXPECT_EQ(dev.wait_rx(40), 0);

    ASSERT_EQ(line.frames().size(), 3u);
    EXPECT_FALSE(line.frames()[0].checksum_ok);
    EXPECT_TRUE(line.frames()[1].checksum_ok);
    EXPECT_EQ(line.frames()[1].address(), 2);
    EXPECT_FALSE(line.frames()[2].complete);
    EXPECT_TRUE(line.terminal(1)->received().empty());
    EXPECT_TRUE(line.sent().empty());
}

TEST_F(SimLine, ConfiguredTurnaroundAndTwoTerminals) {
    sim::TerminalConfig cfg;
    cfg.address = 3;
    cfg.ack_delay_us = 25'000;
    line.add_terminal(cfg);
    line.add_terminal(1);
    send(sim::make_frame(3, "A"));
    ASSERT_EQ(dev.wait_rx(40), 1);
    EXPECT_EQ(clock.now_us(), 4 * BT + 25'000 + BT);
    EXPECT_EQ(line.sent().back().address, 3);
    EXPECT_TRUE(line.terminal(1)->received().empty());
}

TEST_F(SimLine, BytesWrittenBackToBackAndCountedUntilOnTheWire) {
    line.add_terminal(1);
    const auto f = sim::make_frame(1, "A");
    dev.set_rts(true);
    dev.write(f.data(), 2);
    clock.sleep_us(BT / 2);
    dev.write(f.data() + 2, 2);  // queued behind the first two
    EXPECT_EQ(dev.tx_count(), 4);
    clock.advance_to_us(2 * BT);
    EXPECT_EQ(dev.tx_count(), 2);
    dev.drain_tx();
    EXPECT_EQ(clock.now_us(), 4 * BT);
    EXPECT_EQ(dev.tx_count(), 0);
    dev.set_rts(false);
    EXPECT_EQ(line.frames().at(0).end_us, 4 * BT);
}

TEST_F(SimLine, RtsDroppedBeforeDrainMarksBytesUnkeyed) {
    line.add_terminal(1);
    const auto f = sim::make_frame(1, "A");
    dev.set_rts(true);
    clock.sleep_ms(2);
    dev.write(f.data(), f.size());
    clock.sleep_ms(1);  // the frame needs 2.084 ms; RTS falls under its second half
    dev.set_rts(false);
    EXPECT_EQ(dev.wait_rx(40), 0);
    ASSERT_EQ(line.frames().size(), 1u);
    EXPECT_FALSE(line.frames()[0].rts_high);
    EXPECT_TRUE(line.frames()[0].checksum_ok);
    EXPECT_TRUE(line.sent().empty());  // an unkeyed transmitter does not reach the terminal

    // RTS raised only after the bytes had started is caught as well.
    dev.write(f.data(), f.size());
    clock.sleep_us(BT);
    dev.set_rts(true);
    dev.drain_tx();
    dev.set_rts(false);
    EXPECT_FALSE(line.frames().at(1).rts_high);

    // Without the requirement the terminal answers such a frame.
    line.set_require_rts(false);
    dev.write(f.data(), f.size());
    dev.drain_tx();
    EXPECT_EQ(dev.wait_rx(40), 1);
    EXPECT_FALSE(line.frames().at(2).rts_high);
}

TEST_F(SimLine, MasterPollsAtItsPeriodAndNeverIntoTraffic) {
    line.add_terminal(1);
    line.set_master(25);
    // The router listens: a poll at 0, the next at 25 ms.
    std::vector<uint8_t> got;
    while (got.size() < 8) {
        ASSERT_EQ(dev.wait_rx(40), 1);
        uint8_t b[8];
        int n = dev.read(b, sizeof b);
        got.insert(got.end(), b, b + n);
    }
    EXPECT_EQ(got, (std::vector<uint8_t>{0x10, 0x04, 0x55, 0x69, 0x10, 0x04, 0x55, 0x69}));
    EXPECT_EQ(clock.now_us(), 25'000 + 4 * BT);

    // A long frame right after that poll covers the slots at 50 and 75 ms.
    clock.advance_to_us(30'000);
    std::vector<uint8_t> payload(60, 'A');
    send(sim::make_frame(1, payload));
    const uint64_t frame_end = 30'000 + 63 * BT;
    EXPECT_EQ(line.frames().back().end_us, frame_end);
    (void)read_until_time(200'000);

    const auto polls = line.sent_of(AnswerKind::Poll);
    ASSERT_GE(polls.size(), 4u);
    for (const auto& p : polls) {
        EXPECT_EQ(p.start_us % 25'000, 0u) << p.start_us;
        EXPECT_EQ(p.end_us - p.start_us, 4 * BT);
        for (const auto& f : line.frames())
            EXPECT_TRUE(p.end_us <= f.start_us || p.start_us >= f.end_us) << "poll at " << p.start_us;
        for (const auto& a : line.sent_of(AnswerKind::Ack))
            EXPECT_TRUE(p.end_us <= a.start_us || p.start_us >= a.end_us) << "poll at " << p.start_us;
    }
    // The ack (at frame end + 10 ms) went out; the next poll only after it.
    const auto acks = line.sent_of(AnswerKind::Ack);
    ASSERT_EQ(acks.size(), 1u);
    EXPECT_EQ(acks[0].start_us, frame_end + 10'000);
    bool poll_after = false;
    for (const auto& p : polls) poll_after = poll_after || p.start_us >= acks[0].end_us;
    EXPECT_TRUE(poll_after);
    for (const auto& p : polls) EXPECT_FALSE(p.start_us > 30'000 && p.start_us < acks[0].end_us);
}

TEST_F(SimLine, MasterStaysQuietWhileARouterFrameIsQueued) {
    line.add_terminal(1);
    line.set_master(5, 10'000);
    // Written at 9 ms, still on the wire at the 10 ms slot.
    clock.advance_to_us(9'000);
    send(sim::make_frame(1, "A"));
    (void)read_until_time(40'000);
    const auto polls = line.sent_of(AnswerKind::Poll);
    ASSERT_FALSE(polls.empty());
    const uint64_t ack_end = line.sent_of(AnswerKind::Ack).at(0).end_us;
    EXPECT_GE(polls.front().start_us, ack_end);
}

TEST_F(SimLine, MasterStaysQuietBetweenQueuedFrames) {
    line.add_terminal(1);
    // A slot exactly where one queued frame ends and the next begins.
    line.set_master(50, 4 * BT);
    auto two = sim::make_frame(9, "A");
    const auto second = sim::make_frame(1, "A");
    two.insert(two.end(), second.begin(), second.end());
    send(two);
    (void)read_until_time(100'000);
    const auto polls = line.sent_of(AnswerKind::Poll);
    ASSERT_FALSE(polls.empty());
    EXPECT_GT(polls.front().start_us, 8 * BT);
}

TEST_F(SimLine, NoPollSlotsInThePastWhenMasterStartsLate) {
    clock.advance_to_us(5'000'000);
    dev.rx_count();
    line.set_master(25);
    ASSERT_EQ(dev.wait_rx(40), 1);
    EXPECT_EQ(line.sent_of(AnswerKind::Poll).at(0).start_us, 5'000'000u);
}

TEST_F(SimLine, ReadCommandBlockPacedAtBaudRate) {
    auto& t = line.add_terminal(2);
    sim::Diner d;
    d.number = 7;
    d.ident = {'1', 'A', '2', 'B', '3', 'C', '4', 'D'};
    d.flag = 0x01;
    d.days.fill(86);
    t.store_diner(d);
    d.number = 8;
    t.store_diner(d);

    send(sim::make_frame(2, "Y"));
    const uint64_t frame_end = 4 * BT;
    ASSERT_EQ(dev.wait_rx(40), 1);
    uint8_t ack = 0;
    dev.read(&ack, 1);
    EXPECT_EQ(ack, sim::ACK);
    clock.sleep_ms(500);  // the router's pause; the block queues meanwhile
    const auto block = read_until_quiet();
    ASSERT_EQ(block.size(), 48u);
    const uint64_t block_start = frame_end + 10'000 + BT + 20'000;
    EXPECT_EQ(line.sent_of(AnswerKind::Block).at(0).start_us, block_start);
    EXPECT_EQ(line.sent_of(AnswerKind::Block).at(0).end_us, block_start + 48 * BT);
    // All of it had arrived before the pause ended.
    EXPECT_EQ(last_byte_us, frame_end + 10'000 + BT + 500'000);

    const std::vector<uint8_t> head{'R', 0x00, 0x07, 0x1A, 0x2B, 0x3C, 0x4D, 0x01};
    EXPECT_TRUE(std::equal(head.begin(), head.end(), block.begin()));
    EXPECT_EQ(block[8], 86);
    EXPECT_EQ(block[24 + 2], 8);
}

TEST_F(SimLine, LongBlockReadAsItComesEndsExactlyAtItsLastByte) {
    auto& t = line.add_terminal(1);
    t.set_next_block(std::vector<uint8_t>(1000, 'R'));
    send(sim::make_frame(1, "P"));
    const auto got = read_until_quiet();
    ASSERT_EQ(got.size(), 1001u);
    EXPECT_EQ(got[0], sim::ACK);
    const uint64_t ack_end = 4 * BT + 10'000 + BT;
    EXPECT_EQ(last_byte_us, ack_end + 20'000 + 1000 * BT);
    // Used once: the next P gets the stored diners (none).
    send(sim::make_frame(1, "P"));
    EXPECT_EQ(read_until_quiet(), std::vector<uint8_t>{sim::ACK});
}

// One read command with the given fault; the bytes the router receives.
std::vector<uint8_t> block_with_fault(sim::Fault fault, const std::vector<uint8_t>& block) {
    sim::LineSim line;
    platform::VirtualClock clock;
    sim::SimLineDevice dev(line, clock);
    dev.open("x");
    auto& t = line.add_terminal(1);
    t.set_block('Y', block);
    t.add_fault(fault);
    const auto f = sim::make_frame(1, "Y");
    dev.set_rts(true);
    dev.write(f.data(), f.size());
    dev.drain_tx();
    dev.set_rts(false);
    std::vector<uint8_t> out;
    while (dev.wait_rx(100) == 1) {
        uint8_t b[256];
        int n = dev.read(b, sizeof b);
        out.insert(out.end(), b, b + n);
    }
    return out;
}

TEST(SimLineFaults, BlockFaults) {
    std::vector<uint8_t> block(48);
    for (size_t i = 0; i < block.size(); ++i) block[i] = uint8_t(i);

    auto shorter = block_with_fault({FaultKind::WrongLength, 1, 0}, block);
    ASSERT_EQ(shorter.size(), 1 + 47u);
    EXPECT_EQ(shorter.back(), 46);

    auto longer = block_with_fault({FaultKind::WrongLength, 1, 2}, block);
    EXPECT_EQ(longer.size(), 1 + 50u);

    auto lost = block_with_fault({FaultKind::LoseBytes, 1, 0}, block);
    ASSERT_EQ(lost.size(), 1 + 47u);
    EXPECT_EQ(lost[0], sim::ACK);
    EXPECT_EQ(lost[1 + 23], 23);
    EXPECT_EQ(lost[1 + 24], 25);  // byte 24 lost from the middle
    EXPECT_EQ(lost.back(), 47);

    auto polled = block_with_fault({FaultKind::PollInBlock, 1, 0}, block);
    ASSERT_EQ(polled.size(), 1 + 52u);
    EXPECT_EQ(std::vector<uint8_t>(polled.begin() + 25, polled.begin() + 29),
              std::vector<uint8_t>(sim::POLL_FRAME.begin(), sim::POLL_FRAME.end()));
    EXPECT_EQ(polled[29], 24);

    auto noisy = block_with_fault({FaultKind::Noise, 1, 2}, block);
    ASSERT_EQ(noisy.size(), 1 + 50u);
    EXPECT_EQ(noisy[1], 0x00);
    EXPECT_EQ(noisy[2], 0x00);
    EXPECT_EQ(noisy[3], 0);  // the block itself follows whole
    EXPECT_EQ(noisy.back(), 47);
}

TEST_F(SimLine, SilenceRefusalAndDeath) {
    auto& t = line.add_terminal(1);
    t.add_fault({FaultKind::NoAck, 2, 0});
    const auto probe = sim::make_frame(1, "A");
    send(probe);
    EXPECT_EQ(dev.wait_rx(40), 0);
    send(probe);
    EXPECT_EQ(dev.wait_rx(40), 0);
    send(probe);
    EXPECT_EQ(read_until_quiet(), std::vector<uint8_t>{sim::ACK});
    EXPECT_TRUE(t.faults().empty());

    // A refused diner command is not carried out.
    t.add_fault({FaultKind::Refuse, 1, 0});
    std::vector<uint8_t> diner(40, ' ');
    diner[0] = 'R';
    diner[1] = 0;
    diner[2] = 9;
    send(sim::make_frame(1, diner));
    EXPECT_EQ(read_until_quiet(), std::vector<uint8_t>{sim::NAK});
    EXPECT_TRUE(t.diners().empty());
    send(sim::make_frame(1, diner));
    EXPECT_EQ(read_until_quiet(), std::vector<uint8_t>{sim::ACK});
    EXPECT_EQ(t.diners().count(9), 1u);

    // Lost bytes on a command without a block: the ack is lost.
    t.add_fault({FaultKind::LoseBytes, 1, 0});
    send(probe);
    EXPECT_TRUE(read_until_quiet().empty());

    t.add_fault({FaultKind::Dead, -1, 0});
    for (int i = 0; i < 5; ++i) {
        send(probe);
        EXPECT_EQ(dev.wait_rx(100), 0);
    }
    EXPECT_EQ(t.received().size(), 11u);  // still heard and kept
    EXPECT_FALSE(t.received().back().answered);
}

TEST_F(SimLine, WaitWithoutLimitNeverHangs) {
    line.add_terminal(1);
    EXPECT_EQ(dev.wait_rx(-1), 0);
    EXPECT_EQ(clock.now_us(), sim::SimLineDevice::NO_LIMIT_WAIT_US);
    line.set_master(30);
    EXPECT_EQ(dev.wait_rx(-1), 1);
    EXPECT_EQ(clock.now_us(), sim::SimLineDevice::NO_LIMIT_WAIT_US + BT);
}

TEST_F(SimLine, EchoAndPurge) {
    line.add_terminal(1);
    line.set_echo(true);
    const auto f = sim::make_frame(1, "A");
    send(f);
    ASSERT_EQ(dev.rx_count(), 4);  // our own bytes back
    uint8_t b[4];
    dev.read(b, 4);
    EXPECT_EQ(std::vector<uint8_t>(b, b + 4), f);
    EXPECT_EQ(read_until_quiet(), std::vector<uint8_t>{sim::ACK});

    // Purge drops what has not started; the byte already on the wire goes on.
    line.set_echo(false);
    dev.set_rts(true);
    dev.write(f.data(), f.size());
    clock.sleep_us(BT / 2);
    dev.purge_tx();
    EXPECT_EQ(dev.tx_count(), 1);
    dev.drain_tx();
    EXPECT_EQ(clock.now_us(), dev.tx_end_us());
    clock.sleep_ms(30);  // beyond the frame gap: the partial frame is given up
    dev.rx_count();
    EXPECT_FALSE(line.frames().back().complete);
    EXPECT_EQ(line.frames().back().bytes.size(), 1u);
}

TEST_F(SimLine, ClosedDeviceRefusesAndDropsQueuedBytes) {
    line.add_terminal(1);
    const auto f = sim::make_frame(1, "A");
    dev.set_rts(true);
    dev.write(f.data(), f.size());
    dev.close();
    uint8_t b;
    EXPECT_LT(dev.read(&b, 1), 0);
    EXPECT_LT(dev.write(&b, 1), 0);
    EXPECT_LT(dev.wait_rx(10), 0);
    EXPECT_TRUE(line.frames().empty());
}

}  // namespace
