#include <cstring>
#include <string>
#include <vector>

#include "protocol/porcio.h"
#include "test_support.h"

using testing_support::ScratchDir;

namespace {

// The diner line of the worked example: Q, 0007, 1A2B3C4D, blank flag,
// 14 x "1", 14 x "0", 14 x "N", "Nov" 0xA0 "k" + 9 blanks, blank, credit.
std::string DinerLine(char letter = 'Q', const std::string& credit = "+00100") {
    std::string line;
    line += letter;
    line += "0007";
    line += "1A2B3C4D";
    line += ' ';
    line += std::string(14, '1');
    line += std::string(14, '0');
    line += std::string(14, 'N');
    line += "Nov\xA0k";
    line += std::string(9, ' ');
    line += ' ';
    line += credit;
    return line;
}

struct Encoded {
    int length;
    std::vector<uint8_t> bytes;
};

Encoded EncodeWith(const TLinkSettings& settings, const std::string& line, size_t capacity) {
    std::vector<char> buf(std::max(capacity, line.size() + 1), '\0');
    std::memcpy(buf.data(), line.c_str(), line.size() + 1);
    const int n = BuildPayload(buf.data(), capacity, settings);
    Encoded e{n, {}};
    if (n > 0) e.bytes.assign(buf.begin(), buf.begin() + n);
    return e;
}

class PayloadTest : public ::testing::Test {
protected:
    Encoded Encode(const std::string& line, size_t capacity = kWorkLineSize) {
        return EncodeWith(settings, line, capacity);
    }
    ScratchDir dir;
    TLinkSettings settings;
};

TEST_F(PayloadTest, WorkedExampleWithCredit) {
    settings.Kredit = 1;
    const Encoded e = Encode(DinerLine());
    std::vector<uint8_t> want = {0x58, 0x00, 0x07, '1', 'A', '2', 'B', '3', 'C', '4', 'D', 0x20};
    want.insert(want.end(), 14, 0x56);
    for (char c : std::string("Novak")) want.push_back(static_cast<uint8_t>(c));
    want.insert(want.end(), 9, 0x20);
    want.push_back(0x20);
    want.push_back(0x00);
    want.push_back(0x64);
    ASSERT_EQ(e.length, 43);
    EXPECT_EQ(e.bytes, want);
    EXPECT_TRUE(dir.LogMessages().empty());
}

TEST_F(PayloadTest, CreditAmountsAreLimited) {
    settings.Kredit = 1;
    const std::pair<const char*, uint16_t> cases[] = {
        {"-00100", 0xFF9B}, {"+00100", 0x0064}, {"-40000", 0x86E7}, {"+40000", 0x7918},
        {"070000", 0x7918}, {"-00000", 0xFFFF}, {" 00042", 42},
    };
    for (const auto& [credit, want] : cases) {
        const Encoded e = Encode(DinerLine('Q', credit));
        ASSERT_EQ(e.length, 43) << credit;
        EXPECT_EQ((e.bytes[41] << 8) | e.bytes[42], want) << credit;
    }
    // Not a number: the amount stays 0.
    const Encoded bad = Encode(DinerLine('Q', "+12x45"));
    EXPECT_EQ(bad.bytes[41], 0);
    EXPECT_EQ(bad.bytes[42], 0);
}

TEST_F(PayloadTest, LengthDependsOnLetterAndCredit) {
    EXPECT_EQ(Encode(DinerLine('Q')).length, 40);
    settings.Kredit = 1;
    for (char letter : {'R', 'q', 'r'}) {
        const Encoded e = Encode(DinerLine(letter));
        EXPECT_EQ(e.length, 40) << letter;
        EXPECT_EQ(e.bytes[0], letter);
        EXPECT_EQ(PayloadLength(DinerLine(letter).c_str(), settings), 40);
    }
    EXPECT_EQ(PayloadLength(DinerLine('Q').c_str(), settings), 43);
}

TEST_F(PayloadTest, OtherLinesGoOutAsTheirCharacters) {
    for (const std::string line : {"A", "Y", "C123", "P 1", "x0007"}) {
        const Encoded e = Encode(line);
        EXPECT_EQ(e.length, static_cast<int>(line.size()));
        EXPECT_EQ(e.bytes, testing_support::Bytes(line));
    }
    EXPECT_EQ(Encode("").length, 0);
}

TEST_F(PayloadTest, SettingsCommandCarriesSixNumbers) {
    const Encoded e = Encode("cABCD 0001 0x10 9999 abcd 0000 65535");
    ASSERT_EQ(e.length, 17);
    const std::vector<uint8_t> want = {'c', 'A', 'B', 'C', 'D', 0x00, 0x01, 0x00, 0x10, 0x27, 0x0F,
                                       0x00, 0x00, 0x00, 0x00, 0x00, 0x65};
    // "6553" is read from the last field: it is cut to its four characters.
    EXPECT_EQ(std::vector<uint8_t>(e.bytes.begin(), e.bytes.begin() + 15),
              std::vector<uint8_t>(want.begin(), want.begin() + 15));
    EXPECT_EQ((e.bytes[15] << 8) | e.bytes[16], 6553);
}

TEST_F(PayloadTest, DinerNumberAndIdentifier) {
    std::string line = DinerLine('R');
    line.replace(1, 4, "0x1F");
    Encoded e = Encode(line);
    EXPECT_EQ(e.bytes[1], 0);
    EXPECT_EQ(e.bytes[2], 31);
    line.replace(1, 4, "12ab");
    e = Encode(line);
    EXPECT_EQ(e.bytes[1], 0);
    EXPECT_EQ(e.bytes[2], 0);
    EXPECT_EQ(std::string(e.bytes.begin() + 3, e.bytes.begin() + 11), "1A2B3C4D");
}

TEST_F(PayloadTest, RawFlagPassesMainMealsAndIgnoresTheRest) {
    std::string line = DinerLine('R');
    line[13] = '\x80';
    line.replace(14, 14, "ABCDEFGHIJKLMN");
    line.replace(28, 14, std::string(14, '8'));  // would be rejected if coded
    const Encoded e = Encode(line);
    EXPECT_EQ(e.bytes[11], 0x80);
    EXPECT_EQ(std::string(e.bytes.begin() + 12, e.bytes.begin() + 26), "ABCDEFGHIJKLMN");
    EXPECT_TRUE(dir.LogMessages().empty());
}

TEST_F(PayloadTest, RejectedCodesLogEachDayAndTheLineOnce) {
    std::string line = DinerLine('R');
    line[28] = '2';  // breakfast day 1: value 5, not below 5
    line[30] = '3';  // breakfast day 3: value 7
    line[55] = 'H';  // dinner day 14: value 18
    const Encoded e = Encode(line);
    EXPECT_EQ(e.length, 40);
    const std::vector<std::string> want = {"Spatne kodovani snidani", "Spatne kodovani snidani",
                                           "Spatne kodovani veceri", line};
    EXPECT_EQ(dir.LogMessages(), want);
    // The rejected breakfast leaves main "1" and dinner "N" of that day.
    EXPECT_EQ(e.bytes[12], 3 * 25 + 1);
    EXPECT_EQ(e.bytes[13], 86);
}

TEST_F(PayloadTest, CodedMealsWithCodingSet) {
    settings.CCode = 1;
    const Encoded e = Encode(DinerLine('R'));
    for (int d = 0; d < 14; ++d) EXPECT_EQ(e.bytes[12 + d], 55);
}

TEST_F(PayloadTest, ShortLineReadsZerosBeyondItsEnd) {
    settings.Kredit = 1;
    const Encoded e = Encode("Q0042");
    ASSERT_EQ(e.length, 43);
    EXPECT_EQ(e.bytes[0], 'X');
    EXPECT_EQ(e.bytes[2], 42);
    for (int i = 3; i < 12; ++i) EXPECT_EQ(e.bytes[i], 0) << i;
    for (int i = 12; i < 26; ++i) EXPECT_EQ(e.bytes[i], 0) << i;  // no meal ordered
    EXPECT_EQ(e.bytes[41], 0);  // an empty credit field reads as 0
}

TEST_F(PayloadTest, NeverWritesPastTheGivenBuffer) {
    settings.Kredit = 1;
    // 44 bytes are needed for "Q" with credit; a buffer of 20 is refused untouched.
    char small[32];
    std::memset(small, '#', sizeof small);
    std::memcpy(small, "Q0042", 6);
    EXPECT_EQ(BuildPayload(small, 20, settings), -1);
    EXPECT_STREQ(small, "Q0042");
    EXPECT_EQ(small[20], '#');
    // A line not terminated inside its buffer is refused too.
    char unterminated[4] = {'A', 'B', 'C', 'D'};
    EXPECT_EQ(BuildPayload(unterminated, sizeof unterminated, settings), -1);
    EXPECT_EQ(BuildPayload(nullptr, 10, settings), -1);
}

}  // namespace
