#include "win32/dialogs.h"

#include "platform/codepage.h"

namespace win32 {

std::string ansi(std::string_view utf8) { return platform::utf8_to_cp1250(utf8); }

std::wstring wide_from_1250(std::string_view bytes) {
    if (bytes.empty()) return {};
    const int n = MultiByteToWideChar(1250, 0, bytes.data(), int(bytes.size()), nullptr, 0);
    std::wstring w(size_t(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(1250, 0, bytes.data(), int(bytes.size()), w.data(), n);
    return w;
}

namespace {
std::string narrow(UINT code_page, std::wstring_view text) {
    if (text.empty()) return {};
    const int n = WideCharToMultiByte(code_page, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string s(size_t(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(code_page, 0, text.data(), int(text.size()), s.data(), n, nullptr, nullptr);
    return s;
}
}  // namespace

std::string bytes_1250(std::wstring_view text) { return narrow(1250, text); }
std::string ansi_code_page(std::wstring_view text) { return narrow(CP_ACP, text); }

int message_box(HWND owner, std::string_view utf8_text, std::string_view utf8_caption, UINT style) {
    const std::string text = ansi(utf8_text), caption = ansi(utf8_caption);
    if (GetACP() == 1250) return MessageBoxA(owner, text.c_str(), caption.c_str(), style);
    return MessageBoxW(owner, wide_from_1250(text).c_str(), wide_from_1250(caption).c_str(), style);
}

void show_error_box(HWND owner, std::string_view utf8_text) {
    message_box(owner, utf8_text, "Stravon", MB_OK | MB_ICONERROR);
}

std::wstring window_text(HWND w) {
    const int n = GetWindowTextLengthW(w);
    std::wstring s(size_t(n > 0 ? n : 0) + 1, L'\0');
    const int got = GetWindowTextW(w, s.data(), n + 1);
    s.resize(size_t(got > 0 ? got : 0));
    return s;
}

}  // namespace win32
