// The line-up against simulated terminals on ptys mapped as COM ports.
#include "router/config_record.h"
#include "app/form1.h"
#include "ui_form1.h"
#include "gui_support.h"
#include "protocol/porcio.h"
#include "serial/ser_port.h"

#include <QListWidget>
#include <QProcess>
#include <QTabWidget>
#include <QTest>
#include <memory>

using gui_test::Sandbox;
using gui_test::ScriptedDialogs;

namespace {

class LineUpTest : public ::testing::Test {
protected:
    LineUpTest() { gui_test::app(); }

    void simulate(int com, const QStringList& args) { sims.start(com, args); }
    // The line after "COMn otevřen": the device the link led to.
    std::string device(int com) const
    {
        return "COM" + std::to_string(com) + ": zarizeni " + std::filesystem::canonical(box.com_link(com)).string();
    }

    void configure(const TDataCFG& c)
    {
        const TConfigBytes b = encode_config(c);
        box.store(platform::Reg_binary, std::vector<uint8_t>(b.begin(), b.end()));
    }

    static TDataCFG at_19200()
    {
        TDataCFG c = default_config();
        c.Pripojen1 = 0;
        return c;
    }

    Sandbox box;
    ScriptedDialogs dialogs;
    gui_test::Simulators sims{box};
};

} // namespace

TEST_F(LineUpTest, MasterSlaveAndSilentLines)
{
    simulate(1, {"--terminal", "1", "--terminal", "2"});
    simulate(2, {"--terminal", "3", "--master", "25"});
    simulate(3, {"--terminal", "4"});
    TDataCFG c = at_19200();
    c.Adr1 = 1; c.Port1 = 0; c.Pripojen1 = 1;
    c.Adr2 = 2; c.Port2 = 0; c.Pripojen2 = 1;
    c.Adr3 = 3; c.Port3 = 1; c.Pripojen3 = 1;
    c.Adr4 = 9; c.Port4 = 2; c.Pripojen4 = 1;  // nobody answers at 9
    configure(c);

    auto form = std::make_unique<TForm1>(dialogs);
    EXPECT_EQ(box.log_lines(), (std::vector<std::string>{"Start programu", box.work_dir_line(), "COM1 otevřen", device(1), "COM2 otevřen",
                                                         device(2), "COM3 otevřen", device(3), "TERM 1 SLAVE",
                                                         "TERM 2 SLAVE", "TERM 3 MASTER", "TERM 4 NEPRIPOJEN"}));
    // What each COM port is, also where there is no room for a log.
    EXPECT_EQ(form->Indicator(3)->toolTip().toStdString(), "Term 3, COM2: " + device(2).substr(15));
    EXPECT_EQ(gui_test::Port(form->ui(), 0)->toolTip().toStdString(), "COM1: " + device(1).substr(15));
    EXPECT_EQ(form->Indicator(1)->brushColor(), colors::Aqua);
    EXPECT_EQ(form->Indicator(2)->brushColor(), colors::Aqua);
    EXPECT_EQ(form->Indicator(3)->brushColor(), colors::Lime);
    EXPECT_EQ(form->Indicator(4)->brushColor(), colors::Red);

    // Two positions on COM1 share its one wrapper.
    ASSERT_NE(form->Router().Terminal(1), nullptr);
    ASSERT_NE(form->Router().Terminal(2), nullptr);
    EXPECT_EQ(form->Router().Terminal(1)->SerPort(), form->Router().Port(0));
    EXPECT_EQ(form->Router().Terminal(2)->SerPort(), form->Router().Port(0));
    EXPECT_EQ(form->Router().Terminal(1)->Address(), 1);
    EXPECT_EQ(form->Router().Terminal(2)->Address(), 2);
    ASSERT_NE(form->Router().Terminal(4), nullptr) << "a silent terminal keeps its object";
    for (std::size_t p = 3; p < 8; ++p)
        EXPECT_EQ(form->Router().Port(p), nullptr);

    EXPECT_TRUE(dialogs.boxes.empty()) << "a port opened: no warning";
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(form->ui().Memo1->count(), 0);

    dialogs.answers = {true};
    EXPECT_TRUE(form->close());
    for (int n = 1; n <= 4; ++n)
        EXPECT_EQ(form->Router().Terminal(n), nullptr);
    for (int p = 0; p < 8; ++p)
        EXPECT_EQ(form->Router().Port(p), nullptr);
    EXPECT_EQ(box.log_lines().back(), "Stop programu");
}

TEST_F(LineUpTest, MissingDeviceAndUnconnectedPosition)
{
    simulate(1, {"--terminal", "1"});
    TDataCFG c = at_19200();
    c.Adr1 = 1; c.Port1 = 4; c.Pripojen1 = 1;  // COM5: no such device
    c.Adr2 = 1; c.Port2 = 0; c.Pripojen2 = 1;
    c.Adr3 = 1; c.Port3 = 0; c.Pripojen3 = 0;  // on COM1 but not connected
    configure(c);

    TForm1 form(dialogs);
    EXPECT_EQ(box.log_lines(), (std::vector<std::string>{"Start programu", box.work_dir_line(), "COM1 otevřen", device(1),
                                                         "Chyba RS232 cislo: -14  NO8250", "COM5 neotevřen",
                                                         "TERM 2 SLAVE"}));
    EXPECT_NE(gui_test::Port(form.ui(), 0)->toolTip().indexOf(QStringLiteral("(zařízení chybí)")), -1) << "COM5";
    EXPECT_EQ(form.Indicator(1)->brushColor(), colors::White);
    EXPECT_EQ(form.Indicator(2)->brushColor(), colors::Aqua);
    EXPECT_EQ(form.Indicator(3)->brushColor(), colors::White);
    EXPECT_EQ(form.Router().Terminal(1), nullptr);
    EXPECT_EQ(form.Router().Terminal(3), nullptr);
    ASSERT_NE(form.Router().Port(4), nullptr) << "a wrapper stays in its slot when its port failed";
    EXPECT_FALSE(form.Router().Port(4)->Opened());
    EXPECT_TRUE(dialogs.boxes.empty());
}

TEST_F(LineUpTest, NoPortOpenedShowsTheConfigurationTab)
{
    TDataCFG c = at_19200();
    c.Pripojen2 = 1;
    c.Port2 = 6;  // COM7: missing
    configure(c);
    TForm1 form(dialogs);
    // Why no port opened, and how a port is linked to its adapter.
    EXPECT_EQ(box.log_lines(),
              (std::vector<std::string>{"Start programu", box.work_dir_line(), "Chyba RS232 cislo: -14  NO8250",
                                        "COM7 neotevřen",
                                        "Porty pripojenych terminalu se neotevrely; COM port se k prevodniku pripoji "
                                        "prikazem stravon-ports map N ZARIZENI"}));
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].caption, QStringLiteral("Pozor!"));
    EXPECT_EQ(dialogs.boxes[0].text.section(QLatin1Char('\n'), 3),
              QStringLiteral("Porty připojených terminálů se neotevřely (COM7), důvod je v errorlog.txt.\n"
                             "COM port se k převodníku připojí příkazem\nstravon-ports map N ZAŘÍZENÍ"));
    EXPECT_TRUE(form.isVisible());
    EXPECT_EQ(form.ui().PageControl1->currentWidget(), form.ui().TabSheet2);
    for (int n = 1; n <= 4; ++n)
        EXPECT_EQ(form.Indicator(n)->brushColor(), colors::White);
}
