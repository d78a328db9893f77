// The operator's commands and the request files, on the real window
// offscreen, against a simulated terminal on a pty mapped as COM1.
#include "router/config_record.h"
#include "app/form1.h"
#include "router/hlidac.h"
#include "ui_form1.h"
#include "gui_support.h"
#include "protocol/porcio.h"
#include "tray/status_icon.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QTimer>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

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
        box.store(platform::Reg_binary, std::vector<uint8_t>(b.begin(), b.end()));
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
    form->ui().Edit1->setText(QStringLiteral("AČá"));
    form->ui().Button1->click();
    EXPECT_EQ(commands(), (std::vector<std::string>{"01 06 41 AC A0 94"}));
    EXPECT_EQ(form->ui().Label24->text(), "1");
    EXPECT_EQ(form->ui().Label22->text(), "1");
    EXPECT_EQ(form->ui().Lstatus->text(), "1,0");
    EXPECT_EQ(status(), "1,0\n");
    EXPECT_TRUE(exists("vystup.txt"));
    EXPECT_EQ(output(), "");
    EXPECT_EQ(form->StatusIcon1()->IconIndex(), 0) << "a typed command leaves the picture alone";

    // A read command's records come back as lines and into the output file.
    form->ui().Edit1->setText("S");
    form->ui().Button1->click();
    ASSERT_EQ(form->ui().Memo1->count(), 1);
    const std::string line = form->ui().Memo1->item(0)->text().toStdString();
    EXPECT_EQ(line.substr(0, 5), "S0100") << line;
    EXPECT_EQ(output(), line + "\r\n");
    EXPECT_EQ(form->ui().Label4->text(), "27");
    EXPECT_EQ(status(), "1,1\n");
}

TEST_F(DispatchTest, TypedCommandForAPositionWithoutTerminalDoesNothing)
{
    auto form = start();
    form->ui().Selekt->setItemIndex(1);  // connected, but its port did not open
    form->ui().Lstatus->setText("kept");
    form->ui().Edit1->setText("A");
    form->ui().Button1->click();
    EXPECT_TRUE(commands().empty());
    EXPECT_EQ(form->ui().Lstatus->text(), "kept");
    EXPECT_FALSE(exists("vystup.txt"));
    EXPECT_FALSE(exists("porcom.sta"));
}

TEST_F(DispatchTest, CommandFileRunsItsLinesWithTheBusyPicture)
{
    auto form = start();
    const auto file = box.root / "prikazy.cfg";
    std::ofstream(file, std::ios::binary) << "A1\rA2\r\rQ0001ABCDEFGH " + std::string(84, '*') + "\r";
    dialogs.file_to_open = QString::fromStdString(file.string());
    form->ui().Button3->click();
    EXPECT_EQ(dialogs.last_open.title, QStringLiteral("Soubory příkazů do terminálu."));
    const auto sent = commands();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0], "01 05 41 31 78");
    EXPECT_EQ(sent[1], "01 05 41 32 79");
    EXPECT_EQ(sent[2].substr(0, 8), "01 2B 58");
    EXPECT_EQ(sent[3].substr(0, 8), "01 2B 71");
    EXPECT_EQ(status(), "4,0\n");
    EXPECT_EQ(form->StatusIcon1()->IconIndex(), 0);

    // Cancel: only the log list is cleared.
    form->ui().Memo1->addItem("old");
    dialogs.file_to_open.reset();
    std::filesystem::remove(box.root / "wd/porcom.sta");
    form->ui().Button3->click();
    EXPECT_EQ(form->ui().Memo1->count(), 0);
    EXPECT_FALSE(exists("porcom.sta"));

    // A file that cannot be read ends the action with the error box; the
    // busy picture stays until the next action.
    dialogs.file_to_open = QString::fromStdString((box.root / "missing.cfg").string());
    form->ui().Button3->click();
    ASSERT_FALSE(dialogs.boxes.empty());
    EXPECT_TRUE(dialogs.boxes.back().text.startsWith("Cannot open file")) << dialogs.boxes.back().text.toStdString();
    EXPECT_EQ(form->StatusIcon1()->IconIndex(), 1);
    EXPECT_TRUE(form->ui().Button1->isEnabled()) << "the run ended even though it failed";
}

TEST_F(DispatchTest, TestMasterRecoloursByAFreshLinkTest)
{
    auto form = start();
    EXPECT_EQ(form->Indicator(1)->brushColor(), colors::Aqua);
    form->Indicator(1)->setBrushColor(colors::Red);
    form->Indicator(2)->setBrushColor(colors::Red);
    form->ui().BitBtn2->click();
    EXPECT_EQ(form->Indicator(1)->brushColor(), colors::Aqua);
    EXPECT_EQ(form->Indicator(2)->brushColor(), colors::White) << "its port did not open";
    EXPECT_EQ(form->Indicator(3)->brushColor(), colors::White);
    EXPECT_FALSE(exists("porcom.sta")) << "Test Master writes no status";
}

TEST_F(DispatchTest, RunsNeverNestAndTheWindowStaysAlive)
{
    auto form = start();
    const Ui::TForm1& u = form->ui();
    const auto request = box.root / "wd/pozad.txt";
    std::ofstream(request, std::ios::binary) << "S\r\n";
    u.Edit1->setText("C");  // acknowledged, then 3 s of pause
    bool inside = false;
    QTimer::singleShot(700, form.get(), [&] {
        // Inside a real serial wait of the run.
        inside = true;
        EXPECT_TRUE(form->Router().Running());
        for (QWidget* w : {static_cast<QWidget*>(u.Button1), static_cast<QWidget*>(u.Button3),
                           static_cast<QWidget*>(u.BitBtn2), static_cast<QWidget*>(u.BitBtn1)})
            EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
        EXPECT_EQ(form->cursor().shape(), Qt::BusyCursor);
        EXPECT_EQ(u.Label24->text(), "1") << "the attempts show during the run";
        QTest::mouseClick(u.Button1, Qt::LeftButton);
        form->Button1Click();
        form->Process_request(request.string());
        EXPECT_TRUE(std::filesystem::exists(request)) << "the request waits for the run's end";
        // No box can open: typing into the delay list is what could end in one.
        QTest::keyClicks(u.Delay_add, "7");
    });
    u.Button1->click();
    EXPECT_TRUE(inside);
    EXPECT_EQ(commands(), (std::vector<std::string>{"01 04 43 48"})) << "one run, one command";
    EXPECT_TRUE(dialogs.boxes.empty());
    EXPECT_EQ(u.Delay_add->currentText(), "0");
    EXPECT_TRUE(u.Button1->isEnabled());
    EXPECT_NE(form->cursor().shape(), Qt::BusyCursor);
    // The watcher hands the request over again, now that the run is over.
    QTRY_VERIFY_WITH_TIMEOUT(!std::filesystem::exists(request), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(QString::fromStdString(status()), QStringLiteral("1,1\n"), 5000);
}

TEST_F(DispatchTest, DoubleClickOnSendSendsOnce)
{
    auto form = start();
    const Ui::TForm1& u = form->ui();
    u.Edit1->setText("A1");
    // Both clicks are queued, as a window system delivers them; the second
    // comes while the first one's run goes on.
    const QPointF at = QRectF(u.Button1->rect()).center();
    const QPointF global = u.Button1->mapToGlobal(at);
    for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease, QEvent::MouseButtonDblClick,
                              QEvent::MouseButtonRelease})
        QCoreApplication::postEvent(u.Button1, new QMouseEvent(type, at, global, Qt::LeftButton,
                                                               type == QEvent::MouseButtonRelease ? Qt::NoButton
                                                                                                   : Qt::LeftButton,
                                                               Qt::NoModifier));
    QTest::qWait(100);
    QTRY_VERIFY_WITH_TIMEOUT(!form->Router().Running(), 5000);
    QTest::qWait(200);
    EXPECT_EQ(commands(), (std::vector<std::string>{"01 05 41 31 78"}));
}

TEST_F(DispatchTest, CloseDuringARunWaitsForItsEnd)
{
    auto form = start();
    const Ui::TForm1& u = form->ui();
    u.Edit1->setText("C");
    QTimer::singleShot(300, form.get(), [&] {
        EXPECT_FALSE(form->close());
        EXPECT_FALSE(form->Router().Released()) << "nothing is released under a running command";
        EXPECT_TRUE(dialogs.boxes.empty()) << "the question waits too";
    });
    QElapsedTimer run;
    run.start();
    u.Button1->click();
    EXPECT_GE(run.elapsed(), 3000) << "an operator's close lets the run finish";
    dialogs.answers = {true};
    QTRY_VERIFY_WITH_TIMEOUT(form->Router().Released(), 2000);
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_TRUE(dialogs.boxes[0].question);
    EXPECT_EQ(box.log_lines().back(), "Stop programu");
}

TEST_F(DispatchTest, TerminationDuringARunEndsItAtOnce)
{
    auto form = start();
    const auto request = box.root / "wd/pozad.txt";
    std::ofstream(request, std::ios::binary) << "C\r\nA1\r\n";
    QTimer::singleShot(300, form.get(), [&] {
        EXPECT_FALSE(std::filesystem::exists(request)) << "deleted before anything is sent";
        form->Close_without_question();
    });
    QElapsedTimer run;
    run.start();
    form->Process_request(request.string());
    EXPECT_LT(run.elapsed(), 1500) << "the pause after C is not waited out";
    EXPECT_EQ(commands(), (std::vector<std::string>{"01 04 43 48"})) << "no further command";
    EXPECT_EQ(status(), "1,0\n") << "the status says what was done";
    EXPECT_TRUE(exists("vystup.txt"));
    QTRY_VERIFY_WITH_TIMEOUT(form->Router().Released(), 2000);
    EXPECT_TRUE(dialogs.boxes.empty());
}

TEST_F(DispatchTest, AnswerBytesShowInTheProgramsCodePageAndReachTheFileUnchanged)
{
    // A status record whose text holds Windows-1250 letters: 0x8A is Š, 0xC8 is Č.
    std::string record = "S\x01\x02\x03\x04\x05\x06\x07";
    record += '\0';
    record += std::string("JIDELNA \x8A\xC8     ", 16);
    record += std::string(2, '\0');
    const auto file = box.root / "status.bin";
    std::ofstream(file, std::ios::binary) << record;
    auto form = start({"--block", QString::fromStdString("1:S:" + file.string())});
    form->ui().Edit1->setText("S");
    form->ui().Button1->click();
    ASSERT_EQ(form->ui().Memo1->count(), 1);
    EXPECT_EQ(form->ui().Memo1->item(0)->text(), QStringLiteral("S01020304050607JIDELNA ŠČ     "));
    EXPECT_EQ(output(), "S01020304050607JIDELNA \x8A\xC8     \r\n");
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
    EXPECT_EQ(form->ui().Selekt->ItemIndex(), 2);
    EXPECT_FALSE(exists("porcom.sta"));
    EXPECT_FALSE(exists("vystup.txt"));

    // A writer that writes in place, in two steps, with polls between them:
    // the request is taken only once it has closed the file.
    {
        std::ofstream writer(box.root / "wd/pozad.txt", std::ios::binary);
        writer << "TE" << std::flush;
        QTest::qWait(2300);
        EXPECT_TRUE(exists("pozad.txt")) << "taken while still being written";
        writer << "RM 1\r\n";
    }
    QTRY_VERIFY_WITH_TIMEOUT(!exists("pozad.txt"), 3000);
    EXPECT_EQ(form->ui().Selekt->ItemIndex(), 0);
    EXPECT_TRUE(commands().empty()) << "no part of it went out as a command";
}

TEST_F(DispatchTest, WithoutALeaseARequestMustStandStillForAPoll)
{
    // Not the file's owner, no lease: the file is taken once its size and
    // time have not changed since the poll before.
    const auto file = box.root / "wd/foreign.txt";
    std::ofstream(file) << "A\r\n";
    if (getuid() != 0)
        GTEST_SKIP() << "needs root to hand the file to another user";
    for (const auto& dir : {box.root, box.root / "wd"})
        std::filesystem::permissions(dir, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                              std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                                              std::filesystem::perms::others_exec);
    pid_t child = fork();
    if (child == 0) {
        THlidac::TSeen seen;
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(10);
        int code = 0;
        if (THlidac::Request_complete(file.string(), seen)) code |= 1;   // first sight
        if (!THlidac::Request_complete(file.string(), seen)) code |= 2;  // unchanged since
        _exit(code);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(DispatchTest, RequestStatusSaysWhatThisRequestDid)
{
    auto form = start();
    const auto request = box.root / "wd/pozad.txt";
    // A diner line too long for any record: logged in part only.
    std::ofstream(request, std::ios::binary) << "S\r\n" << "Q" + std::string(299, '1') << "\r\n";
    form->Process_request(request.string());
    EXPECT_EQ(status(), "1,1\n");
    auto lines = box.log_lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "Prilis dlouhy radek (300 znaku) nebyl odeslan:");
    EXPECT_EQ(lines.back(), "Q" + std::string(199, '1') + "... (300 znaku)");

    // An answer that cannot be written is no answer: the old one must not pass for it.
    std::filesystem::remove(box.root / "wd/vystup.txt");
    std::filesystem::create_directory(box.root / "wd/vystup.txt");
    std::ofstream(request, std::ios::binary) << "S\r\n";
    form->Process_request(request.string());
    EXPECT_EQ(status(), "-1,-1\n");
    EXPECT_NE(box.log_lines().back().find("vystup.txt"), std::string::npos);
    std::filesystem::remove(box.root / "wd/vystup.txt");

    // A terminal that does not answer: nothing sent, and no counts of the run before.
    sims.stop_all();
    std::ofstream(request, std::ios::binary) << "A1\r\n";
    form->Process_request(request.string());
    EXPECT_EQ(status(), "0,0\n");
    EXPECT_EQ(box.log_lines().back(), "TERM 1 NEPRIPOJEN");
    EXPECT_EQ(output(), "");
}
