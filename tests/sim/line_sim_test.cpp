// The line model fed directly: frame parsing, what terminals keep, and the
// records they give back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/line_sim.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(Frames, BuildingAndHex) {
    EXPECT_EQ(sim::make_frame(1, "A"), (Bytes{0x01, 0x04, 0x41, 0x46}));
    EXPECT_EQ(sim::make_frame(2, "Y"), (Bytes{0x02, 0x04, 0x59, 0x5F}));
    EXPECT_EQ(sim::make_frame(0x10, "U"), Bytes(sim::POLL_FRAME.begin(), sim::POLL_FRAME.end()));
    // The checksum wraps at 256.
    Bytes payload(40, 0xFF);
    auto f = sim::make_frame(0xFF, payload);
    EXPECT_EQ(f[1], 43);
    EXPECT_EQ(f.back(), static_cast<uint8_t>(0xFF + 43 + 40 * 0xFF));
    EXPECT_EQ(sim::to_hex({0x01, 0xAB, 0x00}), "01 AB 00");
    EXPECT_EQ(sim::to_hex({}), "");
}

// Feeds bytes back to back from t, keyed.
uint64_t feed(sim::LineSim& line, const Bytes& bytes, uint64_t t) {
    for (uint8_t b : bytes) {
        line.advance_to(t);
        line.router_byte(b, t, true);
        t += line.byte_time_us();
    }
    return t;
}

TEST(Parsing, FramesSplitByLengthAndGap) {
    sim::LineSim line(9600);
    EXPECT_EQ(line.byte_time_us(), 1042u);
    line.add_terminal(1);
    // Two frames back to back are two frames.
    Bytes two = sim::make_frame(1, "A");
    Bytes second = sim::make_frame(1, "B");
    two.insert(two.end(), second.begin(), second.end());
    uint64_t t = feed(line, two, 0);
    ASSERT_EQ(line.frames().size(), 2u);
    EXPECT_EQ(line.frames()[1].start_us, 4 * 1042u);
    // A frame cut short and resumed after a long gap: the first part is
    // dropped and the rest starts a new frame.
    t = feed(line, {0x01, 0x05, 0x41}, t + 100'000);
    feed(line, sim::make_frame(1, "C"), t + 50'000);
    ASSERT_EQ(line.frames().size(), 4u);
    EXPECT_FALSE(line.frames()[2].complete);
    EXPECT_EQ(line.frames()[2].bytes, (Bytes{0x01, 0x05, 0x41}));
    EXPECT_TRUE(line.frames()[3].checksum_ok);
    EXPECT_EQ(line.terminal(1)->received().size(), 3u);
    // A short gap keeps the frame together.
    line.set_frame_gap_us(200'000);
    t = feed(line, {0x01, 0x04}, 1'000'000);
    feed(line, {0x41, 0x46}, t + 100'000);
    EXPECT_TRUE(line.frames().back().checksum_ok);
    EXPECT_EQ(line.frames().back().payload(), Bytes{'A'});
}

TEST(Parsing, AnswersQueueInOrderAndArriveAtTheirTimes) {
    sim::LineSim line;
    line.add_terminal(1);
    const uint64_t end = feed(line, sim::make_frame(1, "A"), 0);
    EXPECT_EQ(line.next_arrival_us(end), end + 10'000 + 521);
    EXPECT_TRUE(line.take_arrived(end + 10'000 + 520).empty());
    EXPECT_EQ(line.take_arrived(end + 10'000 + 521), Bytes{sim::ACK});
    EXPECT_EQ(line.pending_count(), 0u);
}

TEST(Terminals, AtMostFourWithDistinctAddresses) {
    sim::LineSim line;
    line.add_terminal(1);
    EXPECT_THROW(line.add_terminal(1), std::invalid_argument);
    line.add_terminal(2);
    line.add_terminal(3);
    line.add_terminal(4);
    EXPECT_THROW(line.add_terminal(5), std::invalid_argument);
    EXPECT_EQ(line.terminal(5), nullptr);
}

// A 40-byte diner payload (43 with credit for "X").
Bytes diner_payload(char letter, uint16_t number, const std::string& ident, uint8_t day, bool credit = false) {
    Bytes p;
    p.push_back(static_cast<uint8_t>(letter));
    p.push_back(static_cast<uint8_t>(number >> 8));
    p.push_back(static_cast<uint8_t>(number));
    p.insert(p.end(), ident.begin(), ident.end());
    p.push_back(' ');
    p.insert(p.end(), 14, day);
    const std::string name = "Novak         ";
    p.insert(p.end(), name.begin(), name.end());
    if (credit) p.insert(p.end(), {' ', 0x00, 0x64});
    return p;
}

TEST(Terminals, DinerCommandsAreKeptAndReadBack) {
    sim::Terminal t(sim::TerminalConfig{});
    EXPECT_FALSE(t.execute(diner_payload('X', 7, "1A2B3C4D", 86, true)));
    EXPECT_FALSE(t.execute(diner_payload('q', 7, "1A2B3C4D", 55)));
    EXPECT_FALSE(t.execute(diner_payload('R', 300, "NOVAKJAN", 1)));
    EXPECT_FALSE(t.execute(diner_payload('r', 500, "ABCDEFGH", 2)));  // days 15-28 only
    EXPECT_FALSE(t.execute(Bytes{'R', 0, 1}));                         // too short to keep
    ASSERT_EQ(t.diners().size(), 3u);
    const sim::Diner& d = t.diners().at(7);
    EXPECT_EQ(d.letter, 'Z');
    EXPECT_TRUE(d.has_credit);
    EXPECT_EQ(d.credit[2], 0x64);
    EXPECT_EQ(d.name[0], 'N');

    auto block = t.execute(Bytes{'Y'});
    ASSERT_TRUE(block);
    ASSERT_EQ(block->size(), 4 * 24u);
    const Bytes z{'Z', 0x00, 0x07, 0x1A, 0x2B, 0x3C, 0x4D, ' ', 86};
    EXPECT_TRUE(std::equal(z.begin(), z.end(), block->begin()));
    const Bytes q{'q', 0x00, 0x07, 0x1A, 0x2B, 0x3C, 0x4D, ' ', 55};
    EXPECT_TRUE(std::equal(q.begin(), q.end(), block->begin() + 24));
    // Not hex: the first four identifier bytes.
    const Bytes r{'R', 0x01, 0x2C, 'N', 'O', 'V', 'A', ' ', 1};
    EXPECT_TRUE(std::equal(r.begin(), r.end(), block->begin() + 48));
    EXPECT_EQ((*block)[72], 'r');
    EXPECT_EQ((*block)[22], 0);
    EXPECT_EQ((*block)[23], 0);
    EXPECT_EQ(t.execute(Bytes{'P'}), block);

    // A new "R" for the same diner keeps its days 15-28.
    t.execute(diner_payload('R', 7, "00000001", 3));
    block = t.execute(Bytes{'Y'});
    EXPECT_EQ((*block)[0], 'R');
    EXPECT_EQ((*block)[6], 0x01);
    EXPECT_EQ((*block)[24], 'q');
}

TEST(Terminals, DtRecordsAndStatus) {
    sim::TerminalConfig cfg;
    cfg.address = 9;
    cfg.dt = true;
    cfg.status_text = "A very long status text";
    sim::Terminal t(cfg);
    sim::Diner d;
    d.number = 1;
    d.dt = {1, 2, 3, 4, 5};
    t.store_diner(d);
    auto block = t.execute(Bytes{'Y'});
    ASSERT_EQ(block->size(), 29u);
    EXPECT_EQ(Bytes(block->begin() + 22, block->end()), (Bytes{1, 2, 3, 4, 5, 0, 0}));

    t.execute(Bytes{'A'});
    auto status = t.execute(Bytes{'S'});
    ASSERT_EQ(status->size(), 27u);
    EXPECT_EQ((*status)[0], 'S');
    EXPECT_EQ((*status)[1], 9);
    EXPECT_EQ((*status)[3], 1);  // one diner
    EXPECT_EQ(std::string(status->begin() + 9, status->begin() + 25), "A very long stat");
    EXPECT_EQ((*status)[25], 0);

    EXPECT_FALSE(t.execute(Bytes{'A'}));
    EXPECT_FALSE(t.execute(Bytes{}));
}

TEST(Terminals, RawBlocksTakePrecedence) {
    sim::LineSim line;
    auto& t = line.add_terminal(1);
    t.set_block('S', Bytes{'S', 1});
    t.set_block(0, Bytes{'x'});
    uint64_t now = 0;
    auto block_for = [&](const std::string& cmd) {
        now = feed(line, sim::make_frame(1, cmd), now + 1'000'000);
        auto got = line.take_arrived(now + 900'000);
        EXPECT_FALSE(got.empty());
        if (!got.empty()) got.erase(got.begin());  // the ack
        return got;
    };
    EXPECT_EQ(block_for("S"), (Bytes{'S', 1}));
    EXPECT_EQ(block_for("Y"), Bytes{'x'});
    t.set_next_block(Bytes{'n'});
    EXPECT_EQ(block_for("S"), Bytes{'n'});
    EXPECT_EQ(block_for("S"), (Bytes{'S', 1}));
    t.clear_blocks();
    EXPECT_EQ(block_for("S").size(), 27u);
}

}  // namespace
