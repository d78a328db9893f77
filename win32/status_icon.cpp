#include "win32/status_icon.h"

#include <algorithm>
#include <cstring>

namespace {

LRESULT CALLBACK status_icon_proc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE) {
        const auto* cs = reinterpret_cast<const CREATESTRUCTW*>(lp);
        SetWindowLongPtrW(w, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
    }
    auto* icon = reinterpret_cast<TStatusIcon*>(GetWindowLongPtrW(w, GWLP_USERDATA));
    if (icon && icon->Handle() == w) return icon->WindowProc(msg, wp, lp);
    return DefWindowProcW(w, msg, wp, lp);
}

ATOM register_class() {
    static const ATOM atom = [] {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = status_icon_proc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = TStatusIcon::WindowClass;
        return RegisterClassExW(&wc);
    }();
    return atom;
}

}  // namespace

TStatusIcon::TStatusIcon(HWND owner) : FOwner(owner) {
    // One number per process, as the shell broadcasts it to every top-level
    // window when it starts again.
    FTaskbarCreated = RegisterWindowMessageA("TaskbarCreated");
    register_class();
    // A hidden top-level window, never shown: a message-only window would
    // not hear the broadcast.
    FHandle = CreateWindowExW(WS_EX_TOOLWINDOW, WindowClass, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                              GetModuleHandleW(nullptr), this);
}

TStatusIcon::~TStatusIcon() {
    DeleteTrayIcon();
    if (FHandle) {
        SetWindowLongPtrW(FHandle, GWLP_USERDATA, 0);
        DestroyWindow(FHandle);
    }
}

void TStatusIcon::setIconList(std::vector<HICON> list) {
    FIconList = std::move(list);
    setIconIndex(0);
}

void TStatusIcon::setIconIndex(int index) {
    if (FIconList.empty()) {
        FIconIndex = 0;
        return;
    }
    FIconIndex = std::clamp(index, 0, int(FIconList.size()) - 1);
    FIcon = FIconList[size_t(FIconIndex)];
    UpdateTrayIcon();
}

void TStatusIcon::setHint(std::string hint_1250) {
    FHint = std::move(hint_1250);
    UpdateTrayIcon();
}

void TStatusIcon::setShowHint(bool show) {
    FShowHint = show;
    UpdateTrayIcon();
}

void TStatusIcon::setIconVisible(bool visible) {
    if (visible)
        AddTrayIcon();
    else
        DeleteTrayIcon();
}

NOTIFYICONDATAA TStatusIcon::Record() const {
    NOTIFYICONDATAA r{};
    // The version 2 record, which every shell since Windows 2000 takes.
    r.cbSize = NOTIFYICONDATAA_V2_SIZE;
    r.hWnd = FHandle;
    r.uID = IconId;
    r.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    r.uCallbackMessage = CallbackMessage;
    r.hIcon = FIcon;
    if (!FHint.empty() && FShowHint) {
        const size_t n = std::min(FHint.size(), MaxHintLength);
        std::memcpy(r.szTip, FHint.data(), n);
        r.szTip[n] = '\0';
    }
    return r;
}

void TStatusIcon::Notify(DWORD what) {
    NOTIFYICONDATAA r = Record();
    // The shell's answer is not looked at: without a notification area the
    // program runs on all the same.
    Shell_NotifyIconA(what, &r);
}

void TStatusIcon::AddTrayIcon() {
    FIconVisible = true;
    Notify(NIM_ADD);
}

void TStatusIcon::DeleteTrayIcon() {
    FIconVisible = false;
    Notify(NIM_DELETE);
}

void TStatusIcon::UpdateTrayIcon() {
    if (FIconVisible) Notify(NIM_MODIFY);
}

void TStatusIcon::Loaded() {
    if (FStartMinimized) ShowWindow(FOwner, SW_HIDE);
    UpdateTrayIcon();
    if (FIconVisible) AddTrayIcon();
}

void TStatusIcon::ShowApplication() {
    ShowWindow(FOwner, SW_SHOWNORMAL);
    SetForegroundWindow(FOwner);
}

void TStatusIcon::HideApplication() { ShowWindow(FOwner, SW_HIDE); }

UINT TStatusIcon::DefaultItem() const {
    if (!FPopupMenu) return 0;
    UINT found = 0;
    for (int i = GetMenuItemCount(FPopupMenu) - 1; i >= 0; --i) {
        MENUITEMINFOW info{};
        info.cbSize = sizeof info;
        info.fMask = MIIM_STATE | MIIM_ID | MIIM_FTYPE;
        if (GetMenuItemInfoW(FPopupMenu, UINT(i), TRUE, &info) && (info.fState & MFS_DEFAULT) &&
            !(info.fType & MFT_SEPARATOR))
            found = info.wID;
    }
    return found;
}

void TStatusIcon::Popup() {
    POINT at;
    if (!FPopupMenu || !GetCursorPos(&at)) return;
    // Without the foreground the menu would not close when clicked beside.
    SetForegroundWindow(FOwner);
    TrackPopupMenu(FPopupMenu, TPM_LEFTALIGN | TPM_RIGHTBUTTON, at.x, at.y, 0, FOwner, nullptr);
    PostMessageW(FOwner, WM_NULL, 0, 0);
}

LRESULT TStatusIcon::WindowProc(UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == CallbackMessage) {
        if (!FEnabled || wp != IconId) return 0;
        switch (LOWORD(lp)) {
        case WM_LBUTTONDOWN:
            FClicked = true;
            if (FLeftPopup) Popup();
            break;
        case WM_LBUTTONUP:
            FClicked = false;
            break;
        case WM_LBUTTONDBLCLK:
            // The menu's default item, as if it were chosen.
            if (!FLeftPopup)
                if (const UINT id = DefaultItem()) SendMessageW(FOwner, WM_COMMAND, MAKEWPARAM(id, 0), 0);
            break;
        case WM_RBUTTONDOWN:
            Popup();
            break;
        default:
            break;
        }
        return 0;
    }
    if (FTaskbarCreated && msg == FTaskbarCreated) {
        // The shell started again: the icon comes back.
        if (FIconVisible) AddTrayIcon();
        return 0;
    }
    switch (msg) {
    case WM_QUERYENDSESSION:
        return 1;
    case WM_CLOSE:
        // A close sent to every window of the program (taskkill) reaches the
        // main window itself; this one lives as long as the icon.
        return 0;
    default:
        return DefWindowProcW(FHandle, msg, wp, lp);
    }
}
