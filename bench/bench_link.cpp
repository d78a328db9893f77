// stravon-bench-link: the terminal link against stravon-termsim over a pty,
// in real time at 19200 Bd. Prints figures; judges nothing.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "diag/diag.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
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
    Termsim(const std::string& program, const std::string& link, int turnaround_ms, std::vector<std::string> extra) {
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

void BlockFigures(const std::string& program, const std::string& link, const fs::path& dir) {
    // 2500 diner records of 24 bytes: the largest block of the default capacity.
    std::vector<uint8_t> block(kBlockBytes, 0);
    for (int r = 0; r < kBlockBytes / 24; ++r) {
        block[r * 24] = 'R';
        block[r * 24 + 1] = static_cast<uint8_t>(r >> 8);
        block[r * 24 + 2] = static_cast<uint8_t>(r);
        for (int d = 0; d < 14; ++d) block[r * 24 + 8 + d] = 86;
    }
    const fs::path file = dir / "block.bin";
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(block.data()), kBlockBytes);

    const fs::path log = dir / "termsim-block.log";
    const int turnaround = QuietTurnaroundMs(Settings.Master_wait);
    Termsim sim(program, link, turnaround,
                {"--terminal", "1", "--block", "1:Y:" + file.string(), "--log", log.string()});
    if (!sim.ok()) {
        std::printf("(a) stravon-termsim did not start\n");
        return;
    }
    Settings.Data_length = kBlockBytes;
    TSer_Port port(0, kBaud);
    TPorcio term(&port, 1, Settings);
    char line[kWorkLineSize] = "Y";
    // As a batch does, test the link first; it also lets the simulator settle.
    term.TestLink();
    if (term.Transact(line, sizeof line) != 0) {
        std::printf("(a) LOST: the read command was not acknowledged (turnaround %d ms); the simulator's log:\n",
                    turnaround);
        std::ifstream in(log);
        for (std::string l; std::getline(in, l);) std::printf("    %.120s\n", l.c_str());
        return;
    }
    const double t0 = Now();
    platform::Sleep(500);  // as a read command does before reading
    const double r0 = Now();
    const double c0 = CpuSeconds();
    dispatch_times.clear();
    const uint8_t* data = term.ReadBlock();
    const double c1 = CpuSeconds();
    const double t1 = Now();
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
        if (!term.RunCommand(line, view)) r.lost.push_back(i + 1);
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

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // Absolute: the working directory changes below, before the simulator starts.
    std::string program = fs::absolute(fs::path(argv[0]).parent_path() / "stravon-termsim").string();
    if (argc > 1) program = fs::absolute(argv[1]).string();
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

    BlockFigures(program, link, dir);
    const LineFigures quiet = BatchFigures(program, link, false);
    const LineFigures master = BatchFigures(program, link, true);
    PrintBatch(quiet, master);

    std::error_code ec;
    fs::remove_all(dir, ec);
    return 0;
}
