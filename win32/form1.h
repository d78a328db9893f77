// TForm1 on Windows: the operator window from the dialog resource. It owns
// the router core and shows it; the handlers read the controls and call the
// core.
#pragma once
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <commctrl.h>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "router/router.h"
#include "win32/status_icon.h"

namespace colors {
constexpr COLORREF White = RGB(255, 255, 255);
constexpr COLORREF Red = RGB(255, 0, 0);
constexpr COLORREF Lime = RGB(0, 255, 0);
constexpr COLORREF Aqua = RGB(0, 255, 255);
constexpr COLORREF Navy = RGB(0, 0, 128);
constexpr COLORREF Maroon = RGB(128, 0, 0);
constexpr COLORREF Purple = RGB(128, 0, 128);
constexpr COLORREF Grey = RGB(128, 128, 128);
constexpr COLORREF Memo = RGB(252, 253, 242);
}  // namespace colors

// Runs the window thread's pending messages for at most max_ms (0: what is
// pending now); the program's serial waits dispatch through it, so the
// window stays alive and the watcher's hand-over is taken during a run.
void Process_window_events(int max_ms);
// One message of the loop: the window's keyboard handling, else dispatched.
void Dispatch_window_message(MSG& m);

class TForm1 final : public TRouterView {
public:
    // The watcher's hand-over: lParam is the call to run on this thread.
    static constexpr UINT WM_HANDOVER = WM_APP + 1;
    // The pending show after the no-port warning, after the paint.
    static constexpr UINT WM_SHOW_PENDING = WM_APP + 2;
    static constexpr UINT_PTR ReviveTimer = 1;

    // What the window asks a person; tests answer instead.
    using Box = std::function<int(HWND owner, std::string_view utf8_text, std::string_view utf8_caption, UINT style)>;
    // OpenDialog1: the chosen file (ANSI), nothing when cancelled.
    using OpenFile = std::function<std::optional<std::string>(HWND owner)>;

    // Runs the whole start-up sequence, the terminal line-up included.
    explicit TForm1(HINSTANCE instance, Box box = {}, OpenFile open_file = {});
    ~TForm1() override;
    TForm1(const TForm1&) = delete;
    TForm1& operator=(const TForm1&) = delete;

    HWND Handle() const { return FHandle; }
    // A control by its identifier, on whichever page it lies.
    HWND Control(int id) const;
    // Tab page 0..2.
    HWND Page(int index) const { return FPages[size_t(index)]; }
    int ActivePage() const;
    void SetActivePage(int index);
    HWND Indicator(int n) const;
    COLORREF IndicatorColour(int n) const;
    HMENU PopupMenu1() const { return FPopupMenu1; }
    TStatusIcon* StatusIcon1() const { return FStatusIcon1.get(); }
    TRouter& Router() { return *FRouter; }
    bool Show_pending_set() const { return Show_pending; }
    // The window is gone and the program may end.
    bool Finished() const { return FFinished; }

    // Handlers.
    void BitBtn1Click();
    void Delay_addChange(bool from_list);
    void Button1Click();
    void Button3Click();
    void BitBtn2Click();
    void Show_windowClick();
    void Hide_windowClick();
    void KonecClick();
    void BitBtn3Click();
    void FormActivate();
    // A close of the window, with its question; true when it went ahead.
    bool FormClose();
    // The end of the Windows session: the close without the question, after
    // a running command run has ended.
    void Close_without_question();

    // Index of the selected item of an editable list, -1 when its text is not
    // one of the items (typed) or nothing is selected.
    static int combo_index(HWND box);

    // TRouterView
    void ShowWriteAttempt(int attempt) override;
    void ShowReceived(int bytes) override;
    void AddLine(const std::string& line) override;
    int WriteAttempts() override;
    void ClearLog() override;
    void ClearRunLabels(bool attempts) override;
    void ShowReadAttempt(int attempt) override;
    void ShowStatus(int delivered, int records) override;
    void ShowBusy(bool busy) override;
    void ShowRunning(bool running) override;
    void ShowTerminal(int position, TTerminalState state) override;
    void NoPortWarning() override;
    void SelectTerminal(int index) override;
    void CloseNow() override;
    int SelectedTerminal() override;
    int ReadAttempts() override;
    bool PrioritySet() override;

private:
    static INT_PTR CALLBACK MainProc(HWND w, UINT msg, WPARAM wp, LPARAM lp);
    static INT_PTR CALLBACK PageProc(HWND w, UINT msg, WPARAM wp, LPARAM lp);
    INT_PTR Main(UINT msg, WPARAM wp, LPARAM lp);
    INT_PTR PageMessage(HWND page, UINT msg, WPARAM wp, LPARAM lp);

    void build_layout();
    void place_pages();
    void create_indicators();
    void ShowCFG();
    void Command(int id, int code);
    // Runs a handler; a failure it reports goes to the standard error box.
    void guarded(const std::function<void()>& handler);
    void set_text(int id, const std::wstring& text);
    void set_text_1250(int id, std::string_view bytes);
    // The window is gone: the icon leaves the notification area, the loop ends.
    void Finish();
    void close_open_boxes();

    HINSTANCE FInstance;
    Box FBox;
    OpenFile FOpenFile;
    HWND FHandle = nullptr;
    std::array<HWND, 3> FPages{};
    std::array<HWND, 4> FIndicators{};
    std::array<COLORREF, 4> FIndicatorColours{colors::White, colors::White, colors::White, colors::White};
    std::array<HICON, 5> ImageList1{};
    HICON FBigIcon = nullptr, FSmallIcon = nullptr, FImage1 = nullptr;
    HIMAGELIST FTabImages = nullptr;
    HMENU FMenu = nullptr, FPopupMenu1 = nullptr;
    HFONT FMemoFont = nullptr, FBoldFont = nullptr;
    HBRUSH FMemoBrush = nullptr;
    int FMemoExtent = 0;
    std::unique_ptr<TStatusIcon> FStatusIcon1;
    // Show the window at its next paint (after the no-port warning).
    bool Show_pending = false;
    bool FFinished = false;
    std::unique_ptr<TRouter> FRouter;
};
