#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <array>
#include <cstdint>

#include "platform/codepage.h"

namespace platform {
namespace {

constexpr uint32_t Unmapped = 0xFFFFFFFF;

// Length of the UTF-8 sequence that starts with lead byte c, or 1 for a
// byte that cannot start one (so a bad byte is skipped on its own).
size_t utf8_sequence_length(unsigned char c) {
    if (c >= 0xF0 && c <= 0xF4) return 4;
    if (c >= 0xE0) return c <= 0xEF ? 3 : 1;
    if (c >= 0xC2) return 2;
    return 1;
}

// The code point of a well-formed sequence at s (n bytes), else Unmapped.
uint32_t decode_utf8(const unsigned char* s, size_t left, size_t& n) {
    n = utf8_sequence_length(s[0]);
    if (s[0] < 0x80) {
        n = 1;
        return s[0];
    }
    if (n == 1 || n > left) return Unmapped;
    const unsigned char c = s[0], c1 = s[1];
    if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 > 0x9F) || (c == 0xF0 && c1 < 0x90) || (c == 0xF4 && c1 > 0x8F))
        return Unmapped;
    uint32_t cp = c & (n == 2 ? 0x1F : n == 3 ? 0x0F : 0x07);
    for (size_t k = 1; k < n; ++k) {
        if ((s[k] & 0xC0) != 0x80) return Unmapped;
        cp = (cp << 6) | (s[k] & 0x3F);
    }
    return cp;
}


// What each byte of a single-byte code page stands for. Windows gives the
// unassigned bytes of 1250 (0x81, 0x83, ...) their C1 control; the program
// treats them as no character, as iconv does, so they read as '?'.
class CodePage {
public:
    explicit CodePage(UINT cp) : cp_(cp) {
        for (int b = 0; b < 256; ++b) {
            const char byte = static_cast<char>(b);
            wchar_t w = 0;
            const int n = MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, &byte, 1, &w, 1);
            const bool c1 = w >= 0x80 && w <= 0x9F;
            table_[b] = n == 1 && !c1 ? static_cast<uint32_t>(w) : Unmapped;
        }
    }
    uint32_t decode(unsigned char b) const { return table_[b]; }
    // The byte for a code point, or -1 when the code page has none.
    int encode(uint32_t cp) const {
        if (cp < 0x80) return static_cast<int>(cp);
        if (cp > 0xFFFF) return -1;  // single-byte code pages hold nothing beyond the BMP
        const wchar_t w = static_cast<wchar_t>(cp);
        char byte = 0;
        BOOL used_default = FALSE;
        const int n = WideCharToMultiByte(cp_, WC_NO_BEST_FIT_CHARS, &w, 1, &byte, 1, nullptr, &used_default);
        if (n != 1 || used_default) return -1;
        const unsigned char b = static_cast<unsigned char>(byte);
        return table_[b] == cp ? b : -1;
    }

private:
    UINT cp_;
    std::array<uint32_t, 256> table_{};
};

const CodePage& cp1250() {
    static const CodePage page(1250);
    return page;
}

const CodePage& cp852() {
    static const CodePage page(852);
    return page;
}

std::string from_utf8(std::string_view in, const CodePage& page) {
    std::string out;
    out.reserve(in.size());
    const auto* s = reinterpret_cast<const unsigned char*>(in.data());
    size_t i = 0;
    while (i < in.size()) {
        size_t n = 1;
        const uint32_t cp = decode_utf8(s + i, in.size() - i, n);
        if (cp != Unmapped) {
            const int b = page.encode(cp);
            out.push_back(b >= 0 ? static_cast<char>(b) : '?');
            i += n;
            continue;
        }
        // Malformed: one '?' for the lead byte and the continuation bytes
        // that really follow it.
        const size_t want = utf8_sequence_length(s[i]);
        size_t skip = 1;
        while (skip < want && i + skip < in.size() && (s[i + skip] & 0xC0) == 0x80) ++skip;
        out.push_back('?');
        i += skip;
    }
    return out;
}

std::string to_utf8(std::string_view bytes, const CodePage& page) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (char c : bytes) {
        const uint32_t cp = page.decode(static_cast<unsigned char>(c));
        if (cp == Unmapped)
            out.push_back('?');
        else
            append_utf8(out, cp);
    }
    return out;
}

}  // namespace

std::string utf8_to_cp1250(std::string_view utf8) { return from_utf8(utf8, cp1250()); }
std::string cp1250_to_utf8(std::string_view bytes) { return to_utf8(bytes, cp1250()); }
std::string utf8_to_cp852(std::string_view utf8) { return from_utf8(utf8, cp852()); }
std::string cp852_to_utf8(std::string_view bytes) { return to_utf8(bytes, cp852()); }

bool is_valid_utf8(std::string_view bytes) {
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
    size_t i = 0;
    while (i < bytes.size()) {
        size_t n = 1;
        if (decode_utf8(s + i, bytes.size() - i, n) == Unmapped) return false;
        i += n;
    }
    return true;
}

}  // namespace platform
