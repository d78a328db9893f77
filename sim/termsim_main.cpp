// stravon-termsim: terminals and a polling master on a pty or a serial
// device, in real time, for trying the router without hardware.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/posix_serial.h"
#include "sim/line_sim.h"
#include "sim/termsim_options.h"

namespace {

volatile sig_atomic_t stop_requested = 0;

void on_signal(int) { stop_requested = 1; }

uint64_t monotonic_us() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1'000'000 + uint64_t(ts.tv_nsec) / 1000;
}

void sleep_until_us(uint64_t t) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(t / 1'000'000);
    ts.tv_nsec = static_cast<long>(t % 1'000'000) * 1000;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR && !stop_requested) {
    }
}

// Raw 8N1 at exactly the given speed (a pty takes any speed and ignores it).
bool make_raw(int fd, uint32_t baud) { return platform::set_raw_8n1(fd, baud) == 0; }

class Log {
public:
    // The longest frame; a longer answer (a block) is logged by its first
    // bytes and its length.
    static constexpr size_t kLoggedBytes = 100;

    Log(const std::string& path, bool to_stderr) : to_stderr_(to_stderr) {
        if (!path.empty()) file_ = std::fopen(path.c_str(), "a");
    }
    ~Log() {
        if (file_) std::fclose(file_);
    }
    bool ok(const std::string& path) const { return path.empty() || file_; }
    void line(uint64_t us, uint8_t address, const char* dir, const std::vector<uint8_t>& bytes,
              const char* tail) {
        if (!file_ && !to_stderr_) return;
        char head[48];
        std::snprintf(head, sizeof head, "%llu %02X %s ", static_cast<unsigned long long>(us / 1000),
                      address, dir);
        // A block's whole text would take long to make while its bytes are due.
        std::string hex;
        if (bytes.size() > kLoggedBytes) {
            hex = sim::to_hex(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 16)) + " ... (" +
                  std::to_string(bytes.size()) + " B)";
        } else {
            hex = sim::to_hex(bytes);
        }
        const std::string text = head + hex + " " + tail + "\n";
        if (file_) {
            std::fputs(text.c_str(), file_);
            std::fflush(file_);
        }
        if (to_stderr_) std::fputs(text.c_str(), stderr);
    }

private:
    std::FILE* file_ = nullptr;
    bool to_stderr_;
};

const char* kind_word(sim::AnswerKind k) {
    switch (k) {
    case sim::AnswerKind::Ack: return "ACK";
    case sim::AnswerKind::Refusal: return "NAK";
    case sim::AnswerKind::Block: return "BLOCK";
    case sim::AnswerKind::Poll: return "POLL";
    }
    return "?";
}

bool write_all(int fd, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += size_t(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            // Nobody reads a full pty: give up when told to stop.
            if (stop_requested) return false;
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 10);
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    sim::TermsimOptions opt;
    const std::string error = sim::parse_termsim_options(std::vector<std::string>(argv + 1, argv + argc), opt);
    if (opt.help) {
        std::fputs(sim::termsim_usage(), stdout);
        return 0;
    }
    if (!error.empty()) {
        std::fprintf(stderr, "stravon-termsim: %s\nTry stravon-termsim --help\n", error.c_str());
        return 2;
    }

    sim::LineSim line(opt.baud);
    for (uint8_t a : opt.terminals) {
        sim::TerminalConfig cfg;
        cfg.address = a;
        cfg.ack_delay_us = uint64_t(opt.ack_delay_ms) * 1000;
        cfg.block_delay_us = uint64_t(opt.block_delay_ms) * 1000;
        cfg.dt = opt.dt;
        line.add_terminal(cfg);
    }
    for (const auto& b : opt.blocks) {
        std::ifstream in(b.file, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "stravon-termsim: cannot read %s\n", b.file.c_str());
            return 1;
        }
        line.terminal(b.address)->set_block(b.letter, std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}));
    }
    for (const auto& f : opt.faults) line.terminal(f.address)->add_fault(f.fault);
    // A pty has no RTS to look at; every byte that reaches us was keyed.
    line.set_require_rts(false);

    Log log(opt.log, !opt.quiet);
    if (!log.ok(opt.log)) {
        std::fprintf(stderr, "stravon-termsim: cannot open log %s: %s\n", opt.log.c_str(), std::strerror(errno));
        return 1;
    }

    int fd = -1;
    int slave_fd = -1;  // held so the pty survives the router closing and reopening it
    std::string slave_name;
    if (opt.pty) {
        fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0) {
            std::fprintf(stderr, "stravon-termsim: cannot create a pty: %s\n", std::strerror(errno));
            return 1;
        }
        const char* name = ptsname(fd);
        if (!name) {
            std::fprintf(stderr, "stravon-termsim: no pty name: %s\n", std::strerror(errno));
            return 1;
        }
        const std::string slave = name;
        slave_name = slave;
        slave_fd = ::open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (slave_fd < 0 || !make_raw(slave_fd, opt.baud)) {
            std::fprintf(stderr, "stravon-termsim: cannot set up %s: %s\n", slave.c_str(), std::strerror(errno));
            return 1;
        }
        if (!opt.link.empty()) {
            struct stat st{};
            // Replace an old link, never a file of some other kind.
            if (lstat(opt.link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) ::unlink(opt.link.c_str());
            if (symlink(slave.c_str(), opt.link.c_str()) != 0) {
                std::fprintf(stderr, "stravon-termsim: cannot link %s: %s\n", opt.link.c_str(), std::strerror(errno));
                return 1;
            }
        }
        std::printf("%s\n", slave.c_str());
        std::fflush(stdout);
    } else {
        fd = ::open(opt.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0 || !make_raw(fd, opt.baud)) {
            std::fprintf(stderr, "stravon-termsim: cannot open %s: %s\n", opt.device.c_str(), std::strerror(errno));
            return 1;
        }
    }

    struct sigaction sa{};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    const uint64_t t0 = monotonic_us();
    if (opt.master_period_ms) line.set_master(*opt.master_period_ms, 0, uint64_t(opt.master_holdoff_ms) * 1000);

    const uint64_t bt = line.byte_time_us();
    uint64_t last_start = 0;
    size_t frames_logged = 0, answers_logged = 0;
    int rc = 0;
    std::vector<uint8_t> buf(4096);

    while (!stop_requested) {
        uint64_t now = monotonic_us() - t0;

        bool hangup = false;
        for (;;) {
            ssize_t n = ::read(fd, buf.data(), buf.size());
            if (n > 0) {
                // The chunk's bytes ended on the wire back to back, the last one
                // now. A writer on a pty is not paced by a wire, so a later chunk
                // is never pushed behind the earlier one into the future: the
                // router starts its answer window when its write returns.
                for (ssize_t i = 0; i < n; ++i) {
                    uint64_t start = now > uint64_t(n - i) * bt ? now - uint64_t(n - i) * bt : 0;
                    start = std::max(start, last_start);
                    last_start = start;
                    line.advance_to(start);
                    line.router_byte(buf[size_t(i)], start, true);
                }
                if (opt.exit_on_hangup && slave_fd >= 0) {
                    // The router has the line open; from now on its close is a hang-up.
                    ::close(slave_fd);
                    slave_fd = -1;
                }
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EINTR)) hangup = true;
            break;
        }

        line.advance_to(now);
        // Bytes due go out before the log is written, which for a long
        // block takes a while.
        const std::vector<uint8_t> out = line.take_arrived(now);
        if (!out.empty() && !write_all(fd, out)) hangup = true;
        for (; frames_logged < line.frames().size(); ++frames_logged) {
            const auto& f = line.frames()[frames_logged];
            log.line(f.end_us, f.address(), "RX", f.bytes, f.checksum_ok ? "OK" : "BADSUM");
        }
        // An answer is logged once it has begun on the wire: an acknowledgement
        // due now never waits behind the line of a block scheduled after it.
        for (; answers_logged < line.sent().size() && line.sent()[answers_logged].start_us <= now; ++answers_logged) {
            const auto& s = line.sent()[answers_logged];
            if (s.kind != sim::AnswerKind::Poll) log.line(s.start_us, s.address, "TX", s.bytes, kind_word(s.kind));
        }

        if (hangup) {
            if (opt.exit_on_hangup) break;
            ::usleep(100'000);  // a device that went away: look again later, do not spin
            continue;
        }

        std::optional<uint64_t> next = line.next_arrival_us(now);
        if (auto slot = line.next_master_slot_us(); slot && (!next || *slot < *next)) next = slot;
        now = monotonic_us() - t0;
        pollfd p{fd, POLLIN, 0};
        if (!next) {
            ::poll(&p, 1, 200);
        } else if (*next > now + 2000) {
            ::poll(&p, 1, static_cast<int>(std::min<uint64_t>((*next - now) / 1000 - 1, 200)));
        } else if (*next > now) {
            sleep_until_us(t0 + *next);
        }
        if (p.revents & (POLLHUP | POLLERR)) {
            if (opt.exit_on_hangup) break;
            if (!(p.revents & POLLIN)) ::usleep(100'000);
        }
    }
    // Another simulator may have taken the link over meanwhile: leave its link alone.
    if (!opt.link.empty() && !slave_name.empty()) {
        char target[4096];
        const ssize_t n = ::readlink(opt.link.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, size_t(n)) == slave_name) ::unlink(opt.link.c_str());
    }
    if (slave_fd >= 0) ::close(slave_fd);
    ::close(fd);
    return rc;
}
