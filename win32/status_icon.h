// TStatusIcon: the program's icon in the notification area. A hidden window
// of its own receives the icon's mouse messages; the menu's items reach the
// owner window as WM_COMMAND, as a click on them would.
#pragma once
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

class TStatusIcon {
public:
    // The message the shell sends the hidden window about the icon.
    static constexpr UINT CallbackMessage = 0x800;
    static constexpr UINT IconId = 1;
    // The longest tool tip the shell takes (the record's field holds 128 bytes).
    static constexpr size_t MaxHintLength = 127;
    // Class of the hidden window, for the tests to find it.
    static constexpr const wchar_t* WindowClass = L"TStatusIcon";

    // owner: the main window that ShowApplication/HideApplication show and hide.
    explicit TStatusIcon(HWND owner);
    ~TStatusIcon();
    TStatusIcon(const TStatusIcon&) = delete;
    TStatusIcon& operator=(const TStatusIcon&) = delete;

    // Pictures to choose from by index; not owned.
    void setIconList(std::vector<HICON> list);
    const std::vector<HICON>& IconList() const { return FIconList; }
    int IconIndex() const { return FIconIndex; }
    // Stores the index (lowered to the last picture), shows its picture.
    void setIconIndex(int index);
    HICON Icon() const { return FIcon; }

    // Windows-1250 text.
    const std::string& Hint() const { return FHint; }
    void setHint(std::string hint_1250);
    bool ShowHint() const { return FShowHint; }
    void setShowHint(bool show);

    // Not owned.
    HMENU PopupMenu() const { return FPopupMenu; }
    void setPopupMenu(HMENU menu) { FPopupMenu = menu; }
    bool Enabled() const { return FEnabled; }
    void setEnabled(bool on) { FEnabled = on; }
    bool LeftPopup() const { return FLeftPopup; }
    void setLeftPopup(bool on) { FLeftPopup = on; }
    bool StartMinimized() const { return FStartMinimized; }
    void setStartMinimized(bool on) { FStartMinimized = on; }
    bool IconVisible() const { return FIconVisible; }
    void setIconVisible(bool visible);

    // Once the owner's controls exist: the owner stays hidden when
    // StartMinimized, and the icon goes into the notification area.
    void Loaded();

    void ShowApplication();
    void HideApplication();

    void AddTrayIcon();
    void DeleteTrayIcon();
    void UpdateTrayIcon();

    HWND Handle() const { return FHandle; }
    // The menu's first default item in menu order; 0 when none.
    UINT DefaultItem() const;
    // The shell's record as it is handed over now.
    NOTIFYICONDATAA Record() const;

    // Handles a message of the hidden window; public for the tests.
    LRESULT WindowProc(UINT msg, WPARAM wp, LPARAM lp);

private:
    void Popup();
    void Notify(DWORD what);

    HWND FOwner;
    HWND FHandle = nullptr;
    UINT FTaskbarCreated = 0;
    std::vector<HICON> FIconList;
    int FIconIndex = 0;
    HICON FIcon = nullptr;
    std::string FHint;
    bool FShowHint = false;
    HMENU FPopupMenu = nullptr;
    bool FEnabled = true;
    bool FLeftPopup = false;
    bool FStartMinimized = false;
    bool FIconVisible = true;
    bool FClicked = false;
};
