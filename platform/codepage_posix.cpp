#include "platform/codepage.h"

#include <cerrno>
#include <iconv.h>

namespace platform {
namespace {

// Length of the UTF-8 sequence that starts with lead byte c, or 1 for a
// byte that cannot start one (so a bad byte is skipped on its own).
size_t utf8_sequence_length(unsigned char c)
{
    if (c >= 0xF0 && c <= 0xF4) return 4;
    if (c >= 0xE0) return c <= 0xEF ? 3 : 1;
    if (c >= 0xC2) return 2;
    return 1;
}

std::string convert(std::string_view in, const char* from, const char* to, bool from_utf8)
{
    std::string out;
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        // No converter: keep ASCII, mark everything else.
        for (unsigned char c : in) out.push_back(c < 0x80 ? char(c) : '?');
        return out;
    }
    out.reserve(in.size() * 2);
    char* src = const_cast<char*>(in.data());
    size_t left = in.size();
    char chunk[256];
    while (left > 0) {
        char* dst = chunk;
        size_t room = sizeof chunk;
        size_t r = iconv(cd, &src, &left, &dst, &room);
        out.append(chunk, size_t(dst - chunk));
        if (r != size_t(-1)) continue;
        if (errno == E2BIG) continue;
        // EILSEQ (unmappable or malformed) or EINVAL (cut-off sequence at the end).
        size_t skip = 1;
        if (from_utf8) {
            size_t want = utf8_sequence_length(static_cast<unsigned char>(*src));
            skip = 1;
            // Skip the whole character only when its continuation bytes are really there.
            while (skip < want && skip < left && (static_cast<unsigned char>(src[skip]) & 0xC0) == 0x80) ++skip;
        }
        out.push_back('?');
        src += skip;
        left -= skip;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    iconv_close(cd);
    return out;
}

}  // namespace

std::string utf8_to_cp1250(std::string_view utf8) { return convert(utf8, "UTF-8", "CP1250", true); }
std::string cp1250_to_utf8(std::string_view bytes) { return convert(bytes, "CP1250", "UTF-8", false); }
std::string utf8_to_cp852(std::string_view utf8) { return convert(utf8, "UTF-8", "CP852", true); }
std::string cp852_to_utf8(std::string_view bytes) { return convert(bytes, "CP852", "UTF-8", false); }

bool is_valid_utf8(std::string_view bytes)
{
    size_t i = 0;
    while (i < bytes.size()) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) { ++i; continue; }
        size_t n = utf8_sequence_length(c);
        if (n == 1 || i + n > bytes.size()) return false;
        unsigned char c1 = static_cast<unsigned char>(bytes[i + 1]);
        // Reject overlong forms, surrogates and code points above U+10FFFF.
        if (c == 0xE0 && c1 < 0xA0) return false;
        if (c == 0xED && c1 > 0x9F) return false;
        if (c == 0xF0 && c1 < 0x90) return false;
        if (c == 0xF4 && c1 > 0x8F) return false;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(bytes[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

}  // namespace platform
