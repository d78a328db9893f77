// The port wrapper over a real pty: what an open leaves on the tty, and the
// line that says why an open failed.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "diag/diag.h"
#include "serial/com_port.h"
#include "serial/ser_port.h"
#include "tests/serial/pty_line.h"

using testing_pty::eventually;
using testing_pty::Pty;
using testing_pty::TempConfig;

namespace {

std::string first_line(const std::string& path) {
    std::ifstream in(path);
    std::string s;
    std::getline(in, s);
    return s;
}

void write_file(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << text << "\n";
}

class PtyPort : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        cfg.map(1, pty.slave());
        dir = cfg.root() + "/wd";
        std::filesystem::create_directories(dir);
        old_work_dir = Work_dir;
        Work_dir = dir;
    }
    void TearDown() override {
        close_all_ports();
        ::unsetenv("STRAVON_SYSFS_ROOT");
        Work_dir = old_work_dir;
    }
    // The log's texts, without their time stamps.
    std::vector<std::string> log() const {
        std::vector<std::string> texts;
        std::ifstream in(dir + "/errorlog.txt");
        for (std::string l; std::getline(in, l);) texts.push_back(l.substr(l.find(" - ") + 3));
        return texts;
    }
    termios slave_settings() const {
        termios t{};
        EXPECT_EQ(::tcgetattr(pty.master(), &t), 0);
        return t;
    }

    TempConfig cfg;
    Pty pty;
    std::string dir, old_work_dir;
};

TEST_F(PtyPort, OpenLeavesPlainEightNoneOneWhateverTheTtyHadEvenWhenTheRateIsRefused) {
    termios t = slave_settings();
    t.c_cflag |= CSTOPB | CRTSCTS;
    t.c_cflag &= ~CLOCAL;
    t.c_iflag |= IXON | IXOFF | IXANY;
    ASSERT_EQ(::tcsetattr(pty.master(), TCSANOW, &t), 0);
    ASSERT_NE(slave_settings().c_cflag & CSTOPB, 0u);

    auto expect_plain = [&](const char* when) {
        const termios s = slave_settings();
        EXPECT_EQ(s.c_cflag & CSIZE, tcflag_t(CS8)) << when;
        EXPECT_EQ(s.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u) << when;
        EXPECT_EQ(s.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD)) << when;
        EXPECT_EQ(s.c_iflag & (IXON | IXOFF | IXANY), 0u) << when;
    };
    {
        TSer_Port port(0, 115201);
        EXPECT_FALSE(port.Opened());
        EXPECT_EQ(port.LastError(), ILLEGALBAUDRATE);
        expect_plain("refused rate");
    }
    TSer_Port port(0, 19200);
    EXPECT_TRUE(port.Opened());
    expect_plain("accepted rate");
    EXPECT_EQ(port.Device_path(), pty.slave());
    EXPECT_EQ(port.Device_line(), "COM1: zarizeni " + pty.slave());
}

// CI runs as root, so the user without access is nobody, in a child.
TEST_F(PtyPort, PermissionDeniedNamesTheGroupAndTheRemedy) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to try the open as another user (nobody)";
    const struct passwd* pw = ::getpwnam("nobody");
    const struct group* tty = ::getgrgid(5);
    if (!pw || !tty) GTEST_SKIP() << "no user nobody or no group 5 on this machine";
    const uid_t nobody = pw->pw_uid;
    const gid_t nobody_group = pw->pw_gid;
    const std::string user = pw->pw_name;
    const std::string tty_name = tty->gr_name;
    const std::string nobody_group_name = ::getgrgid(nobody_group) ? ::getgrgid(nobody_group)->gr_name : "";

    // The child must reach the COM link and write the log.
    ::chmod(cfg.root().c_str(), 0755);
    ::chmod(dir.c_str(), 0777);
    ASSERT_EQ(::chmod(pty.slave().c_str(), 0600), 0);

    struct Case {
        gid_t device_group, child_group;
        std::vector<gid_t> supplementary;
        std::string remedy;
    };
    const Case cases[] = {
        {5, nobody_group, {}, "pridejte ho (sudo usermod -aG " + tty_name + " " + user + ")"},
        // A member by the user's own group, yet this login runs without it.
        {nobody_group, 5, {}, "uzivatel " + user + " je ve skupine " + nobody_group_name + ", ale toto prihlaseni jeste ne"},
        {nobody_group, nobody_group, {}, "(skupina " + nobody_group_name + ", prava 0600) nepusti ani cleny skupiny"},
        // In the group through a supplementary group of this login.
        {5, nobody_group, {5}, "(skupina " + tty_name + ", prava 0600) nepusti ani cleny skupiny"},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(dir + "/errorlog.txt");
        ASSERT_EQ(::chown(pty.slave().c_str(), 0, c.device_group), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            if (::setgroups(c.supplementary.size(), c.supplementary.data()) != 0 || ::setgid(c.child_group) != 0 ||
                ::setuid(nobody) != 0)
                _exit(2);
            TSer_Port port(0, 19200);
            _exit(port.Opened() ? 1 : 0);
        }
        int status = -1;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        const std::vector<std::string> lines = log();
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0], "Chyba RS232 cislo: -3  INUSE");
        EXPECT_EQ(lines[1].rfind("COM1: pristup k " + pty.slave() + " odepren: ", 0), 0u) << lines[1];
        EXPECT_NE(lines[1].find(c.remedy), std::string::npos) << lines[1];
    }
}

TEST_F(PtyPort, PortHeldOpenByAnotherProgramIsInUseAndNamesIt) {
    const pid_t child = ::fork();
    if (child == 0) {
        // A terminal program: the port open, no lock, nothing else of ours.
        const int fd = ::open(pty.slave().c_str(), O_RDWR | O_NOCTTY);
        ::close(pty.master());
        ::dup2(fd, 0);
        ::execlp("sleep", "sleep", "30", static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_TRUE(eventually([&] { return first_line("/proc/" + std::to_string(child) + "/comm") == "sleep"; }, 5000));
    {
        TSer_Port port(0, 19200);
        EXPECT_FALSE(port.Opened());
        EXPECT_EQ(port.LastError(), INUSE);
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(log(), (std::vector<std::string>{"Chyba RS232 cislo: -3  INUSE",
                                               "COM1: port ma otevreny program sleep (pid " + std::to_string(child) + ")"}));
    TSer_Port port(0, 19200);  // free again
    EXPECT_TRUE(port.Opened());
}

TEST_F(PtyPort, SysfsTellsOfTheConsoleAnAbsentUartAndASlowAdapter) {
    const std::string sys = cfg.root() + "/sys";
    const std::string tty_dir = sys + "/class/tty/" + std::filesystem::path(pty.slave()).filename().string();
    ::setenv("STRAVON_SYSFS_ROOT", sys.c_str(), 1);

    write_file(sys + "/class/tty/console/active", "tty0 " + std::filesystem::path(pty.slave()).filename().string());
    {
        TSer_Port port(0, 19200);
        EXPECT_EQ(port.LastError(), INUSE);
    }
    EXPECT_NE(slave_settings().c_lflag & ECHO, 0u);  // never opened: an open sets the tty raw
    std::filesystem::remove(sys + "/class/tty/console/active");

    write_file(tty_dir + "/type", "0");
    {
        TSer_Port port(0, 19200);
        EXPECT_EQ(port.LastError(), NO8250);
    }
    EXPECT_NE(slave_settings().c_lflag & ECHO, 0u);

    write_file(tty_dir + "/type", "4");
    write_file(tty_dir + "/device/latency_timer", "16");
    {
        TSer_Port port(0, 19200);
        EXPECT_TRUE(port.Opened());
        port.Log_opened();
    }
    write_file(tty_dir + "/device/latency_timer", "1");
    {
        TSer_Port port(0, 19200);
        EXPECT_TRUE(port.Opened());
        port.Log_opened();
    }
    EXPECT_EQ(log(), (std::vector<std::string>{
                         "Chyba RS232 cislo: -3  INUSE",
                         "COM1: " + pty.slave() + " je systemova konzole, neotevira se",
                         "Chyba RS232 cislo: -14  NO8250",
                         "COM1: " + pty.slave() + " nema UART (takovy port v pocitaci neni)",
                         "COM1 otev\xF8" "en",
                         "COM1: zarizeni " + pty.slave(),
                         "COM1: prevodnik " + pty.slave() +
                             " predava prijate bajty az po 16 ms (latency_timer); pravidlo udev z balicku ho "
                             "nastavi na 1 ms, jinak: echo 1 | sudo tee " + tty_dir + "/device/latency_timer",
                         "COM1 otev\xF8" "en",
                         "COM1: zarizeni " + pty.slave(),
                     }));
}

}  // namespace
