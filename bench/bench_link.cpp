// stravon-bench-link: the terminal link against stravon-termsim over a pty,
// in real time at 19200 Bd. Prints figures; judges nothing.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "diag/diag.h"
#include "platform/clock.h"
#include "protocol/command_view.h"
#include "protocol/porcio.h"
#include "protocol/settings.h"
#include "serial/ser_port.h"

namespace fs = std::filesystem;

namespace {

constexpr int kBaud = 19200;
constexpr double kByteMs = 10.0 * 1000.0 / kBaud;
constexpr int kBlockBytes = 60000;
constexpr int kCommands = 100;
constexpr int kAckDelayMs = 10;     // stravon-termsim's default
constexpr int kMasterPeriodMs = 25;

double Now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

double CpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
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
    Termsim(const std::string& program, const std::string& link, std::vector<std::string> extra) {
        std::vector<std::string> args = {program, "--pty", "--link", link, "--quiet", "--baud", std::to_string(kBaud)};
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
    Termsim sim(program, link, {"--terminal", "1", "--block", "1:Y:" + file.string(), "--log", log.string()});
    if (!sim.ok()) {
        std::printf("(a) stravon-termsim did not start\n");
        return;
    }
    Data_length = kBlockBytes;
    TSer_Port port(0, kBaud);
    TPorcio term(&port, 1);
    char line[kWorkLineSize] = "Y";
    // As a batch does, test the link first; it also lets the simulator settle.
    // A loaded machine can be late enough to throw the acknowledgement away
    // with the echo; a read command is then simply sent again.
    term.TestLink();
    int result = 1;
    for (int attempt = 0; attempt < 3 && result != 0; ++attempt) {
        std::strcpy(line, "Y");
        result = term.Transact(line, sizeof line);
    }
    if (result != 0) {
        std::printf("(a) the read command was not acknowledged; the simulator's log:\n");
        std::ifstream in(log);
        for (std::string l; std::getline(in, l);) std::printf("    %.120s\n", l.c_str());
        return;
    }
    const double t0 = Now();
    platform::Sleep(500);  // as a read command does before reading
    const double r0 = Now();
    const double c0 = CpuSeconds();
    const uint8_t* data = term.ReadBlock();
    const double c1 = CpuSeconds();
    const double t1 = Now();
    const bool intact = data != nullptr && term.FReceived == kBlockBytes &&
                        std::memcmp(data, block.data(), kBlockBytes) == 0;
    const double wire = kBlockBytes * kByteMs / 1000.0;
    // From the acknowledgement: the simulator's 20 ms block delay, the bytes,
    // and the closing quiet of Master_wait are all part of the wall time.
    std::printf("(a) data block of %d bytes at %d Bd: %s\n", kBlockBytes, kBaud, intact ? "received intact" : "NOT intact");
    std::printf("    wire time 60000 x 10 / 19200 = %.3f s\n", wire);
    std::printf("    wall time from acknowledgement to end of block = %.3f s (includes 20 ms block delay and %u ms closing quiet)\n",
                t1 - t0, Master_wait);
    std::printf("    wall / wire = %.4f   (target <= 1.02)\n", (t1 - t0) / wire);
    std::printf("    CPU time while reading = %.3f s over %.3f s wall: CPU / wall = %.4f   (target <= 0.05)\n", c1 - c0,
                t1 - r0, (c1 - c0) / (t1 - r0));
}

// Runs the batch; returns the wall time in seconds, or a negative value.
double RunBatch(TPorcio& term, int& delivered) {
    QuietView view;
    delivered = 0;
    const double t0 = Now();
    for (int i = 0; i < kCommands; ++i) {
        char line[255] = {};
        DinerLine(i + 1).copy(line, sizeof line - 1);
        if (term.RunCommand(line, view)) ++delivered;
    }
    return Now() - t0;
}

void BatchFigures(const std::string& program, const std::string& link, bool master) {
    std::vector<std::string> extra = {"--terminal", "1"};
    if (master) {
        extra.push_back("--master");
        extra.push_back(std::to_string(kMasterPeriodMs));
    }
    Termsim sim(program, link, extra);
    if (!sim.ok()) {
        std::printf("(b) stravon-termsim did not start\n");
        return;
    }
    TSer_Port port(0, kBaud);
    TPorcio term(&port, 1);
    term.TestLink();
    int delivered = 0;
    const double wall = RunBatch(term, delivered);
    // A pty hands the router's 43-byte frame to the simulator at once and
    // reports an empty transmit queue, so the frame's wire time never reaches
    // our clock and is left out of the minimum.
    const double ack_ms = kAckDelayMs + kByteMs;
    double per_command = 0;
    const double mw = Master_wait;
    if (!master) {
        per_command = 2 + mw + 2 + 2 + 2 + 2 + ack_ms;
        std::printf("(b) %d diner commands on a quiet line: %d delivered\n", kCommands, delivered);
        std::printf("    minimum per command = RtsOff 2 + quiet listening %g + RtsOn 2 + frame + 2 + RtsOff 2 + 2\n"
                    "                          + acknowledgement (termsim delay %d + one byte) = %.3f ms\n",
                    mw, kAckDelayMs, per_command);
    } else {
        const double poll_ms = 4 * kByteMs;
        per_command = 2 + poll_ms + kMasterPeriodMs + 2 + 5 + 2 + ack_ms + 300;
        std::printf("(b) %d diner commands with a master polling every %d ms: %d delivered\n", kCommands, kMasterPeriodMs,
                    delivered);
        std::printf("    minimum per command = RtsOff 2 + one poll heard %.3f + the next poll one period later %d\n"
                    "                          + RtsOn 2 + frame + 5 + RtsOff 2 + acknowledgement (%d + one byte)\n"
                    "                          + 300 pause after a command on a master line = %.3f ms\n"
                    "    (it takes the first poll as arriving at once; waiting for it costs 0..%d ms more per command)\n",
                    poll_ms, kMasterPeriodMs, kAckDelayMs, per_command, kMasterPeriodMs);
    }
    std::printf("    (the frame's 43 x %.3f = %.1f ms on the wire is not counted: a pty delivers the router's bytes at once)\n",
                kByteMs, 43 * kByteMs);
    const double minimum = kCommands * per_command / 1000.0;
    std::printf("    wall = %.3f s, minimum = %.3f s, wall / minimum = %.4f   (target <= 1.05)\n", wall, minimum,
                wall / minimum);
}

}  // namespace

int main(int argc, char** argv) {
    std::string program = (fs::path(argv[0]).parent_path() / "stravon-termsim").string();
    if (argc > 1) program = argv[1];
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
    const std::string link = (dir / "stravon" / "dosdevices" / "com1").string();
    Master_wait = 40;
    std::printf("stravon-bench-link: %d Bd, Master_wait %u ms, one byte = %.3f ms on the wire\n", kBaud, Master_wait,
                kByteMs);

    BlockFigures(program, link, dir);
    BatchFigures(program, link, false);
    BatchFigures(program, link, true);

    std::error_code ec;
    fs::remove_all(dir, ec);
    return 0;
}
