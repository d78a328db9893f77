// stravon-termsim as a process over its pty, in real time (bounded waits).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

std::string temp_path(const std::string& name) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir ? dir : "/tmp") + "/termsim-" + std::to_string(getpid()) + "-" + name;
}

class Termsim {
public:
    explicit Termsim(std::vector<std::string> args) {
        const char* bin = std::getenv("STRAVON_BIN");
        const std::string exe = std::string(bin ? bin : ".") + "/stravon-termsim";
        int out[2];
        if (pipe(out) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            ::close(out[0]);
            ::close(out[1]);
            std::vector<char*> argv{const_cast<char*>(exe.c_str())};
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(exe.c_str(), argv.data());
            _exit(127);
        }
        ::close(out[1]);
        // The first line is the pty's path.
        std::string line;
        const auto until = Clock::now() + std::chrono::seconds(5);
        char c;
        while (Clock::now() < until) {
            pollfd p{out[0], POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            if (::read(out[0], &c, 1) != 1 || c == '\n') break;
            line += c;
        }
        ::close(out[0]);
        path_ = line;
    }
    ~Termsim() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    const std::string& path() const { return path_; }
    // True when the process ended by itself within ms.
    bool exits_within(int ms) {
        for (int i = 0; i < ms / 10; ++i) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) return exited_ = true;
            usleep(10'000);
        }
        return false;
    }

private:
    pid_t pid_ = -1;
    bool exited_ = false;
    std::string path_;
};

int open_raw(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return fd;
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

// Reads until n bytes came or ms passed.
Bytes read_bytes(int fd, size_t n, int ms) {
    Bytes got;
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (got.size() < n && Clock::now() < until) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        uint8_t b[256];
        ssize_t k = ::read(fd, b, std::min(sizeof b, n - got.size()));
        if (k > 0) got.insert(got.end(), b, b + k);
    }
    return got;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(TermsimProcess, AcknowledgesAProbeAndLogsBothDirections) {
    const std::string log = temp_path("probe.log");
    const std::string link = temp_path("com1");
    std::remove(log.c_str());
    {
        Termsim ts({"--pty", "--link", link, "--log", log, "--quiet"});
        ASSERT_FALSE(ts.path().empty());
        int fd = open_raw(link);  // the link leads to the pty
        ASSERT_GE(fd, 0);
        const Bytes probe{0x01, 0x04, 0x41, 0x46};
        const auto sent = Clock::now();
        ASSERT_EQ(::write(fd, probe.data(), probe.size()), 4);
        const Bytes ack = read_bytes(fd, 1, 3000);
        const auto took = Clock::now() - sent;
        EXPECT_EQ(ack, Bytes{0x06});
        EXPECT_GE(took, std::chrono::milliseconds(10));  // never before the turnaround
        // A bad checksum gets nothing.
        const Bytes bad{0x01, 0x04, 0x41, 0x47};
        ASSERT_EQ(::write(fd, bad.data(), bad.size()), 4);
        EXPECT_TRUE(read_bytes(fd, 1, 200).empty());
        ::close(fd);
        const std::string text = slurp(log);
        EXPECT_NE(text.find(" 01 RX 01 04 41 46 OK\n"), std::string::npos) << text;
        EXPECT_NE(text.find(" 01 TX 06 ACK\n"), std::string::npos) << text;
        EXPECT_NE(text.find(" 01 RX 01 04 41 47 BADSUM\n"), std::string::npos) << text;
    }
    std::remove(log.c_str());
    struct stat st{};
    EXPECT_NE(lstat(link.c_str(), &st), 0);  // the link goes with the simulator
}

TEST(TermsimProcess, MasterPollsAndARawBlockAfterThePoll) {
    const std::string block_file = temp_path("status.bin");
    Bytes block(27, 'x');
    block[0] = 'S';
    {
        std::ofstream out(block_file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(block.data()), std::streamsize(block.size()));
    }
    Termsim ts({"--pty", "--terminal", "2", "--master", "25", "--block", "2:S:" + block_file, "--quiet",
                "--exit-on-hangup"});
    ASSERT_FALSE(ts.path().empty());
    int fd = open_raw(ts.path());
    ASSERT_GE(fd, 0);
    // Find a poll in the stream, then send right after it.
    Bytes window;
    const auto until = Clock::now() + std::chrono::seconds(3);
    while (Clock::now() < until) {
        Bytes b = read_bytes(fd, 1, 100);
        if (b.empty()) continue;
        window.push_back(b[0]);
        if (window.size() >= 4 && Bytes(window.end() - 4, window.end()) == Bytes{0x10, 0x04, 0x55, 0x69}) break;
    }
    ASSERT_GE(window.size(), 4u);
    ASSERT_EQ(Bytes(window.end() - 4, window.end()), (Bytes{0x10, 0x04, 0x55, 0x69}));
    const Bytes cmd{0x02, 0x04, 0x53, 0x59};
    ASSERT_EQ(::write(fd, cmd.data(), cmd.size()), 4);
    Bytes answer = read_bytes(fd, 1 + block.size(), 3000);
    ASSERT_FALSE(answer.empty());
    EXPECT_EQ(answer[0], 0x06);
    EXPECT_EQ(Bytes(answer.begin() + 1, answer.end()), block);
    // The master holds off after a block instead of polling into the router's read.
    EXPECT_TRUE(read_bytes(fd, 1, 400).empty());
    ::close(fd);
    EXPECT_TRUE(ts.exits_within(3000));
    std::remove(block_file.c_str());
}

}  // namespace
