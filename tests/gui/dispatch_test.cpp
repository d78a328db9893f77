// What the window shows and does around the router's runs, on the real
// window offscreen, with a simulated terminal on COM1 on virtual time. The
// runs themselves are the router core's and are tested there.
#include "router/config_record.h"
#include "app/form1.h"
#include "ui_form1.h"
#include "gui_support.h"
#include "platform/clock.h"
#include "sim/attach.h"
#include "sim/line_sim.h"
#include "tray/status_icon.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
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
    DispatchTest()
    {
        gui_test::app();
        platform::set_clock(&clock);
        sim::attach_to_driver({{0, &line}}, clock);
        line.add_terminal(1);
    }
    ~DispatchTest() override
    {
        sim::detach_from_driver();
        platform::set_clock(nullptr);
    }

    // Terminal 1 at address 1 on COM1; position 2 connected on COM2, which has no device.
    std::unique_ptr<TForm1> start()
    {
        TDataCFG c = default_config();
        c.Adr2 = 1; c.Port2 = 1; c.Pripojen2 = 1;
        c.OutSoubor = make_field("vystup.txt");
        c.InSoubor = make_field("pozad.txt");
        c.Priority_set = 0;
        const TConfigBytes b = encode_config(c);
        box.store(platform::Reg_binary, std::vector<uint8_t>(b.begin(), b.end()));
        return std::make_unique<TForm1>(dialogs);
    }
    // Commands the terminal received, without the probes "A".
    std::vector<std::string> commands() const
    {
        std::vector<std::string> out;
        for (const auto& f : line.frames())
            if (const std::string hex = sim::to_hex(f.bytes); hex != "01 04 41 46")
                out.push_back(hex);
        return out;
    }
    std::string output() const { return slurp(box.root / "wd/vystup.txt"); }
    std::string status() const { return slurp(box.root / "wd/porcom.sta"); }
    bool exists(const char* name) const { return std::filesystem::exists(box.root / "wd" / name); }
    // Runs once inside the next run, from the run's own event dispatch, as
    // the window's events come during a serial wait.
    void inside_the_run(TForm1& form, std::function<void()> f)
    {
        auto* timer = new QTimer(&form);
        timer->setInterval(0);
        QObject::connect(timer, &QTimer::timeout, &form, [&form, timer, f] {
            if (!form.Router().Running() || form.ui().Label24->text().isEmpty())
                return;
            timer->stop();
            timer->deleteLater();
            f();
        });
        timer->start();
    }

    Sandbox box;
    ScriptedDialogs dialogs;
    platform::VirtualClock clock{1'000'000'000};
    sim::LineSim line{19200};
};

} // namespace

TEST_F(DispatchTest, TypedCommandGoesOutInCodePage852AndItsAnswerShows)
{
    auto form = start();
    form->ui().Edit1->setText(QStringLiteral("AČá"));
    form->ui().Button1->click();
    EXPECT_EQ(commands(), (std::vector<std::string>{"01 06 41 AC A0 94"}));
    EXPECT_EQ(form->ui().Label24->text(), "1");
    EXPECT_EQ(form->ui().Label22->text(), "1");
    EXPECT_EQ(form->ui().Lstatus->text(), "1,0");
    EXPECT_EQ(form->StatusIcon1()->IconIndex(), 0) << "a typed command leaves the picture alone";

    // A status record whose text holds Windows-1250 letters (0x8A is Š, 0xC8
    // is Č): the list shows them, the output file keeps the bytes.
    std::string record = "S\x01\x02\x03\x04\x05\x06\x07";
    record += '\0';
    record += std::string("JIDELNA \x8A\xC8     ", 16);
    record += std::string(2, '\0');
    line.terminal(1)->set_block('S', std::vector<uint8_t>(record.begin(), record.end()));
    form->ui().Edit1->setText("S");
    form->ui().Button1->click();
    ASSERT_EQ(form->ui().Memo1->count(), 1);
    EXPECT_EQ(form->ui().Memo1->item(0)->text(), QStringLiteral("S01020304050607JIDELNA ŠČ     "));
    EXPECT_EQ(output(), "S01020304050607JIDELNA \x8A\xC8     \r\n");
    EXPECT_EQ(form->ui().Label4->text(), "27");
    EXPECT_EQ(form->ui().Lstatus->text(), "1,1");
}

TEST_F(DispatchTest, CommandFileDialogAndAFileThatCannotBeRead)
{
    auto form = start();
    // Cancel: only the log list is cleared.
    form->ui().Memo1->addItem("old");
    form->ui().Button3->click();
    EXPECT_EQ(dialogs.last_open.title, QStringLiteral("Soubory příkazů do terminálu."));
    EXPECT_EQ(dialogs.last_open.filter, QStringLiteral("Konfigurační soubory|*.cfg|Bat soubory|*.bat"));
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
    EXPECT_NE(form->cursor().shape(), Qt::BusyCursor);
}

TEST_F(DispatchTest, DuringARunTheWindowStaysAliveAndStartsNothing)
{
    auto form = start();
    const Ui::TForm1& u = form->ui();
    const auto request = box.root / "wd/pozad.txt";
    std::ofstream(request, std::ios::binary) << "S\r\n";
    u.Edit1->setText("C");  // acknowledged, then 3 s of pause
    bool inside = false;
    inside_the_run(*form, [&] {
        inside = true;
        for (QWidget* w : {static_cast<QWidget*>(u.Button1), static_cast<QWidget*>(u.Button3),
                           static_cast<QWidget*>(u.BitBtn2), static_cast<QWidget*>(u.BitBtn1)})
            EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
        EXPECT_EQ(form->cursor().shape(), Qt::BusyCursor);
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
    form->Process_request(request.string());
    EXPECT_FALSE(std::filesystem::exists(request));
    EXPECT_EQ(status(), "1,1\n");
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
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    EXPECT_FALSE(form->Router().Running());
    EXPECT_EQ(commands(), (std::vector<std::string>{"01 05 41 31 78"}));
}

TEST_F(DispatchTest, CloseDuringARunAsksAtItsEnd)
{
    auto form = start();
    const Ui::TForm1& u = form->ui();
    const QString note = QStringLiteral("Program se ukončí po dokončení běžícího příkazu.");
    form->show();
    u.Edit1->setText("C");
    inside_the_run(*form, [&] {
        EXPECT_FALSE(form->close());
        EXPECT_FALSE(form->Router().Released()) << "nothing is released under a running command";
        EXPECT_TRUE(dialogs.boxes.empty()) << "the question waits too";
        // Said at once, in the window and in the tray's tip.
        EXPECT_TRUE(form->Close_note()->isVisible());
        EXPECT_TRUE(form->StatusIcon1()->Hint().endsWith(QLatin1Char('\n') + note));
        EXPECT_TRUE(form->StatusIcon1()->Hint().startsWith(QStringLiteral("Komunikátor PORCIO\n/")));
    });
    const uint64_t t0 = clock.now_us();
    u.Button1->click();
    EXPECT_GE(clock.now_us() - t0, 3'000'000u) << "an operator's close lets the run finish";
    // No: the note goes, the program runs on.
    dialogs.answers = {false};
    QTRY_COMPARE_WITH_TIMEOUT(dialogs.boxes.size(), size_t(1), 2000);
    EXPECT_TRUE(dialogs.boxes[0].question);
    EXPECT_FALSE(form->Router().Released());
    EXPECT_FALSE(form->Close_note()->isVisible());
    EXPECT_FALSE(form->StatusIcon1()->Hint().contains(note));
    // Beside the tabs, above every page: it covers no control.
    const QRect note_at = form->Close_note()->geometry();
    EXPECT_FALSE(u.PageControl1->tabBar()->geometry().translated(u.PageControl1->pos()).intersects(note_at));
    EXPECT_LT(note_at.bottom(), u.TabSheet1->mapTo(form.get(), QPoint(0, 0)).y());
    EXPECT_TRUE(form->rect().contains(note_at));
    EXPECT_GE(form->Close_note()->width(),
              form->Close_note()->fontMetrics().horizontalAdvance(form->Close_note()->text()));

    inside_the_run(*form, [&] { form->close(); });
    u.Button1->click();
    dialogs.answers = {true};
    QTRY_VERIFY_WITH_TIMEOUT(form->Router().Released(), 2000);
    EXPECT_EQ(box.log_lines().back(), "Stop programu");
}

TEST_F(DispatchTest, EnterInTheCommandFieldSendsOnce)
{
    auto form = start();
    const Ui::TForm1& u = form->ui();
    u.Edit1->setText("A1");
    QTest::keyClick(u.Edit1, Qt::Key_Return);
    EXPECT_EQ(commands(), (std::vector<std::string>{"01 05 41 31 78"}));
    EXPECT_EQ(u.Lstatus->text(), "1,0");

    // A second Enter typed while the first one's command runs sends nothing more.
    u.Edit1->setText("C");
    inside_the_run(*form, [&] { QTest::keyClick(u.Edit1, Qt::Key_Enter); });
    QTest::keyClick(u.Edit1, Qt::Key_Enter);
    EXPECT_FALSE(form->Router().Running());
    EXPECT_EQ(commands(), (std::vector<std::string>{"01 05 41 31 78", "01 04 43 48"}));
}

TEST_F(DispatchTest, BytesOfABlockShowWhileItComesIn)
{
    // 400 records: about 5 s on the wire at 19200 Bd.
    std::vector<uint8_t> block;
    for (int r = 0; r < 400; ++r) {
        block.push_back('R');
        block.insert(block.end(), 23, 0);
    }
    line.terminal(1)->set_block('Y', block);
    auto form = start();
    const Ui::TForm1& u = form->ui();
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    // What the window actually painted, and when.
    struct Painted : QObject {
        std::vector<QString> label;
        int list_during_run = 0;
        TForm1* f = nullptr;
        bool eventFilter(QObject* o, QEvent* e) override
        {
            if (e->type() == QEvent::Paint && f->Router().Running()) {
                if (o == f->ui().Label4)
                    label.push_back(f->ui().Label4->text());
                else if (f->ui().Memo1->count() > 0)
                    ++list_during_run;
            }
            return false;
        }
    } painted;
    painted.f = form.get();
    u.Label4->installEventFilter(&painted);
    u.Memo1->viewport()->installEventFilter(&painted);
    u.Edit1->setText("Y");
    u.Button1->click();

    std::vector<int> counts;
    for (const QString& t : painted.label)
        if (!t.isEmpty())
            counts.push_back(t.toInt());
    ASSERT_GE(counts.size(), 3u) << "a few updates a second for 5 s";
    EXPECT_TRUE(std::is_sorted(counts.begin(), counts.end()));
    EXPECT_GT(counts.front(), 0);
    EXPECT_LT(counts.front(), int(block.size())) << "shown while the block comes in";
    EXPECT_GT(painted.list_during_run, 0) << "the list repaints as its lines come";
    // At the end, the block's byte count.
    EXPECT_EQ(u.Label4->text(), QString::number(block.size()));
    EXPECT_EQ(u.Memo1->count(), 400);
}

TEST_F(DispatchTest, TerminationDuringARunClosesWithoutTheQuestion)
{
    auto form = start();
    form->ui().Edit1->setText("C");
    inside_the_run(*form, [&] { form->Close_without_question(); });
    const uint64_t t0 = clock.now_us();
    form->ui().Button1->click();
    EXPECT_LT(clock.now_us() - t0, 1'000'000u) << "the pause after C is not waited out";
    QTRY_VERIFY_WITH_TIMEOUT(form->Router().Released(), 2000);
    EXPECT_TRUE(dialogs.boxes.empty());
    EXPECT_EQ(box.log_lines().back(), "Stop programu");
}

TEST_F(DispatchTest, WatcherHandsTheRequestToTheWindowsThread)
{
    auto form = start();
    std::ofstream(box.root / "wd/.part", std::ios::binary) << "TERM 3\r\n";
    std::filesystem::rename(box.root / "wd/.part", box.root / "wd/pozad.txt");
    QTRY_VERIFY_WITH_TIMEOUT(!exists("pozad.txt"), 5000);
    EXPECT_EQ(form->ui().Selekt->ItemIndex(), 2);
    EXPECT_FALSE(exists("porcom.sta"));
    EXPECT_FALSE(exists("vystup.txt"));
}
