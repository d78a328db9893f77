#include "bench/bench_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

constexpr int kBaud = 19200;
constexpr double kByteMs = 10.0 * 1000.0 / kBaud;
constexpr double kMasterWaitMs = 40;
// The simulator's answer times, given to it explicitly so the minimum knows them.
constexpr int kAckDelayMs = kProgramAckDelayMs;
constexpr int kBlockDelayMs = kProgramBlockDelayMs;
constexpr int kRecord = 24;
constexpr int kLinePauseMs = 5;

double Now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::string ReadFile(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void WriteFile(const fs::path& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary | std::ios::trunc).write(bytes.data(), std::streamsize(bytes.size()));
}

// The configuration record: terminal 1 at address 1 on COM1, 19200 Bd,
// 2500 records, meal coding 5/5, requests pozad.txt, output vystup.txt,
// two read and two write attempts, Master_wait 40.
std::string RegistryFile(bool priority) {
    uint8_t b[68] = {};
    b[0] = 1;      // Adr1
    b[1] = 0;      // Port1: COM1
    b[2] = 1;      // Pripojen1
    b[12] = 4;     // K_Baud1: 19200
    b[16] = 2500 & 0xFF;
    b[17] = 2500 >> 8;
    b[20] = 5;     // MxSn1
    b[24] = 5;     // MxVec1
    const std::string in = "pozad.txt", out = "vystup.txt";
    std::memcpy(b + 31, in.data(), in.size());
    std::memcpy(b + 46, out.data(), out.size());
    b[61] = 1;     // Rep_read
    b[62] = 1;     // Rep_write
    b[63] = priority ? 1 : 0;
    b[64] = 0;     // Delay_add
    std::string text = "Windows Registry Editor Version 5.00\r\n\r\n"
                       "[HKEY_CURRENT_USER\\Software\\VELKON_Software\\Porcio\\Setup]\r\n\"Data_CFG\"=hex:";
    char hex[4];
    for (size_t i = 0; i < sizeof b; ++i) {
        std::snprintf(hex, sizeof hex, "%02x", b[i]);
        if (i) text += ",";
        if (i && i % 20 == 0) text += "\\\r\n  ";
        text += hex;
    }
    return text + "\r\n\r\n";
}

// A child with its own environment and directory; its output goes to a file.
pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, const fs::path& cwd,
            const fs::path& output, int* first_line_fd = nullptr) {
    int p[2] = {-1, -1};
    if (first_line_fd && pipe2(p, O_CLOEXEC) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(first_line_fd ? p[1] : out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        const int null = ::open("/dev/null", O_RDONLY);
        dup2(null, STDIN_FILENO);
        if (chdir(cwd.c_str()) != 0) _exit(127);
        std::vector<char*> a, e;
        for (const auto& s : argv) a.push_back(const_cast<char*>(s.c_str()));
        a.push_back(nullptr);
        for (const auto& s : env) e.push_back(const_cast<char*>(s.c_str()));
        e.push_back(nullptr);
        execve(a[0], a.data(), e.data());
        _exit(127);
    }
    if (first_line_fd) {
        close(p[1]);
        *first_line_fd = p[0];
    }
    return pid;
}

void Stop(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    for (int i = 0; i < 150; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// utime + stime of a process, all its threads, in seconds.
double ProcessCpu(pid_t pid) {
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t paren = stat.rfind(')');
    if (paren == std::string::npos) return 0;
    std::istringstream in(stat.substr(paren + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    // After the name: state is field 3, utime 14, stime 15.
    for (int i = 3; i <= 15 && in >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// The moments of one request, read from the directory's events as they come.
class RequestEvents {
public:
    RequestEvents(const fs::path& dir, pid_t router) : router_(router) {
        fd_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        inotify_add_watch(fd_, dir.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE | IN_DELETE | IN_MOVED_FROM);
    }
    ~RequestEvents() { close(fd_); }
    // Fills the run's times from t0 (and CPU from c0) until porcom.sta is
    // written; false on time-out.
    bool Follow(double t0, double c0, double deadline, ProgramRun& r) {
        alignas(inotify_event) char buf[8192];
        bool taken = false, block = false;
        for (;;) {
            const double left = deadline - Now();
            if (left <= 0) return false;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, int(left * 1000) + 1) <= 0) continue;
            const ssize_t n = read(fd_, buf, sizeof buf);
            const double t = Now() - t0, cpu = ProcessCpu(router_) - c0;
            for (ssize_t at = 0; at < n;) {
                const auto* ev = reinterpret_cast<const inotify_event*>(buf + at);
                at += ssize_t(sizeof(inotify_event) + ev->len);
                const std::string name = ev->len > 0 ? ev->name : "";
                const bool gone = ev->mask & (IN_DELETE | IN_MOVED_FROM);
                if (!taken && gone && name == "pozad.txt") {
                    taken = true;
                    r.taken_s = t, r.cpu_taken_s = cpu;
                } else if (!block && !gone && name == "binarni.bin") {
                    block = true;
                    r.block_s = t, r.cpu_block_s = cpu;
                } else if (!gone && name == "porcom.sta") {
                    r.wall_s = t, r.cpu_s = cpu;
                    return true;
                }
            }
        }
    }

private:
    int fd_ = -1;
    pid_t router_;
};

// Listen for a poll until Master_wait of quiet, RtsOn 2, a 4-byte frame,
// then whichever is later: the router's pause 2, RtsOff 2 and pause 2, or
// the terminal's answer (turnaround and one byte).
double ExchangeMs() { return kMasterWaitMs + 2 + 4 * kByteMs + std::max(6.0, kAckDelayMs + kByteMs); }

double LinkMinimum(int records) {
    const double link_test = kMasterWaitMs + ExchangeMs();  // a quiet listen, then the probe "A"
    // The 500 ms pause after the acknowledgement runs while the block is on
    // the wire; the block ends with Master_wait of quiet.
    const double block = std::max(500.0, kBlockDelayMs + records * kRecord * kByteMs) + kMasterWaitMs;
    return (link_test + ExchangeMs() + block) / 1000;
}

// The pause after each line, and the 1 ms after the command line.
double ListMinimum(int records) { return (records * kLinePauseMs + 1) / 1000.0; }

}  // namespace

double LinkMinimumSeconds(int records) { return LinkMinimum(records); }
double ListMinimumSeconds(int records) { return ListMinimum(records); }

std::string DinerBlock(int records) {
    std::string block;
    for (int r = 0; r < records; ++r) {
        std::string rec(kRecord, '\0');
        rec[0] = 'R';
        rec[1] = char(r >> 8);
        rec[2] = char(r);
        rec[7] = 1;  // flag byte
        for (int d = 0; d < 14; ++d) rec[8 + d] = char(86);
        block += rec;
    }
    return block;
}

ProgramFigures MeasureProgram(const std::string& bin_dir, const std::string& dir, int records, int requests,
                              bool priority) {
    ProgramFigures f;
    f.link_minimum_s = LinkMinimumSeconds(records);
    f.list_minimum_s = ListMinimumSeconds(records);
    f.minimum_s = f.link_minimum_s + f.list_minimum_s;
    const fs::path router = fs::path(bin_dir) / "stravon", termsim = fs::path(bin_dir) / "stravon-termsim";
    if (!fs::exists(router)) {
        f.failure = router.string() + " is not built";
        return f;
    }
    const fs::path root = fs::path(dir) / "program", config = root / "config", work = root / "work",
                   runtime = root / "run";
    fs::create_directories(config / "stravon" / "dosdevices");
    fs::create_directories(work);
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all);
    WriteFile(config / "stravon" / "user.reg", RegistryFile(priority));

    WriteFile(root / "block.bin", DinerBlock(records));

    std::vector<std::string> env = {"XDG_CONFIG_HOME=" + config.string(), "XDG_RUNTIME_DIR=" + runtime.string(),
                                    "HOME=" + root.string(), "QT_QPA_PLATFORM=offscreen", "LANG=C.UTF-8"};
    if (const char* p = std::getenv("PATH")) env.push_back(std::string("PATH=") + p);

    const fs::path link = config / "stravon" / "dosdevices" / "com1";
    int sim_out = -1;
    const pid_t sim = Spawn({termsim.string(), "--pty", "--link", link.string(), "--quiet", "--baud",
                             std::to_string(kBaud), "--ack-delay", std::to_string(kAckDelayMs), "--block-delay",
                             std::to_string(kBlockDelayMs), "--block", "1:Y:" + (root / "block.bin").string()},
                            env, work, root / "termsim.out", &sim_out);
    // Its first line is the pty's path, printed once the link exists.
    char c;
    while (sim_out >= 0 && read(sim_out, &c, 1) == 1 && c != '\n') {
    }
    if (sim_out >= 0) close(sim_out);
    const pid_t pid = Spawn({router.string()}, env, work, root / "stravon.out");
    const fs::path log = work / "errorlog.txt";
    // The line-up has run when the terminal's line is logged.
    const double ready_by = Now() + 30;
    while (ReadFile(log).find("TERM ") == std::string::npos && Now() < ready_by)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (ReadFile(log).find("TERM 1 ") == std::string::npos || !fs::exists(link)) {
        f.failure = "the router did not line up its terminal; errorlog.txt:\n" + ReadFile(log);
        Stop(pid);
        Stop(sim);
        return f;
    }
    f.started = true;

    RequestEvents events(work, pid);
    for (int i = 0; i < requests; ++i) {
        // As stravon-porcio drops it: written under another name, then renamed.
        const fs::path part = work / ".pozad.txt.part";
        WriteFile(part, "Y\r\n");
        const double c0 = ProcessCpu(pid);
        const double t0 = Now();
        fs::rename(part, work / "pozad.txt");
        ProgramRun r;
        const bool answered = events.Follow(t0, c0, t0 + 120, r);
        r.status = answered ? ReadFile(work / "porcom.sta") : "(no status within 120 s)";
        while (!r.status.empty() && (r.status.back() == '\n' || r.status.back() == '\r')) r.status.pop_back();
        const std::string out = ReadFile(work / "vystup.txt");
        r.output_lines = int(std::count(out.begin(), out.end(), '\n'));
        f.runs.push_back(r);
        if (!answered) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    f.log = ReadFile(log);
    Stop(pid);
    Stop(sim);
    return f;
}

void PrintProgram(const ProgramFigures& f, int records, const ProgramRun* link_alone) {
    const double bytes = records * kRecord;
    std::printf("(c) the whole program: stravon, its window offscreen, reading a block of %d records (%.0f bytes)\n"
                "    at %d Bd from stravon-termsim, one request \"Y\" at a time dropped as stravon-porcio drops it\n",
                records, bytes, kBaud);
    std::printf("    minimum = link: link test (quiet %g + probe \"A\" %.3f) + read command \"Y\" %.3f\n"
                "                    (each: listen Master_wait %g, RtsOn 2, 4-byte frame %.3f, then the later of\n"
                "                     the router's 2 + RtsOff 2 + 2 and the answer, turnaround %d + one byte)\n"
                "                  + block: the later of the 500 ms pause and block delay %d + wire %.3f\n"
                "                    (the pause runs while the block comes) + closing quiet %g\n"
                "                  = %.3f s\n"
                "            + list: %d lines x %d ms + 1 ms after the command = %.3f s\n"
                "            = %.3f s; the request is taken at once (0 s)\n",
                kMasterWaitMs, ExchangeMs(), ExchangeMs(), kMasterWaitMs, 4 * kByteMs, kAckDelayMs, kBlockDelayMs,
                bytes * kByteMs, kMasterWaitMs, f.link_minimum_s, records, kLinePauseMs, f.list_minimum_s,
                f.minimum_s);
    if (!f.started) {
        std::printf("    not measured: %s\n", f.failure.c_str());
        return;
    }
    std::printf("    seen from outside: the request renamed into place -> taken (the router deletes it) ->\n"
                "    binarni.bin written (the block has ended) -> porcom.sta; the router process's CPU (all threads)\n");
    std::printf("    %4s %7s %7s | %7s | %7s %7s | %7s %7s | %6s %8s  %-22s | %s\n", "run", "wall s", "/min",
                "taken s", "link s", "/min", "list s", "/min", "CPU s", "CPU/wall", "CPU s: wait, link, list",
                "status, lines");
    auto row = [&](const char* name, const ProgramRun& r) {
        const double link = r.block_s - r.taken_s, list = r.wall_s - r.block_s;
        char cpu[64];
        std::snprintf(cpu, sizeof cpu, "%.2f, %.2f, %.2f", r.cpu_taken_s, r.cpu_block_s - r.cpu_taken_s,
                      r.cpu_s - r.cpu_block_s);
        std::printf("    %4s %7.3f %7.4f | %7.3f | %7.3f %7.4f | %7.3f %7.4f | %6.2f %8.4f  %-22s | %s, %d\n", name,
                    r.wall_s, r.wall_s / f.minimum_s, r.taken_s, link, link / f.link_minimum_s, list,
                    list / f.list_minimum_s, r.cpu_s, r.cpu_s / r.wall_s, cpu, r.status.c_str(), r.output_lines);
    };
    for (size_t i = 0; i < f.runs.size(); ++i) row(std::to_string(i + 1).c_str(), f.runs[i]);
    if (link_alone) {
        std::printf("    the same request through the link alone in this process (link test, RunCommand \"Y\";\n"
                    "    the event loop a stand-in, no window), timed from the link test; CPU of this process:\n");
        row("link", *link_alone);
    }
    std::printf("    targets: wall / minimum <= 1.02, CPU / wall <= 0.02\n");
    const std::string full = "1," + std::to_string(records);
    if (std::any_of(f.runs.begin(), f.runs.end(), [&](const ProgramRun& r) { return r.status != full; }))
        std::printf("    NOT ANSWERED IN FULL (status %s expected); the router's errorlog.txt:\n%s", full.c_str(),
                    f.log.c_str());
}
