// The tools' messages in the user's language: GNU gettext, text domain
// "stravon". English is the source text; po/ holds the translations.
#pragma once
#include <libintl.h>

#include <string>
#include <string_view>

namespace tools {

inline constexpr const char* Text_domain = "stravon";

// The user's locale, and the catalogue from STRAVON_LOCALEDIR when that is
// set (a build tree), else from the installed locale directory.
void init_messages();

// Message text from the catalogue, in the terminal's encoding.
__attribute__((format_arg(1))) inline const char* tr(const char* msgid) { return dgettext(Text_domain, msgid); }

// Same, for a short word whose translation depends on what it stands for.
__attribute__((format_arg(2))) inline const char* tr_context(const char* context_and_msgid,
                                                              const char* msgid) {
    const char* t = dgettext(Text_domain, context_and_msgid);
    return t == context_and_msgid ? msgid : t;
}

// printf into a string.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Columns that text takes on the terminal (a Czech word has more bytes than letters).
size_t display_width(std::string_view text);

}  // namespace tools

// xgettext knows these: --keyword=_ --keyword=N_ --keyword=C_:1c,2
#define _(msgid) ::tools::tr(msgid)
// A message looked up later, where it is used.
#define N_(msgid) msgid
#define C_(context, msgid) ::tools::tr_context(context "\004" msgid, msgid)
