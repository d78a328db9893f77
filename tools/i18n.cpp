#include "tools/i18n.h"

#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <vector>

namespace tools {

void init_messages() {
    std::setlocale(LC_ALL, "");
    const char* dir = std::getenv("STRAVON_LOCALEDIR");
    bindtextdomain(Text_domain, dir && *dir ? dir : STRAVON_LOCALEDIR);
}

std::string format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    std::string out;
    if (n > 0) {
        std::vector<char> buf(size_t(n) + 1);
        std::vsnprintf(buf.data(), buf.size(), fmt, again);
        out.assign(buf.data(), size_t(n));
    }
    va_end(again);
    return out;
}

size_t display_width(std::string_view text) {
    std::mbstate_t state{};
    size_t width = 0;
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        wchar_t wc;
        const size_t n = std::mbrtowc(&wc, p, left, &state);
        if (n == 0 || n == size_t(-1) || n == size_t(-2)) {
            // Not a character of this locale: one column per byte, as a terminal shows it.
            state = {};
            ++width;
            ++p;
            --left;
            continue;
        }
        const int w = ::wcwidth(wc);
        width += w > 0 ? size_t(w) : 0;
        p += n;
        left -= n;
    }
    return width;
}

}  // namespace tools
