// stravon-termsim on a pty in real time: unplug and replug, modelled by the
// simulator killed and started again on the same COM link; a router that the
// system gives its processor back late.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "diag/diag.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "protocol/porcio.h"
#include "serial/com_port.h"
#include "serial/ser_port.h"
#include "tests/serial/pty_line.h"

using namespace std::chrono;

namespace {

// stravon-termsim on a pty that `link` names; killed with the object.
class Termsim {
public:
    Termsim(const std::string& link, std::vector<std::string> args) {
        const char* bin = std::getenv("STRAVON_BIN");
        const std::string exe = std::string(bin ? bin : ".") + "/stravon-termsim";
        args.insert(args.begin(), {exe, "--pty", "--link", link, "--quiet"});
        int out[2];
        if (::pipe(out) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            ::close(out[0]);
            ::close(out[1]);
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(exe.c_str(), argv.data());
            _exit(127);
        }
        ::close(out[1]);
        const auto until = steady_clock::now() + seconds(10);
        char c;
        while (steady_clock::now() < until) {  // the first line is the pty's path
            pollfd p{out[0], POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            if (::read(out[0], &c, 1) != 1 || c == '\n') break;
            path_ += c;
        }
        ::close(out[0]);
    }
    ~Termsim() { kill(); }
    void kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);  // no clean-up: its link is left dangling, as a by-id link is
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    const std::string& path() const { return path_; }

private:
    pid_t pid_ = -1;
    std::string path_;
};

double thread_cpu_ms() {
    struct rusage ru;
    ::getrusage(RUSAGE_THREAD, &ru);
    return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
}

TEST(Replug, TerminalLineKilledWhileBytesFlowIsReopenedOnItsLink) {
    testing_pty::TempConfig cfg;
    const std::string dir = cfg.root() + "/wd";
    std::filesystem::create_directories(dir);
    const std::string old_work_dir = Work_dir;
    Work_dir = dir;
    set_driver_log([](const std::string& text) { Log_error(text); });
    const std::string link = cfg.com_link(1);

    auto sim = std::make_unique<Termsim>(link, std::vector<std::string>{"--master", "20"});
    const std::string first = sim->path();
    ASSERT_FALSE(first.empty());
    TSer_Port port(0, 19200);
    ASSERT_TRUE(port.Opened());
    EXPECT_EQ(port.Device_path(), first);
    ASSERT_GE(port.GetCharWait(1000), 0);  // the master's polls flow

    sim->kill();
    for (int i = 0; i < 40 && !port.Device_gone(); ++i) port.GetCharWait(50);
    ASSERT_TRUE(port.Device_gone());

    // Gone: reads fail at once, waits last their time and do not spin.
    const double cpu0 = thread_cpu_ms();
    const auto start = steady_clock::now();
    EXPECT_EQ(port.GetChar(), -1);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(port.GetCharWait(40), -1);
    const double wall = duration<double, std::milli>(steady_clock::now() - start).count();
    const double cpu = thread_cpu_ms() - cpu0;
    EXPECT_GE(wall, 195);
    EXPECT_LT(cpu, 0.2 * wall) << cpu << " ms of processor over " << wall << " ms";

    struct stat st;
    if (::stat(link.c_str(), &st) != 0) {  // unless another pty took the number meanwhile
        EXPECT_FALSE(port.Revive());
    }

    sim = std::make_unique<Termsim>(link, std::vector<std::string>{});
    ASSERT_FALSE(sim->path().empty());
    ASSERT_TRUE(port.Revive());
    EXPECT_FALSE(port.Device_gone());
    EXPECT_EQ(port.Device_path(), sim->path());
    const TLinkSettings settings;
    TPorcio terminal(&port, 1, settings);
    EXPECT_TRUE(terminal.Ping());

    std::vector<std::string> texts;
    std::ifstream in(dir + "/errorlog.txt");
    for (std::string l; std::getline(in, l);) texts.push_back(l.substr(l.find(" - ") + 3));
    EXPECT_EQ(texts, (std::vector<std::string>{"COM1: zarizeni odpojeno (" + first + ")",
                                               platform::utf8_to_cp1250("COM1 otevřen"),
                                               "COM1: zarizeni " + sim->path()}));
    set_driver_log(nullptr);
    Work_dir = old_work_dir;
}

// A pty hands the frame over at once and the terminal answers 5 ms later,
// well before a 43-byte frame's wire time; the router, back 20 ms late from
// every sleep, must still count that 0x06 and send nothing twice.
TEST(Replug, OnAPtyAnAcknowledgementBeforeTheFramesWireTimeCounts) {
    class LateClock final : public platform::Clock {
    public:
        uint32_t tick_ms() override { return real_.tick_ms(); }
        uint64_t now_us() override { return real_.now_us(); }
        void sleep_ms(uint32_t ms) override { real_.sleep_ms(ms + 20); }
        void sleep_us(uint64_t us) override { real_.sleep_us(us + 20'000); }

    private:
        platform::SteadyClock real_;
    } late;
    testing_pty::TempConfig cfg;
    Termsim sim(cfg.com_link(1), {"--ack-delay", "5"});
    ASSERT_FALSE(sim.path().empty());
    TSer_Port port(0, 19200);
    ASSERT_TRUE(port.Opened());
    const TLinkSettings settings;
    TPorcio terminal(&port, 1, settings);
    platform::set_clock(&late);
    for (int i = 0; i < 3; ++i) {
        char line[255] = "R00011A2B3C4D 11111111111111000000000000000NNNNNNNNNNNNNNNovak";
        EXPECT_EQ(terminal.Transact(line, sizeof line), 0) << "command " << i;
    }
    platform::set_clock(nullptr);
}

}  // namespace
