#include "platform/codepage.h"

#include <gtest/gtest.h>

using namespace platform;

TEST(Codepage, Windows1250BothWays)
{
    EXPECT_EQ(utf8_to_cp1250("otevřen"), "\x6F\x74\x65\x76\xF8\x65\x6E");
    EXPECT_EQ(cp1250_to_utf8("\x6F\x74\x65\x76\xF8\x65\x6E"), "otevřen");
    const std::string czech = "Příliš žluťoučký kůň úpěl ďábelské ódy ČŠŽ";
    EXPECT_EQ(cp1250_to_utf8(utf8_to_cp1250(czech)), czech);
    EXPECT_EQ(utf8_to_cp1250(czech).size(), 42u);  // one byte per character
}

TEST(Codepage, Cp852BothWays)
{
    // č, ř, ž, á in code page 852.
    EXPECT_EQ(utf8_to_cp852("čřžá"), "\x9F\xFD\xA7\xA0");
    EXPECT_EQ(cp852_to_utf8("\x9F\xFD\xA7\xA0"), "čřžá");
    std::string all;
    for (int c = 0; c < 256; ++c) all += char(c);
    EXPECT_EQ(utf8_to_cp852(cp852_to_utf8(all)), all);
}

TEST(Codepage, UnmappableAndMalformedInputBecomesQuestionMarks)
{
    EXPECT_EQ(utf8_to_cp1250("a€b"), "a\x80" "b");  // € exists in 1250
    EXPECT_EQ(utf8_to_cp1250("a漢b"), "a?b");
    EXPECT_EQ(utf8_to_cp852("€"), "?");
    EXPECT_EQ(utf8_to_cp1250("x\xFFy"), "x?y");
    EXPECT_EQ(utf8_to_cp1250("x\xC5"), "x?");      // cut-off sequence at the end
    EXPECT_EQ(utf8_to_cp1250("\xE6\xBCz"), "?z");  // truncated three-byte sequence
    EXPECT_EQ(cp1250_to_utf8("a\x81" "b"), "a?b"); // undefined in 1250
    EXPECT_EQ(utf8_to_cp1250(std::string("a\0b", 3)), std::string("a\0b", 3));
    std::string many(10000, '\xFF');
    EXPECT_EQ(utf8_to_cp1250(many), std::string(10000, '?'));
}

TEST(Codepage, Utf8Validation)
{
    EXPECT_TRUE(is_valid_utf8("ř and ascii"));
    EXPECT_FALSE(is_valid_utf8("otev\xF8" "en"));
    EXPECT_FALSE(is_valid_utf8("\xC0\x80"));      // overlong
    EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));  // surrogate
    EXPECT_FALSE(is_valid_utf8("\xE2\x82"));      // cut off
}
