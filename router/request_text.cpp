#include "router/request_text.h"

std::vector<std::string> SplitRequestLines(std::string_view text) {
    if (auto nul = text.find('\0'); nul != std::string_view::npos) text = text.substr(0, nul);
    std::vector<std::string> lines;
    size_t start = 0;
    size_t i = 0;
    while (i < text.size()) {
        char c = text[i];
        if (c != '\r' && c != '\n') {
            ++i;
            continue;
        }
        lines.emplace_back(text.substr(start, i - start));
        ++i;
        if (c == '\r' && i < text.size() && text[i] == '\n') ++i;
        start = i;
    }
    if (start < text.size()) lines.emplace_back(text.substr(start));
    return lines;
}

bool IsSelectionLine(std::string_view line) { return line.substr(0, 4) == "TERM"; }

int SelectionIndex(std::string_view line) {
    std::string_view rest = line.substr(std::min<size_t>(4, line.size()));
    size_t i = 0;
    while (i < rest.size() && rest[i] == ' ') ++i;
    bool negative = false;
    if (i < rest.size() && (rest[i] == '+' || rest[i] == '-')) negative = rest[i++] == '-';
    long n = 0;
    for (; i < rest.size() && rest[i] >= '0' && rest[i] <= '9'; ++i) {
        n = n * 10 + (rest[i] - '0');
        if (n > 4) n = 5;  // anything above 4 selects position 4; no overflow
    }
    if (negative || n <= 0) return -1;
    return static_cast<int>(std::min<long>(n, 4)) - 1;
}

SplitResult Split_record(std::string_view line, std::string& first, std::string& second) {
    if (line.size() < kMinRecordLine || (line[0] != 'Q' && line[0] != 'R')) return SplitResult::NotARecord;
    if (line.size() > kMaxRecordLine) return SplitResult::TooLong;
    std::string_view tail = line.substr(kMinRecordLine);
    first.assign(line.substr(0, 56));
    first.append(tail);
    second.assign(1, static_cast<char>(line[0] + 32));
    second.append(line.substr(1, 13));
    second.append(line.substr(56));
    return SplitResult::Split;
}
