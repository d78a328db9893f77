#include <climits>
#include <cstring>
#include <sstream>
#include <string>

#include "test_support.h"

using testing_support::ScratchDir;

namespace {

class ConversionTest : public ::testing::Test {
protected:
    ScratchDir dir;
    TLinkSettings settings;

    uint8_t Fold(char main, char breakfast, char dinner) {
        uint8_t b = FoldMealCode(0, main, kMainMeal, settings).day_byte;
        b = FoldMealCode(b, breakfast, kBreakfast, settings).day_byte;
        return FoldMealCode(b, dinner, kDinner, settings).day_byte;
    }
    std::string Split(uint8_t b) {
        const MealChars c = SplitDayByte(b, settings);
        return {c.main, c.breakfast, c.dinner};
    }
};

TEST_F(ConversionTest, TransliterationOfNames) {
    for (int c = 0; c < 0x80; ++c) EXPECT_EQ(ToTerminalChar(static_cast<uint8_t>(c)), c);
    const std::pair<uint8_t, uint8_t> cases[] = {
        {0x9F, 'c'},  {0xD8, 'e'},  {0xFD, 'r'},  {0xA7, 'z'},  {0x85, 'u'},  {0xB7, 'E'},
        {0xE6, 'S'},  {0x81, 0xFC}, {0xE1, 0xDF}, {0xAE, 0xAA}, {0xAF, 0xBB}, {0xAC, 'C'},
        {0xB0, 0xB0}, {0xA0, 'a'},  {0x80, 0x80}, {0xFF, 0xFF}, {0xFB, 'u'},  {0xFC, 'R'},
        {0xD2, 'D'},  {0xC5, 0xC5}, {0xEC, 'y'},  {0xED, 'Y'},  {0x9E, 0x9E}, {0xAA, 0xAA},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(ToTerminalChar(in), out) << std::hex << int(in);

    // Every cell: a letter is its ASCII code, "=" the input code, two digits a byte.
    const char* const rows[8] = {
        "= FC e a a u c c l e O o i Z A C",  "E L l o o L l S s O U T t L = c",
        "a i o u A a Z z E e = z C s AA BB", "= = = = = A A E S = = = = Z z =",
        "= = = = = = = = = = = = = = = =",   "d D D E d N I I e = = = = T U =",
        "O DF O N n n S s R U r U y Y t =",  "= = = = = = = = = = = u R r = =",
    };
    for (int row = 0; row < 8; ++row) {
        std::istringstream cells(rows[row]);
        std::string cell;
        for (int col = 0; col < 16; ++col) {
            ASSERT_TRUE(cells >> cell);
            const int in = 0x80 + 16 * row + col;
            const int want = cell == "=" ? in : cell.size() == 1 ? cell[0] : std::stoi(cell, nullptr, 16);
            EXPECT_EQ(ToTerminalChar(static_cast<uint8_t>(in)), want) << std::hex << in;
        }
    }
}

TEST_F(ConversionTest, DayByteRoundTripWithCodingClear) {
    EXPECT_EQ(Fold('1', '0', 'N'), 86);
    EXPECT_EQ(Split(86), "10N");
    EXPECT_EQ(Fold('*', '*', '*'), 0);
    EXPECT_EQ(Split(0), "***");
    // Unknown characters count as "nothing ordered".
    EXPECT_EQ(Fold(' ', 'I', '9'), 0);
}

TEST_F(ConversionTest, DayByteWithCodingSetLosesN) {
    settings.CCode = 1;
    EXPECT_EQ(Fold('1', '0', 'N'), 55);
    EXPECT_EQ(Split(55), "10*");
}

TEST_F(ConversionTest, EveryMainMealCodeRoundTrips) {
    settings.MxSn = 1;
    settings.MxVec = 1;
    for (int coded = 0; coded <= 1; ++coded) {
        settings.CCode = static_cast<uint8_t>(coded);
        for (char ch : std::string("N01A2B3C4D5E6F7G8H")) {
            if (coded && ch == 'N') continue;  // the same value as "*"
            const uint8_t b = FoldMealCode(0, ch, kMainMeal, settings).day_byte;
            EXPECT_EQ(SplitDayByte(b, settings).main, ch) << "CCode " << coded << " code " << ch;
        }
    }
    settings.CCode = 0;
    EXPECT_EQ(FoldMealCode(0, 'H', kMainMeal, settings).day_byte, 18);
    EXPECT_EQ(SplitDayByte(19, settings).main, '0');
    settings.CCode = 1;
    EXPECT_EQ(FoldMealCode(0, 'H', kMainMeal, settings).day_byte, 17);
    EXPECT_EQ(SplitDayByte(18, settings).main, '0');
    EXPECT_TRUE(dir.LogMessages().empty());
}

TEST_F(ConversionTest, RejectedCodesAreLoggedAndKeepTheByte) {
    const uint8_t before = FoldMealCode(0, '1', kMainMeal, settings).day_byte;
    TFolded f = FoldMealCode(before, 'A', kBreakfast, settings);  // value 4 < 5
    EXPECT_EQ(f.day_byte, before + 4 * 5);
    EXPECT_FALSE(f.rejected);
    f = FoldMealCode(before, '2', kBreakfast, settings);  // value 5 is not below 5
    EXPECT_EQ(f.day_byte, before);
    EXPECT_TRUE(f.rejected);
    f = FoldMealCode(before, 'B', kDinner, settings);  // value 6
    EXPECT_EQ(f.day_byte, before);
    EXPECT_TRUE(f.rejected);
    EXPECT_EQ(dir.LogMessages(), (std::vector<std::string>{"Spatne kodovani snidani", "Spatne kodovani veceri"}));
}

TEST_F(ConversionTest, MainMealOverflowWrapsModulo256) {
    // "H" is 18: 18 * 25 = 450 = 194 mod 256, which splits into 7 ("3"), 3 ("1"), 4 ("A").
    const uint8_t b = FoldMealCode(0, 'H', kMainMeal, settings).day_byte;
    EXPECT_EQ(b, 194);
    EXPECT_EQ(Split(b), "31A");
}

TEST_F(ConversionTest, ZeroOrNegativeLimitsAllowOnlyNothing) {
    for (int32_t limit : {0, -3}) {
        settings.MxSn = limit;
        settings.MxVec = limit;
        const uint8_t b = Fold('2', '*', '*');
        EXPECT_EQ(b, 5);  // main value times 1 x 1
        EXPECT_EQ(Split(b), "2**");
        const TFolded f = FoldMealCode(b, 'N', kBreakfast, settings);
        EXPECT_EQ(f.day_byte, b);
        EXPECT_TRUE(f.rejected);
    }
}

TEST_F(ConversionTest, LargeLimitsDoNotOverflow) {
    settings.MxSn = INT32_MAX;
    settings.MxVec = INT32_MAX;
    const uint8_t b = Fold('*', '*', '0');
    EXPECT_EQ(b, 2);
    EXPECT_EQ(Split(b), "**0");
    EXPECT_TRUE(dir.LogMessages().empty()) << "nothing rejected";
}

TEST_F(ConversionTest, DecodeDaysCodedAndRaw) {
    uint8_t days[14];
    for (int i = 0; i < 14; ++i) days[i] = 86;
    DayStrings s = DecodeDays(0x01, days, settings);
    EXPECT_STREQ(s.main, "11111111111111");
    EXPECT_STREQ(s.breakfast, "00000000000000");
    EXPECT_STREQ(s.dinner, "NNNNNNNNNNNNNN");

    const char raw[] = "ABCDEFGHIJKLMN";
    std::memcpy(days, raw, 14);
    s = DecodeDays(0x80, days, settings);
    EXPECT_STREQ(s.main, raw);
    EXPECT_STREQ(s.breakfast, "**************");
    EXPECT_STREQ(s.dinner, "**************");

    days[3] = 0;  // a zero day byte shortens the raw string
    s = DecodeDays(0xFF, days, settings);
    EXPECT_STREQ(s.main, "ABC");
}

bool Read16(const char* text, uint16_t& v) {
    char buf[32];
    std::strcpy(buf, text);
    return ReadNumber16(buf, v);
}
bool Read32(const char* text, int32_t& v) {
    char buf[32];
    std::strcpy(buf, text);
    return ReadNumber32(buf, v);
}

TEST_F(ConversionTest, NumberFieldsThatRead) {
    const std::pair<const char*, uint16_t> ok16[] = {
        {"0012", 12}, {"12  ", 12}, {"0x1F", 31}, {"0X1f", 31}, {"    ", 0}, {"", 0},
        {" 12", 12},  {"+7", 7},    {"-1", 0xFFFF}, {"70000", 70000 & 0xFFFF}, {"100", 100},
    };
    for (const auto& [text, want] : ok16) {
        uint16_t v = 999;
        EXPECT_TRUE(Read16(text, v)) << text;
        EXPECT_EQ(v, want) << text;
    }
    int32_t v = 0;
    EXPECT_TRUE(Read32("-00100", v));
    EXPECT_EQ(v, -100);
    EXPECT_TRUE(Read32("99999999999", v));
    EXPECT_EQ(v, INT32_MAX);
    EXPECT_TRUE(Read32("-99999999999", v));
    EXPECT_EQ(v, INT32_MIN);
}

TEST_F(ConversionTest, NumberFieldsThatFail) {
    // Only blanks are cut off the end; any other white space is not a number.
    for (const char* text : {"12a", "1 2", "0x", "x1", "abc", "12.5", " 0x1F", "12\t", "12\n", "12 \r"}) {
        uint16_t v16 = 77;
        int32_t v32 = 77;
        EXPECT_FALSE(Read16(text, v16)) << text;
        EXPECT_FALSE(Read32(text, v32)) << text;
        EXPECT_EQ(v16, 77) << text;
    }
}

TEST_F(ConversionTest, TrailingBlanksAreCutInPlace) {
    char field[] = "42   ";
    uint16_t v = 0;
    EXPECT_TRUE(ReadNumber16(field, v));
    EXPECT_STREQ(field, "42");
}

}  // namespace
