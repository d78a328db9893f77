// Text rules of the request and command files, and the split of long
// diner lines; no Qt, so they are tested on their own.
#pragma once
#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Lines end at CR LF, LF or CR (LF CR is two ends); a final line end adds
// no empty line; a NUL byte ends the text.
std::vector<std::string> SplitRequestLines(std::string_view text);

// True when the first line only selects a terminal ("TERM" + a number).
bool IsSelectionLine(std::string_view line);

// The Selekt index a selection line asks for: 0..3, or -1 for none.
int SelectionIndex(std::string_view line);

// Shortest line that is a long record, and the longest the split can take.
constexpr size_t kMinRecordLine = 98;
constexpr size_t kMaxRecordLine = 119;

enum class SplitResult { Split, NotARecord, TooLong };

// Splits a line of 98 characters or more into its two commands: head,
// days 1-14 and tail; head with a lower-case letter, days 15-28 and tail.
// A shorter line is not a long record.
SplitResult Split_record(std::string_view line, std::string& first, std::string& second);
