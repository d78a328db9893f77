// The request cycle end to end: the real router offscreen, the terminal
// simulator on a pty mapped as COM1, request files dropped into the
// working directory as the canteen information system drops them.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>

#include "tests/integration/harness.h"

using namespace itest;
using namespace std::chrono_literals;

namespace {

std::string hex(const std::vector<uint8_t>& bytes) {
    std::string s;
    char b[4];
    for (uint8_t v : bytes) {
        std::snprintf(b, sizeof b, "%02X", v);
        if (!s.empty()) s += ' ';
        s += b;
    }
    return s;
}

std::string frame_hex(uint8_t address, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> f = {address, static_cast<uint8_t>(payload.size() + 3)};
    f.insert(f.end(), payload.begin(), payload.end());
    unsigned sum = 0;
    for (uint8_t v : f) sum += v;
    f.push_back(static_cast<uint8_t>(sum));
    return hex(f);
}

std::vector<uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }

// Q line for four weeks: days 1-14 main "1", breakfast "0", dinner "N";
// days 15-28 main "2", breakfast "A", dinner "*"; name and credit as tail.
std::string four_week_line(char letter, const std::string& number) {
    std::string l(1, letter);
    l += number + "1A2B3C4D ";
    l += std::string(14, '1') + std::string(14, '0') + std::string(14, 'N');
    l += std::string(14, '2') + std::string(14, 'A') + std::string(14, '*');
    l += "Novak         ";
    l += " +00100";
    return l;
}

struct Router {
    Sandbox box;
    Child sim;
    Child router;
    std::string sim_log;

    explicit Router(Record rec = Record(), std::vector<std::string> sim_args = {}) {
        box.write_record(rec);
        sim_log = box.root + "/sim.log";
        // The answer comes in the middle of the router's window for it, so a
        // busy machine that delays either process does not lose it.
        sim_args.insert(sim_args.end(), {"--log", sim_log});
        sim_args.insert(sim_args.end(), {"--ack-delay", "20"});
        sim = box.start_termsim(1, sim_args);
        router = box.start_router();
        EXPECT_TRUE(wait_for_log(box, "TERM ", 15000)) << box.log() << router.output();
    }
    ~Router() {
        router.signal(SIGTERM);
        EXPECT_EQ(router.wait(15000), 0) << router.output();
    }

    // Runs stravon-porcio and returns what it printed; fails the test on a time-out.
    std::string request(const std::vector<std::string>& lines, const std::string& eol = "crlf",
                        bool with_output = true) {
        std::vector<std::string> argv = {bin_dir() + "/stravon-porcio", "--dir", box.work, "--request",
                                         "pozad.txt", "--timeout", "60", "--eol", eol};
        if (with_output) argv.insert(argv.end(), {"--output", "vystup.txt"});
        argv.push_back("--");
        argv.insert(argv.end(), lines.begin(), lines.end());
        Child p(argv, box.env(), box.work);
        EXPECT_EQ(p.wait(90000), 0) << p.output() << "\nlog:\n" << box.log();
        return p.output();
    }
    // Puts a request in place directly and waits until the router took it.
    void drop(const std::string& text) {
        write_file(box.work + "/.part", text);
        std::rename((box.work + "/.part").c_str(), (box.work + "/pozad.txt").c_str());
        auto t0 = std::chrono::steady_clock::now();
        while (exists(box.work + "/pozad.txt") && std::chrono::steady_clock::now() - t0 < 20s)
            std::this_thread::sleep_for(10ms);
        EXPECT_FALSE(exists(box.work + "/pozad.txt"));
    }
    std::string status() const { return read_file(box.work + "/porcom.sta"); }
    std::string output() const { return read_file(box.work + "/vystup.txt"); }
    std::vector<std::string> frames() const { return frames_in_log(read_file(sim_log)); }
    // Waits until the router reads a data block: the simulator has begun
    // sending it and the router has read a hundred records' worth since (a
    // router that is slow to take the acknowledgement is not in it yet).
    bool reading_block() const {
        if (!wait_for_text(sim_log, " BLOCK", 20000)) return false;
        const long long from = bytes_read();
        const auto t0 = std::chrono::steady_clock::now();
        while (bytes_read() - from < 2400 && std::chrono::steady_clock::now() - t0 < 20s)
            std::this_thread::sleep_for(10ms);
        return bytes_read() - from >= 2400;
    }
    // Bytes the router process has read so far, whatever from.
    long long bytes_read() const {
        const std::string io = read_file("/proc/" + std::to_string(router.pid()) + "/io");
        const size_t at = io.find("rchar: ");
        return at == std::string::npos ? -1 : std::stoll(io.substr(at + 7));
    }
    // Frames after the first n, without the link tests' probes "A".
    std::vector<std::string> frames_since(size_t n) const {
        std::vector<std::string> out;
        auto f = frames();
        for (size_t i = n; i < f.size(); ++i)
            if (f[i] != "01 04 41 46") out.push_back(f[i]);
        return out;
    }
};

Record with_credit() {
    Record r;
    r.b[30] = 1;  // Kredit1
    return r;
}

}  // namespace

TEST(RequestCycle, FourWeekLinesAreSplitAndReadBackAsJoinedLines) {
    Router r(with_credit());
    size_t before = r.frames().size();
    std::string printed = r.request({four_week_line('Q', "0007"), "Y"});

    auto f = r.frames_since(before);
    ASSERT_EQ(f.size(), 3u) << read_file(r.sim_log);
    std::vector<uint8_t> head = {0x00, 0x07};
    for (char c : std::string("1A2B3C4D ")) head.push_back(static_cast<uint8_t>(c));
    std::vector<uint8_t> name = bytes("Novak         ");
    std::vector<uint8_t> first = {'X'};
    first.insert(first.end(), head.begin(), head.end());
    first.insert(first.end(), 14, 0x56);  // 3*25 + 2*5 + 1
    first.insert(first.end(), name.begin(), name.end());
    first.insert(first.end(), {' ', 0x00, 0x64});
    std::vector<uint8_t> second = {'q'};
    second.insert(second.end(), head.begin(), head.end());
    second.insert(second.end(), 14, 0x91);  // 5*25 + 4*5 + 0
    second.insert(second.end(), name.begin(), name.end());
    EXPECT_EQ(f[0], frame_hex(1, first));
    EXPECT_EQ(f[1], frame_hex(1, second));
    EXPECT_EQ(f[2], "01 04 59 5E");

    std::string line = "Q00071A2B3C4D " + std::string(14, '1') + std::string(14, '0') + std::string(14, 'N') +
                       std::string(14, '2') + std::string(14, 'A') + std::string(14, '*');
    EXPECT_EQ(r.output(), line + "\r\n");
    EXPECT_EQ(r.status(), "3,2\n");
    EXPECT_NE(printed.find("status: 3,2"), std::string::npos) << printed;
    // The record count is logged in Windows-1250.
    EXPECT_NE(r.box.log().find("Na\xE8teno: 2 rec."), std::string::npos) << r.box.log();
}

TEST(RequestCycle, AFifoAsTheRequestNeverHoldsTheRouter) {
    Router r;
    // Nobody ever writes to it: opened as a request, it would hold the router for good.
    ASSERT_EQ(::mkfifo((r.box.work + "/pozad.txt").c_str(), 0666), 0);
    ASSERT_TRUE(wait_for_text(r.box.work + "/porcom.sta", "-1,-1\n", 10000)) << r.box.log();
    EXPECT_NE(r.box.log().find("nelze pouzit: neni obycejny soubor"), std::string::npos) << r.box.log();
    EXPECT_FALSE(exists(r.box.work + "/pozad.txt")) << "taken away";
    EXPECT_NE(r.request({"S"}).find("status: 1,1"), std::string::npos) << "the next good request is answered";
    const auto t0 = std::chrono::steady_clock::now();
    r.router.signal(SIGTERM);
    EXPECT_EQ(r.router.wait(3000), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);
}

TEST(RequestCycle, ASecondRequestWrittenInPlaceIsTakenOnceItHasStoodStill) {
    Router r;
    r.request({"S"});
    auto t0 = std::chrono::steady_clock::now();
    write_file(r.box.work + "/pozad.txt", "S\r\n");
    while (exists(r.box.work + "/pozad.txt") && std::chrono::steady_clock::now() - t0 < 10s)
        std::this_thread::sleep_for(10ms);
    auto taken = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(taken, 700ms);
    EXPECT_LT(taken, 5s);
}

namespace {

// A read command answered by 2500 diner records: 60000 bytes, 31 s on the wire.
// The longest service delay lets a simulator slowed by a sanitizer pause
// inside the block without ending it.
Record slow_line() {
    Record r;
    r.delay_add_index(24);
    return r;
}

struct LongBlock {
    std::string file = "/tmp/stravon-long-block-" + std::to_string(getpid()) + ".bin";
    LongBlock();
    ~LongBlock() { std::remove(file.c_str()); }
    std::vector<std::string> args() const { return {"--block", "1:Y:" + file}; }
};

LongBlock::LongBlock() {
    std::string block;
    for (int r = 0; r < 2500; ++r) {
        std::string rec(24, '\0');
        rec[0] = 'R';
        rec[1] = static_cast<char>(r >> 8);
        rec[2] = static_cast<char>(r);
        block += rec;
    }
    write_file(file, block);
}

// CPU seconds the process has used so far.
double cpu_seconds(pid_t pid) {
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream in(stat.substr(stat.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && in >> field; ++i)
        if (i == 14 || i == 15) ticks += std::stod(field);
    return ticks / double(sysconf(_SC_CLK_TCK));
}

}  // namespace

TEST(RequestCycle, UnpluggedLineIsReopenedAndAnsweredWithoutARestart) {
    const LongBlock block;
    Router r(slow_line(), block.args());
    const std::string opened_once = r.box.log();
    std::vector<std::string> sim_args = block.args();
    sim_args.insert(sim_args.end(), {"--ack-delay", "20"});

    r.drop("Y\r\n");
    ASSERT_TRUE(r.reading_block()) << read_file(r.sim_log);
    r.sim.signal(SIGKILL);
    r.sim.wait(5000);
    ASSERT_TRUE(wait_for_log(r.box, "zarizeni odpojeno", 10000)) << r.box.log();
    // A read cut by the loss is no delivery, and the log says why.
    ASSERT_TRUE(wait_for_log(r.box, "TERM 1: prikaz Y: cteni bloku dat preruseno po ", 10000)) << r.box.log();
    EXPECT_NE(r.box.log().find(" B: zarizeni ztraceno"), std::string::npos) << r.box.log();
    EXPECT_TRUE(wait_for_text(r.box.work + "/porcom.sta", "0,0", 5000)) << r.status();
    // While the line is gone nothing spins.
    const double cpu0 = cpu_seconds(r.router.pid());
    std::this_thread::sleep_for(1s);
    EXPECT_LT(cpu_seconds(r.router.pid()) - cpu0, 0.2);

    r.sim = r.box.start_termsim(1, sim_args);
    // Reopened by the window's timer, without a request and without a restart.
    auto t0 = std::chrono::steady_clock::now();
    std::string log;
    while (std::chrono::steady_clock::now() - t0 < 20s) {
        log = r.box.log();
        if (log.rfind("COM1 otev\xF8" "en") > opened_once.size()) break;
        std::this_thread::sleep_for(50ms);
    }
    const size_t lost = log.find("COM1: zarizeni odpojeno");
    const size_t again = log.rfind("COM1 otev\xF8" "en");
    ASSERT_NE(lost, std::string::npos);
    ASSERT_NE(again, std::string::npos);
    EXPECT_GT(again, lost) << log;
    EXPECT_EQ(log.find("COM1: zarizeni odpojeno", lost + 1), std::string::npos) << "said once";
    EXPECT_NE(log.find("COM1: zarizeni /dev/pts/", again), std::string::npos) << log;

    r.drop("S\r\n");
    auto t1 = std::chrono::steady_clock::now();
    while (r.status() != "1,1\n" && std::chrono::steady_clock::now() - t1 < 20s) std::this_thread::sleep_for(50ms);
    EXPECT_EQ(r.status(), "1,1\n") << r.box.log();

    // Unplugged while idle: the timer notices it and lets the device go, so
    // that the adapter can come back under its own name before any request.
    const size_t idle_from = r.box.log().size();
    r.sim.signal(SIGKILL);
    r.sim.wait(5000);
    auto t2 = std::chrono::steady_clock::now();
    while (r.box.log().find("zarizeni odpojeno", idle_from) == std::string::npos &&
           std::chrono::steady_clock::now() - t2 < 5s)
        std::this_thread::sleep_for(50ms);
    EXPECT_NE(r.box.log().find("zarizeni odpojeno", idle_from), std::string::npos) << r.box.log();
}

TEST(RequestCycle, TerminationDuringALongReadEndsWithinThreeSeconds) {
    const LongBlock block;
    Router r(slow_line(), block.args());
    r.drop("Y\r\nS\r\n");
    ASSERT_TRUE(r.reading_block()) << read_file(r.sim_log);
    const auto t0 = std::chrono::steady_clock::now();
    r.router.signal(SIGTERM);
    EXPECT_EQ(r.router.wait(3000), 0) << "not ended within 3 s";
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);
    const std::string log = r.box.log();
    EXPECT_NE(log.find("Stop programu"), std::string::npos) << log;
    // Written for what was done: Y's block abandoned, so not delivered; S not sent.
    EXPECT_EQ(r.status(), "0,0\n");
    EXPECT_NE(log.find("TERM 1: prikaz Y: cteni bloku dat preruseno po "), std::string::npos)
        << log << read_file(r.sim_log);
    EXPECT_TRUE(exists(r.box.work + "/vystup.txt"));
}
