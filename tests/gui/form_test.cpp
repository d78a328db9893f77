#include "router/config_record.h"
#include "app/form1.h"
#include "ui_form1.h"
#include "gui_support.h"
#include "protocol/settings.h"
#include "tray/status_icon.h"

#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QHeaderView>
#include <QTreeView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTest>

using gui_test::Sandbox;
using gui_test::ScriptedDialogs;

namespace {

const QString NoPortWarning = QStringLiteral("Neni otevřen žádný port\nje nutno provést konfiguraci portu!");
const QString CloseQuestion = QStringLiteral("Opravdu si přeješ ukončit program?\nKomunikace bude ukončena!");
const QString RestartQuestion = QStringLiteral(
    "Nastavená konfigurace bude použita až po restartu programu!\nProvést restart programu ihned?");

class FormTest : public ::testing::Test {
protected:
    FormTest() { gui_test::app(); }
    Sandbox box;
    ScriptedDialogs dialogs;

    std::vector<uint8_t> bytes_of(const TDataCFG& c)
    {
        const TConfigBytes b = encode_config(c);
        return {b.begin(), b.end()};
    }
    int count_boxes(const QString& text) const
    {
        return static_cast<int>(std::count_if(dialogs.boxes.begin(), dialogs.boxes.end(),
                                              [&](const gui_test::Box& b) { return b.text == text; }));
    }
};

} // namespace

// Hidden, or minimized where no notification area could bring it back.
static bool put_away(const QWidget& w) { return !w.isVisible() || w.isMinimized(); }
static bool shown(const QWidget& w) { return w.isVisible() && !w.isMinimized(); }

TEST_F(FormTest, FirstRunWithoutStoredValue)
{
    TForm1 form(dialogs);

    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(gui_test::Adr(form.ui(), i)->text(), "0");
        EXPECT_EQ(gui_test::Port(form.ui(), i)->currentText(), "COM1");
        EXPECT_FALSE(gui_test::Pripojen(form.ui(), i)->isChecked());
    }
    EXPECT_EQ(form.ui().K_Baud1->currentText(), "1200");
    EXPECT_EQ(form.ui().Radku1->text(), "0");
    EXPECT_EQ(form.ui().MxSn1->text(), "0");
    EXPECT_EQ(form.ui().MxVec1->text(), "0");
    EXPECT_TRUE(form.ui().InSoubor->text().isEmpty());
    EXPECT_TRUE(form.ui().OutSoubor->text().isEmpty());
    EXPECT_EQ(form.ui().Rep_read->currentText(), "1");
    EXPECT_EQ(form.ui().Rep_write->currentText(), "1");
    EXPECT_EQ(form.ui().Delay_add->currentText(), "0");
    EXPECT_FALSE(form.ui().CCode1->isChecked());
    EXPECT_FALSE(form.ui().DT_use1->isChecked());
    EXPECT_FALSE(form.ui().Kredit1->isChecked());
    EXPECT_FALSE(form.ui().Priority_set->isChecked()) << "the stored zero clears the layout's tick";
    EXPECT_EQ(form.Router().Settings().Master_wait, 40u);
    EXPECT_EQ(form.Router().Settings().Baud_rate, 1200);
    EXPECT_EQ(form.ui().Label26->text(), QStringLiteral("Poslední úprava programu: Mar  1 2002"));

    // The key is there, the value is not.
    EXPECT_FALSE(box.stored().has_value());
    EXPECT_TRUE(platform::RegistryStore(box.registry_path()).open_key(platform::Setup_key, false));

    // No port: warning, then why and what to do; window shown on the configuration tab.
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].text,
              NoPortWarning + QStringLiteral("\n\nV konfiguraci není žádný terminál označen jako připojený.\n"
                                             "COM port se k převodníku připojí příkazem\nstravon-ports map N ZAŘÍZENÍ"));
    EXPECT_EQ(dialogs.boxes[0].caption, QStringLiteral("Pozor!"));
    EXPECT_EQ(dialogs.boxes[0].icon, TBoxIcon::Warning);
    EXPECT_TRUE(form.isVisible());
    EXPECT_EQ(form.ui().PageControl1->currentWidget(), form.ui().TabSheet2);
    EXPECT_TRUE(form.Show_pending_set());
    EXPECT_EQ(box.log_lines(),
              (std::vector<std::string>{"Start programu", box.work_dir_line(),
                                        "V konfiguraci neni zadny terminal oznacen jako pripojeny; COM port se k "
                                        "prevodniku pripoji prikazem stravon-ports map N ZARIZENI"}));
    for (int n = 1; n <= 4; ++n)
        EXPECT_EQ(form.Indicator(n)->brushColor(), colors::White);
    for (int p = 0; p < 8; ++p)
        EXPECT_EQ(form.Router().Port(p), nullptr);

    // The first paint hands the shown window over to the tray icon.
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    QTRY_VERIFY_WITH_TIMEOUT(!form.Show_pending_set(), 2000);
}

TEST_F(FormTest, DelayListAndItsChange)
{
    TDataCFG c;
    c.Delay_add = 24;
    box.store(platform::Reg_binary, bytes_of(c));
    TForm1 form(dialogs);
    ASSERT_EQ(form.ui().Delay_add->count(), 25);
    for (int i = 0; i < 25; ++i)
        EXPECT_EQ(form.ui().Delay_add->itemText(i), QString::number(4 * i));
    EXPECT_EQ(form.Router().Settings().Master_wait, 136u);

    dialogs.boxes.clear();
    form.ui().Delay_add->setCurrentIndex(3);
    EXPECT_EQ(form.ui().Delay_add->currentText(), "12");
    EXPECT_EQ(form.Router().Settings().Master_wait, 52u);
    EXPECT_TRUE(dialogs.boxes.empty());

    // Typed text selects no item: the value stays and the error box says why.
    form.ui().Delay_add->setEditText(QStringLiteral("7"));
    EXPECT_EQ(form.Router().Settings().Master_wait, 52u);
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].text, QStringLiteral("List index out of bounds (-1)"));
    EXPECT_EQ(dialogs.boxes[0].icon, TBoxIcon::Error);
}

TEST_F(FormTest, StoredIndexBeyondTheListLeavesNoSelection)
{
    TDataCFG c;
    c.Delay_add = 200;
    c.Rep_read = 9;
    c.Port1 = 8;
    c.Pripojen1 = 1;
    c.K_Baud1 = 7;
    box.store(platform::Reg_binary, bytes_of(c));
    TForm1 form(dialogs);
    EXPECT_EQ(TForm1::combo_index(form.ui().Delay_add), -1);
    EXPECT_EQ(TForm1::combo_index(form.ui().Rep_read), -1);
    EXPECT_EQ(TForm1::combo_index(gui_test::Port(form.ui(), 0)), -1);
    EXPECT_EQ(TForm1::combo_index(form.ui().K_Baud1), -1);
    EXPECT_EQ(TForm1::combo_index(form.ui().Rep_read) + 1, 0);
    EXPECT_EQ(form.Router().Settings().Master_wait, 40u);
    EXPECT_EQ(form.Router().Settings().Baud_rate, 19200);
    // COM9 does not exist: the position counts as not connected.
    ASSERT_EQ(box.log_lines().size(), 3u);
    EXPECT_EQ(box.log_lines()[2].rfind("V konfiguraci neni zadny terminal", 0), 0u) << box.log_lines()[2];
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_TRUE(dialogs.boxes[0].text.startsWith(NoPortWarning));
    EXPECT_EQ(form.Router().Terminal(1), nullptr);
    EXPECT_EQ(count_boxes(QStringLiteral("List index out of bounds (-1)")), 0) << "no error box at start";
}

TEST_F(FormTest, WrongTypesAndSizesAreReplacedByDefaults)
{
    const TConfigBytes defaults = encode_config(default_config());
    struct Case {
        uint32_t type;
        std::vector<uint8_t> data;
    };
    const Case cases[] = {
        {platform::Reg_dword, {1, 0, 0, 0}},
        {platform::Reg_sz, {'a', 'b'}},
        {platform::Reg_expand_sz, {}},
        {platform::Reg_binary, std::vector<uint8_t>(69, 7)},
        {platform::Reg_binary, std::vector<uint8_t>(5000, 0xFF)},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << "type " << k.type << " size " << k.data.size());
        box.store(k.type, k.data);
        TForm1 form(dialogs);
        EXPECT_EQ(gui_test::Adr(form.ui(), 0)->text(), "1");
        EXPECT_TRUE(gui_test::Pripojen(form.ui(), 0)->isChecked());
        EXPECT_FALSE(gui_test::Pripojen(form.ui(), 1)->isChecked());
        EXPECT_EQ(form.ui().K_Baud1->currentText(), "19200");
        EXPECT_EQ(form.ui().Radku1->text(), "2500");
        EXPECT_EQ(form.ui().MxSn1->text(), "5");
        EXPECT_EQ(form.ui().MxVec1->text(), "5");
        EXPECT_EQ(form.ui().Rep_read->currentText(), "2");
        EXPECT_EQ(form.ui().Rep_write->currentText(), "2");
        EXPECT_TRUE(form.ui().Priority_set->isChecked());
        EXPECT_EQ(form.Router().Settings().Baud_rate, 19200);
        EXPECT_EQ(form.Router().Settings().Data_length, 60000);
        const auto v = box.stored();
        ASSERT_TRUE(v.has_value());
        EXPECT_EQ(v->type, platform::Reg_binary);
        EXPECT_EQ(v->data, std::vector<uint8_t>(defaults.begin(), defaults.end()));
        // COM1 is connected but its device is missing.
        EXPECT_NE(std::find(box.log_lines().begin(), box.log_lines().end(), "COM1 neotevřen"),
                  box.log_lines().end());
    }
}

TEST_F(FormTest, UnreadableValueIsReplacedByDefaults)
{
    std::ofstream(box.registry_path(), std::ios::binary)
        << "Windows Registry Editor Version 5.00\r\n\r\n"
           "[HKEY_CURRENT_USER\\Software\\VELKON_Software\\Porcio\\Setup]\r\n"
           "\"Data_CFG\"=hex:zz,01\r\n";
    TForm1 form(dialogs);
    EXPECT_EQ(gui_test::Adr(form.ui(), 0)->text(), "1");
    EXPECT_TRUE(gui_test::Pripojen(form.ui(), 0)->isChecked());
    const TConfigBytes defaults = encode_config(default_config());
    const auto v = box.stored();
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(v->data, std::vector<uint8_t>(defaults.begin(), defaults.end()));
}

TEST_F(FormTest, DamagedFileIsSetAsideAndSavingWorksAgain)
{
    const std::string damaged = "this is no registry file\r\n";
    std::ofstream(box.registry_path(), std::ios::binary) << damaged;
    TForm1 form(dialogs);
    EXPECT_EQ(form.ui().Adr1->text(), "1") << "the defaults";
    // The file is kept, under a name with the time in it.
    std::string aside;
    for (const auto& e : std::filesystem::directory_iterator(box.root / "cfg/stravon"))
        if (e.path().filename().string().rfind("user.reg.poskozeny-", 0) == 0)
            aside = e.path().string();
    ASSERT_FALSE(aside.empty());
    std::ifstream in(aside, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), damaged);
    const auto lines = box.log_lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[2], "Poskozeny soubor konfigurace " + box.registry_path() + " byl presunut do " + aside);
    const TConfigBytes defaults = encode_config(default_config());
    ASSERT_TRUE(box.stored().has_value());
    EXPECT_EQ(box.stored()->data, std::vector<uint8_t>(defaults.begin(), defaults.end()));
    dialogs.boxes.clear();
    form.ui().Adr1->setText("7");
    form.ui().BitBtn1->click();
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].text, RestartQuestion) << "saved";
    EXPECT_EQ(decode_config(box.stored()->data).Adr1, 7);
}

TEST_F(FormTest, RequestNamesThatCollideAreRefused)
{
    TDataCFG c;
    c.InSoubor = make_field("answer.txt");
    c.OutSoubor = make_field("answer.txt");
    c.Pripojen1 = 1;
    c.Radku1 = 0x10000000;  // more than any terminal holds
    box.store(platform::Reg_binary, bytes_of(c));
    {
        TForm1 form(dialogs);
        const auto lines = box.log_lines();
        EXPECT_NE(std::find(lines.begin(), lines.end(), "Soubor pozadavku answer.txt je i souborem vystupu, pozadavky se nesleduji"),
                  lines.end());
        EXPECT_NE(std::find(lines.begin(), lines.end(), "Kapacita 268435456 zaznamu je mimo rozsah 1 az 131072, pouzije se 131072"),
                  lines.end());
        EXPECT_EQ(form.Router().Settings().Data_length, MaxRecords * 24);
        // Nothing is watched: the router's own answer is not taken as a request.
        std::ofstream(box.root / "wd/answer.txt") << "A\r\n";
        QTest::qWait(1300);
        EXPECT_TRUE(std::filesystem::exists(box.root / "wd/answer.txt"));

        // Saving such names is refused before anything is written.
        const auto before = box.stored()->data;
        for (const QString& in : {QStringLiteral("answer.txt"), QStringLiteral("porcom.sta"), QStringLiteral("errorlog.txt"),
                                  QStringLiteral("binarni.bin")}) {
            form.ui().InSoubor->setText(in);
            dialogs.boxes.clear();
            form.ui().BitBtn1->click();
            ASSERT_EQ(dialogs.boxes.size(), 1u) << in.toStdString();
            EXPECT_EQ(dialogs.boxes[0].caption, QStringLiteral("Pozor!"));
            EXPECT_FALSE(dialogs.boxes[0].question);
            EXPECT_EQ(box.stored()->data, before);
        }
    }
}

TEST_F(FormTest, ValuesOfOtherTypesAndShortValuesAreUsed)
{
    // A 20-byte value: terminals, K_Baud1 and Radku1; the rest zero.
    std::vector<uint8_t> v(20, 0);
    v[0] = 10; v[1] = 2;
    v[3] = 20; v[4] = 3;
    v[6] = 30; v[7] = 4;
    v[9] = 40; v[10] = 5;
    v[12] = 2;                // 4800 Bd
    v[16] = 100;              // capacity 100
    box.store(platform::Reg_binary, v);
    {
        TForm1 form(dialogs);
        EXPECT_EQ(gui_test::Adr(form.ui(), 3)->text(), "40");
        EXPECT_EQ(gui_test::Port(form.ui(), 2)->currentText(), "COM5");
        EXPECT_EQ(form.ui().K_Baud1->currentText(), "4800");
        EXPECT_EQ(form.ui().Radku1->text(), "100");
        EXPECT_EQ(form.ui().MxSn1->text(), "0");
        EXPECT_EQ(form.ui().Rep_read->currentText(), "1");
        EXPECT_EQ(form.Router().Settings().Baud_rate, 4800);
        EXPECT_EQ(form.Router().Settings().Data_length, 2400);
        EXPECT_EQ(box.stored()->data, v) << "a usable value is not rewritten";
    }
    // Any type but text and DWORD is taken as bytes.
    box.store(platform::Reg_multi_sz, {5, 0, 0});
    TForm1 form(dialogs);
    EXPECT_EQ(gui_test::Adr(form.ui(), 0)->text(), "5");
    EXPECT_EQ(box.stored()->type, platform::Reg_multi_sz);
}

TEST_F(FormTest, NegativeBaudIndexReadsAs19200)
{
    TDataCFG c;
    c.K_Baud1 = -1;
    c.DT_use1 = 1;
    c.Radku1 = 2500;
    box.store(platform::Reg_binary, bytes_of(c));
    TForm1 form(dialogs);
    EXPECT_EQ(form.Router().Settings().Baud_rate, 19200);
    EXPECT_EQ(form.Router().Settings().Data_length, 72500);
    EXPECT_EQ(TForm1::combo_index(form.ui().K_Baud1), -1);
}

TEST_F(FormTest, SaveConvertsAndStores)
{
    TForm1 form(dialogs);
    gui_test::Adr(form.ui(), 0)->setText("300");
    gui_test::Adr(form.ui(), 1)->setText("-1");
    gui_test::Adr(form.ui(), 2)->setText("$1F");
    gui_test::Port(form.ui(), 1)->setCurrentIndex(7);
    gui_test::Port(form.ui(), 3)->setEditText("COM9");  // typed: no item selected
    gui_test::Pripojen(form.ui(), 2)->setChecked(true);
    form.ui().K_Baud1->setEditText("38400");
    form.ui().Radku1->setText("2500");
    form.ui().MxSn1->setText("-3");
    form.ui().MxVec1->setText("4");
    form.ui().DT_use1->setChecked(true);
    form.ui().InSoubor->setText(QStringLiteral("požadavky_dlouhé.txt"));  // 20 characters
    form.ui().OutSoubor->setText(QStringLiteral("výstup.txt"));
    form.ui().Rep_read->setCurrentIndex(4);
    form.ui().Rep_write->setCurrentIndex(8);
    form.ui().Delay_add->setCurrentIndex(3);
    form.ui().Priority_set->setChecked(true);
    dialogs.boxes.clear();
    dialogs.answers = {false};

    form.ui().BitBtn1->click();

    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].text, RestartQuestion);
    EXPECT_EQ(dialogs.boxes[0].caption, QStringLiteral("Varování"));
    EXPECT_TRUE(dialogs.boxes[0].question);
    EXPECT_FALSE(form.Router().Released()) << "No keeps the program running";

    const auto v = box.stored();
    ASSERT_TRUE(v.has_value());
    ASSERT_EQ(v->type, platform::Reg_binary);
    ASSERT_EQ(v->data.size(), 68u);
    const TDataCFG c = decode_config(v->data);
    EXPECT_EQ(c.Adr1, 44);
    EXPECT_EQ(c.Adr2, 255);
    EXPECT_EQ(c.Adr3, 31);
    EXPECT_EQ(c.Port2, 7);
    EXPECT_EQ(c.Port4, 255);
    EXPECT_EQ(c.Pripojen3, 1);
    EXPECT_EQ(c.K_Baud1, -1);
    EXPECT_EQ(c.Radku1, 2500);
    EXPECT_EQ(c.MxSn1, -3);
    EXPECT_EQ(c.DT_use1, 1);
    // Windows-1250 bytes, the first 12 of them, then zeros.
    EXPECT_EQ(field_text(c.InSoubor), platform::utf8_to_cp1250("požadavky_dl"));
    EXPECT_EQ(c.InSoubor[12], 0);
    EXPECT_EQ(c.InSoubor[13], 0);
    EXPECT_EQ(c.InSoubor[14], 0);
    EXPECT_EQ(field_text(c.OutSoubor), std::string("v\xFDstup.txt"));
    EXPECT_EQ(c.Rep_read, 4);
    EXPECT_EQ(c.Rep_write, 8);
    EXPECT_EQ(c.Delay_add, 3);
    EXPECT_EQ(c.Priority_set, 1);

    // The running program keeps what it loaded; the next start shows the new.
    EXPECT_EQ(form.Router().Data_CFG(), TDataCFG{});
    EXPECT_EQ(form.Router().Settings().Baud_rate, 1200);
    TForm1 next(dialogs);
    EXPECT_EQ(next.ui().Adr1->text(), "44");
    EXPECT_EQ(next.ui().InSoubor->text(), QStringLiteral("požadavky_dl"));
    EXPECT_EQ(next.ui().OutSoubor->text(), QStringLiteral("výstup.txt"));
    EXPECT_EQ(form.Router().Settings().Master_wait, 52u);

    // Yes closes the window the way "Konec programu" does: the close asks its own question.
    dialogs.boxes.clear();
    dialogs.answers = {true, false};
    next.ui().BitBtn1->click();
    ASSERT_EQ(dialogs.boxes.size(), 2u);
    EXPECT_EQ(dialogs.boxes[1].text, CloseQuestion);
    EXPECT_FALSE(next.Router().Released());
}

TEST_F(FormTest, SaveStopsOnTextThatIsNoInteger)
{
    const std::vector<uint8_t> before = bytes_of(default_config());
    box.store(platform::Reg_binary, before);
    {
        TForm1 form(dialogs);
        const std::pair<QLineEdit*, std::string> fields[] = {
            {gui_test::Adr(form.ui(), 2), "„Adresa“ (Terminál 3)"},
            {form.ui().Radku1, "„Kapacita“"},
            {form.ui().MxSn1, "„Max. p. snidaní“"},
            {form.ui().MxVec1, "„Max. p. večeří“"},
        };
        for (const auto& [edit, name] : fields) {
            const QString good = edit->text();
            for (const QString& bad : {QStringLiteral("12x"), QString(), QStringLiteral("1.5")}) {
                edit->setText(bad);
                dialogs.boxes.clear();
                form.ui().PageControl1->setCurrentIndex(0);
                form.ui().Edit1->setFocus();
                try {
                    form.BitBtn1Click();
                    ADD_FAILURE() << "saved with '" << bad.toStdString() << "'";
                } catch (const TAppError& e) {
                    // The framework's text, then which field holds it.
                    EXPECT_EQ(std::string(e.what()), "'" + bad.toStdString() +
                                                         "' is not a valid integer value\nNeplatné celé číslo v poli " +
                                                         name + ".");
                }
                EXPECT_EQ(form.focusWidget(), edit) << name;
                EXPECT_EQ(form.ui().PageControl1->currentWidget(), form.ui().TabSheet2) << name;
                EXPECT_TRUE(dialogs.boxes.empty()) << "no restart question";
                EXPECT_EQ(box.stored()->data, before);
            }
            edit->setText(good);
        }
    }
    // Through the button: the error box, no question, nothing written.
    TForm1 form(dialogs);
    gui_test::Adr(form.ui(), 1)->setText(QStringLiteral("abc"));
    dialogs.boxes.clear();
    form.ui().BitBtn1->click();
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].text,
              QStringLiteral("'abc' is not a valid integer value\nNeplatné celé číslo v poli „Adresa“ (Terminál 2)."));
    EXPECT_EQ(dialogs.boxes[0].icon, TBoxIcon::Error);
    EXPECT_FALSE(dialogs.boxes[0].question);
    EXPECT_EQ(box.stored()->data, before);
}

TEST_F(FormTest, SaveReportsAFailedWrite)
{
    TForm1 form(dialogs);
    // A directory where the store's file should be makes every write fail.
    std::filesystem::remove(box.registry_path());
    std::filesystem::create_directory(box.registry_path());
    dialogs.boxes.clear();
    form.ui().BitBtn1->click();
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].text, QStringLiteral("Failed to set data for 'Data_CFG'"));
    EXPECT_FALSE(dialogs.boxes[0].question);
}

TEST_F(FormTest, CloseAsksAndReleasesInOrder)
{
    TForm1 form(dialogs);
    dialogs.boxes.clear();
    dialogs.answers = {false};
    EXPECT_FALSE(form.close());
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].text, CloseQuestion);
    EXPECT_EQ(dialogs.boxes[0].caption, QStringLiteral("Pozor!"));
    EXPECT_FALSE(form.Router().Released());
    const std::vector<std::string> started = box.log_lines();
    EXPECT_EQ(started.back().find("Stop programu"), std::string::npos);

    // The tray menu's "Konec" on a hidden window asks too.
    form.Hide_windowClick();
    EXPECT_TRUE(put_away(form));
    dialogs.answers = {true};
    QSignalSpy closed(&form, &TForm1::Closed);
    form.ui().Konec->trigger();
    EXPECT_EQ(dialogs.boxes.size(), 2u);
    EXPECT_TRUE(form.Router().Released());
    std::vector<std::string> stopped = started;
    stopped.push_back("Stop programu");
    EXPECT_EQ(box.log_lines(), stopped);
    EXPECT_TRUE(closed.wait(1000));
}

TEST_F(FormTest, WatcherIsStoppedBeforeTheEndAndWaitedFor)
{
    TDataCFG c;
    c.InSoubor = make_field("pozad.txt");
    box.store(platform::Reg_binary, bytes_of(c));
    const auto watcher_runs = [] {
        for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
            std::ifstream comm(task.path() / "comm");
            std::string name;
            if (std::getline(comm, name) && name == "hlidac")
                return true;
        }
        return false;
    };
    auto form = std::make_unique<TForm1>(dialogs);
    QTRY_VERIFY_WITH_TIMEOUT(watcher_runs(), 2000);
    dialogs.answers = {true};
    EXPECT_TRUE(form->close());
    EXPECT_FALSE(watcher_runs()) << "the close waited for the watcher's end";
    EXPECT_EQ(box.log_lines().back(), "Stop programu");
}

TEST_F(FormTest, LayoutTextsAndPlaces)
{
    TForm1 form(dialogs);
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Stravon - komunikátor pro jídelny (4 týdny)"));
    EXPECT_EQ(form.size(), QSize(600, 380));
    EXPECT_EQ(form.minimumSize(), form.maximumSize());
    ASSERT_EQ(form.ui().PageControl1->count(), 3);
    EXPECT_EQ(form.ui().PageControl1->tabText(0), QStringLiteral("Ovládání terminálu"));
    EXPECT_EQ(form.ui().PageControl1->tabText(1), QStringLiteral("Konfigurace terminálů"));
    EXPECT_EQ(form.ui().PageControl1->tabText(2), QStringLiteral("Servisní nastavení"));
    EXPECT_EQ(form.ui().Button1->geometry(), QRect(230, 7, 140, 25));
    EXPECT_EQ(form.ui().Edit1->geometry(), QRect(379, 8, 209, 21));
    EXPECT_EQ(form.ui().BitBtn3->geometry(), QRect(420, 61, 140, 41));
    EXPECT_EQ(form.ui().BitBtn1->geometry(), QRect(439, 229, 93, 56));
    EXPECT_EQ(gui_test::Port(form.ui(), 2)->geometry(), QRect(96, 37, 59, 21));
    EXPECT_EQ(gui_test::Pripojen(form.ui(), 1)->geometry(), QRect(9, 60, 144, 17));
    EXPECT_EQ(form.ui().Selekt->ItemIndex(), 0);
    EXPECT_EQ(form.ui().Selekt->Buttons()[3]->text(), QStringLiteral("Term 4"));
    for (int n = 0; n < 4; ++n)
        EXPECT_EQ(form.Indicator(n + 1)->geometry(), QRect(5 + 35 * n, 20, 25, 25));
    form.ui().PageControl1->setCurrentIndex(0);
    QApplication::processEvents();
    EXPECT_EQ(form.ui().Memo1->height(), 207);
    EXPECT_EQ(form.ui().Memo1->geometry().bottom(), form.ui().TabSheet1->height() - 1) << "aligned to the bottom";
    EXPECT_EQ(form.ui().Rep_write->count(), 9);
    EXPECT_EQ(form.ui().Rep_read->count(), 5);
    EXPECT_TRUE(form.ui().Label17->text().contains(QStringLiteral("se uloží do registru Windows\npo stisknutí")));
    EXPECT_FALSE(form.ui().Label25->text().contains(QLatin1Char('\r')));

    const QList<QAction*> items = form.PopupMenu1()->actions();
    ASSERT_EQ(items.size(), 4);
    EXPECT_EQ(items[0]->text(), QStringLiteral("Zobrazit program"));
    EXPECT_EQ(items[1]->text(), QStringLiteral("Schovat program"));
    EXPECT_TRUE(items[2]->isSeparator());
    EXPECT_EQ(items[3]->text(), QStringLiteral("Konec"));
    EXPECT_EQ(form.PopupMenu1()->defaultAction(), items[0]);
    // The working directory: in the tip's second line and beside the file names.
    const QString wd = QString::fromStdString((box.root / "wd").string());
    EXPECT_EQ(form.StatusIcon1()->Hint(), QStringLiteral("Komunikátor PORCIO\n") + wd);
    EXPECT_EQ(form.ui().WorkDir->toolTip(), wd);
    EXPECT_EQ(form.ui().WorkDirCaption->text(), QStringLiteral("Pracovní adresář:"));
    EXPECT_EQ(form.ui().WorkDir->text().front(), QLatin1Char('/'));
    EXPECT_TRUE(wd.endsWith(form.ui().WorkDir->text().section(QChar(0x2026), -1))) << "the path's end shows";
    for (QWidget* w : {static_cast<QWidget*>(form.ui().WorkDirCaption), static_cast<QWidget*>(form.ui().WorkDir)}) {
        EXPECT_TRUE(form.ui().Panel2->rect().contains(w->geometry())) << w->objectName().toStdString();
        EXPECT_GE(w->geometry().width(), w->fontMetrics().horizontalAdvance(static_cast<QLabel*>(w)->text()));
        for (QWidget* other : {static_cast<QWidget*>(form.ui().InSoubor), static_cast<QWidget*>(form.ui().OutSoubor)})
            EXPECT_FALSE(w->geometry().intersects(other->geometry())) << w->objectName().toStdString();
    }
    EXPECT_EQ(form.StatusIcon1()->IconIndex(), 0);
    EXPECT_EQ(form.OpenDialog1().title, QStringLiteral("Soubory příkazů do terminálu."));

    // Keyboard order.
    const auto next_stop = [](QWidget* w) {
        do
            w = w->nextInFocusChain();
        while (!(w->focusPolicy() & Qt::TabFocus));
        return w;
    };
    EXPECT_EQ(next_stop(form.ui().BitBtn2), form.ui().Edit1);
    EXPECT_EQ(next_stop(form.ui().Edit1), form.ui().Button1);
    EXPECT_EQ(next_stop(form.ui().Button3), form.ui().Selekt->Buttons()[0]);
    EXPECT_EQ(next_stop(gui_test::Pripojen(form.ui(), 0)), gui_test::Adr(form.ui(), 1));
    EXPECT_EQ(next_stop(form.ui().MxVec1), form.ui().BitBtn1);
    EXPECT_EQ(next_stop(form.ui().Priority_set), form.ui().InSoubor);
    EXPECT_EQ(next_stop(form.ui().InSoubor), form.ui().OutSoubor);

    // Check boxes carry their caption from the left edge: a click there ticks.
    TCheckBox* connected = gui_test::Pripojen(form.ui(), 0);
    form.ui().PageControl1->setCurrentIndex(1);
    const bool was = connected->isChecked();
    QTest::mouseClick(connected, Qt::LeftButton, {}, QPoint(3, connected->height() / 2));
    EXPECT_NE(connected->isChecked(), was);

    // Qt's own texts in Czech.
    ASSERT_TRUE(install_qt_czech_translation()) << "qtbase_cs.qm is missing (qt6-translations-l10n)";
    QMessageBox question(QMessageBox::Question, QStringLiteral("Pozor!"), CloseQuestion,
                         QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(question.button(QMessageBox::Yes)->text().remove(QLatin1Char('&')), QStringLiteral("Ano"));
    EXPECT_EQ(question.button(QMessageBox::No)->text().remove(QLatin1Char('&')), QStringLiteral("Ne"));
}

TEST_F(FormTest, ShowHideAndTheTabMenu)
{
    TForm1 form(dialogs);
    form.Hide_windowClick();
    EXPECT_TRUE(put_away(form));
    form.StatusIcon1()->handleActivation(QSystemTrayIcon::DoubleClick);
    EXPECT_TRUE(shown(form));
    form.ui().Button2->click();
    EXPECT_TRUE(put_away(form));
    form.ui().Show_window->trigger();
    EXPECT_TRUE(shown(form));
    form.ui().Hide_window->trigger();
    EXPECT_TRUE(put_away(form));

    form.show();
    for (int tab = 0; tab < 3; ++tab) {
        form.ui().PageControl1->setCurrentIndex(tab);
        QWidget* page = form.ui().PageControl1->currentWidget();
        QContextMenuEvent ev(QContextMenuEvent::Mouse, QPoint(580, 340), page->mapToGlobal(QPoint(580, 340)));
        QApplication::sendEvent(page, &ev);
        EXPECT_EQ(form.PopupMenu1()->isVisible(), tab != 0) << "tab " << tab;
        form.PopupMenu1()->hide();
    }
}

TEST_F(FormTest, SignalWhileTheCloseQuestionIsOpenEndsTheProgram)
{
    // Dialogs whose close question is interrupted by a termination signal.
    struct InterruptedDialogs : ScriptedDialogs {
        TForm1* form = nullptr;
        bool ask_yes_no(QWidget* o, const QString& t, const QString& c, TBoxIcon i) override
        {
            if (form)
                form->Close_without_question();
            return ScriptedDialogs::ask_yes_no(o, t, c, i);  // answers No
        }
    } interrupted;
    TForm1 form(interrupted);
    interrupted.form = &form;
    EXPECT_TRUE(form.close());
    EXPECT_TRUE(form.Router().Released());
    EXPECT_EQ(box.log_lines().back(), "Stop programu");
}

TEST(DialogsTest, WithoutADisplayBoxesAnswerAtOnce)
{
    gui_test::app();
    ASSERT_TRUE(TQtDialogs::no_display());
    TQtDialogs d;
    testing::internal::CaptureStderr();
    d.message(nullptr, QStringLiteral("Neni otevřen žádný port"), QStringLiteral("Pozor!"), TBoxIcon::Warning);
    const bool yes = d.ask_yes_no(nullptr, QStringLiteral("Opravdu?"), QStringLiteral("Pozor!"), TBoxIcon::Question);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(yes) << "a question without a person is answered No";
    EXPECT_NE(err.find("Pozor!: Neni otevřen žádný port"), std::string::npos) << err;
    EXPECT_NE(err.find("Opravdu?"), std::string::npos);
    EXPECT_EQ(d.open_file(nullptr, TOpenFileRequest{}), std::nullopt);
}

TEST(DialogsTest, FileFilterAndGuardedHandlers)
{
    gui_test::app();
    EXPECT_EQ(qt_file_filter(QStringLiteral("Konfigurační soubory|*.cfg|Bat soubory|*.bat")),
              QStringLiteral("Konfigurační soubory (*.cfg);;Bat soubory (*.bat)"));
    EXPECT_EQ(qt_file_filter(QStringLiteral("Vše|*.cfg;*.bat")), QStringLiteral("Vše (*.cfg *.bat)"));

    ScriptedDialogs d;
    bool after = false;
    run_guarded(d, nullptr, [] { throw TAppError("'x' is not a valid integer value"); });
    run_guarded(d, nullptr, [&] { after = true; });
    ASSERT_EQ(d.boxes.size(), 1u);
    EXPECT_EQ(d.boxes[0].text, QStringLiteral("'x' is not a valid integer value"));
    EXPECT_EQ(d.boxes[0].icon, TBoxIcon::Error);
    EXPECT_TRUE(after) << "the program runs on after the box";
}

TEST(DialogsTest, CommandFileDialogShowsWholeFileTypes)
{
    gui_test::app();
    install_qt_czech_translation();
    Sandbox box;
    for (const char* name : {"prikazy.cfg", "davka.bat"})
        std::ofstream(name) << "A\r\n";
    const TOpenFileRequest request{QStringLiteral("Soubory příkazů do terminálu."),
                                   QStringLiteral("Konfigurační soubory|*.cfg|Bat soubory|*.bat"),
                                   QStringLiteral("*.cfg"), QStringLiteral(".")};
    const std::unique_ptr<QFileDialog> dlg = make_open_dialog(nullptr, request);
    dlg->setViewMode(QFileDialog::Detail);
    dlg->show();
    auto* view = dlg->findChild<QTreeView*>(QStringLiteral("treeView"));
    ASSERT_NE(view, nullptr);
    const auto typed_rows = [&] {
        int n = 0;
        for (int row = 0; row < view->model()->rowCount(view->rootIndex()); ++row)
            n += !view->model()->index(row, 2, view->rootIndex()).data().toString().isEmpty();
        return n;
    };
    QTRY_VERIFY_WITH_TIMEOUT(typed_rows() >= 1, 5000);
    QApplication::processEvents();
    for (int row = 0; row < view->model()->rowCount(view->rootIndex()); ++row) {
        const QString type = view->model()->index(row, 2, view->rootIndex()).data().toString();
        // The text and the cell's margins fit: no "pro...ent".
        EXPECT_GE(view->header()->sectionSize(2), view->fontMetrics().horizontalAdvance(type) + 6) << type.toStdString();
        EXPECT_TRUE(view->visualRect(view->model()->index(row, 2, view->rootIndex())).right() <
                    view->viewport()->width())
            << "the type column is in sight";
    }
}
