#include <cstring>

#include "sim_fixture.h"

using testing_support::SimLinkTest;

namespace {

using Bytes = std::vector<uint8_t>;

// A diner record as a terminal sends it; every day byte the same. A DT group
// (dt_group, dt_group + 1, ...) makes it a 29-byte record.
Bytes Record(char letter, uint16_t number, uint8_t flag, uint8_t day, uint8_t dt_group = 0) {
    Bytes r(dt_group ? 29 : 24, 0);
    r[0] = static_cast<uint8_t>(letter);
    r[1] = static_cast<uint8_t>(number >> 8);
    r[2] = static_cast<uint8_t>(number);
    r[3] = 0x1A;
    r[4] = 0x2B;
    r[5] = 0x3C;
    r[6] = 0x4D;
    r[7] = flag;
    for (int d = 0; d < 14; ++d) r[8 + d] = day;
    if (dt_group)
        for (int i = 0; i < 5; ++i) r[22 + i] = static_cast<uint8_t>(dt_group + i);
    return r;
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Day byte 86 is main "1", breakfast "0", dinner "N"; 0 is "*" three times.
const std::string kMeals86 = std::string(14, '1') + std::string(14, '0') + std::string(14, 'N');
const std::string kMeals0 = std::string(42, '*');

std::string Head(char letter, const std::string& number, char flag = '\x01') {
    return std::string(1, letter) + number + "1A2B3C4D" + std::string(1, flag);
}

class RecordsTest : public SimLinkTest {
protected:
    void SetUp() override {
        SimLinkTest::SetUp();
        terminal = &line.add_terminal(2);
    }
    // Runs "Y" against the block and gives the result.
    bool ReadWith(const Bytes& block) {
        terminal->set_next_block(block);
        return Run("Y");
    }
    sim::Terminal* terminal = nullptr;
};

TEST_F(RecordsTest, ReadCommandWritesRawBlockAndLines) {
    Open(2);
    const Bytes block = Join({Record('R', 7, 0x01, 86), Record('R', 8, 0x01, 0)});
    EXPECT_TRUE(ReadWith(block));
    EXPECT_EQ(line.frames()[0].bytes, (Bytes{0x02, 0x04, 0x59, 0x5F}));
    EXPECT_EQ(term->Received(), 48);
    EXPECT_EQ(term->Records(), 2);
    EXPECT_EQ(term->Delivered(), 1);
    EXPECT_EQ(view.received_shown, std::vector<int>{48});
    EXPECT_EQ(view.attempts_shown, std::vector<int>{1});
    EXPECT_EQ(view.lines,
              (std::vector<std::string>{Head('R', "0007") + kMeals86, Head('R', "0008") + kMeals0}));
    EXPECT_EQ(testing_support::Bytes(dir.ReadFile("binarni.bin")), block);
    EXPECT_EQ(dir.LogMessages(), std::vector<std::string>{"Na\xE8teno: 2 rec."});
}

TEST_F(RecordsTest, FollowingLowerCaseRecordsAreJoined) {
    Open(2);
    // R q: one line with both records' days, each decoded by its own flag.
    EXPECT_TRUE(ReadWith(Join({Record('R', 7, 1, 86), Record('q', 7, 0x80, 'x')})));
    EXPECT_EQ(view.lines,
              std::vector<std::string>{Head('R', "0007") + kMeals86 + std::string(14, 'x') + std::string(28, '*')});
    EXPECT_EQ(term->Records(), 2);

    // R R: two lines.
    view.lines.clear();
    EXPECT_TRUE(ReadWith(Join({Record('R', 7, 1, 86), Record('R', 9, 1, 86)})));
    EXPECT_EQ(view.lines, (std::vector<std::string>{Head('R', "0007") + kMeals86, Head('R', "0009") + kMeals86}));

    // R q r: a joined pair, then the "r" record heads its own line.
    view.lines.clear();
    EXPECT_TRUE(ReadWith(Join({Record('R', 7, 1, 86), Record('q', 7, 1, 0), Record('r', 5, 1, 86)})));
    EXPECT_EQ(view.lines, (std::vector<std::string>{Head('R', "0007") + kMeals86 + kMeals0,
                                                    Head('r', "0005") + kMeals86}));

    // R q q r: the second "q" takes the "r" as its follower.
    view.lines.clear();
    EXPECT_TRUE(ReadWith(Join({Record('R', 7, 1, 86), Record('q', 7, 1, 0), Record('q', 6, 1, 0),
                               Record('r', 6, 1, 86)})));
    EXPECT_EQ(view.lines, (std::vector<std::string>{Head('R', "0007") + kMeals86 + kMeals0,
                                                    Head('q', "0006") + kMeals0 + kMeals86}));

    // A block that begins with a "q" record is of no known kind.
    view.lines.clear();
    EXPECT_TRUE(ReadWith(Join({Record('q', 7, 1, 86), Record('R', 7, 1, 86)})));
    EXPECT_TRUE(view.lines.empty());
    EXPECT_EQ(term->Records(), 0);
}

TEST_F(RecordsTest, DinerLineDetails) {
    Open(2);
    // "Z" is written as "Q"; five-digit numbers widen the head.
    EXPECT_TRUE(ReadWith(Join({Record('Z', 12345, 1, 86), Record('R', 3, 1, 86)})));
    EXPECT_EQ(view.lines, (std::vector<std::string>{Head('Q', "12345") + kMeals86, Head('R', "0003") + kMeals86}));

    // A zero flag byte ends the line after its head; a raw flag shows the bytes.
    view.lines.clear();
    Bytes raw = Record('R', 4, 0x80, 'x');
    raw[8] = '5';
    EXPECT_TRUE(ReadWith(Join({Record('R', 3, 0, 86), raw})));
    ASSERT_EQ(view.lines.size(), 2u);
    EXPECT_EQ(view.lines[0], "R00031A2B3C4D");
    EXPECT_EQ(view.lines[1], Head('R', "0004", '\x80') + "5" + std::string(13, 'x') + std::string(28, '*'));
}

TEST_F(RecordsTest, DtRecordsCarryTheirGroup) {
    settings.DT_use = 1;
    Open(2);
    // A joined line carries the head and the DT group of its first record.
    EXPECT_TRUE(ReadWith(Join({Record('R', 7, 1, 86, 0xA0), Record('r', 7, 2, 0, 0xB0), Record('R', 8, 3, 0, 0xC0)})));
    EXPECT_EQ(view.lines, (std::vector<std::string>{Head('R', "0007") + kMeals86 + kMeals0 + "A0A1A2A3A4",
                                                    Head('R', "0008", '\x03') + kMeals0 + "C0C1C2C3C4"}));
    EXPECT_EQ(term->Records(), 3);
    // 24-byte records do not fit the 29-byte layout.
    view.lines.clear();
    EXPECT_FALSE(ReadWith(Join({Record('R', 7, 1, 86), Record('R', 8, 1, 86)})));
    EXPECT_EQ(last_line[0], 'E');
}

TEST_F(RecordsTest, StatusBlockShowsOnlyItsFirstRecord) {
    Open(2);
    Bytes s(27, 0);
    s[0] = 'S';
    for (int i = 1; i <= 8; ++i) s[i] = static_cast<uint8_t>(i * 0x11);
    std::memcpy(s.data() + 9, "VERZE 1.0 TERMINAL", 16);  // a full 16 characters, no terminator
    Bytes second = s;
    second[1] = 0xEE;
    EXPECT_TRUE(ReadWith(Join({s, second})));
    EXPECT_EQ(term->Records(), 2);
    EXPECT_EQ(view.lines, std::vector<std::string>{"S11223344556677VERZE 1.0 TERMIN"});

    view.lines.clear();
    s[13] = 0;  // text ends early at a zero byte
    EXPECT_TRUE(ReadWith(s));
    EXPECT_EQ(view.lines, std::vector<std::string>{"S11223344556677VERZ"});
}

TEST_F(RecordsTest, WrongLengthMarksTheLine) {
    Open(2);
    const Bytes block = Join({Record('R', 7, 1, 86), Bytes(26, 0x33)});  // 50 bytes
    EXPECT_FALSE(ReadWith(block));
    EXPECT_EQ(last_line, "E");
    EXPECT_EQ(term->Delivered(), 1);  // the dispatch takes it back when it retries
    EXPECT_EQ(term->Records(), 0);
    EXPECT_TRUE(view.lines.empty());
    EXPECT_EQ(dir.ReadFile("binarni.bin").size(), 50u);

    Bytes status(28, 0);
    status[0] = 'S';
    EXPECT_FALSE(ReadWith(status));
    EXPECT_EQ(last_line, "E");
}

TEST_F(RecordsTest, PollEndsABlockAndItsHeadCounts) {
    Open(2);
    const Bytes block = Join({Record('R', 7, 1, 86), Bytes{0x10, 0x04, 0x10, 0x04, 0x55, 0x69}, Bytes(24, 0x41)});
    EXPECT_FALSE(ReadWith(block));
    EXPECT_TRUE(term->IsMaster());
    EXPECT_EQ(term->Received(), 24 + 5);  // 10 04 10 04 55 stored, the 69 ends the block
    EXPECT_EQ(last_line, "E");
}

TEST_F(RecordsTest, EmptyBlock) {
    Open(2);
    terminal->set_block(0, Bytes{});
    EXPECT_TRUE(Run("P"));
    EXPECT_EQ(term->Received(), 0);
    EXPECT_EQ(term->Records(), 0);
    EXPECT_TRUE(dir.Exists("binarni.bin"));
    EXPECT_EQ(dir.ReadFile("binarni.bin").size(), 0u);
    EXPECT_TRUE(view.lines.empty());
    EXPECT_EQ(view.received_shown, std::vector<int>{0});
}

TEST_F(RecordsTest, BlockFillingTheBufferExactlyAndOneByteMore) {
    settings.Data_length = 48;
    Open(2);
    const Bytes exact = Join({Record('R', 7, 1, 86), Record('R', 8, 1, 86)});
    EXPECT_TRUE(ReadWith(exact));
    EXPECT_EQ(term->Received(), 48);
    EXPECT_EQ(view.lines.size(), 2u);

    view.lines.clear();
    view.received_shown.clear();
    Bytes longer = exact;
    longer.push_back('R');
    EXPECT_TRUE(ReadWith(longer));  // delivered, but nothing usable
    EXPECT_EQ(term->Received(), 48);  // unchanged from the previous block
    EXPECT_EQ(view.received_shown, std::vector<int>{0});
    EXPECT_TRUE(view.lines.empty());
    EXPECT_EQ(dir.ReadFile("binarni.bin").size(), 0u);
    const auto log = dir.LogMessages();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "Blok dat je delsi nez 48 B");
    EXPECT_EQ(log.size(), 2u);  // "Načteno" of the first read and the overflow
    EXPECT_EQ(term->ReadBlock(), term->Buffer().data());  // nothing more on the line
}

TEST_F(RecordsTest, WriteAttemptsAndPauses) {
    Open(2);
    terminal->add_fault({sim::FaultKind::NoAck, 2, 0});
    view.write_attempts = 2;
    EXPECT_FALSE(Run("A"));
    EXPECT_EQ(view.attempts_shown, (std::vector<int>{1, 2}));
    EXPECT_EQ(term->Delivered(), 0);
    EXPECT_EQ(last_line, "A");

    view.attempts_shown.clear();
    view.write_attempts = 3;
    terminal->add_fault({sim::FaultKind::NoAck, 1, 0});
    const uint64_t start = clock.now_us();
    EXPECT_TRUE(Run("A"));
    EXPECT_EQ(view.attempts_shown, (std::vector<int>{1, 2}));
    EXPECT_EQ(term->Delivered(), 1);
    ASSERT_EQ(line.frames().size(), 4u);
    EXPECT_EQ(line.frames()[2].bytes, line.frames()[3].bytes);
    EXPECT_GE(line.frames()[3].start_us - line.frames()[2].end_us, 300'000u);
    EXPECT_LT(clock.now_us() - start, 600'000u);

    view.write_attempts = 0;  // no selection: nothing is sent
    EXPECT_FALSE(Run("A"));
    EXPECT_EQ(line.frames().size(), 4u);
}

TEST_F(RecordsTest, EncodedCommandsAreResentFromTheOriginalLine) {
    settings.Kredit = 1;
    Open(2);
    terminal->add_fault({sim::FaultKind::NoAck, 1, 0});
    std::string q = "Q00071A2B3C4D " + std::string(14, '1') + std::string(14, '0') + std::string(14, 'N') +
                    "Nov\xA0k" + std::string(9, ' ') + " +00100";
    EXPECT_TRUE(Run(q));
    ASSERT_EQ(line.frames().size(), 2u);
    for (const auto& f : line.frames()) {
        ASSERT_EQ(f.bytes.size(), 46u);
        EXPECT_EQ(f.bytes[0], 0x02);
        EXPECT_EQ(f.bytes[1], 0x2E);
        EXPECT_EQ(f.bytes[2], 'X');
        EXPECT_EQ(f.bytes[45], 0xDA);
    }
    EXPECT_EQ(last_line, q);  // the caller's line is not rewritten
}

TEST_F(RecordsTest, OverlongLinesAreRefusedWithoutSending) {
    Open(2);
    const std::string plain(98, 'A');
    EXPECT_FALSE(Run(plain));
    EXPECT_TRUE(line.frames().empty());
    EXPECT_EQ(dir.LogMessages(), std::vector<std::string>{"Prikaz je prilis dlouhy: " + plain});
    // 97 characters still fit a frame.
    EXPECT_TRUE(Run(std::string(97, 'A')));
    // A 250-character diner line only has its fields read.
    std::string diner = "R0007" + std::string(245, '*');
    EXPECT_TRUE(Run(diner));
    EXPECT_EQ(line.frames().back().bytes.size(), 43u);
}

TEST_F(RecordsTest, CommandAfterMasterPollWaitsBeforeReturning) {
    line.set_master(20, 5'000);
    Open(2);
    const uint64_t start = clock.now_us();
    EXPECT_TRUE(Run("A"));
    EXPECT_TRUE(term->IsMaster());
    EXPECT_GE(clock.now_us() - line.frames().back().end_us, 300'000u);
    EXPECT_LT(clock.now_us() - start, 500'000u);
}

}  // namespace
