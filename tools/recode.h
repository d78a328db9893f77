// Text between the router's Windows-1250 files, the terminal's encoding and
// the UTF-8 that D-Bus carries.
#pragma once
#include <iconv.h>

#include <string>
#include <string_view>

namespace tools {

// The encoding of the user's locale (after init_messages): "UTF-8",
// "ISO-8859-2", "ANSI_X3.4-1968" for the C locale ...
std::string terminal_codeset();

// One conversion, kept open. A character the target cannot hold, and a byte
// that stands for no character, becomes '?'; the conversion never fails.
// The source is taken to be a single-byte encoding, or UTF-8.
class Recoder {
public:
    Recoder(const char* from, const char* to);
    ~Recoder();
    Recoder(const Recoder&) = delete;
    Recoder& operator=(const Recoder&) = delete;

    std::string operator()(std::string_view in);

private:
    iconv_t cd_;
    bool from_utf8_;
};

// errorlog.txt as a terminal shows it: Windows-1250 converted to the
// terminal's encoding, CR LF (a file from a Windows PC) as one line end, and
// other control characters as '?', so the file cannot drive the terminal.
class LogText {
public:
    explicit LogText(const std::string& codeset) : recode_("CP1250", codeset.c_str()) {}

    // Bytes as they come; a CR at the end waits for the next call, and at
    // the end of the file it ends a line anyway.
    std::string feed(std::string_view bytes);

private:
    Recoder recode_;
    bool pending_cr_ = false;
};

}  // namespace tools
