// Requests and the operator's commands through the router core, against
// simulated terminals on virtual time.
#ifndef _WIN32
#include <sys/wait.h>
#endif

#include "platform/com_path.h"
#include "platform/process.h"
#include "platform/serial_device.h"
#include "protocol/porcio.h"
#include "router_fixture.h"
#include "serial/ser_port.h"

using namespace router_test;

namespace {

// Q line for four weeks: days 1-14 main "1", breakfast "0", dinner "N";
// days 15-28 main "2", breakfast "A", dinner "*"; name and credit as tail.
std::string FourWeekLine(char letter, const std::string& number) {
    std::string l(1, letter);
    l += number + "1A2B3C4D ";
    l += std::string(14, '1') + std::string(14, '0') + std::string(14, 'N');
    l += std::string(14, '2') + std::string(14, 'A') + std::string(14, '*');
    l += "Novak         ";
    l += " +00100";
    return l;
}

}  // namespace

TEST_F(RouterTest, FourWeekLinesAreSplitAndReadBackAsJoinedLines) {
    TDataCFG c = Config();
    c.Kredit1 = 1;
    Start(c);
    const size_t before = com1.frames().size();
    Request(FourWeekLine('Q', "0007") + "\r\nY\r\n");
    EXPECT_FALSE(Exists("pozad.txt"));

    const auto f = Commands(com1, before);
    ASSERT_EQ(f.size(), 3u);
    std::vector<uint8_t> head = {0x00, 0x07};
    for (char ch : std::string("1A2B3C4D ")) head.push_back(static_cast<uint8_t>(ch));
    const std::vector<uint8_t> name = Bytes("Novak         ");
    std::vector<uint8_t> first = {'X'};
    first.insert(first.end(), head.begin(), head.end());
    first.insert(first.end(), 14, 0x56);  // 3*25 + 2*5 + 1
    first.insert(first.end(), name.begin(), name.end());
    first.insert(first.end(), {' ', 0x00, 0x64});
    std::vector<uint8_t> second = {'q'};
    second.insert(second.end(), head.begin(), head.end());
    second.insert(second.end(), 14, 0x91);  // 5*25 + 4*5 + 0
    second.insert(second.end(), name.begin(), name.end());
    EXPECT_EQ(f[0], Frame(first));
    EXPECT_EQ(f[1], Frame(second));
    EXPECT_EQ(f[2], "01 04 59 5E");

    const std::string line = "Q00071A2B3C4D " + std::string(14, '1') + std::string(14, '0') + std::string(14, 'N') +
                             std::string(14, '2') + std::string(14, 'A') + std::string(14, '*');
    EXPECT_EQ(Read("vystup.txt"), line + "\r\n");
    EXPECT_EQ(view.memo, std::vector<std::string>{line});
    EXPECT_EQ(Read("porcom.sta"), "3,2\n");
    EXPECT_EQ(view.status, "3,2");
    EXPECT_EQ(view.busy_shown, (std::vector<bool>{true, false}));
    // The record count is logged in Windows-1250.
    EXPECT_NE(Read("errorlog.txt").find("Na\xE8teno: 2 rec."), std::string::npos);
    // The raw block lies in the working directory too.
    EXPECT_EQ(Read("binarni.bin").size(), 48u);
}

TEST_F(RouterTest, SelectionRequestLeavesOutputAndStatusAlone) {
    Start();
    Write("vystup.txt", "old output\r\n");
    Write("porcom.sta", "7,7\n");
    Request("TERM 2\r\nY\r\n");
    EXPECT_EQ(view.selected, 1);
    EXPECT_FALSE(Exists("pozad.txt"));
    EXPECT_EQ(Read("vystup.txt"), "old output\r\n");
    EXPECT_EQ(Read("porcom.sta"), "7,7\n");

    // Position 2 has no terminal: a command request reaches none.
    const size_t before = com1.frames().size();
    Request("Y\r\n");
    EXPECT_EQ(Read("porcom.sta"), "-1,-1\n");
    EXPECT_EQ(Read("vystup.txt"), "");
    EXPECT_EQ(com1.frames().size(), before);

    // TERM 0 selects nothing at all, TERM9 the last position; a lower-case
    // "term" is a command like any other.
    Request("TERM 0");
    EXPECT_EQ(view.selected, -1);
    Request("S");
    EXPECT_EQ(Read("porcom.sta"), "-1,-1\n");
    Request("TERM9");
    EXPECT_EQ(view.selected, 3);
    Request("TERM 1");
    Request("S");
    EXPECT_EQ(Read("porcom.sta"), "1,1\n");
    Request("term 2");
    EXPECT_EQ(view.selected, 0);
    EXPECT_EQ(Commands(com1).back(), Frame(Bytes("term 2")));
}

TEST_F(RouterTest, EmptyRequestGivesMinusOnesAndNoOutputWrite) {
    Start();
    Request("");
    EXPECT_FALSE(Exists("pozad.txt"));
    EXPECT_EQ(Read("porcom.sta"), "-1,-1\n");
    EXPECT_FALSE(Exists("vystup.txt"));
    EXPECT_EQ(view.busy_shown, (std::vector<bool>{true, false}));
}

TEST_F(RouterTest, LinesOf97And98CharactersAndCrOnlyLineEnds) {
    Start();
    const size_t before = com1.frames().size();
    const std::string l97 = "A" + std::string(96, 'b');
    const std::string l98q = "Q0001" + std::string(8, '0') + " " + std::string(84, '*');
    const std::string l98a = "A" + std::string(97, 'c');
    Request(l97 + "\r" + l98q + "\r" + l98a + "\r");
    const auto f = Commands(com1, before);
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(f[0], Frame(Bytes(l97)));  // a 100-byte frame, sent whole
    EXPECT_EQ(f[1].substr(0, 8), "01 2B 58");  // Q -> X, 40-byte payload
    EXPECT_EQ(f[2].substr(0, 8), "01 2B 71");  // then q; the 98-character "A" line is not sent
    EXPECT_EQ(Read("porcom.sta"), "3,0\n");
}

TEST_F(RouterTest, WrongLengthBlocksAreReadAgainAndNotCounted) {
    Start();
    view.read_attempts = 3;
    com1.terminal(1)->add_fault({sim::FaultKind::WrongLength, -1, -1});
    const size_t before = com1.frames().size();
    Request("R0001" + std::string(8, '0') + " " + std::string(42, '*') + "Novak         \r\nY\r\n");
    const auto f = Commands(com1, before);
    ASSERT_EQ(f.size(), 4u);
    for (size_t i = 1; i < 4; ++i) EXPECT_EQ(f[i], "01 04 59 5E");
    EXPECT_EQ(view.read_attempts_shown, (std::vector<int>{1, 1, 2, 3}));
    EXPECT_EQ(Read("porcom.sta"), "1,0\n");
    EXPECT_EQ(Read("vystup.txt"), "");
    // Said once, after the last attempt.
    EXPECT_EQ(Log().back(), "TERM 1: prikaz Y: blok dat 23 B skoncil mezerou 40 ms, neni celym poctem zaznamu po 24 B");
    EXPECT_EQ(Log().size(), 6u) << "one line for the three reads";
}

TEST_F(RouterTest, FailedExchangesSayWhyAndAreNotCounted) {
    for (uint16_t n : {1, 2, 3}) {
        sim::Diner d;
        d.number = n;
        com1.terminal(1)->store_diner(d);
    }
    Start();
    sim::Terminal& t = *com1.terminal(1);
    // The fault comes after the run's link test, for every attempt of the command.
    const auto request = [&](const std::string& text, sim::FaultKind fault) {
        t.clear_faults();
        const size_t frames = com1.frames().size();
        OnEvents([&, frames, fault] {
            if (t.faults().empty() && com1.frames().size() > frames) t.add_fault({fault, -1, 0});
        });
        const size_t lines = Log().size();
        Request(text);
        t.clear_faults();
        const auto log = Log();
        EXPECT_EQ(log.size(), lines + 1) << "one line per failed command";
        return log.back();
    };
    // Noise before the block is no "nothing there": read again, never counted.
    EXPECT_EQ(request("Y\r\n", sim::FaultKind::Noise),
              "TERM 1: prikaz Y: blok dat 73 B nezacina zaznamem (prvni bajt 00)");
    EXPECT_EQ(Read("porcom.sta"), "0,0\n");
    EXPECT_EQ(request("S\r\n", sim::FaultKind::Noise),
              "TERM 1: prikaz S: blok dat 28 B nezacina zaznamem (prvni bajt 00)");
    EXPECT_EQ(Read("porcom.sta"), "0,0\n");
    EXPECT_EQ(request("A1\r\n", sim::FaultKind::LoseBytes),
              "TERM 1: prikaz A1: nepotvrzen ani po 2 pokusech: terminal neodpovida");
    EXPECT_EQ(request("A1\r\n", sim::FaultKind::Refuse), "TERM 1: prikaz A1: odmitnut: misto 06 prijat bajt 15 (pokusu 2)");
    EXPECT_EQ(Read("porcom.sta"), "0,0\n");

    // Once the noise has gone, the block comes whole at the next attempt.
    OnEvents(nullptr);
    t.add_fault({sim::FaultKind::Noise, 1, 0});
    Request("Y\r\n");
    EXPECT_EQ(Read("porcom.sta"), "1,3\n");
    EXPECT_EQ(view.memo.size(), 3u);

    // The 0x06 lost and the block streaming on: the frame went out and was
    // not acknowledged, though the next attempt found no quiet to go out in.
    for (uint16_t n = 4; n <= 250; ++n) {
        sim::Diner d;
        d.number = n;
        t.store_diner(d);
    }
    const std::string lost = request("Y\r\n", sim::FaultKind::LoseAck);
    EXPECT_EQ(lost.rfind("TERM 1: prikaz Y: odmitnut: misto 06 prijat bajt ", 0), 0u) << lost;
    EXPECT_NE(lost.find(" (pokusu 2)"), std::string::npos) << lost;

    // Stopped while its acknowledgement is awaited: the frame did go out.
    const size_t frames = com1.frames().size();
    OnEvents([&, frames] {
        if (t.faults().empty() && com1.frames().size() > frames) t.add_fault({sim::FaultKind::NoAck, -1, 0});
        if (!Commands(com1, frames).empty()) router->Close_requested(false);
    });
    Request("A1\r\n");
    EXPECT_EQ(Log().back(), "TERM 1: prikaz A1: nepotvrzen: program se ukoncuje");
}

TEST_F(RouterTest, AReadCutByAStopIsNotDelivered) {
    for (uint16_t n = 1; n <= 100; ++n) {
        sim::Diner d;
        d.number = n;
        com1.terminal(1)->store_diner(d);
    }
    Start();
    // Within the block of 2400 bytes (1.25 s on the wire from 30 ms after the frame).
    const size_t before = com1.frames().size();
    OnEvents([&] {
        if (router->State() == TRunState::Running && !Commands(com1, before).empty() &&
            clock.now_us() > com1.frames().back().end_us + 1'000'000)
            router->Close_requested(false);
    });
    Request("Y\r\nS\r\n");
    EXPECT_EQ(Commands(com1, before), std::vector<std::string>{"01 04 59 5E"}) << "nothing sent after the stop";
    EXPECT_EQ(Read("porcom.sta"), "0,0\n") << "written for what was done: nothing whole";
    EXPECT_TRUE(Exists("vystup.txt"));
    const std::string said = Log().back();
    EXPECT_EQ(said.rfind("TERM 1: prikaz Y: cteni bloku dat preruseno po ", 0), 0u) << said;
    EXPECT_NE(said.find(" B: program se ukoncuje"), std::string::npos) << said;
}

TEST_F(RouterTest, SilentTerminalGetsNothingSent) {
    com1.terminal(1)->add_fault({sim::FaultKind::Dead, -1, 0});
    Start();
    EXPECT_EQ(view.terminal[1], TTerminalState::Unreachable);
    EXPECT_EQ(Log().back(), "TERM 1 NEPRIPOJEN");
    const size_t before = com1.frames().size();
    Request("Y\r\nS\r\n");
    EXPECT_EQ(Read("porcom.sta"), "0,0\n");
    EXPECT_EQ(Read("vystup.txt"), "");
    EXPECT_EQ(Log().back(), "TERM 1 NEPRIPOJEN");
    // Only the link test's probes reached the line.
    EXPECT_TRUE(Commands(com1, before).empty());
    EXPECT_GT(com1.frames().size(), before);
}

TEST_F(RouterTest, UnconnectedPositionGivesEmptyOutput) {
    TDataCFG c = Config();
    c.Pripojen1 = 0;
    c.Adr2 = 1;
    c.Port2 = 0;
    c.Pripojen2 = 1;
    Start(c);
    Request("Y\r\n");  // position 1 is selected and not connected
    EXPECT_EQ(Read("porcom.sta"), "-1,-1\n");
    EXPECT_TRUE(Exists("vystup.txt"));
    EXPECT_EQ(Read("vystup.txt"), "");
}

TEST_F(RouterTest, RequestStatusSaysWhatThisRequestDid) {
    Start();
    // A diner line too long for any record: logged in part only.
    Request("S\r\nQ" + std::string(299, '1') + "\r\n");
    EXPECT_EQ(Read("porcom.sta"), "1,1\n");
    auto lines = Log();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "Prilis dlouhy radek (300 znaku) nebyl odeslan:");
    EXPECT_EQ(lines.back(), "Q" + std::string(199, '1') + "... (300 znaku)");

    // An answer that cannot be written is no answer: the old one must not pass for it.
    std::filesystem::remove(Work("vystup.txt"));
    std::filesystem::create_directory(Work("vystup.txt"));
    Request("S\r\n");
    EXPECT_EQ(Read("porcom.sta"), "-1,-1\n");
    EXPECT_NE(Log().back().find("vystup.txt"), std::string::npos);
    std::filesystem::remove(Work("vystup.txt"));

    // A terminal that does not answer: nothing sent, and no counts of the run before.
    com1.terminal(1)->add_fault({sim::FaultKind::Dead, -1, 0});
    Request("A1\r\n");
    EXPECT_EQ(Read("porcom.sta"), "0,0\n");
    EXPECT_EQ(Log().back(), "TERM 1 NEPRIPOJEN");
    EXPECT_EQ(Read("vystup.txt"), "");
}

TEST_F(RouterTest, OperatorCommandsAndTheirFiles) {
    TDataCFG c = Config();
    c.Pripojen2 = 1;  // connected, on a port that does not open
    c.Port2 = 4;
    Start(c);

    // A typed command: the labels of the run before are cleared, its
    // attempts shown, the output and the status written.
    view.status = "old";
    router->Send_command("A1");
    EXPECT_EQ(Commands(com1), (std::vector<std::string>{"01 05 41 31 78"}));
    EXPECT_EQ(view.read_attempts_shown, (std::vector<int>{1}));
    EXPECT_EQ(view.write_attempts_shown, (std::vector<int>{1}));
    EXPECT_EQ(Read("porcom.sta"), "1,0\n");
    EXPECT_EQ(Read("vystup.txt"), "");
    EXPECT_TRUE(view.busy_shown.empty()) << "a typed command leaves the picture alone";

    // A position without a terminal: nothing at all.
    std::filesystem::remove(Work("porcom.sta"));
    view.selected = 1;
    router->Send_command("A2");
    EXPECT_EQ(Commands(com1).size(), 1u);
    EXPECT_FALSE(Exists("porcom.sta"));
    EXPECT_EQ(view.status, "1,0");
    view.selected = 0;

    // A command file: its lines, split and sent, with the busy picture.
    Write("prikazy.cfg", "A1\rA2\r\rQ0001ABCDEFGH " + std::string(84, '*') + "\r");
    view.busy_shown.clear();
    router->Run_command_file(Work("prikazy.cfg").string());
    const auto sent = Commands(com1);
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_EQ(sent[1], "01 05 41 31 78");
    EXPECT_EQ(sent[2], "01 05 41 32 79");
    EXPECT_EQ(sent[3].substr(0, 8), "01 2B 58");
    EXPECT_EQ(sent[4].substr(0, 8), "01 2B 71");
    EXPECT_EQ(Read("porcom.sta"), "4,0\n");
    EXPECT_EQ(view.busy_shown, (std::vector<bool>{true, false}));

    // A file that cannot be read ends the action with an error; the busy
    // picture stays until the next action, and the run is over.
    view.busy_shown.clear();
    EXPECT_THROW(router->Run_command_file(Work("missing.cfg").string()), TRouterError);
    EXPECT_EQ(view.busy_shown, std::vector<bool>{true});
    EXPECT_EQ(router->State(), TRunState::Idle);
    EXPECT_EQ(view.running_shown.back(), false);
}

TEST_F(RouterTest, TestMasterRecoloursByAFreshLinkTest) {
    TDataCFG c = Config();
    c.Pripojen2 = 1;
    c.Port2 = 4;  // its port does not open
    Start(c);
    EXPECT_EQ(view.terminal[1], TTerminalState::Slave);
    view.terminal.clear();
    com1.terminal(1)->add_fault({sim::FaultKind::Dead, -1, 0});
    router->Test_master();
    EXPECT_EQ(view.terminal[1], TTerminalState::Unreachable);
    EXPECT_EQ(view.terminal[2], TTerminalState::None) << "its port did not open";
    EXPECT_EQ(view.terminal[3], TTerminalState::None);
    EXPECT_FALSE(Exists("porcom.sta")) << "Test Master writes no status";
}

TEST_F(RouterTest, LineUpLogsPortsThenTerminalsAndSharesAPort) {
    com1.add_terminal(2);
    com2.add_terminal(3);
    com2.set_master(25);
    TDataCFG c = Config();
    c.Adr2 = 2, c.Port2 = 0, c.Pripojen2 = 1;
    c.Adr3 = 3, c.Port3 = 1, c.Pripojen3 = 1;
    c.Adr4 = 9, c.Port4 = 4, c.Pripojen4 = 1;  // COM5: no device
    Start(c);
    EXPECT_EQ(Log(), (std::vector<std::string>{"Start programu", "Pracovni adresar: " + Work_dir, "COM1 otevřen",
                                               "COM1: zarizeni " + platform::com_device_path(1), "COM2 otevřen",
                                               "COM2: zarizeni " + platform::com_device_path(2),
                                               "Chyba RS232 cislo: -14  NO8250", "COM5 neotevřen", "TERM 1 SLAVE",
                                               "TERM 2 SLAVE", "TERM 3 MASTER"}));
    EXPECT_EQ(view.terminal[3], TTerminalState::Master);
    EXPECT_EQ(view.terminal.count(4), 0u) << "no terminal object, no colour change";
    EXPECT_EQ(router->Terminal(1)->SerPort(), router->Port(0));
    EXPECT_EQ(router->Terminal(2)->SerPort(), router->Port(0));
    EXPECT_EQ(router->Terminal(4), nullptr);
    ASSERT_NE(router->Port(4), nullptr) << "a wrapper stays in its slot when its port failed";
    EXPECT_FALSE(router->Port(4)->Opened());
    EXPECT_EQ(view.no_port_warnings, 0);
    EXPECT_TRUE(view.memo.empty());
}

TEST_F(RouterTest, NoPortOpenedWarns) {
    TDataCFG c = Config();
    c.Port1 = 6;  // COM7: missing
    Start(c);
    EXPECT_EQ(view.no_port_warnings, 1);
    // Why, and what links a COM port to an adapter.
    EXPECT_EQ(Log(), (std::vector<std::string>{"Start programu", "Pracovni adresar: " + Work_dir,
                                               "Chyba RS232 cislo: -14  NO8250", "COM7 neotevřen",
                                               std::string("Porty pripojenych terminalu se neotevrely; ") +
                                                   platform::how_to_link_port()}));
    Request("S\r\n");
    EXPECT_EQ(Read("porcom.sta"), "-1,-1\n");
}

TEST_F(RouterTest, RunsNeverNestAndACloseWaitsForTheRunsEnd) {
    Start();
    bool inside = false;
    OnEvents([&] {
        if (inside || !router->Running()) return;
        inside = true;
        Write("pozad.txt", "S\r\n");
        router->Process_request(Work("pozad.txt").string());
        EXPECT_TRUE(Exists("pozad.txt")) << "the request waits for the run's end";
        const size_t frames = com1.frames().size();
        router->Send_command("A9");
        router->Test_master();
        EXPECT_EQ(com1.frames().size(), frames) << "no run inside a run";
        EXPECT_EQ(router->Close_requested(true), TCloseStep::Stay);
        EXPECT_FALSE(router->Released()) << "nothing is released under a running command";
    });
    router->Send_command("A1");
    EXPECT_TRUE(inside);
    EXPECT_EQ(Commands(com1), std::vector<std::string>{"01 05 41 31 78"});
    // The close asked for meanwhile is due now, with its question.
    EXPECT_EQ(view.close_now, 1);
    EXPECT_EQ(router->Close_requested(true), TCloseStep::Ask);
    router->Process_request(Work("pozad.txt").string());
    EXPECT_TRUE(Exists("pozad.txt")) << "nor while the question is open";
    EXPECT_EQ(router->Close_answered(false), TCloseStep::Stay);
    EXPECT_EQ(router->State(), TRunState::Idle);
    // The request left in place is taken now.
    router->Process_request(Work("pozad.txt").string());
    EXPECT_FALSE(Exists("pozad.txt"));
    EXPECT_EQ(Read("porcom.sta"), "1,1\n");
}

TEST_F(RouterTest, TerminationEndsARunAtOnceAndClosesWithoutTheQuestion) {
    Start();
    const size_t before = com1.frames().size();
    // In the 3 s pause after the acknowledged "C".
    OnEvents([&] {
        if (!Commands(com1, before).empty() && clock.now_us() > com1.frames().back().end_us + 100'000 &&
            router->State() == TRunState::Running) {
            EXPECT_EQ(router->Close_requested(false), TCloseStep::Stay);
        }
    });
    const uint64_t t0 = clock.now_us();
    Request("C\r\nA1\r\n");
    EXPECT_LT(clock.now_us() - t0, 1'000'000u) << "the pause after C is not waited out";
    EXPECT_EQ(Commands(com1, before), std::vector<std::string>{"01 04 43 48"}) << "no further command";
    EXPECT_EQ(Read("porcom.sta"), "1,0\n") << "the status says what was done";
    EXPECT_TRUE(Exists("vystup.txt"));
    EXPECT_EQ(view.close_now, 1);
    EXPECT_EQ(router->State(), TRunState::Closing);
    EXPECT_EQ(router->Close_requested(true), TCloseStep::Close) << "no question any more";
    EXPECT_TRUE(router->Released());
    EXPECT_EQ(Log().back(), "Stop programu");

    // A termination while the question is open ends the program whatever the answer.
    TestView v2;
    TRouter second(v2);
    EXPECT_EQ(second.Close_requested(true), TCloseStep::Ask);
    EXPECT_EQ(second.Close_requested(false), TCloseStep::Stay);
    EXPECT_EQ(second.Close_answered(false), TCloseStep::Close);
    EXPECT_TRUE(second.Released());
}

#ifndef _WIN32
TEST_F(RouterTest, AnExchangeThatCannotBeRaisedSaysWhyOnce) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to run the router as an ordinary user";
    Start();
    view.priority = true;
    std::filesystem::permissions(Work("").parent_path().parent_path(), std::filesystem::perms::all);
    std::filesystem::permissions(Work(""), std::filesystem::perms::all);
    std::filesystem::permissions(Work("errorlog.txt"), std::filesystem::perms::all);
    const pid_t child = fork();
    if (child == 0) {
        // An ordinary user without RealtimeKit or a nice limit of its own.
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
        platform::set_priority_broker(nullptr);
        Request("A1\r\nA2\r\n");
        Request("A3\r\n");
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::vector<std::string> said;
    for (const std::string& line : Log())
        if (line.rfind("Prioritu komunikace s terminalem nelze zvysit: ", 0) == 0) said.push_back(line);
    ASSERT_EQ(said.size(), 1u) << "once, not for every exchange";
    EXPECT_EQ(said[0], "Prioritu komunikace s terminalem nelze zvysit: setpriority: Permission denied (RLIMIT_NICE 0)");
    EXPECT_EQ(Read("porcom.sta"), "1,0\n") << "the commands went out all the same";
}
#endif
