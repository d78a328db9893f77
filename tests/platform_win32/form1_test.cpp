// The Windows window in this process, under Wine on a display of its own:
// its form description, the configuration it shows and saves, its close,
// its tray icon and the pump that keeps it alive during serial waits. The
// message boxes and the file dialog are answered by the test.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "diag/diag.h"
#include "platform/codepage.h"
#include "platform/dispatch.h"
#include "platform/registry.h"
#include "router/config_record.h"
#include "win32/dialogs.h"
#include "win32/form1.h"
#include "win32/resource.h"

namespace fs = std::filesystem;

namespace {

std::wstring W(const std::string& utf8) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    std::wstring w(size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), w.data(), n);
    return w;
}

struct BoxCall {
    std::string text, caption;
    UINT style;
};

class Form1Test : public ::testing::Test {
protected:
    Form1Test() {
        std::random_device random;
        do {
            root_ = fs::temp_directory_path() / ("stravon-form1-" + std::to_string(random()));
        } while (!fs::create_directory(root_));
        old_cwd_ = fs::current_path();
        fs::current_path(root_);
        // The user's registry is this test's own key.
        key_ = "Software\\Stravon-form1-test-" + root_.filename().string();
        RegCreateKeyExA(HKEY_CURRENT_USER, key_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &user_, nullptr);
        RegOverridePredefKey(HKEY_CURRENT_USER, user_);
        platform::set_message_dispatcher(&Process_window_events);
    }
    ~Form1Test() override {
        form.reset();
        platform::set_message_dispatcher(nullptr);
        // What the form posted (its quit) is not the next test's.
        MSG m;
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
        }
        RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
        RegCloseKey(user_);
        RegDeleteTreeA(HKEY_CURRENT_USER, key_.c_str());
        fs::current_path(old_cwd_);
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    void Store(const TDataCFG& c) {
        const TConfigBytes b = encode_config(c);
        platform::RegistryStore store;
        ASSERT_TRUE(store.write(platform::Setup_key, "Data_CFG",
                                platform::RegValue{platform::Reg_binary, std::vector<uint8_t>(b.begin(), b.end())}));
    }
    std::optional<platform::RegValue> Stored() const {
        return platform::RegistryStore().read(platform::Setup_key, "Data_CFG");
    }
    // The window as the program makes it; boxes answered from `answers` by
    // caption (default: OK / No).
    TForm1& Start() {
        form = std::make_unique<TForm1>(
            GetModuleHandleW(nullptr),
            [this](HWND, std::string_view text, std::string_view caption, UINT style) {
                boxes.push_back({std::string(text), std::string(caption), style});
                const auto a = answers.find(std::string(caption));
                return a != answers.end() ? a->second : (style & MB_YESNO) ? IDNO : IDOK;
            },
            [](HWND) { return std::optional<std::string>(); });
        return *form;
    }
    std::wstring Text(int id) const { return win32::window_text(form->Control(id)); }
    void SetText(int id, const std::string& utf8) { SetWindowTextW(form->Control(id), W(utf8).c_str()); }
    std::vector<std::string> Log() const {
        std::ifstream in(root_ / "errorlog.txt", std::ios::binary);
        std::vector<std::string> out;
        for (std::string l; std::getline(in, l);) {
            if (!l.empty() && l.back() == '\r') l.pop_back();
            out.push_back(platform::cp1250_to_utf8(l.substr(l.find(" - ") + 3)));
        }
        return out;
    }
    // Runs the window's messages until pred holds or 5 s have passed.
    template <class Pred>
    bool Until(Pred pred) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!pred()) {
            if (std::chrono::steady_clock::now() > end) return false;
            Process_window_events(10);
            Sleep(5);
        }
        return true;
    }

    std::unique_ptr<TForm1> form;
    std::vector<BoxCall> boxes;
    std::map<std::string, int> answers;

private:
    fs::path root_, old_cwd_;
    std::string key_;
    HKEY user_ = nullptr;
};

// The identifiers that the keyboard visits on a page, from its first stop.
std::vector<int> TabOrder(HWND page) {
    std::vector<int> ids;
    HWND first = GetNextDlgTabItem(page, nullptr, FALSE);
    for (HWND c = first; c; c = GetNextDlgTabItem(page, c, FALSE)) {
        ids.push_back(GetDlgCtrlID(c));
        if (ids.size() > 40 || GetNextDlgTabItem(page, c, FALSE) == first) break;
    }
    return ids;
}

}  // namespace

TEST_F(Form1Test, TheFormDescriptionNamesPlacesAndCaptionsEveryControl) {
    Start();
    EXPECT_EQ(win32::window_text(form->Handle()), W("Stravon - komunikátor pro jídelny (4 týdny)"));
    // The Czech texts come through the resource's code page whole.
    const std::map<int, std::string> captions = {
        {IDC_Button1, "Poslat příkaz"}, {IDC_Button3, "Načti příkazy ze souboru."},
        {IDC_Button2, "Schovat program"}, {IDC_BitBtn3, "Konec programu"}, {IDC_BitBtn2, "Test Master"},
        {IDC_Label3, "Načteno:"}, {IDC_Label21, "Repeat:"}, {IDC_Label18, "Status:"},
        {IDC_GroupBox1, "Terminál 1"}, {IDC_GroupBox4, "Terminál 4"}, {IDC_Pripojen3, "Připojen"},
        {IDC_Label13, "Rychlost komunikace:"}, {IDC_CCode1, "Kódování"}, {IDC_DT_use1, "Používat DT"},
        {IDC_Label15, "Max. p. snidaní"}, {IDC_Label16, "Max. p. večeří"}, {IDC_BitBtn1, "Uložit CFG"},
        {IDC_Label17, "Hodnoty zapsané v této konfiguraci\r\nse uloží do registru Windows\r\npo stisknutí tlačítka "
                      "Uložit CFG \r\na následném ukončení programu."},
        {IDC_Label19, "Max. počet pokusů pro zápis dat do terminálu:"},
        {IDC_Label20, "Max. počet pokusů pro čtení dat z terminálu:"},
        {IDC_Label27, "Prodloužení testu MASTER o (ms)"},
        {IDC_Priority_set, "Použít při komunikaci s terminálem HIGH_PRIORITY"},
        {IDC_Label1, "Jméno souboru požadavků na terminál:"}, {IDC_Label2, "Jméno souboru výstupu z terminálu:"},
        {IDC_Label25, "Servisní nastavení:\r\n\r\nMaximální počty pokusů se uplatní v programu ihned! Pokud provedeme\r\n"
                      "uložení konfigurace v předešlé záložce, potom bude toto nastavení\r\nuloženo v registrech Windows "
                      "a zapamatuje se pro příští start programu."},
        {IDC_Label26, "Poslední úprava programu: Mar  1 2002"}};
    for (const auto& [id, caption] : captions) EXPECT_EQ(Text(id), W(caption)) << id;
    for (int n = 0; n < 4; ++n) EXPECT_EQ(Text(IDC_Selekt1 + n), W("Term " + std::to_string(n + 1)));
    // Check boxes carry their caption on the left.
    for (int id : {IDC_Pripojen1, IDC_CCode1, IDC_Priority_set})
        EXPECT_TRUE(GetWindowLongW(form->Control(id), GWL_STYLE) & BS_LEFTTEXT) << id;

    // Tabs with their captions, the first active.
    const HWND tabs = GetDlgItem(form->Handle(), IDC_PageControl1);
    ASSERT_EQ(SendMessageW(tabs, TCM_GETITEMCOUNT, 0, 0), 3);
    const char* sheets[] = {"Ovládání terminálu", "Konfigurace terminálů", "Servisní nastavení"};
    for (int i = 0; i < 3; ++i) {
        wchar_t buf[64] = L"";
        TCITEMW item{};
        item.mask = TCIF_TEXT | TCIF_IMAGE;
        item.pszText = buf;
        item.cchTextMax = 64;
        SendMessageW(tabs, TCM_GETITEMW, WPARAM(i), reinterpret_cast<LPARAM>(&item));
        EXPECT_EQ(std::wstring(buf), W(sheets[i]));
        EXPECT_EQ(item.iImage, 4 - i) << "tab pictures 4, 3, 2";
    }

    // The keyboard's order on each page.
    EXPECT_EQ(TabOrder(form->Page(0)), (std::vector<int>{IDC_BitBtn2, IDC_Edit1, IDC_Button1, IDC_Button3,
                                                         IDC_Selekt1, IDC_Button2, IDC_BitBtn3, IDC_Memo1}));
    EXPECT_EQ(TabOrder(form->Page(1)),
              (std::vector<int>{IDC_Adr1, IDC_Port1, IDC_Pripojen1, IDC_Adr2, IDC_Port2, IDC_Pripojen2, IDC_Adr3,
                                IDC_Port3, IDC_Pripojen3, IDC_Adr4, IDC_Port4, IDC_Pripojen4, IDC_K_Baud1, IDC_CCode1,
                                IDC_DT_use1, IDC_Kredit1, IDC_Radku1, IDC_MxSn1, IDC_MxVec1, IDC_BitBtn1}));
    EXPECT_EQ(TabOrder(form->Page(2)), (std::vector<int>{IDC_Rep_write, IDC_Rep_read, IDC_Delay_add,
                                                         IDC_Priority_set, IDC_InSoubor, IDC_OutSoubor}));

    // Memo1 along the first page's foot, across its width.
    RECT memo, page;
    GetWindowRect(form->Control(IDC_Memo1), &memo);
    GetWindowRect(form->Page(0), &page);
    EXPECT_NEAR(memo.bottom, page.bottom, 4);
    EXPECT_NEAR(memo.left, page.left, 4);
    EXPECT_NEAR(memo.right, page.right, 8);

    // PopupMenu1: its items in order, "Zobrazit program" the default.
    const HMENU menu = form->PopupMenu1();
    ASSERT_EQ(GetMenuItemCount(menu), 4);
    const char* items[] = {"Zobrazit program", "Schovat program", "", "Konec"};
    for (int i = 0; i < 4; ++i) {
        wchar_t buf[64] = L"";
        GetMenuStringW(menu, UINT(i), buf, 64, MF_BYPOSITION);
        EXPECT_EQ(std::wstring(buf), W(items[i]));
    }
    EXPECT_EQ(GetMenuDefaultItem(menu, FALSE, 0), UINT(IDM_Show_window));
}

TEST_F(Form1Test, AFirstStartShowsZerosWarnsOnTheConfigurationTabAndWatchesNothing) {
    Start();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text,
              "Neni otevřen žádný port\nje nutno provést konfiguraci portu!\n\n"
              "V konfiguraci není žádný terminál označen jako připojený.\n"
              "Číslo COM portu převodníku ukazuje Správce zařízení,\nPorty (COM a LPT).");
    EXPECT_EQ(boxes[0].caption, "Pozor!");
    EXPECT_EQ(form->ActivePage(), 1);
    EXPECT_TRUE(IsWindowVisible(form->Handle()));
    EXPECT_TRUE(form->Show_pending_set());
    EXPECT_TRUE(Until([&] { return !form->Show_pending_set(); })) << "the first paint consumes it";
    EXPECT_EQ(Text(IDC_Adr1), L"0");
    EXPECT_EQ(Text(IDC_Port2), L"COM1");
    EXPECT_EQ(Text(IDC_K_Baud1), L"1200");
    EXPECT_EQ(Text(IDC_Rep_read), L"1");
    EXPECT_EQ(SendMessageW(form->Control(IDC_Priority_set), BM_GETCHECK, 0, 0), BST_UNCHECKED)
        << "the stored 0 clears what the layout checks";
    const HWND delay = form->Control(IDC_Delay_add);
    ASSERT_EQ(SendMessageW(delay, CB_GETCOUNT, 0, 0), 25);
    wchar_t last[8];
    SendMessageW(delay, CB_GETLBTEXT, 24, reinterpret_cast<LPARAM>(last));
    EXPECT_EQ(std::wstring(last), L"96");
    EXPECT_EQ(form->Router().Settings().Master_wait, 40u);
    EXPECT_FALSE(Stored()) << "nothing is written on a first start";
    EXPECT_EQ(Log(), (std::vector<std::string>{"Start programu", "Pracovni adresar: " + Work_dir,
                                               "V konfiguraci neni zadny terminal oznacen jako pripojeny; cislo COM "
                                               "portu prevodniku ukazuje Spravce zarizeni, Porty (COM a LPT)"}));

    // A choice in Delay_add acts at once; typed text that is no item is an error.
    SendMessageW(delay, CB_SETCURSEL, 3, 0);
    form->Delay_addChange(true);
    EXPECT_EQ(form->Router().Settings().Master_wait, 52u);
    SetWindowTextW(delay, L"13");
    EXPECT_THROW(form->Delay_addChange(false), TRouterError);
    EXPECT_EQ(form->Router().Settings().Master_wait, 52u);
}

TEST_F(Form1Test, SavingStoresTheControlsThenAsksForTheRestart) {
    TDataCFG c = default_config();
    c.Pripojen1 = 0;  // no port: nothing on the line
    c.InSoubor = make_field("pozad.txt");
    c.OutSoubor = make_field("vystup.txt");
    Store(c);
    Start();
    boxes.clear();
    SetText(IDC_Adr2, "300");
    SetText(IDC_InSoubor, "dvacet-znaku-dlouhe.txt");
    SendMessageW(form->Control(IDC_Port3), CB_SETCURSEL, 5, 0);
    SendMessageW(form->Control(IDC_Kredit1), BM_SETCHECK, BST_CHECKED, 0);
    form->BitBtn1Click();
    const auto v = Stored();
    ASSERT_TRUE(v);
    EXPECT_EQ(v->type, platform::Reg_binary);
    ASSERT_EQ(v->data.size(), 68u);
    const TDataCFG s = decode_config(v->data);
    EXPECT_EQ(s.Adr2, 44) << "an address is kept modulo 256";
    EXPECT_EQ(s.Port3, 5);
    EXPECT_EQ(s.Kredit1, 1);
    EXPECT_EQ(field_text(s.InSoubor), "dvacet-znaku");
    EXPECT_EQ(s.InSoubor[12], 0);
    EXPECT_EQ(field_text(s.OutSoubor), "vystup.txt");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "Varování");
    EXPECT_EQ(boxes[0].text, "Nastavená konfigurace bude použita až po restartu programu!\nProvést restart programu ihned?");
    EXPECT_EQ(boxes[0].style & (MB_YESNO | MB_ICONWARNING), UINT(MB_YESNO | MB_ICONWARNING));
    EXPECT_EQ(form->Router().Data_CFG(), c) << "the running program keeps what it loaded";

    // A number that is none: nothing is written, no question.
    boxes.clear();
    SetText(IDC_MxSn1, "pět");
    EXPECT_THROW(
        {
            try {
                form->BitBtn1Click();
            } catch (const TRouterError& e) {
                EXPECT_STREQ(e.what(), "'pět' is not a valid integer value");
                throw;
            }
        },
        TRouterError);
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(decode_config(Stored()->data), s);

    // Yes to the restart: the window closes as "Konec programu" closes it.
    SetText(IDC_MxSn1, "5");
    answers["Varování"] = IDYES;
    answers["Pozor!"] = IDYES;
    form->BitBtn1Click();
    EXPECT_TRUE(Until([&] { return form->Finished(); }));
    ASSERT_EQ(boxes.back().caption, "Pozor!");
    EXPECT_EQ(boxes.back().text, "Opravdu si přeješ ukončit program?\nKomunikace bude ukončena!");
    EXPECT_EQ(Log().back(), "Stop programu");
}

TEST_F(Form1Test, TheCloseAsksAndTheEndOfTheSessionDoesNot) {
    Start();
    boxes.clear();
    // No: everything stays.
    SendMessageW(form->Handle(), WM_CLOSE, 0, 0);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].style & (MB_YESNO | MB_ICONQUESTION), UINT(MB_YESNO | MB_ICONQUESTION));
    EXPECT_FALSE(form->Finished());
    EXPECT_TRUE(IsWindow(form->Handle()));
    EXPECT_NE(form->Router().Watcher(), nullptr);
    EXPECT_NE(Log().back(), "Stop programu");

    // The session ends: no question, the watcher ended, the window gone.
    EXPECT_NE(SendMessageW(form->Handle(), WM_QUERYENDSESSION, 0, 0), 0);
    const HWND window = form->Handle();
    SendMessageW(window, WM_ENDSESSION, TRUE, 0);
    EXPECT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(form->Finished());
    EXPECT_FALSE(IsWindow(window));
    EXPECT_TRUE(form->Router().Released());
    EXPECT_EQ(Log().back(), "Stop programu");
}

TEST_F(Form1Test, TheTrayIconShowsHidesAndSwitchesPictures) {
    Store(TDataCFG{});
    Start();
    TStatusIcon& icon = *form->StatusIcon1();
    const NOTIFYICONDATAA r = icon.Record();
    EXPECT_EQ(r.uFlags, UINT(NIF_MESSAGE | NIF_ICON | NIF_TIP));
    EXPECT_EQ(r.uCallbackMessage, 0x800u);
    EXPECT_EQ(r.uID, 1u);
    EXPECT_EQ(std::string(r.szTip), platform::utf8_to_cp1250("Komunikátor PORCIO"));
    EXPECT_TRUE(icon.IconVisible());

    // Busy and idle; an index past the list is its last picture.
    form->ShowBusy(true);
    EXPECT_EQ(icon.IconIndex(), 1);
    EXPECT_EQ(icon.Icon(), icon.IconList()[1]);
    form->ShowBusy(false);
    EXPECT_EQ(icon.Icon(), icon.IconList()[0]);
    icon.setIconIndex(9);
    EXPECT_EQ(icon.IconIndex(), 4);
    icon.setHint(std::string(200, 'x'));
    EXPECT_EQ(std::string(icon.Record().szTip), std::string(127, 'x')) << "the tip is cut to 127";

    // "Schovat program" hides; a double click on the icon runs the default item.
    form->Hide_windowClick();
    EXPECT_FALSE(IsWindowVisible(form->Handle()));
    SendMessageW(icon.Handle(), TStatusIcon::CallbackMessage, 1, WM_LBUTTONDOWN);
    SendMessageW(icon.Handle(), TStatusIcon::CallbackMessage, 1, WM_LBUTTONUP);
    EXPECT_FALSE(IsWindowVisible(form->Handle())) << "a single click shows nothing";
    SendMessageW(icon.Handle(), TStatusIcon::CallbackMessage, 1, WM_LBUTTONDBLCLK);
    EXPECT_TRUE(IsWindowVisible(form->Handle()));
    SendMessageW(form->Handle(), WM_COMMAND, IDM_Hide_window, 0);
    EXPECT_FALSE(IsWindowVisible(form->Handle()));
    // A close sent to every window of the program leaves the icon's own.
    SendMessageW(icon.Handle(), WM_CLOSE, 0, 0);
    EXPECT_TRUE(IsWindow(icon.Handle()));

    // "Konec" from the menu asks, also with the window hidden.
    boxes.clear();
    SendMessageW(form->Handle(), WM_COMMAND, IDM_Konec, 0);
    EXPECT_TRUE(Until([&] { return !boxes.empty(); }));
    EXPECT_EQ(boxes[0].caption, "Pozor!");
}

TEST_F(Form1Test, ThePumpIsBoundedAndTakesTheWatchersHandOver) {
    Store(TDataCFG{});
    Start();
    // A flood of messages: one pass stays within its few milliseconds.
    for (int i = 0; i < 5000; ++i) PostMessageW(form->Handle(), WM_NULL, 0, 0);
    const auto start = std::chrono::steady_clock::now();
    Process_window_events(3);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(), 50);
    Process_window_events(5000);

    // A call sent from another thread runs inside a pump of this one, as the
    // watcher's hand-over does during a serial wait.
    bool ran = false;
    const DWORD self = GetCurrentThreadId();
    DWORD ran_on = 0;
    std::function<void()> call = [&] {
        ran = true;
        ran_on = GetCurrentThreadId();
    };
    std::thread watcher([&] {
        SendMessageW(form->Handle(), TForm1::WM_HANDOVER, 0, reinterpret_cast<LPARAM>(&call));
    });
    EXPECT_TRUE(Until([&] { return ran; }));
    watcher.join();
    EXPECT_EQ(ran_on, self);

    // A quit met by a pump is left for the program's loop.
    PostQuitMessage(3);
    Process_window_events(10);
    MSG m;
    ASSERT_TRUE(PeekMessageW(&m, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(m.wParam, 3u);
}
