#include "win32/form1.h"

#include <commctrl.h>
#include <commdlg.h>
#include <uxtheme.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "diag/diag.h"
#include "platform/codepage.h"
#include "platform/dispatch.h"
#include "router/config_record.h"
#include "win32/dialogs.h"
#include "win32/resource.h"

namespace {

const char* const CloseQuestion = "Opravdu si přeješ ukončit program?\nKomunikace bude ukončena!";
const char* const RestartQuestion =
    "Nastavená konfigurace bude použita až po restartu programu!\nProvést restart programu ihned?";
const char* const NoPortText = "Neni otevřen žádný port\nje nutno provést konfiguraci portu!";
const char* const HowToLinkPort = "Číslo COM portu převodníku ukazuje Správce zařízení,\nPorty (COM a LPT).";
constexpr int DelayItems = 25;

// The window that takes the loop's keyboard messages.
HWND main_window = nullptr;

int id_of(int n, const int (&ids)[4]) { return ids[n - 1]; }
const int AdrIds[4] = {IDC_Adr1, IDC_Adr2, IDC_Adr3, IDC_Adr4};
const int PortIds[4] = {IDC_Port1, IDC_Port2, IDC_Port3, IDC_Port4};
const int PripojenIds[4] = {IDC_Pripojen1, IDC_Pripojen2, IDC_Pripojen3, IDC_Pripojen4};
const int SelektIds[4] = {IDC_Selekt1, IDC_Selekt2, IDC_Selekt3, IDC_Selekt4};

// Text colours of the layout; everything else keeps the system's.
COLORREF text_colour(int id) {
    switch (id) {
    case IDC_Lstatus: return colors::Red;
    case IDC_Label4: return colors::Maroon;
    case IDC_Selekt: case IDC_Selekt1: case IDC_Selekt2: case IDC_Selekt3: case IDC_Selekt4:
    case IDC_GroupBox1: case IDC_GroupBox2: case IDC_GroupBox3: case IDC_GroupBox4:
    case IDC_Label5: case IDC_Label6: case IDC_Label7: case IDC_Label8:
    case IDC_Label9: case IDC_Label10: case IDC_Label11: case IDC_Label12:
    case IDC_Pripojen1: case IDC_Pripojen2: case IDC_Pripojen3: case IDC_Pripojen4:
    case IDC_Label19: case IDC_Label20: case IDC_Label27: case IDC_Priority_set:
        return colors::Navy;
    case IDC_Label13: case IDC_Label14: case IDC_Label15: case IDC_Label16:
    case IDC_CCode1: case IDC_DT_use1: case IDC_Kredit1:
        return colors::Purple;
    case IDC_Label1: case IDC_Label2: return colors::Maroon;
    case IDC_Label26: return colors::Grey;
    default: return CLR_INVALID;
    }
}

std::wstring widen_utf8(std::string_view utf8) { return win32::wide_from_1250(platform::utf8_to_cp1250(utf8)); }

std::string utf8_of(std::wstring_view w) {
    if (w.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(size_t(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), s.data(), n, nullptr, nullptr);
    return s;
}

std::wstring wide_acp(std::string_view bytes) {
    if (bytes.empty()) return {};
    const int n = MultiByteToWideChar(CP_ACP, 0, bytes.data(), int(bytes.size()), nullptr, 0);
    std::wstring w(size_t(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_ACP, 0, bytes.data(), int(bytes.size()), w.data(), n);
    return w;
}

void add_items(HWND box, std::initializer_list<const wchar_t*> items) {
    for (const wchar_t* i : items) SendMessageW(box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(i));
}

void select_stored(HWND box, unsigned index) {
    const unsigned count = unsigned(SendMessageW(box, CB_GETCOUNT, 0, 0));
    SendMessageW(box, CB_SETCURSEL, index < count ? WPARAM(index) : WPARAM(-1), 0);
}

void check(HWND w, bool on) { SendMessageW(w, BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0); }
bool checked(HWND w) { return SendMessageW(w, BM_GETCHECK, 0, 0) == BST_CHECKED; }

HICON load_icon(HINSTANCE inst, int id, int size) {
    return static_cast<HICON>(LoadImageW(inst, MAKEINTRESOURCEW(id), IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
}

// A centred notice keeps its place; it only grows around its centre when
// this font needs more room than the layout gave it.
void fit_notice(HWND label) {
    RECT r;
    GetWindowRect(label, &r);
    MapWindowPoints(nullptr, GetParent(label), reinterpret_cast<POINT*>(&r), 2);
    const std::wstring text = win32::window_text(label);
    HDC dc = GetDC(label);
    const HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(label, WM_GETFONT, 0, 0)));
    RECT need{0, 0, 0, 0};
    DrawTextW(dc, text.c_str(), int(text.size()), &need, DT_CALCRECT | DT_NOPREFIX);
    SelectObject(dc, old);
    ReleaseDC(label, dc);
    const int grow = need.right - (r.right - r.left);
    if (grow > 0) r.left -= (grow + 1) / 2, r.right += (grow + 1) / 2;
    if (need.bottom > r.bottom - r.top) r.bottom = r.top + need.bottom;
    MoveWindow(label, r.left, r.top, r.right - r.left, r.bottom - r.top, FALSE);
}

// The number typed in an edit, as the window's number fields take it.
int32_t integer_field(HWND edit) {
    const std::wstring text = win32::window_text(edit);
    const std::optional<int32_t> v = parse_int(win32::bytes_1250(text));
    if (!v) throw TRouterError("'" + utf8_of(text) + "' is not a valid integer value");
    return *v;
}

}  // namespace

// ---------------------------------------------------------------- the loop

void Dispatch_window_message(MSG& m) {
    if (main_window && IsWindow(main_window) && IsDialogMessageW(main_window, &m)) return;
    TranslateMessage(&m);
    DispatchMessageW(&m);
}

void Process_window_events(int max_ms) {
    using clock = std::chrono::steady_clock;
    const auto until = clock::now() + std::chrono::milliseconds(max_ms);
    MSG m;
    // PeekMessage also delivers what other threads send, the watcher's
    // hand-over among them.
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
        if (m.message == WM_QUIT) {
            // For the program's own loop, which ends on it.
            PostQuitMessage(int(m.wParam));
            return;
        }
        Dispatch_window_message(m);
        if (clock::now() >= until) return;
    }
}

// ---------------------------------------------------------------- start-up

TForm1::TForm1(HINSTANCE instance, Box box, OpenFile open_file)
    : FInstance(instance), FBox(std::move(box)), FOpenFile(std::move(open_file)) {
    if (!FBox) FBox = win32::message_box;
    if (!FOpenFile) {
        FOpenFile = [](HWND owner) -> std::optional<std::string> {
            // OpenDialog1. The default extension goes without "*.": the
            // dialog appends what it is given to a name typed without one.
            const std::string title = win32::ansi("Soubory příkazů do terminálu.");
            const std::string filter = win32::ansi("Konfigurační soubory") + std::string(1, '\0') + "*.cfg" +
                                       std::string(1, '\0') + "Bat soubory" + std::string(1, '\0') + "*.bat" +
                                       std::string(2, '\0');
            char file[MAX_PATH] = "";
            OPENFILENAMEA ofn{};
            ofn.lStructSize = sizeof ofn;
            ofn.hwndOwner = owner;
            ofn.lpstrFilter = filter.c_str();
            ofn.nFilterIndex = 1;
            ofn.lpstrFile = file;
            ofn.nMaxFile = sizeof file;
            ofn.lpstrInitialDir = ".";
            ofn.lpstrTitle = title.c_str();
            ofn.lpstrDefExt = "cfg";
            ofn.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_ENABLESIZING;
            if (!GetOpenFileNameA(&ofn)) return std::nullopt;
            return std::string(file);
        };
    }
    build_layout();                  // 1
    FRouter = std::make_unique<TRouter>(*this);
    FRouter->ReadCFG();              // 2 (3: the command list is the router's, empty)
    FRouter->Read_work_dir();        // 4
    ShowCFG();                       // 5
    FRouter->Log_start();            // 6
    ShowWindow(FHandle, SW_HIDE);    // 7
    create_indicators();             // 8
    Show_pending = false;
    FRouter->Line_up();
    // 9: the watcher hands each request to this thread and waits.
    const std::string request = win32::ansi_code_page(win32::window_text(Control(IDC_InSoubor)));
    const HWND self = FHandle;
    FRouter->Start_watcher(request, [self](const std::function<void()>& fn) {
        SendMessageW(self, WM_HANDOVER, 0, reinterpret_cast<LPARAM>(&fn));
    });
    // An adapter pulled out and plugged in again comes back without a
    // restart; never inside a link wait.
    SetTimer(FHandle, ReviveTimer, 2000, nullptr);
}

TForm1::~TForm1() {
    // Whatever a confirmed close did not release goes in the proper order.
    FRouter.reset();
    FStatusIcon1.reset();
    if (FHandle && IsWindow(FHandle)) DestroyWindow(FHandle);
    if (main_window == FHandle) main_window = nullptr;
    if (FMenu) DestroyMenu(FMenu);
    if (FTabImages) ImageList_Destroy(FTabImages);
    for (HICON i : ImageList1)
        if (i) DestroyIcon(i);
    for (HICON i : {FBigIcon, FSmallIcon, FImage1})
        if (i) DestroyIcon(i);
    for (HGDIOBJ o : {static_cast<HGDIOBJ>(FMemoFont), static_cast<HGDIOBJ>(FBoldFont),
                      static_cast<HGDIOBJ>(FMemoBrush)})
        if (o) DeleteObject(o);
}

void TForm1::build_layout() {
    FHandle = CreateDialogParamW(FInstance, MAKEINTRESOURCEW(IDD_FORM1), nullptr, MainProc,
                                 reinterpret_cast<LPARAM>(this));
    if (!FHandle) throw TRouterError("The window cannot be created (" + std::to_string(GetLastError()) + ")");
    main_window = FHandle;
    for (int i = 0; i < 3; ++i)
        FPages[size_t(i)] = CreateDialogParamW(FInstance, MAKEINTRESOURCEW(IDD_TABSHEET1 + i), FHandle, PageProc,
                                               reinterpret_cast<LPARAM>(this));

    // ImageList1: the tray's pictures and the tabs'.
    for (int i = 0; i < 5; ++i) ImageList1[size_t(i)] = load_icon(FInstance, IDI_PICTURE0 + i, 16);
    FBigIcon = load_icon(FInstance, IDI_STRAVON, GetSystemMetrics(SM_CXICON));
    FSmallIcon = load_icon(FInstance, IDI_STRAVON, GetSystemMetrics(SM_CXSMICON));
    SendMessageW(FHandle, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(FBigIcon));
    SendMessageW(FHandle, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(FSmallIcon));

    const HWND tabs = GetDlgItem(FHandle, IDC_PageControl1);
    FTabImages = ImageList_Create(16, 16, ILC_COLOR32 | ILC_MASK, 5, 0);
    for (HICON i : ImageList1) ImageList_AddIcon(FTabImages, i);
    TabCtrl_SetImageList(tabs, FTabImages);
    const struct {
        const char* caption;
        int picture;
    } sheets[3] = {{"Ovládání terminálu", 4}, {"Konfigurace terminálů", 3}, {"Servisní nastavení", 2}};
    for (int i = 0; i < 3; ++i) {
        std::wstring caption = widen_utf8(sheets[i].caption);
        TCITEMW item{};
        item.mask = TCIF_TEXT | TCIF_IMAGE;
        item.pszText = caption.data();
        item.iImage = sheets[i].picture;
        SendMessageW(tabs, TCM_INSERTITEMW, WPARAM(i), reinterpret_cast<LPARAM>(&item));
    }
    place_pages();
    SetActivePage(0);

    // The pictures of the buttons and Image1.
    const auto picture = [this](int id, int index) {
        SendMessageW(Control(id), BM_SETIMAGE, IMAGE_ICON, reinterpret_cast<LPARAM>(ImageList1[size_t(index)]));
    };
    picture(IDC_BitBtn2, 4);
    picture(IDC_BitBtn3, 2);
    picture(IDC_BitBtn1, 3);
    FImage1 = load_icon(FInstance, IDI_IMAGE1, 32);
    SendMessageW(Control(IDC_Image1), STM_SETICON, reinterpret_cast<WPARAM>(FImage1), 0);

    // The lists' items.
    for (int n = 1; n <= 4; ++n)
        add_items(Control(id_of(n, PortIds)), {L"COM1", L"COM2", L"COM3", L"COM4", L"COM5", L"COM6", L"COM7", L"COM8"});
    add_items(Control(IDC_K_Baud1), {L"1200", L"2400", L"4800", L"9600", L"19200"});
    add_items(Control(IDC_Rep_read), {L"1", L"2", L"3", L"4", L"5"});
    add_items(Control(IDC_Rep_write), {L"1", L"2", L"3", L"4", L"5", L"6", L"7", L"8", L"9"});
    for (int id : {IDC_Port1, IDC_Port2, IDC_Port3, IDC_Port4, IDC_K_Baud1, IDC_Rep_read, IDC_Rep_write, IDC_Delay_add})
        SendMessageW(Control(id), CB_SETITEMHEIGHT, 0, 13);
    check(Control(IDC_Selekt1), true);
    check(Control(IDC_Priority_set), true);
    // The file names are as long as their fields hold.
    for (int id : {IDC_InSoubor, IDC_OutSoubor}) SendMessageW(Control(id), EM_SETLIMITTEXT, 255, 0);

    // Coloured check boxes, radio buttons and groups draw their own text:
    // a themed one would ignore the colour.
    for (HWND page : FPages)
        for (HWND c = GetWindow(page, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
            wchar_t cls[16];
            if (text_colour(GetDlgCtrlID(c)) != CLR_INVALID && GetClassNameW(c, cls, 16) && lstrcmpiW(cls, L"Button") == 0)
                SetWindowTheme(c, L"", L"");
        }

    // Memo1: Courier 8 point, fixed pitch, 14 pixels a line.
    HDC dc = GetDC(FHandle);
    const int dpi = GetDeviceCaps(dc, LOGPIXELSY);
    ReleaseDC(FHandle, dc);
    FMemoFont = CreateFontW(-MulDiv(8, dpi, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, EASTEUROPE_CHARSET,
                            OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, FIXED_PITCH | FF_MODERN, L"Courier");
    SendMessageW(Control(IDC_Memo1), WM_SETFONT, reinterpret_cast<WPARAM>(FMemoFont), FALSE);
    SendMessageW(Control(IDC_Memo1), LB_SETITEMHEIGHT, 0, MulDiv(14, dpi, 96));
    FMemoBrush = CreateSolidBrush(colors::Memo);
    // Label26 in bold.
    LOGFONTW lf{};
    if (GetObjectW(reinterpret_cast<HFONT>(SendMessageW(FHandle, WM_GETFONT, 0, 0)), sizeof lf, &lf)) {
        lf.lfWeight = FW_BOLD;
        FBoldFont = CreateFontIndirectW(&lf);
        SendMessageW(Control(IDC_Label26), WM_SETFONT, reinterpret_cast<WPARAM>(FBoldFont), FALSE);
    }

    fit_notice(Control(IDC_Label17));
    fit_notice(Control(IDC_Label25));

    // PopupMenu1, and StatusIcon1 with it.
    FMenu = LoadMenuW(FInstance, MAKEINTRESOURCEW(IDM_POPUPMENU1));
    FPopupMenu1 = GetSubMenu(FMenu, 0);
    FStatusIcon1 = std::make_unique<TStatusIcon>(FHandle);
    FStatusIcon1->setIconList({ImageList1.begin(), ImageList1.end()});
    FStatusIcon1->setHint(win32::ansi("Komunikátor PORCIO"));
    FStatusIcon1->setShowHint(true);
    FStatusIcon1->setIconIndex(0);
    FStatusIcon1->setPopupMenu(FPopupMenu1);
    FStatusIcon1->setStartMinimized(true);
    FStatusIcon1->Loaded();
}

void TForm1::place_pages() {
    const HWND tabs = GetDlgItem(FHandle, IDC_PageControl1);
    RECT r;
    GetClientRect(FHandle, &r);
    SetWindowPos(tabs, nullptr, 0, 0, r.right, r.bottom, SWP_NOZORDER);
    GetClientRect(tabs, &r);
    TabCtrl_AdjustRect(tabs, FALSE, &r);
    MapWindowPoints(tabs, FHandle, reinterpret_cast<POINT*>(&r), 2);
    for (HWND page : FPages)
        SetWindowPos(page, HWND_TOP, r.left, r.top, r.right - r.left, r.bottom - r.top, SWP_NOACTIVATE);
}

int TForm1::ActivePage() const { return int(SendMessageW(GetDlgItem(FHandle, IDC_PageControl1), TCM_GETCURSEL, 0, 0)); }

void TForm1::SetActivePage(int index) {
    SendMessageW(GetDlgItem(FHandle, IDC_PageControl1), TCM_SETCURSEL, WPARAM(index), 0);
    for (int i = 0; i < 3; ++i) ShowWindow(FPages[size_t(i)], i == index ? SW_SHOW : SW_HIDE);
}

HWND TForm1::Control(int id) const {
    for (HWND page : FPages)
        if (HWND c = page ? GetDlgItem(page, id) : nullptr) return c;
    return FHandle ? GetDlgItem(FHandle, id) : nullptr;
}

void TForm1::create_indicators() {
    const int ids[4] = {IDC_Indicator1, IDC_Indicator2, IDC_Indicator3, IDC_Indicator4};
    for (int n = 0; n < 4; ++n) {
        // 25 x 25 pixels, 5 + 35 (n - 1) from the left, 20 from the top, in
        // the page's dialog units like every other control.
        RECT r{(5 + 35 * n) * 2 / 3, 20 * 8 / 13, (5 + 35 * n + 25) * 2 / 3, (20 + 25) * 8 / 13};
        MapDialogRect(FPages[0], &r);
        const int side = r.right - r.left;
        FIndicators[size_t(n)] = CreateWindowExW(0, L"Static", L"", WS_CHILD | WS_VISIBLE | SS_OWNERDRAW, r.left, r.top,
                                                 side, side, FPages[0],
                                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(ids[n])), FInstance, nullptr);
        FIndicatorColours[size_t(n)] = colors::White;
    }
}

HWND TForm1::Indicator(int n) const { return n >= 1 && n <= 4 ? FIndicators[size_t(n - 1)] : nullptr; }
COLORREF TForm1::IndicatorColour(int n) const { return n >= 1 && n <= 4 ? FIndicatorColours[size_t(n - 1)] : CLR_INVALID; }

void TForm1::set_text(int id, const std::wstring& text) { SetWindowTextW(Control(id), text.c_str()); }
void TForm1::set_text_1250(int id, std::string_view bytes) { set_text(id, win32::wide_from_1250(bytes)); }

// ---------------------------------------------------------------- configuration

void TForm1::ShowCFG() {
    const TDataCFG& cfg = FRouter->Data_CFG();
    const HWND delay = Control(IDC_Delay_add);
    SendMessageW(delay, CB_RESETCONTENT, 0, 0);
    for (int i = 0; i < DelayItems; ++i) {
        const std::wstring item = std::to_wstring(4 * i);
        SendMessageW(delay, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
    }
    for (int n = 1; n <= 4; ++n) {
        set_text(id_of(n, AdrIds), std::to_wstring(cfg.Adr(n)));
        select_stored(Control(id_of(n, PortIds)), cfg.Port(n));
        check(Control(id_of(n, PripojenIds)), cfg.Pripojen(n) != 0);
    }
    select_stored(Control(IDC_K_Baud1), static_cast<uint32_t>(cfg.K_Baud1));
    select_stored(Control(IDC_Rep_read), cfg.Rep_read);
    select_stored(Control(IDC_Rep_write), cfg.Rep_write);
    select_stored(delay, cfg.Delay_add);
    check(Control(IDC_CCode1), cfg.CCode1 != 0);
    check(Control(IDC_DT_use1), cfg.DT_use1 != 0);
    check(Control(IDC_Kredit1), cfg.Kredit1 != 0);
    check(Control(IDC_Priority_set), cfg.Priority_set != 0);
    set_text(IDC_Radku1, std::to_wstring(cfg.Radku1));
    set_text(IDC_MxSn1, std::to_wstring(cfg.MxSn1));
    set_text(IDC_MxVec1, std::to_wstring(cfg.MxVec1));
    // File names in the system's ANSI code page, as they were saved.
    set_text(IDC_InSoubor, wide_acp(field_text(cfg.InSoubor)));
    set_text(IDC_OutSoubor, wide_acp(field_text(cfg.OutSoubor)));
    // A stored index past the list leaves no selection; the master test then
    // keeps its base wait rather than failing at start.
    const int index = combo_index(delay);
    FRouter->Set_delay(index >= 0 ? uint32_t(4 * index) : 0);
    set_text(IDC_Label26, widen_utf8("Poslední úprava programu: Mar  1 2002"));
}

int TForm1::combo_index(HWND box) {
    const LRESULT i = SendMessageW(box, CB_GETCURSEL, 0, 0);
    if (i < 0) return -1;
    const LRESULT len = SendMessageW(box, CB_GETLBTEXTLEN, WPARAM(i), 0);
    std::wstring item(size_t(len > 0 ? len : 0) + 1, L'\0');
    SendMessageW(box, CB_GETLBTEXT, WPARAM(i), reinterpret_cast<LPARAM>(item.data()));
    item.resize(size_t(len > 0 ? len : 0));
    return win32::window_text(box) == item ? int(i) : -1;
}

void TForm1::BitBtn1Click() {
    TDataCFG c;
    for (int n = 1; n <= 4; ++n) c.Adr(n) = static_cast<uint8_t>(integer_field(Control(id_of(n, AdrIds))));
    for (int n = 1; n <= 4; ++n) c.Port(n) = static_cast<uint8_t>(combo_index(Control(id_of(n, PortIds))));
    for (int n = 1; n <= 4; ++n) c.Pripojen(n) = checked(Control(id_of(n, PripojenIds))) ? 1 : 0;
    c.K_Baud1 = combo_index(Control(IDC_K_Baud1));
    c.CCode1 = checked(Control(IDC_CCode1)) ? 1 : 0;
    c.DT_use1 = checked(Control(IDC_DT_use1)) ? 1 : 0;
    c.Kredit1 = checked(Control(IDC_Kredit1)) ? 1 : 0;
    c.Radku1 = integer_field(Control(IDC_Radku1));
    c.MxSn1 = integer_field(Control(IDC_MxSn1));
    c.MxVec1 = integer_field(Control(IDC_MxVec1));
    c.InSoubor = make_field(win32::ansi_code_page(win32::window_text(Control(IDC_InSoubor))));
    c.OutSoubor = make_field(win32::ansi_code_page(win32::window_text(Control(IDC_OutSoubor))));
    c.Rep_read = static_cast<uint8_t>(combo_index(Control(IDC_Rep_read)));
    c.Rep_write = static_cast<uint8_t>(combo_index(Control(IDC_Rep_write)));
    c.Delay_add = static_cast<uint8_t>(combo_index(Control(IDC_Delay_add)));
    c.Priority_set = checked(Control(IDC_Priority_set)) ? 1 : 0;

    switch (request_name_clash(field_text(c.InSoubor), field_text(c.OutSoubor))) {
    case TNameClash::None:
        break;
    case TNameClash::Output:
        FBox(FHandle, "Jméno souboru požadavků se nesmí shodovat se jménem souboru výstupu!", "Pozor!",
             MB_OK | MB_ICONWARNING);
        return;
    case TNameClash::OwnFile:
        FBox(FHandle, "Jméno souboru požadavků nesmí být porcom.sta, errorlog.txt ani binarni.bin!", "Pozor!",
             MB_OK | MB_ICONWARNING);
        return;
    }
    if (!FRouter->Save_config(c)) throw TRouterError("Failed to set data for 'Data_CFG'");
    if (FBox(FHandle, RestartQuestion, "Varování", MB_YESNO | MB_ICONWARNING) == IDYES) BitBtn3Click();
}

void TForm1::Delay_addChange(bool from_list) {
    const HWND box = Control(IDC_Delay_add);
    // A choice in the list is told before the edit shows its text.
    const int index = from_list ? int(SendMessageW(box, CB_GETCURSEL, 0, 0)) : combo_index(box);
    if (index < 0) throw TRouterError("List index out of bounds (" + std::to_string(index) + ")");
    FRouter->Set_delay(uint32_t(4 * index));
}

// ---------------------------------------------------------------- commands

void TForm1::Button1Click() {
    if (FRouter->State() != TRunState::Idle) return;
    // The terminals' names are in code page 852.
    FRouter->Send_command(platform::utf8_to_cp852(utf8_of(win32::window_text(Control(IDC_Edit1)))));
}

void TForm1::Button3Click() {
    if (FRouter->State() != TRunState::Idle) return;
    FRouter->Clear_log();
    if (const std::optional<std::string> file = FOpenFile(FHandle)) FRouter->Run_command_file(*file);
}

void TForm1::BitBtn2Click() { FRouter->Test_master(); }

// ---------------------------------------------------------------- window

void TForm1::Show_windowClick() { FStatusIcon1->ShowApplication(); }
void TForm1::Hide_windowClick() { FStatusIcon1->HideApplication(); }
void TForm1::KonecClick() { PostMessageW(FHandle, WM_CLOSE, 0, 0); }
void TForm1::BitBtn3Click() { PostMessageW(FHandle, WM_CLOSE, 0, 0); }

void TForm1::FormActivate() {
    if (!Show_pending) return;
    Show_pending = false;
    // Not from inside the paint itself: showing paints again.
    PostMessageW(FHandle, WM_SHOW_PENDING, 0, 0);
}

bool TForm1::FormClose() {
    if (FFinished) return true;
    TCloseStep step = FRouter->Close_requested(true);
    if (step == TCloseStep::Ask) {
        const int answer = FBox(nullptr, CloseQuestion, "Pozor!", MB_YESNO | MB_ICONQUESTION);
        step = FRouter->Close_answered(answer == IDYES);
    }
    if (step != TCloseStep::Close) return false;
    Finish();
    return true;
}

void TForm1::Close_without_question() {
    if (FFinished) return;
    const TCloseStep step = FRouter->Close_requested(false);
    if (step == TCloseStep::Close) {
        Finish();
        return;
    }
    // The close question is open: it is answered for the person, and its
    // answer no longer matters.
    if (FRouter->State() == TRunState::AskingForced) close_open_boxes();
}

void TForm1::close_open_boxes() {
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND w, LPARAM self) -> BOOL {
            wchar_t cls[16];
            if (w != reinterpret_cast<TForm1*>(self)->FHandle && GetClassNameW(w, cls, 16) &&
                lstrcmpW(cls, L"#32770") == 0 && IsWindowVisible(w))
                PostMessageW(w, WM_COMMAND, IDNO, 0);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(this));
}

void TForm1::Finish() {
    if (FFinished) return;
    FFinished = true;
    KillTimer(FHandle, ReviveTimer);
    if (FStatusIcon1) FStatusIcon1->DeleteTrayIcon();
    DestroyWindow(FHandle);
    PostQuitMessage(0);
}

void TForm1::guarded(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const std::exception& e) {
        win32::show_error_box(FHandle, e.what());
    }
}

void TForm1::Command(int id, int code) {
    switch (id) {
    case IDC_BitBtn2: if (code == BN_CLICKED) guarded([this] { BitBtn2Click(); }); break;
    case IDC_Button1: if (code == BN_CLICKED) guarded([this] { Button1Click(); }); break;
    case IDC_Button3: if (code == BN_CLICKED) guarded([this] { Button3Click(); }); break;
    case IDC_Button2: if (code == BN_CLICKED) Hide_windowClick(); break;
    case IDC_BitBtn3: if (code == BN_CLICKED) BitBtn3Click(); break;
    case IDC_BitBtn1: if (code == BN_CLICKED) guarded([this] { BitBtn1Click(); }); break;
    case IDC_Delay_add:
        if (code == CBN_SELCHANGE) guarded([this] { Delay_addChange(true); });
        if (code == CBN_EDITCHANGE) guarded([this] { Delay_addChange(false); });
        break;
    case IDM_Show_window: Show_windowClick(); break;
    case IDM_Hide_window: Hide_windowClick(); break;
    case IDM_Konec: KonecClick(); break;
    default: break;
    }
}

INT_PTR CALLBACK TForm1::MainProc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_INITDIALOG) {
        SetWindowLongPtrW(w, DWLP_USER, lp);
        reinterpret_cast<TForm1*>(lp)->FHandle = w;
        return FALSE;
    }
    auto* f = reinterpret_cast<TForm1*>(GetWindowLongPtrW(w, DWLP_USER));
    return f && f->FHandle == w ? f->Main(msg, wp, lp) : FALSE;
}

INT_PTR CALLBACK TForm1::PageProc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_INITDIALOG) {
        SetWindowLongPtrW(w, DWLP_USER, lp);
        return FALSE;
    }
    auto* f = reinterpret_cast<TForm1*>(GetWindowLongPtrW(w, DWLP_USER));
    return f ? f->PageMessage(w, msg, wp, lp) : FALSE;
}

INT_PTR TForm1::Main(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_HANDOVER:
        // Nothing may escape into the system's frames; the core says what failed.
        try {
            (*reinterpret_cast<const std::function<void()>*>(lp))();
        } catch (const std::exception& e) {
            Log_error(e.what());
        }
        return TRUE;
    case WM_SHOW_PENDING:
        Show_windowClick();
        return TRUE;
    case WM_COMMAND:
        Command(LOWORD(wp), HIWORD(wp));
        return TRUE;
    case WM_NOTIFY:
        if (reinterpret_cast<const NMHDR*>(lp)->idFrom == IDC_PageControl1 &&
            reinterpret_cast<const NMHDR*>(lp)->code == TCN_SELCHANGE)
            SetActivePage(ActivePage());
        return TRUE;
    case WM_PAINT:
        FormActivate();
        return FALSE;
    case WM_TIMER:
        if (wp == ReviveTimer && FRouter && FRouter->State() == TRunState::Idle) FRouter->Revive_ports();
        return TRUE;
    case WM_CLOSE:
        FormClose();
        return TRUE;
    case WM_QUERYENDSESSION:
        SetWindowLongPtrW(FHandle, DWLP_MSGRESULT, TRUE);
        return TRUE;
    case WM_ENDSESSION:
        if (wp) Close_without_question();
        SetWindowLongPtrW(FHandle, DWLP_MSGRESULT, 0);
        return TRUE;
    default:
        return FALSE;
    }
}

INT_PTR TForm1::PageMessage(HWND page, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_COMMAND:
        Command(LOWORD(wp), HIWORD(wp));
        return TRUE;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN: {
        const COLORREF c = text_colour(GetDlgCtrlID(reinterpret_cast<HWND>(lp)));
        if (c == CLR_INVALID) return FALSE;
        const HDC dc = reinterpret_cast<HDC>(wp);
        SetTextColor(dc, c);
        SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
        return reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_BTNFACE));
    }
    case WM_CTLCOLORLISTBOX:
        if (GetDlgCtrlID(reinterpret_cast<HWND>(lp)) != IDC_Memo1) return FALSE;
        SetBkColor(reinterpret_cast<HDC>(wp), colors::Memo);
        return reinterpret_cast<INT_PTR>(FMemoBrush);
    case WM_DRAWITEM: {
        const auto* d = reinterpret_cast<const DRAWITEMSTRUCT*>(lp);
        for (int n = 1; n <= 4; ++n) {
            if (d->hwndItem != Indicator(n)) continue;
            // A square with rounded corners, black edge, filled with the state's colour.
            FillRect(d->hDC, &d->rcItem, GetSysColorBrush(COLOR_BTNFACE));
            const HBRUSH fill = CreateSolidBrush(FIndicatorColours[size_t(n - 1)]);
            const HGDIOBJ old_brush = SelectObject(d->hDC, fill);
            const HGDIOBJ old_pen = SelectObject(d->hDC, GetStockObject(BLACK_PEN));
            const int side = d->rcItem.right - d->rcItem.left;
            RoundRect(d->hDC, d->rcItem.left, d->rcItem.top, d->rcItem.right, d->rcItem.bottom, side / 4, side / 4);
            SelectObject(d->hDC, old_pen);
            SelectObject(d->hDC, old_brush);
            DeleteObject(fill);
            return TRUE;
        }
        return FALSE;
    }
    case WM_CONTEXTMENU:
        // The free area of the configuration and service tabs has the tray's menu.
        if (reinterpret_cast<HWND>(wp) == page && (page == FPages[1] || page == FPages[2]) && FPopupMenu1) {
            POINT at{short(LOWORD(lp)), short(HIWORD(lp))};
            if (lp == -1) GetCursorPos(&at);
            TrackPopupMenu(FPopupMenu1, TPM_LEFTALIGN | TPM_RIGHTBUTTON, at.x, at.y, 0, FHandle, nullptr);
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

// ---------------------------------------------------------------- the view

void TForm1::ShowWriteAttempt(int attempt) { set_text(IDC_Label22, std::to_wstring(attempt)); }
void TForm1::ShowReceived(int bytes) { set_text(IDC_Label4, std::to_wstring(bytes)); }

void TForm1::AddLine(const std::string& line) {
    // The list shows the line in the program's code page; the output file
    // gets its bytes unchanged.
    const std::wstring text = win32::wide_from_1250(line);
    const HWND memo = Control(IDC_Memo1);
    SendMessageW(memo, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
    // Long record lines can be scrolled to.
    HDC dc = GetDC(memo);
    const HGDIOBJ old = SelectObject(dc, FMemoFont);
    SIZE size{};
    GetTextExtentPoint32W(dc, text.c_str(), int(text.size()), &size);
    SelectObject(dc, old);
    ReleaseDC(memo, dc);
    if (size.cx + 8 > FMemoExtent) {
        FMemoExtent = size.cx + 8;
        SendMessageW(memo, LB_SETHORIZONTALEXTENT, WPARAM(FMemoExtent), 0);
    }
}

int TForm1::WriteAttempts() { return combo_index(Control(IDC_Rep_write)) + 1; }

void TForm1::ClearLog() {
    SendMessageW(Control(IDC_Memo1), LB_RESETCONTENT, 0, 0);
    FMemoExtent = 0;
    SendMessageW(Control(IDC_Memo1), LB_SETHORIZONTALEXTENT, 0, 0);
}

void TForm1::ClearRunLabels(bool attempts) {
    set_text(IDC_Label4, L"");
    set_text(IDC_Lstatus, L"");
    if (attempts) {
        set_text(IDC_Label22, L"");
        set_text(IDC_Label24, L"");
    }
}

void TForm1::ShowReadAttempt(int attempt) { set_text(IDC_Label24, std::to_wstring(attempt)); }

void TForm1::ShowStatus(int delivered, int records) {
    set_text(IDC_Lstatus, std::to_wstring(delivered) + L"," + std::to_wstring(records));
}

void TForm1::ShowBusy(bool busy) { FStatusIcon1->setIconIndex(busy ? 1 : 0); }

void TForm1::ShowRunning(bool running) {
    if (!running) {
        // Clicks made during the run reach the controls while they are still
        // off, and are dropped rather than run afterwards.
        Process_window_events(0);
    }
    for (int id : {IDC_Button1, IDC_Button3, IDC_BitBtn2, IDC_BitBtn1}) EnableWindow(Control(id), !running);
    // The list still picks a value; typing (which can end in a box) waits.
    if (HWND edit = GetWindow(Control(IDC_Delay_add), GW_CHILD)) SendMessageW(edit, EM_SETREADONLY, running, 0);
}

void TForm1::ShowTerminal(int position, TTerminalState state) {
    if (position < 1 || position > 4) return;
    COLORREF c = colors::White;
    switch (state) {
    case TTerminalState::Unreachable: c = colors::Red; break;
    case TTerminalState::Master: c = colors::Lime; break;
    case TTerminalState::Slave: c = colors::Aqua; break;
    case TTerminalState::None: break;
    }
    FIndicatorColours[size_t(position - 1)] = c;
    InvalidateRect(Indicator(position), nullptr, TRUE);
}

void TForm1::NoPortWarning() {
    SetActivePage(1);
    // Why, and where a technician finds the adapter's COM number.
    std::string failed;
    for (int p = 0; p < 8; ++p)
        if (FRouter->Port(p)) failed += (failed.empty() ? "COM" : ", COM") + std::to_string(p + 1);
    const std::string why = failed.empty() ? "V konfiguraci není žádný terminál označen jako připojený."
                                           : "Porty připojených terminálů se neotevřely (" + failed +
                                                 "), důvod je v errorlog.txt.";
    FBox(FHandle, std::string(NoPortText) + "\n\n" + why + "\n" + HowToLinkPort, "Pozor!", MB_OK | MB_ICONWARNING);
    Show_pending = true;
    ShowWindow(FHandle, SW_SHOW);
}

void TForm1::SelectTerminal(int index) {
    for (int n = 1; n <= 4; ++n) check(Control(id_of(n, SelektIds)), n - 1 == std::min(index, 3));
}

void TForm1::CloseNow() { PostMessageW(FHandle, WM_CLOSE, 0, 0); }

int TForm1::SelectedTerminal() {
    for (int n = 1; n <= 4; ++n)
        if (checked(Control(id_of(n, SelektIds)))) return n - 1;
    return -1;
}

int TForm1::ReadAttempts() { return combo_index(Control(IDC_Rep_read)) + 1; }
bool TForm1::PrioritySet() { return checked(Control(IDC_Priority_set)); }
