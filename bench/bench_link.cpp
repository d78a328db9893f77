// stravon-bench-link: the terminal link against stravon-termsim over a pty,
// in real time at 19200 Bd, quiet and beside busy loops, and the whole
// program reading a block. Prints figures; judges nothing.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bench/bench_program.h"
#include "diag/diag.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/process.h"
#include "protocol/command_view.h"
#include "protocol/porcio.h"
#include "protocol/settings.h"
#include "platform/serial_device.h"
#include "serial/com_port.h"
#include "serial/ser_port.h"

namespace fs = std::filesystem;

namespace {

// The link's settings, as the program derives them from its record.
TLinkSettings Settings;

constexpr int kBaud = 19200;
constexpr double kByteMs = 10.0 * 1000.0 / kBaud;
constexpr int kBlockBytes = 60000;
constexpr int kCommands = 100;
constexpr int kBlockDelayMs = 20;  // stravon-termsim's default: block after the acknowledgement
constexpr int kMasterPeriodMs = 30;
constexpr int kFrameBytes = 43;  // the frame of one diner line
// Under load: as many exchanges and reads as make a rare loss show.
constexpr int kLoadedCommands = 1000;
constexpr int kLoadedReads = 20;
// The simulator's own default turnaround: the answer comes while a router
// that runs late is still about to drop the echo of its frame.
constexpr int kLoadedTurnaroundMs = 10;
// The whole program reads a block of this many records.
constexpr int kProgramRecords = 800;
constexpr int kProgramRequests = 3;

// --priority: each exchange raises the router's side as the program does.
bool RaisePriority = false;
int Exchanges = 0, Raised = 0;

// The simulated terminal's turnaround (frame end to acknowledgement) sits in
// the middle of the window in which the router can take the answer, so that
// lateness on either side of a loaded machine loses nothing. Too early, it
// falls into the router's discarding of its own echo (input is cleared 2 ms
// after a frame, 5 ms after one sent behind a poll). Too late, it misses the
// acknowledgement wait (quiet line) or meets the master's next poll.
int QuietTurnaroundMs(double master_wait) {
    const double earliest = 2;
    const double latest = 2 + 2 + 2 + master_wait - kByteMs;
    return static_cast<int>((earliest + latest) / 2 + 0.5);
}
int MasterTurnaroundMs() {
    const double earliest = 5;
    // The frame goes 2 ms after a poll; the answer must end before the next
    // poll starts, one period after the last one began, or the router takes
    // the poll for a refusal.
    const double latest = kMasterPeriodMs - 4 * kByteMs - 2 - kByteMs;
    return static_cast<int>((earliest + latest) / 2 + 0.5);
}

double Now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

double CpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// The termios device with a watch on when each frame was handed over and when
// the first byte after it came back: the answer time as the line gave it.
class WatchedDevice final : public platform::SerialDevice {
public:
    explicit WatchedDevice(std::unique_ptr<platform::SerialDevice> d) : d_(std::move(d)) {}
    int open(const std::string& path) override { return d_->open(path); }
    int apply(const platform::LineSettings& s) override { return d_->apply(s); }
    int rx_count() override { return d_->rx_count(); }
    int tx_count() override { return d_->tx_count(); }
    int read(uint8_t* buf, size_t n) override {
        const int r = d_->read(buf, n);
        if (r > 0 && awaiting_) {
            answers_ms.push_back((Now() - written_) * 1000);
            awaiting_ = false;
        }
        return r;
    }
    int write(const uint8_t* buf, size_t n) override {
        const int r = d_->write(buf, n);
        written_ = Now();
        awaiting_ = true;
        return r;
    }
    int wait_rx(int timeout_ms) override { return d_->wait_rx(timeout_ms); }
    int wait_rx_us(uint64_t timeout_us) override { return d_->wait_rx_us(timeout_us); }
    int drain_tx() override { return d_->drain_tx(); }
    int set_rts(bool on) override { return d_->set_rts(on); }
    int set_dtr(bool on) override { return d_->set_dtr(on); }
    int set_break(bool on) override { return d_->set_break(on); }
    int modem_status(unsigned* bits) override { return d_->modem_status(bits); }
    int error_counts(platform::LineErrorCounts* c) override { return d_->error_counts(c); }
    int purge_tx() override { return d_->purge_tx(); }
    int close() override { return d_->close(); }

    static inline std::vector<double> answers_ms;  // last frame byte handed over -> first byte back

private:
    std::unique_ptr<platform::SerialDevice> d_;
    double written_ = 0;
    bool awaiting_ = false;
};

// Stands in for the window's event loop: notes when the link lets it run.
std::vector<double> dispatch_times;
void NoteDispatch(int) { dispatch_times.push_back(Now()); }

// The longest time between two runs of the event loop from start to end.
double LongestGapMs(double start, double end) {
    double last = start, longest = 0;
    for (double t : dispatch_times) {
        if (t < start || t > end) continue;
        longest = std::max(longest, t - last);
        last = t;
    }
    return std::max(longest, end - last) * 1000;
}

// One exchange, raised around it when --priority asks for it.
template <class F>
auto Exchange(F run) {
    platform::ScopedHighPriority high(RaisePriority);
    ++Exchanges;
    if (high.raised()) ++Raised;
    return run();
}

class QuietView : public TCommandView {
public:
    void ShowWriteAttempt(int) override {}
    void ShowReceived(int) override {}
    void AddLine(const std::string&) override {}
    int WriteAttempts() override { return 1; }
};

// One stravon-termsim on a pty, linked as COM1 of this process.
class Termsim {
public:
    // realtime: the simulator stands for hardware that is never late.
    Termsim(const std::string& program, const std::string& link, int turnaround_ms, std::vector<std::string> extra,
            bool realtime = false) {
        std::vector<std::string> args = {program,  "--pty",       "--link", link, "--quiet", "--baud", std::to_string(kBaud),
                                         "--ack-delay", std::to_string(turnaround_ms), "--block-delay",
                                         std::to_string(kBlockDelayMs)};
        args.insert(args.end(), extra.begin(), extra.end());
        int out[2];
        if (pipe(out) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            if (realtime) {
                sched_param sp{};
                sp.sched_priority = 10;
                if (sched_setscheduler(0, SCHED_FIFO, &sp) != 0) setpriority(PRIO_PROCESS, 0, -20);
            }
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        close(out[1]);
        // The first line is the pty path; it is ready once printed.
        std::string first;
        char c;
        while (read(out[0], &c, 1) == 1 && c != '\n') first += c;
        pipe_ = out[0];
        ok_ = !first.empty() && fs::exists(link);
    }
    ~Termsim() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (pipe_ >= 0) close(pipe_);
    }
    bool ok() const { return ok_; }
    // How the system lets it run.
    std::string Scheduling() const {
        if (sched_getscheduler(pid_) == SCHED_FIFO) {
            sched_param sp{};
            sched_getparam(pid_, &sp);
            return "SCHED_FIFO priority " + std::to_string(sp.sched_priority);
        }
        errno = 0;
        const int nice = getpriority(PRIO_PROCESS, pid_);
        return "SCHED_OTHER nice " + std::to_string(errno ? 0 : nice) + " (real time not allowed)";
    }

private:
    pid_t pid_ = -1;
    int pipe_ = -1;
    bool ok_ = false;
};

std::string DinerLine(int number) {
    char head[16];
    std::snprintf(head, sizeof head, "R%04d", number);
    return std::string(head) + "1A2B3C4D " + std::string(14, '1') + std::string(14, '0') + std::string(14, 'N') +
           "Novak" + std::string(9, ' ');
}

// 2500 diner records of 24 bytes: the largest block of the default capacity.
std::vector<uint8_t> LargestBlock() {
    std::vector<uint8_t> block(kBlockBytes, 0);
    for (int r = 0; r < kBlockBytes / 24; ++r) {
        block[r * 24] = 'R';
        block[r * 24 + 1] = static_cast<uint8_t>(r >> 8);
        block[r * 24 + 2] = static_cast<uint8_t>(r);
        for (int d = 0; d < 14; ++d) block[r * 24 + 8 + d] = 86;
    }
    return block;
}

fs::path WriteBlock(const std::vector<uint8_t>& block, const fs::path& dir) {
    const fs::path file = dir / "block.bin";
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(block.data()), kBlockBytes);
    return file;
}

struct BlockResult {
    bool measured = false, intact = false;
    double wall_wire = 0, cpu_wall = 0, latency_ms = 0;
};

BlockResult BlockFigures(const std::string& program, const std::string& link, const fs::path& dir) {
    BlockResult result;
    const std::vector<uint8_t> block = LargestBlock();
    const fs::path file = WriteBlock(block, dir);

    const fs::path log = dir / "termsim-block.log";
    const int turnaround = QuietTurnaroundMs(Settings.Master_wait);
    Termsim sim(program, link, turnaround,
                {"--terminal", "1", "--block", "1:Y:" + file.string(), "--log", log.string()});
    if (!sim.ok()) {
        std::printf("(a) stravon-termsim did not start\n");
        return result;
    }
    Settings.Data_length = kBlockBytes;
    TSer_Port port(0, kBaud);
    TPorcio term(&port, 1, Settings);
    char line[kWorkLineSize] = "Y";
    // As a batch does, test the link first; it also lets the simulator settle.
    term.TestLink();
    double t0 = 0, r0 = 0, c0 = 0, c1 = 0, t1 = 0;
    const uint8_t* data = nullptr;
    const bool acknowledged = Exchange([&] {
        if (term.Transact(line, sizeof line) != 0) return false;
        t0 = Now();
        platform::Sleep(500);  // as a read command does before reading
        r0 = Now();
        c0 = CpuSeconds();
        dispatch_times.clear();
        data = term.ReadBlock();
        c1 = CpuSeconds();
        t1 = Now();
        return true;
    });
    if (!acknowledged) {
        std::printf("(a) LOST: the read command was not acknowledged (turnaround %d ms); the simulator's log:\n",
                    turnaround);
        std::ifstream in(log);
        for (std::string l; std::getline(in, l);) std::printf("    %.120s\n", l.c_str());
        return result;
    }
    const size_t dispatches = dispatch_times.size();
    const bool intact = data != nullptr && term.Received() == kBlockBytes &&
                        std::memcmp(data, block.data(), kBlockBytes) == 0;
    const double wire = kBlockBytes * kByteMs / 1000.0;
    std::printf("(a) data block of %d bytes at %d Bd: %s\n", kBlockBytes, kBaud,
                intact ? "received intact" : "NOT intact");
    std::printf("    wire = 60000 x 10 / 19200 = %.3f s\n", wire);
    std::printf("    wall from the acknowledgement to the end of the block = %.3f s: it holds the simulator's block\n"
                "      delay of %d ms and the closing quiet of Master_wait (%u ms), which the target leaves in\n",
                t1 - t0, kBlockDelayMs, Settings.Master_wait);
    std::printf("    wall / wire = %.4f   (target <= 1.02)\n", (t1 - t0) / wire);
    std::printf("    CPU while reading = %.3f s over %.3f s wall: CPU / wall = %.4f   (target <= 0.05)"
                ", %.1f us per byte\n",
                c1 - c0, t1 - r0, (c1 - c0) / (t1 - r0), (c1 - c0) * 1e6 / kBlockBytes);
    std::printf("    window's event latency while reading: the longest time between two runs of the event loop\n"
                "      = %.2f ms over %zu runs   (target <= 50)\n",
                LongestGapMs(r0, t1), dispatches);
    result.measured = true;
    result.intact = intact;
    result.wall_wire = (t1 - t0) / wire;
    result.cpu_wall = (c1 - c0) / (t1 - r0);
    result.latency_ms = LongestGapMs(r0, t1);
    return result;
}

struct BatchResult {
    double wall = 0;                // seconds
    std::vector<double> command_ms;  // each command's own time
    std::vector<int> lost;           // numbers of commands not acknowledged
};

BatchResult RunBatch(TPorcio& term) {
    QuietView view;
    BatchResult r;
    const double t0 = Now();
    for (int i = 0; i < kCommands; ++i) {
        char line[255] = {};
        DinerLine(i + 1).copy(line, sizeof line - 1);
        const double c0 = Now();
        if (!Exchange([&] { return term.RunCommand(line, view); })) r.lost.push_back(i + 1);
        r.command_ms.push_back((Now() - c0) * 1000);
    }
    r.wall = Now() - t0;
    return r;
}

struct LineFigures {
    std::string name;
    int turnaround = 0;
    double per_command_ms = 0;  // least time of one command
    double minimum_s = 0;       // least time of the batch
    BatchResult run;
    std::vector<double> answers_ms;
    bool started = false;
};

LineFigures BatchFigures(const std::string& program, const std::string& link, bool master) {
    LineFigures f;
    f.name = master ? "master line" : "quiet line";
    f.turnaround = master ? MasterTurnaroundMs() : QuietTurnaroundMs(Settings.Master_wait);
    std::vector<std::string> extra = {"--terminal", "1"};
    if (master) {
        extra.push_back("--master");
        extra.push_back(std::to_string(kMasterPeriodMs));
    }
    Termsim sim(program, link, f.turnaround, extra);
    if (!sim.ok()) return f;
    f.started = true;
    TSer_Port port(0, kBaud);
    TPorcio term(&port, 1, Settings);
    term.TestLink();
    WatchedDevice::answers_ms.clear();
    f.run = RunBatch(term);
    f.answers_ms = WatchedDevice::answers_ms;

    const double mw = Settings.Master_wait;
    const double answer = f.turnaround + kByteMs;  // turnaround, then one byte on the wire
    if (!master) {
        f.per_command_ms = 2 + mw + 0.001 + 2 + std::max(2.0 + 2 + 2, answer);
        f.minimum_s = kCommands * f.per_command_ms / 1000;
    } else {
        // Measured from the start of the poll that is heard first: that poll,
        // the next one a period later, RtsOn 2, the frame, the answer (the
        // router's own 5 + RtsOff 2 run meanwhile) and the 300 ms pause. The
        // next command can only use a poll that starts after it has cleared
        // its input, so each command takes whole poll periods.
        const double poll = 4 * kByteMs;
        const double busy = kMasterPeriodMs + poll + 2 + std::max(5.0 + 2, answer) + 300;
        f.per_command_ms = std::ceil(busy / kMasterPeriodMs) * kMasterPeriodMs;
        // The batch starts at the end of the poll that the link test heard.
        f.minimum_s = ((kMasterPeriodMs - poll) + (kCommands - 1) * f.per_command_ms + busy) / 1000;
    }
    return f;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void PrintBatch(const LineFigures& q, const LineFigures& m) {
    const double mw = Settings.Master_wait;
    std::printf("(b) %d diner commands (frame of %d bytes), one write attempt each\n", kCommands, kFrameBytes);
    std::printf("    The router hands a frame to the pty whole and the pty passes it on at once, so the frame's\n"
                "    %d x %.3f = %.1f ms of wire time is not spent here; the simulator takes the frame as ended\n"
                "    when it reads it and answers a turnaround T later (the answer times below show when).\n",
                kFrameBytes, kByteMs, kFrameBytes * kByteMs);
    std::printf("    quiet line, turnaround T = %d ms:\n"
                "      per command >= RtsOff 2 + quiet of more than Master_wait (%g + 0.001) + RtsOn 2\n"
                "                     + max(the router's 2 + RtsOff 2 + 2, T + one byte %.3f) = %.3f ms\n",
                q.turnaround, mw, kByteMs, q.per_command_ms);
    std::printf("    master line polling every P = %d ms (poll %.3f ms), turnaround T = %d ms:\n"
                "      busy   = poll heard + the next poll one period later + RtsOn 2 + max(5 + RtsOff 2, T + one byte)\n"
                "               + 300 pause = %.3f ms from the start of the first poll\n"
                "      per command >= busy rounded up to whole periods = %.0f ms;\n"
                "      batch >= (P - poll) + %d x per command + busy\n",
                kMasterPeriodMs, 4 * kByteMs, m.turnaround,
                kMasterPeriodMs + 4 * kByteMs + 2 + std::max(7.0, m.turnaround + kByteMs) + 300, m.per_command_ms,
                kCommands - 1);
    std::printf("    %-12s %9s %9s %9s %11s %9s %9s %9s %6s\n", "", "delivered", "wall s", "minimum s",
                "wall/min", "cmd min", "median", "max ms", "lost");
    for (const LineFigures* f : {&q, &m}) {
        if (!f->started) {
            std::printf("    %-12s stravon-termsim did not start\n", f->name.c_str());
            continue;
        }
        const auto& c = f->run.command_ms;
        const double lo = c.empty() ? 0 : *std::min_element(c.begin(), c.end());
        const double hi = c.empty() ? 0 : *std::max_element(c.begin(), c.end());
        std::printf("    %-12s %9d %9.3f %9.3f %11.4f %9.2f %9.2f %9.2f %6zu\n", f->name.c_str(),
                    kCommands - int(f->run.lost.size()), f->run.wall, f->minimum_s, f->run.wall / f->minimum_s, lo,
                    Median(c), hi, f->run.lost.size());
        if (!f->answers_ms.empty()) {
            const auto& a = f->answers_ms;
            std::printf("      answer after the frame was handed over: min %.2f, median %.2f, max %.2f ms"
                        " (turnaround + one byte = %.2f)\n",
                        *std::min_element(a.begin(), a.end()), Median(a), *std::max_element(a.begin(), a.end()),
                        f->turnaround + kByteMs);
        }
        if (!f->run.lost.empty()) {
            std::printf("      LOST (not acknowledged):");
            for (int n : f->run.lost) std::printf(" %d", n);
            std::printf("\n");
        }
    }
    std::printf("    target: wall / minimum <= 1.05\n");
}

// Notes when the block's byte count is shown the last time: the read has
// ended and the list begins.
class TimedView : public TCommandView {
public:
    void ShowWriteAttempt(int) override {}
    void ShowReceived(int) override {
        shown = Now();
        shown_cpu = CpuSeconds();
    }
    void AddLine(const std::string&) override { ++lines; }
    int WriteAttempts() override { return 2; }  // as the program's record has it
    double shown = 0, shown_cpu = 0;
    int lines = 0;
};

// The whole program's request run by the link in this process: what the
// program would take without its window.
ProgramRun LinkAloneRequest(const std::string& program, const std::string& link, const fs::path& dir) {
    ProgramRun r;
    const fs::path file = dir / "block-program.bin";
    const std::string block = DinerBlock(kProgramRecords);
    std::ofstream(file, std::ios::binary).write(block.data(), std::streamsize(block.size()));
    Termsim sim(program, link, kProgramAckDelayMs, {"--terminal", "1", "--block", "1:Y:" + file.string()});
    if (!sim.ok()) {
        r.status = "stravon-termsim did not start";
        return r;
    }
    Settings.Data_length = kBlockBytes;
    TSer_Port port(0, kBaud);
    TPorcio term(&port, 1, Settings);
    term.TestLink();  // the program's line-up
    TimedView view;
    const double c0 = CpuSeconds(), t0 = Now();
    bool ok = false;
    if (term.TestLink()) {
        char line[255] = "Y";
        ok = Exchange([&] { return term.RunCommand(line, view); });
    }
    platform::wait_dispatching(1);  // after each command line
    r.wall_s = Now() - t0;
    r.cpu_s = CpuSeconds() - c0;
    r.block_s = view.shown - t0;
    r.cpu_block_s = view.shown_cpu - c0;
    r.status = ok ? std::to_string(term.Delivered()) + "," + std::to_string(term.Records()) : "failed";
    r.output_lines = view.lines;
    return r;
}

// N processes that spin at normal priority, as other programs on a busy PC.
// With group scheduling (autogroup, cgroups) the router is delayed both by
// busy processes in its own group and by busy groups beside it, so every
// other loop stays in the router's session and the rest each get their own.
class BusyLoops {
public:
    explicit BusyLoops(int n) {
        for (int i = 0; i < n; ++i) {
            const pid_t pid = fork();
            if (pid == 0) {
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                if (i % 2 == 1) setsid();
                volatile unsigned long spin = 0;
                for (;;) spin = spin + 1;
            }
            if (pid > 0) pids_.push_back(pid);
        }
    }
    ~BusyLoops() {
        for (pid_t p : pids_) kill(p, SIGKILL);
        for (pid_t p : pids_) waitpid(p, nullptr, 0);
    }
    size_t count() const { return pids_.size(); }

private:
    std::vector<pid_t> pids_;
};

// The frame a diner line goes out as, in the simulator's log notation.
std::string FrameHex(const std::string& command) {
    char work[kWorkLineSize] = {};
    command.copy(work, sizeof work - 1);
    const int n = BuildPayload(work, sizeof work, Settings);
    std::vector<uint8_t> frame = {1, static_cast<uint8_t>(n + 3)};
    frame.insert(frame.end(), work, work + n);
    uint8_t sum = 0;
    for (uint8_t b : frame) sum = static_cast<uint8_t>(sum + b);
    frame.push_back(sum);
    std::string hex;
    char b[4];
    for (uint8_t v : frame) {
        std::snprintf(b, sizeof b, "%s%02X", hex.empty() ? "" : " ", v);
        hex += b;
    }
    return hex;
}

struct LoadedExchanges {
    bool started = false;
    std::string scheduling;     // the simulator's
    double wall = 0;
    double minimum = 0;         // the quiet line's least time for the batch
    std::vector<int> lost;      // commands not acknowledged
    std::map<std::string, int> why;  // what the router said of them
    int acknowledged_lost = 0;  // of those, acknowledged in the simulator's log
    int sent_twice = 0;         // commands whose frame the simulator got more than once
    int frames = 0;             // diner frames the simulator got
    std::vector<double> command_ms;
};

LoadedExchanges RunLoadedExchanges(const std::string& program, const std::string& link, const fs::path& dir) {
    LoadedExchanges r;
    const fs::path log = dir / "termsim-loaded.log";
    Termsim sim(program, link, kLoadedTurnaroundMs, {"--terminal", "1", "--log", log.string()}, true);
    if (!sim.ok()) return r;
    r.started = true;
    r.scheduling = sim.Scheduling();
    TSer_Port port(0, kBaud);
    TPorcio term(&port, 1, Settings);
    term.TestLink();
    QuietView view;
    const double t0 = Now();
    for (int i = 1; i <= kLoadedCommands; ++i) {
        char line[255] = {};
        DinerLine(i).copy(line, sizeof line - 1);
        const double c0 = Now();
        if (!Exchange([&] { return term.RunCommand(line, view); })) {
            r.lost.push_back(i);
            ++r.why[term.Failure()];
        }
        r.command_ms.push_back((Now() - c0) * 1000);
    }
    r.wall = Now() - t0;
    const double mw = Settings.Master_wait;
    r.minimum = kLoadedCommands * (2 + mw + 0.001 + 2 + std::max(6.0, kLoadedTurnaroundMs + kByteMs)) / 1000;

    // Each frame as the simulator got it, and whether it answered 06.
    std::map<std::string, int> received;
    std::map<std::string, bool> acknowledged;
    std::string last_frame;
    std::ifstream in(log);
    for (std::string l; std::getline(in, l);) {
        const size_t rx = l.find(" RX "), tx = l.find(" TX "), end = l.rfind(' ');
        if (rx != std::string::npos && end > rx + 4) {
            last_frame = l.substr(rx + 4, end - rx - 4);
            if (last_frame == "01 04 41 46") continue;  // the link test's probe
            ++received[last_frame];
            ++r.frames;
        } else if (tx != std::string::npos && l.ends_with(" ACK")) {
            acknowledged[last_frame] = true;
        }
    }
    for (const auto& [frame, n] : received)
        if (n > 1) ++r.sent_twice;
    for (int n : r.lost)
        if (acknowledged[FrameHex(DinerLine(n))]) ++r.acknowledged_lost;
    return r;
}

struct LoadedRead {
    int received = 0;
    bool intact = false;  // all 60000 bytes, byte for byte the simulator's
    bool failed = false;  // RunCommand false, or the line marked 'E'
    double wall = 0;
    std::string why;
};

struct LoadedReads {
    bool started = false;
    std::string scheduling;
    std::vector<LoadedRead> reads;
    double latency_ms = 0;  // longest time between two runs of the event loop
};

LoadedReads RunLoadedReads(const std::string& program, const std::string& link, const fs::path& dir) {
    LoadedReads r;
    const std::vector<uint8_t> block = LargestBlock();
    const fs::path file = WriteBlock(block, dir);
    Termsim sim(program, link, kLoadedTurnaroundMs, {"--terminal", "1", "--block", "1:Y:" + file.string()}, true);
    if (!sim.ok()) return r;
    r.started = true;
    r.scheduling = sim.Scheduling();
    Settings.Data_length = kBlockBytes;
    TSer_Port port(0, kBaud);
    TPorcio term(&port, 1, Settings);
    term.TestLink();
    QuietView view;
    dispatch_times.clear();
    const double start = Now();
    for (int i = 0; i < kLoadedReads; ++i) {
        char line[255] = "Y";
        const double t0 = Now();
        const bool ok = Exchange([&] { return term.RunCommand(line, view); });
        LoadedRead read;
        read.wall = Now() - t0;
        read.received = term.Received();
        read.failed = !ok || line[0] == 'E';
        read.intact = term.Received() == kBlockBytes && term.Buffer().size() >= block.size() &&
                      std::memcmp(term.Buffer().data(), block.data(), block.size()) == 0;
        read.why = term.Failure();
        std::printf("      read %2d: %5d bytes%s%s in %.3f s%s%s\n", i + 1, read.received,
                    read.intact ? "" : ", CUT", read.failed ? ", FAILED" : "", read.wall,
                    read.why.empty() ? "" : ": ", read.why.c_str());
        r.reads.push_back(read);
    }
    r.latency_ms = LongestGapMs(start, Now());
    return r;
}

void PrintLoadedExchanges(const LoadedExchanges& e) {
    if (!e.started) {
        std::printf("    stravon-termsim did not start\n");
        return;
    }
    std::printf("    simulator: %s\n", e.scheduling.c_str());
    std::printf("    sent more than once (the simulator got the same frame twice): %d of %d commands"
                "   (target 0)\n",
                e.sent_twice, kLoadedCommands);
    std::printf("    acknowledgements lost (RunCommand false): %zu, of which the simulator had sent 06 for %d\n",
                e.lost.size(), e.acknowledged_lost);
    std::printf("    diner frames the simulator got: %d\n", e.frames);
    const auto& c = e.command_ms;
    std::printf("    wall %.3f s, quiet minimum %.3f s, wall/min %.4f; per command min %.2f, median %.2f, max %.2f ms\n",
                e.wall, e.minimum, e.wall / e.minimum, *std::min_element(c.begin(), c.end()), Median(c),
                *std::max_element(c.begin(), c.end()));
    if (!e.lost.empty()) {
        std::printf("      LOST:");
        for (size_t i = 0; i < e.lost.size() && i < 50; ++i) std::printf(" %d", e.lost[i]);
        std::printf("%s\n", e.lost.size() > 50 ? " ..." : "");
        for (const auto& [why, n] : e.why) std::printf("      %d x %s\n", n, why.c_str());
    }
}

int CountCut(const LoadedReads& r) {
    return int(std::count_if(r.reads.begin(), r.reads.end(), [](const LoadedRead& x) { return !x.intact; }));
}
int CountFailed(const LoadedReads& r) {
    return int(std::count_if(r.reads.begin(), r.reads.end(), [](const LoadedRead& x) { return x.failed; }));
}

void PrintLoadedReads(const LoadedReads& r) {
    if (!r.started) {
        std::printf("    stravon-termsim did not start\n");
        return;
    }
    std::printf("    blocks cut (fewer than %d bytes, or not the simulator's bytes): %d of %zu   (target 0)\n",
                kBlockBytes, CountCut(r), r.reads.size());
    std::printf("    reads failed (RunCommand false, or the line marked 'E'): %d of %zu   (target 0)\n",
                CountFailed(r), r.reads.size());
    std::printf("    bytes received per read:");
    for (const LoadedRead& x : r.reads) std::printf(" %d", x.received);
    std::printf("\n    window's event latency over the reads: longest time between two runs of the event loop"
                " %.2f ms\n",
                r.latency_ms);
}

struct Options {
    std::string termsim;
    int load = -1;  // busy loops; -1: no loaded runs
    bool priority = false;
    bool program_only = false;
    bool help = false;
    std::string error;
};

Options ParseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a == "--priority") {
            o.priority = true;
        } else if (a == "--program-only") {
            o.program_only = true;
        } else if (a == "--load") {
            char* end = nullptr;
            const long n = i + 1 < argc ? std::strtol(argv[++i], &end, 10) : -1;
            if (!end || *end || n < 0 || n > 256) o.error = "--load needs a number of busy loops from 0 to 256";
            else o.load = int(n);
        } else if (!a.empty() && a[0] != '-' && o.termsim.empty()) {
            o.termsim = a;
        } else {
            o.error = "unknown argument " + a;
        }
    }
    return o;
}

const char* const kUsage =
    "Usage: stravon-bench-link [--load N] [--priority] [--program-only] [STRAVON-TERMSIM]\n"
    "\n"
    "Measures the terminal link against stravon-termsim on a pty at 19200 Bd, and the\n"
    "whole program (stravon beside it, window offscreen) reading an 800-record block,\n"
    "and prints the figures side by side. It judges nothing.\n"
    "\n"
    "  --load N     then runs 1000 diner commands and 20 reads of a 60000-byte block\n"
    "               beside N busy loops at normal priority, the simulator at real-time\n"
    "               priority where the system allows it\n"
    "  --priority   raise the router's side around each exchange, as the program does\n"
    "               with Priority_set ticked\n"
    "  --program-only  only the whole program's figure (about a minute)\n"
    "  STRAVON-TERMSIM  the simulator (default: beside this program)\n";

}  // namespace

std::string Ratio(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%.4f", v);
    return b;
}

std::string Millis(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%.1f", v);
    return b;
}

// Every figure of the run on one page, quiet beside loaded, targets last.
void PrintSummary(const BlockResult& block, const ProgramFigures& program, const Options& o,
                  const LoadedExchanges* exchanges, const LoadedReads* reads) {
    const std::string load = o.load < 0 ? "" : "load " + std::to_string(o.load);
    std::printf("\nsummary\n  %-40s %-14s %-14s %s\n", "", "quiet", load.c_str(), "target");
    auto row = [](const char* name, const std::string& quiet, const std::string& loaded, const char* target) {
        std::printf("  %-40s %-14s %-14s %s\n", name, quiet.c_str(), loaded.c_str(), target);
    };
    const std::string none = "-";
    row("link: block wall / wire", block.measured ? Ratio(block.wall_wire) + (block.intact ? "" : " CUT") : none,
        "", "<= 1.02");
    row("link: block CPU / wall", block.measured ? Ratio(block.cpu_wall) : none, "", "<= 0.05");
    row("link: window event latency, ms", block.measured ? Millis(block.latency_ms) : none,
        reads && reads->started ? Millis(reads->latency_ms) : "", "<= 50");
    std::string wall_min = none, cpu_wall = none;
    for (const ProgramRun& r : program.runs) {
        wall_min = (wall_min == none ? "" : wall_min + " ") + Ratio(r.wall_s / program.minimum_s);
        cpu_wall = (cpu_wall == none ? "" : cpu_wall + " ") + Ratio(r.cpu_s / r.wall_s);
    }
    std::printf("  %-40s %s   (target <= 1.02)\n", "program: wall / minimum, each request", wall_min.c_str());
    std::printf("  %-40s %s   (target <= 0.02)\n", "program: CPU / wall, each request", cpu_wall.c_str());
    if (exchanges && exchanges->started) {
        const std::string of = " / " + std::to_string(kLoadedCommands);
        row("commands sent more than once", "", std::to_string(exchanges->sent_twice) + of, "0");
        row("acknowledgements lost", "", std::to_string(exchanges->lost.size()) + of, "");
        row((std::to_string(kLoadedCommands) + " commands: wall, s").c_str(), "", Millis(exchanges->wall), "");
    }
    if (reads && reads->started) {
        const std::string of = " / " + std::to_string(reads->reads.size());
        row("60000-byte blocks cut", "", std::to_string(CountCut(*reads)) + of, "0");
        row("60000-byte reads failed", "", std::to_string(CountFailed(*reads)) + of, "0");
    }
}

std::string SchedulingOfSelf() {
    const int policy = sched_getscheduler(0);
    return (policy == SCHED_OTHER ? std::string("SCHED_OTHER") : "policy " + std::to_string(policy)) + " nice " +
           std::to_string(platform::get_priority());
}

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const Options opt = ParseOptions(argc, argv);
    if (opt.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (!opt.error.empty()) {
        std::fprintf(stderr, "stravon-bench-link: %s\n%s", opt.error.c_str(), kUsage);
        return 2;
    }
    RaisePriority = opt.priority;
    // Absolute: the working directory changes below, before the simulator starts.
    std::string program = fs::absolute(fs::path(argv[0]).parent_path() / "stravon-termsim").string();
    if (!opt.termsim.empty()) program = fs::absolute(opt.termsim).string();
    if (!fs::exists(program)) {
        std::fprintf(stderr, "stravon-bench-link: %s not found (give its path as the argument)\n", program.c_str());
        return 2;
    }
    char pattern[] = "/tmp/stravon-bench-XXXXXX";
    const fs::path dir = mkdtemp(pattern);
    fs::create_directories(dir / "stravon" / "dosdevices");
    setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
    fs::current_path(dir);
    Read_work_dir();
    set_device_factory([](int) -> std::unique_ptr<platform::SerialDevice> {
        return std::make_unique<WatchedDevice>(platform::make_serial_device());
    });
    const std::string link = (dir / "stravon" / "dosdevices" / "com1").string();
    Settings.Master_wait = 40;
    // As in the program, the link's waits run the window's events.
    platform::set_message_dispatcher(NoteDispatch);
    std::printf("stravon-bench-link: %d Bd, Master_wait %u ms, one byte = %.3f ms on the wire\n", kBaud, Settings.Master_wait,
                kByteMs);
    rlimit nice_limit{};
    getrlimit(RLIMIT_NICE, &nice_limit);
    std::printf("router's side: uid %u, %s, RLIMIT_NICE %lld; %s; %ld processors online\n", unsigned(getuid()),
                SchedulingOfSelf().c_str(), static_cast<long long>(nice_limit.rlim_cur),
                opt.priority ? "--priority: raised around each exchange as the program does"
                             : "not raised (no --priority)",
                sysconf(_SC_NPROCESSORS_ONLN));

    if (opt.program_only) {
        const ProgramFigures whole = MeasureProgram(fs::path(program).parent_path().string(), dir.string(),
                                                    kProgramRecords, kProgramRequests, opt.priority);
        const ProgramRun alone = LinkAloneRequest(program, link, dir);
        PrintProgram(whole, kProgramRecords, &alone);
        std::error_code ec;
        fs::remove_all(dir, ec);
        return 0;
    }
    const BlockResult block = BlockFigures(program, link, dir);
    const LineFigures quiet = BatchFigures(program, link, false);
    const LineFigures master = BatchFigures(program, link, true);
    PrintBatch(quiet, master);
    const ProgramFigures whole = MeasureProgram(fs::path(program).parent_path().string(), dir.string(),
                                                kProgramRecords, kProgramRequests, opt.priority);
    const ProgramRun alone = LinkAloneRequest(program, link, dir);
    PrintProgram(whole, kProgramRecords, &alone);
    if (block.measured)
        std::printf("    beside the link's block (a): wall / wire %.4f, CPU / wall %.4f\n", block.wall_wire,
                    block.cpu_wall);

    LoadedExchanges exchanges;
    LoadedReads reads;
    if (opt.load >= 0) {
        BusyLoops loops(opt.load);
        std::string autogroup;
        std::ifstream("/proc/sys/kernel/sched_autogroup_enabled") >> autogroup;
        std::printf("\nunder load: %zu busy loops (forked processes spinning at %s) beside the router's side,\n"
                    "  %zu in its session, %zu each in a session of its own; sched_autogroup_enabled %s\n",
                    loops.count(), SchedulingOfSelf().c_str(), (loops.count() + 1) / 2, loops.count() / 2,
                    autogroup.empty() ? "?" : autogroup.c_str());
        std::printf("(d) %d diner commands on a quiet line, one write attempt each, turnaround %d ms\n",
                    kLoadedCommands, kLoadedTurnaroundMs);
        exchanges = RunLoadedExchanges(program, link, dir);
        PrintLoadedExchanges(exchanges);
        std::printf("(e) %d reads of a %d-byte block (%d records of 24 bytes) through RunCommand, turnaround %d ms\n",
                    kLoadedReads, kBlockBytes, kBlockBytes / 24, kLoadedTurnaroundMs);
        reads = RunLoadedReads(program, link, dir);
        PrintLoadedReads(reads);
    }
    if (opt.priority)
        std::printf("\n--priority: raised in %d of %d exchanges (nice %d asked for)\n", Raised, Exchanges,
                    platform::High_priority_nice);
    PrintSummary(block, whole, opt, opt.load >= 0 ? &exchanges : nullptr, opt.load >= 0 ? &reads : nullptr);

    std::error_code ec;
    fs::remove_all(dir, ec);
    return 0;
}
