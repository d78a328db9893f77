#include "router/request_text.h"

#include <gtest/gtest.h>

using Lines = std::vector<std::string>;

TEST(RequestLines, EveryKindOfLineEnd) {
    EXPECT_EQ(SplitRequestLines("a\r\nb\r\n"), (Lines{"a", "b"}));
    EXPECT_EQ(SplitRequestLines("a\nb"), (Lines{"a", "b"}));
    EXPECT_EQ(SplitRequestLines("a\rb\r"), (Lines{"a", "b"}));
    // LF CR is two ends with an empty line between them.
    EXPECT_EQ(SplitRequestLines("a\n\rb"), (Lines{"a", "", "b"}));
    EXPECT_EQ(SplitRequestLines("a\r\n\r\nb"), (Lines{"a", "", "b"}));
    // A final line end adds no empty line; an empty text has no lines.
    EXPECT_EQ(SplitRequestLines("\r\n"), (Lines{""}));
    EXPECT_TRUE(SplitRequestLines("").empty());
}

TEST(RequestLines, NulEndsTheTextAndOtherBytesPassUnchanged) {
    using namespace std::string_literals;
    EXPECT_EQ(SplitRequestLines("a\r\nb\0c\r\nd"s), (Lines{"a", "b"}));
    EXPECT_TRUE(SplitRequestLines("\0abc"s).empty());
    EXPECT_EQ(SplitRequestLines("Nov\xA0k \t\x80\xFF"), (Lines{"Nov\xA0k \t\x80\xFF"}));
}

TEST(Selection, OnlyACapitalTermAtTheStartSelects) {
    EXPECT_TRUE(IsSelectionLine("TERM 2"));
    EXPECT_TRUE(IsSelectionLine("TERMINAL"));
    EXPECT_FALSE(IsSelectionLine("term 2"));
    EXPECT_FALSE(IsSelectionLine(" TERM 2"));
    EXPECT_FALSE(IsSelectionLine("TER"));
}

TEST(Selection, NumberAfterTermGivesTheIndex) {
    EXPECT_EQ(SelectionIndex("TERM 2"), 1);
    EXPECT_EQ(SelectionIndex("TERM2"), 1);
    EXPECT_EQ(SelectionIndex("TERM   +3x"), 2);
    EXPECT_EQ(SelectionIndex("TERM 9"), 3);
    EXPECT_EQ(SelectionIndex("TERM 99999999999999999999"), 3) << "no overflow into a small number";
    EXPECT_EQ(SelectionIndex("TERM 0"), -1);
    EXPECT_EQ(SelectionIndex("TERM -1"), -1);
    EXPECT_EQ(SelectionIndex("TERM"), -1);
    EXPECT_EQ(SelectionIndex("TERMINAL"), -1);
}

TEST(SplitRecord, NinetyEightCharactersGiveTwoCommandsOf56) {
    std::string head = "Q0001ABCDEFGH ";
    std::string line = head + std::string(42, '1') + std::string(42, '2');
    ASSERT_EQ(line.size(), 98u);
    std::string a, b;
    ASSERT_EQ(Split_record(line, a, b), SplitResult::Split);
    EXPECT_EQ(a, head + std::string(42, '1'));
    EXPECT_EQ(b, "q0001ABCDEFGH " + std::string(42, '2'));
}

TEST(SplitRecord, TailGoesWithBothHalves) {
    std::string head = "R0001ABCDEFGH ";
    std::string tail = "Novak        X";  // 12 characters would do; any tail is carried
    std::string line = head + std::string(42, 'a') + std::string(42, 'b') + tail.substr(0, 12);
    ASSERT_EQ(line.size(), 110u);
    std::string a, b;
    ASSERT_EQ(Split_record(line, a, b), SplitResult::Split);
    EXPECT_EQ(a.size(), 68u);
    EXPECT_EQ(b.size(), 68u);
    EXPECT_EQ(a, head + std::string(42, 'a') + tail.substr(0, 12));
    EXPECT_EQ(b, "r0001ABCDEFGH " + std::string(42, 'b') + tail.substr(0, 12));
}

TEST(SplitRecord, OtherLettersAndOverlongLinesAreRefused) {
    std::string a = "untouched", b = "untouched";
    EXPECT_EQ(Split_record("A" + std::string(100, 'x'), a, b), SplitResult::NotARecord);
    EXPECT_EQ(Split_record("q" + std::string(100, 'x'), a, b), SplitResult::NotARecord);
    EXPECT_EQ(Split_record("Q" + std::string(96, 'x'), a, b), SplitResult::NotARecord) << "97 characters";
    EXPECT_EQ(Split_record("", a, b), SplitResult::NotARecord);
    EXPECT_EQ(Split_record("Q" + std::string(118, 'x'), a, b), SplitResult::Split);
    EXPECT_EQ(a.size(), 77u) << "the longest command the split makes";
    a = b = "untouched";
    EXPECT_EQ(Split_record("Q" + std::string(119, 'x'), a, b), SplitResult::TooLong);
    EXPECT_EQ(a, "untouched");
    EXPECT_EQ(b, "untouched");
}
