// The operator's commands and the request files, on the real window
// offscreen, against a simulated terminal on a pty mapped as COM1.
#include "app/config_record.h"
#include "app/form1.h"
#include "gui_support.h"
#include "protocol/porcio.h"
#include "tray/status_icon.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <fstream>

using gui_test::Sandbox;
using gui_test::ScriptedDialogs;

namespace {

std::string slurp(const std::filesystem::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class DispatchTest : public ::testing::Test {
protected:
    DispatchTest() { gui_test::app(); }

    // Terminal 1 at address 1 on COM1 (simulated, logging its frames);
    // position 2 connected on COM2, which has no device.
    std::unique_ptr<TForm1> start(const QStringList& sim_args = {})
    {
        sims.start(1, QStringList{"--terminal", "1", "--ack-delay", "20", "--log",
                                  QString::fromStdString((box.root / "line.log").string())} + sim_args);
        TDataCFG c = default_config();
        c.Adr2 = 1; c.Port2 = 1; c.Pripojen2 = 1;
        c.OutSoubor = make_field("vystup.txt");
        c.InSoubor = make_field("pozad.txt");
        c.Priority_set = 0;
        const TConfigBytes b = encode_config(c);
        box.store(platform::REG_BINARY, std::vector<uint8_t>(b.begin(), b.end()));
        return std::make_unique<TForm1>(dialogs);
    }
    // Frames the terminal received since the start, without the probes "A".
    std::vector<std::string> commands() const
    {
        std::vector<std::string> out;
        std::istringstream in(slurp(box.root / "line.log"));
        std::string line;
        while (std::getline(in, line)) {
            const auto rx = line.find(" RX ");
            if (rx == std::string::npos) continue;
            std::string bytes = line.substr(rx + 4, line.rfind(' ') - rx - 4);
            if (bytes != "01 04 41 46") out.push_back(bytes);
        }
        return out;
    }
    std::string output() const { return slurp(box.root / "wd/vystup.txt"); }
    std::string status() const { return slurp(box.root / "wd/porcom.sta"); }
    bool exists(const char* name) const { return std::filesystem::exists(box.root / "wd" / name); }

    Sandbox box;
    ScriptedDialogs dialogs;
    gui_test::Simulators sims{box};
};

} // namespace

TEST_F(DispatchTest, TypedCommandGoesOutInCodePage852)
{
    auto form = start();
    form->Edit1->setText(QStringLiteral("AČá"));
    form->Button1->click();
    EXPECT_EQ(commands(), (std::vector<std::string>{"01 06 41 AC A0 94"}));
    EXPECT_EQ(form->Label24->text(), "1");
    EXPECT_EQ(form->Label22->text(), "1");
    EXPECT_EQ(form->Lstatus->text(), "1,0");
    EXPECT_EQ(status(), "1,0\n");
    EXPECT_TRUE(exists("vystup.txt"));
    EXPECT_EQ(output(), "");
    EXPECT_EQ(form->StatusIcon1->IconIndex(), 0) << "a typed command leaves the picture alone";

    // A read command's records come back as lines and into the output file.
    form->Edit1->setText("S");
    form->Button1->click();
    ASSERT_EQ(form->Memo1->count(), 1);
    const std::string line = form->Memo1->item(0)->text().toStdString();
    EXPECT_EQ(line.substr(0, 5), "S0100") << line;
    EXPECT_EQ(output(), line + "\r\n");
    EXPECT_EQ(form->Label4->text(), "27");
    EXPECT_EQ(status(), "1,1\n");
}

TEST_F(DispatchTest, TypedCommandForAPositionWithoutTerminalDoesNothing)
{
    auto form = start();
    form->Selekt->setItemIndex(1);  // connected, but its port did not open
    form->Lstatus->setText("kept");
    form->Edit1->setText("A");
    form->Button1->click();
    EXPECT_TRUE(commands().empty());
    EXPECT_EQ(form->Lstatus->text(), "kept");
    EXPECT_FALSE(exists("vystup.txt"));
    EXPECT_FALSE(exists("porcom.sta"));
}

TEST_F(DispatchTest, CommandFileRunsItsLinesWithTheBusyPicture)
{
    auto form = start();
    const auto file = box.root / "prikazy.cfg";
    std::ofstream(file, std::ios::binary) << "A1\rA2\r\rQ0001ABCDEFGH " + std::string(84, '*') + "\r";
    dialogs.file_to_open = QString::fromStdString(file.string());
    form->Button3->click();
    EXPECT_EQ(dialogs.last_open.title, QStringLiteral("Soubory příkazů do terminálu."));
    const auto sent = commands();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0], "01 05 41 31 78");
    EXPECT_EQ(sent[1], "01 05 41 32 79");
    EXPECT_EQ(sent[2].substr(0, 8), "01 2B 58");
    EXPECT_EQ(sent[3].substr(0, 8), "01 2B 71");
    EXPECT_EQ(status(), "4,0\n");
    EXPECT_EQ(form->StatusIcon1->IconIndex(), 0);

    // Cancel: only the log list is cleared.
    form->Memo1->addItem("old");
    dialogs.file_to_open.reset();
    std::filesystem::remove(box.root / "wd/porcom.sta");
    form->Button3->click();
    EXPECT_EQ(form->Memo1->count(), 0);
    EXPECT_FALSE(exists("porcom.sta"));

    // A file that cannot be read ends the action with the error box; the
    // busy picture stays until the next action.
    dialogs.file_to_open = QString::fromStdString((box.root / "missing.cfg").string());
    form->Button3->click();
    ASSERT_FALSE(dialogs.boxes.empty());
    EXPECT_TRUE(dialogs.boxes.back().text.startsWith("Cannot open file")) << dialogs.boxes.back().text.toStdString();
    EXPECT_EQ(form->StatusIcon1->IconIndex(), 1);
    EXPECT_TRUE(form->Button1->isEnabled()) << "the run ended even though it failed";
}

TEST_F(DispatchTest, TestMasterRecoloursByAFreshLinkTest)
{
    auto form = start();
    EXPECT_EQ(form->Indicators[0]->brushColor(), colors::Aqua);
    form->Indicators[0]->setBrushColor(colors::Red);
    form->Indicators[1]->setBrushColor(colors::Red);
    form->BitBtn2->click();
    EXPECT_EQ(form->Indicators[0]->brushColor(), colors::Aqua);
    EXPECT_EQ(form->Indicators[1]->brushColor(), colors::White) << "its port did not open";
    EXPECT_EQ(form->Indicators[2]->brushColor(), colors::White);
    EXPECT_FALSE(exists("porcom.sta")) << "Test Master writes no status";
}

TEST_F(DispatchTest, RunsNeverNest)
{
    auto form = start();
    std::ofstream(box.root / "wd/pozad.txt", std::ios::binary) << "S\r\n";
    // As if a run were in its serial wait: the request waits, a click is ignored.
    form->FRunning = true;
    form->Process_request((box.root / "wd/pozad.txt").string());
    form->Edit1->setText("A");
    form->Button1Click();
    EXPECT_TRUE(exists("pozad.txt"));
    EXPECT_TRUE(commands().empty());
    form->FRunning = false;

    form->Process_request((box.root / "wd/pozad.txt").string());
    EXPECT_FALSE(exists("pozad.txt"));
    EXPECT_EQ(status(), "1,1\n");
}

TEST_F(DispatchTest, UnreadableRequestIsLoggedOnceAndLeftForTheNextPoll)
{
    auto form = start();
    const std::string missing = (box.root / "wd/gone.txt").string();
    const size_t before = box.log_lines().size();
    form->Process_request(missing);
    form->Process_request(missing);
    const auto lines = box.log_lines();
    ASSERT_EQ(lines.size(), before + 1);
    EXPECT_NE(lines.back().find("gone.txt"), std::string::npos);
    EXPECT_FALSE(exists("porcom.sta"));
}

TEST_F(DispatchTest, WatcherHandsTheRequestToTheWindow)
{
    auto form = start();
    std::ofstream(box.root / "wd/.part", std::ios::binary) << "TERM 3\r\n";
    std::filesystem::rename(box.root / "wd/.part", box.root / "wd/pozad.txt");
    for (int i = 0; i < 300 && exists("pozad.txt"); ++i)
        QTest::qWait(10);
    EXPECT_FALSE(exists("pozad.txt"));
    EXPECT_EQ(form->Selekt->ItemIndex(), 2);
    EXPECT_FALSE(exists("porcom.sta"));
    EXPECT_FALSE(exists("vystup.txt"));
}
