// stravon-window-driver: what a person does with the program's window under
// Wine, for the end-to-end test: answers a message box after reading it,
// double-clicks the tray icon, turns the tabs, reads the controls.
//
//   answer CAPTION BUTTON [TEXT]  waits for a message box with that caption
//                                 (and text), presses ok, yes or no
//   tray-dblclick                 double-clicks the tray icon, waits for the window
//   tab N                         makes tab N (0..2) the active one
//   read                          prints the caption and the first tab's values
//   hidden                        0 when the window is hidden
//   code-page                     prints the ANSI code page
//
// Arguments are UTF-8; "\n" in TEXT stands for a line break. Exit status 0
// when done, 1 when what it found differs, 2 when it found nothing in time.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <shellapi.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "win32/resource.h"

namespace {

const wchar_t* const MainCaption = L"Stravon - komunikátor pro jídelny (4 týdny)";
constexpr DWORD Deadline_ms = 30000;

// An argument as given, whatever the ANSI code page; "\n" as a line break.
std::wstring wide(const wchar_t* arg) {
    std::wstring w = arg;
    for (size_t at; (at = w.find(L"\\n")) != std::wstring::npos;) w.replace(at, 2, L"\n");
    return w;
}

std::string utf8(const std::wstring& w) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string s(size_t(n > 0 ? n : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, s.data(), n, nullptr, nullptr);
    s.resize(s.size() - 1);
    return s;
}

// WM_GETTEXT reaches the controls of another process; GetWindowText does not.
std::wstring text_of(HWND w) {
    wchar_t buf[1024] = L"";
    SendMessageTimeoutW(w, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buf), SMTO_ABORTIFHUNG, 5000, nullptr);
    return buf;
}

template <class Find>
HWND wait_for(Find find) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (HWND w = find()) return w;
        if (GetTickCount() - start > Deadline_ms) return nullptr;
        Sleep(50);
    }
}

HWND main_window() { return FindWindowW(L"#32770", MainCaption); }

// A control by its identifier, on whichever tab page it lies (a list's own
// edit field has an identifier too, so only the pages' own children count).
HWND control(HWND main, int id) {
    for (HWND page = FindWindowExW(main, nullptr, L"#32770", nullptr); page;
         page = FindWindowExW(main, page, L"#32770", nullptr))
        if (HWND c = GetDlgItem(page, id)) return c;
    return nullptr;
}

HWND child_of_class(HWND parent, const wchar_t* cls) { return FindWindowExW(parent, nullptr, cls, nullptr); }

int answer(const std::wstring& caption, const std::string& button, const std::wstring* text) {
    const HWND box = wait_for([&] {
        HWND w = FindWindowW(L"#32770", caption.c_str());
        return w && IsWindowVisible(w) ? w : nullptr;
    });
    if (!box) {
        std::fprintf(stderr, "no box \"%s\"\n", utf8(caption).c_str());
        return 2;
    }
    int rc = 0;
    if (text) {
        // The box's message is its static text control (id 0xFFFF).
        const std::wstring shown = text_of(GetDlgItem(box, 0xFFFF));
        std::printf("%s: %s\n", utf8(caption).c_str(), utf8(shown).c_str());
        if (shown != *text) rc = 1;
    }
    const int id = button == "yes" ? IDYES : button == "no" ? IDNO : IDOK;
    const HWND b = GetDlgItem(box, id);
    if (!b) {
        std::fprintf(stderr, "the box has no button %s\n", button.c_str());
        return 1;
    }
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(b));
    return rc;
}

}  // namespace

int main() {
    int argc = 0;
    wchar_t** wargv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!wargv || argc < 2) return 2;
    std::vector<std::string> argv;
    for (int i = 0; i < argc; ++i) argv.push_back(utf8(wargv[i]));
    const std::string what = argv[1];
    if (what == "code-page") {
        std::printf("%u\n", GetACP());
        return 0;
    }
    if (what == "answer" && argc >= 4) {
        const std::wstring text = argc >= 5 ? wide(wargv[4]) : std::wstring();
        return answer(wide(wargv[2]), argv[3], argc >= 5 ? &text : nullptr);
    }
    const HWND main = wait_for(main_window);
    if (!main) {
        std::fprintf(stderr, "no window\n");
        return 2;
    }
    if (what == "tray-dblclick") {
        const HWND icon = FindWindowW(L"TStatusIcon", nullptr);
        if (!icon) return 2;
        // What the shell sends for a double click on the icon.
        PostMessageW(icon, 0x800, 1, WM_LBUTTONDBLCLK);
        return wait_for([&] { return IsWindowVisible(main) ? main : nullptr; }) ? 0 : 2;
    }
    if (what == "tab" && argc >= 3) {
        const int want = std::atoi(argv[2].c_str());
        const HWND tabs = child_of_class(main, L"SysTabControl32");
        if (!tabs) return 2;
        // The arrow keys, as on a focused page control.
        for (int step = 0; step < 10; ++step) {
            const int now = int(SendMessageW(tabs, 0x130B /* TCM_GETCURSEL */, 0, 0));
            if (now == want) return 0;
            const WPARAM key = now < want ? VK_RIGHT : VK_LEFT;
            SendMessageW(tabs, WM_KEYDOWN, key, 0);
            SendMessageW(tabs, WM_KEYUP, key, 0);
        }
        return 1;
    }
    if (what == "read") {
        std::printf("caption: %s\nvisible: %d\n", utf8(text_of(main)).c_str(), IsWindowVisible(main) ? 1 : 0);
        const struct {
            const char* name;
            int id;
        } labels[] = {{"Lstatus", IDC_Lstatus}, {"Label4", IDC_Label4}, {"Label22", IDC_Label22}, {"Label24", IDC_Label24}};
        for (const auto& l : labels)
            if (HWND c = control(main, l.id)) std::printf("%s: %s\n", l.name, utf8(text_of(c)).c_str());
        // LB_GETTEXT too is carried across to the other process.
        if (HWND memo = control(main, IDC_Memo1)) {
            const int n = int(SendMessageW(memo, LB_GETCOUNT, 0, 0));
            for (int i = 0; i < n; ++i) {
                wchar_t line[512] = L"";
                if (SendMessageW(memo, LB_GETTEXTLEN, WPARAM(i), 0) < 512)
                    SendMessageW(memo, LB_GETTEXT, WPARAM(i), reinterpret_cast<LPARAM>(line));
                std::printf("Memo1: %s\n", utf8(line).c_str());
            }
        }
        return 0;
    }
    if (what == "hidden") return IsWindowVisible(main) ? 1 : 0;
    return 2;
}
