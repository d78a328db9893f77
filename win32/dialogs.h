// Message boxes and texts of the Windows program. The program's own texts
// are written here in UTF-8 and shown as Windows-1250, the code page of a
// Czech Windows and of the window's resources.
#pragma once
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>
#include <string_view>

namespace win32 {

// UTF-8 -> Windows-1250 bytes, the program's ANSI texts.
std::string ansi(std::string_view utf8);
// Windows-1250 bytes -> UTF-16, for the Unicode controls.
std::wstring wide_from_1250(std::string_view bytes);
// UTF-16 -> Windows-1250 bytes ('?' for what it cannot hold).
std::string bytes_1250(std::wstring_view text);
// UTF-16 -> the ANSI code page of this system (file names).
std::string ansi_code_page(std::wstring_view text);

// MessageBoxA with the texts in Windows-1250. Where the system's ANSI code
// page is another one, the same texts go through MessageBoxW instead, so
// they still read right.
int message_box(HWND owner, std::string_view utf8_text, std::string_view utf8_caption, UINT style);

// The application's standard error box: the failure's text under the
// program's title.
void show_error_box(HWND owner, std::string_view utf8_text);

// The text of a control, and setting it, in UTF-16.
std::wstring window_text(HWND w);

}  // namespace win32
