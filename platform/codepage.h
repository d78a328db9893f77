// Conversions between the program's UTF-8 texts and the single-byte code pages
// of the files (Windows-1250) and of the terminals' names (code page 852).
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// A character that the target code page cannot hold, or a malformed input
// sequence, becomes one '?'; the conversion never fails.
std::string utf8_to_cp1250(std::string_view utf8);
std::string cp1250_to_utf8(std::string_view bytes);
std::string utf8_to_cp852(std::string_view utf8);
std::string cp852_to_utf8(std::string_view bytes);

// True when the bytes form well-formed UTF-8.
bool is_valid_utf8(std::string_view bytes);

// The code point cp in UTF-8, appended to out.
void append_utf8(std::string& out, uint32_t cp);
// UTF-16LE bytes (no BOM) as UTF-8; invalid units become U+FFFD.
std::string utf16le_to_utf8(const std::string& bytes);

}  // namespace platform
