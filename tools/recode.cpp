#include "tools/recode.h"

#include <langinfo.h>

#include <cerrno>

namespace tools {

std::string terminal_codeset() { return nl_langinfo(CODESET); }

Recoder::Recoder(const char* from, const char* to)
    : cd_(iconv_open(to, from)), from_utf8_(std::string_view(from) == "UTF-8") {}

Recoder::~Recoder() {
    if (cd_ != reinterpret_cast<iconv_t>(-1)) iconv_close(cd_);
}

std::string Recoder::operator()(std::string_view in) {
    std::string out;
    if (cd_ == reinterpret_cast<iconv_t>(-1)) {
        // No converter for this pair: ASCII is the same in every terminal encoding.
        for (unsigned char c : in) out.push_back(c < 0x80 ? char(c) : '?');
        return out;
    }
    out.reserve(in.size() + in.size() / 2);
    char* src = const_cast<char*>(in.data());
    size_t left = in.size();
    char chunk[1024];
    while (left > 0) {
        char* dst = chunk;
        size_t room = sizeof chunk;
        const size_t r = iconv(cd_, &src, &left, &dst, &room);
        out.append(chunk, size_t(dst - chunk));
        if (r != size_t(-1) || errno == E2BIG) continue;
        // EILSEQ or EINVAL: this character has no place in the target (or is
        // none). A bad UTF-8 sequence goes as a whole where it is complete.
        size_t skip = 1;
        if (from_utf8_) {
            const unsigned char lead = static_cast<unsigned char>(*src);
            const size_t want = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
            while (skip < want && skip < left && (static_cast<unsigned char>(src[skip]) & 0xC0) == 0x80) ++skip;
        }
        out.push_back('?');
        src += skip;
        left -= skip;
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    }
    return out;
}

std::string LogText::feed(std::string_view bytes) {
    std::string clean;
    clean.reserve(bytes.size() + 1);
    for (size_t i = 0; i < bytes.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (pending_cr_) {
            pending_cr_ = false;
            if (c != '\n') clean.push_back('?');
        }
        if (c == '\r') {
            pending_cr_ = true;
        } else if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7f) {
            clean.push_back('?');
        } else {
            clean.push_back(char(c));
        }
    }
    return recode_(clean);
}

}  // namespace tools
