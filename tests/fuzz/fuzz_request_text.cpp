// Request files: the line splitter against a plain model of its rules, the
// TERM parser's range, and the split of long diner lines.
#include <string>
#include <string_view>
#include <vector>

#include "router/request_text.h"
#include "fuzz_support.h"

namespace {

// CR LF and a lone CR become LF, a final line end is dropped, the rest split at LF.
std::vector<std::string> model_lines(std::string_view text)
{
    text = text.substr(0, text.find('\0'));
    std::string flat;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        flat += text[i] == '\r' ? '\n' : text[i];
    }
    std::vector<std::string> lines;
    if (flat.empty()) return lines;
    if (flat.back() == '\n') flat.pop_back();
    size_t start = 0;
    for (;;) {
        size_t nl = flat.find('\n', start);
        lines.push_back(flat.substr(start, nl == std::string::npos ? std::string::npos : nl - start));
        if (nl == std::string::npos) return lines;
        start = nl + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> lines = SplitRequestLines(text);
    FUZZ_CHECK(lines == model_lines(text));

    for (const std::string& line : lines) {
        const int index = SelectionIndex(line);
        FUZZ_CHECK(index >= -1 && index <= 3);
        if (!IsSelectionLine(line)) FUZZ_CHECK(line.substr(0, 4) != "TERM");

        std::string first = "untouched", second = "untouched";
        const SplitResult r = Split_record(line, first, second);
        if (r != SplitResult::Split) {
            FUZZ_CHECK(first == "untouched" && second == "untouched");
            continue;
        }
        FUZZ_CHECK(line.size() >= kMinRecordLine && line.size() <= kMaxRecordLine);
        FUZZ_CHECK(first.size() == line.size() - 42 && second.size() == line.size() - 42);
        FUZZ_CHECK(first.compare(0, 56, line, 0, 56) == 0);
        FUZZ_CHECK(second[0] == line[0] + 32 && second.compare(1, 13, line, 1, 13) == 0);
    }
    // The selection line as the watcher sees it: the file's first line.
    if (!lines.empty() && IsSelectionLine(lines[0])) {
        const std::string_view rest = std::string_view(lines[0]).substr(4);
        // "TERM" and plain digits: the number itself decides.
        if (!rest.empty() && rest.size() <= 9 && rest.find_first_not_of("0123456789") == std::string_view::npos) {
            const long n = std::stol(std::string(rest));
            FUZZ_CHECK(SelectionIndex(lines[0]) == (n <= 0 ? -1 : static_cast<int>(std::min(n, 4L)) - 1));
        }
    }
    return 0;
}
