#include "tests/integration/harness.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace itest {

std::string bin_dir() {
    const char* b = std::getenv("STRAVON_BIN");
    return b ? b : "build/bin";
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

Child::Child(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& cwd) {
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(p[1], 1);
        ::dup2(p[1], 2);
        int devnull = ::open("/dev/null", O_RDONLY);
        ::dup2(devnull, 0);
        if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) _exit(127);
        std::vector<char*> a, e;
        for (auto& s : argv) a.push_back(const_cast<char*>(s.c_str()));
        a.push_back(nullptr);
        for (auto& s : env) e.push_back(const_cast<char*>(s.c_str()));
        e.push_back(nullptr);
        ::execve(a[0], a.data(), e.data());
        _exit(127);
    }
    ::close(p[1]);
    fd_ = p[0];
}

Child::Child(Child&& o) noexcept { *this = std::move(o); }

Child& Child::operator=(Child&& o) noexcept {
    std::swap(pid_, o.pid_);
    std::swap(fd_, o.fd_);
    std::swap(status_, o.status_);
    std::swap(out_, o.out_);
    std::swap(consumed_, o.consumed_);
    return *this;
}

Child::~Child() {
    if (pid_ > 0 && status_ == -1000) {
        ::kill(pid_, SIGTERM);
        if (wait(5000) == -1000) {
            ::kill(pid_, SIGKILL);
            wait(5000);
        }
    }
    if (fd_ >= 0) ::close(fd_);
}

void Child::pump(int timeout_ms) {
    if (fd_ < 0) return;
    pollfd pfd{fd_, POLLIN, 0};
    if (::poll(&pfd, 1, timeout_ms) <= 0) return;
    char buf[4096];
    ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n > 0) {
        out_.append(buf, static_cast<size_t>(n));
    } else {
        ::close(fd_);
        fd_ = -1;
    }
}

std::string Child::read_line(int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        size_t nl = out_.find('\n', consumed_);
        if (nl != std::string::npos) {
            std::string line = out_.substr(consumed_, nl - consumed_);
            consumed_ = nl + 1;
            return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || fd_ < 0) return "";
        pump(static_cast<int>(left.count()));
    }
}

int Child::wait(int timeout_ms) {
    if (status_ != -1000) return status_;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int st = 0;
        if (::waitpid(pid_, &st, WNOHANG) == pid_) {
            while (fd_ >= 0) pump(100);
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            return status_;
        }
        if (std::chrono::steady_clock::now() >= deadline) return -1000;
        pump(20);
    }
}

void Child::signal(int sig) {
    if (pid_ > 0 && status_ == -1000) ::kill(pid_, sig);
}

bool Child::running() { return pid_ > 0 && wait(0) == -1000; }

Record::Record() {
    terminal(1, 1, 0, true);
    b[12] = 4;                 // K_Baud1: 19200
    b[16] = 2500 & 0xFF;       // Radku1
    b[17] = 2500 >> 8;
    b[20] = 5;                 // MxSn1
    b[24] = 5;                 // MxVec1
    names("pozad.txt", "vystup.txt");
    b[61] = 1;                 // Rep_read: two attempts
    b[62] = 1;                 // Rep_write: two attempts
    b[63] = 0;                 // no priority change in tests
}

void Record::terminal(int n, uint8_t address, uint8_t com_index, bool connected) {
    size_t o = 3 * static_cast<size_t>(n - 1);
    b[o] = address;
    b[o + 1] = com_index;
    b[o + 2] = connected ? 1 : 0;
}

void Record::names(const std::string& in, const std::string& out) {
    for (size_t i = 0; i < 15; ++i) {
        b[31 + i] = i < in.size() && i < 12 ? static_cast<uint8_t>(in[i]) : 0;
        b[46 + i] = i < out.size() && i < 12 ? static_cast<uint8_t>(out[i]) : 0;
    }
}

Sandbox::Sandbox() {
    char tmpl[] = "/tmp/stravon-itest-XXXXXX";
    if (!::mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
    root = tmpl;
    config = root + "/config";
    work = root + "/work";
    runtime = root + "/run";
    fs::create_directories(config + "/stravon/dosdevices");
    fs::create_directories(work);
    fs::create_directories(runtime);
    ::chmod(runtime.c_str(), 0700);
}

Sandbox::~Sandbox() {
    std::error_code ec;
    fs::remove_all(root, ec);
}

void Sandbox::write_record(const Record& r) {
    std::string text = "Windows Registry Editor Version 5.00\r\n\r\n"
                       "[HKEY_CURRENT_USER\\Software\\VELKON_Software\\Porcio\\Setup]\r\n\"Data_CFG\"=hex:";
    char hex[4];
    for (size_t i = 0; i < r.b.size(); ++i) {
        std::snprintf(hex, sizeof hex, "%02x", r.b[i]);
        if (i) text += ",";
        if (i && i % 20 == 0) text += "\\\r\n  ";
        text += hex;
    }
    text += "\r\n\r\n";
    write_file(config + "/stravon/user.reg", text);
}

std::vector<std::string> Sandbox::env() const {
    std::vector<std::string> e = {"XDG_CONFIG_HOME=" + config, "XDG_RUNTIME_DIR=" + runtime,
                                  "HOME=" + root, "QT_QPA_PLATFORM=offscreen", "LANG=C.UTF-8"};
    if (const char* p = std::getenv("PATH")) e.push_back(std::string("PATH=") + p);
    for (const char* k : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char* v = std::getenv(k)) e.push_back(std::string(k) + "=" + v);
    return e;
}

Child Sandbox::start_termsim(int com_number, const std::vector<std::string>& extra_args) {
    std::string link = config + "/stravon/dosdevices/com" + std::to_string(com_number);
    std::vector<std::string> argv = {bin_dir() + "/stravon-termsim", "--pty", "--link", link, "--quiet"};
    argv.insert(argv.end(), extra_args.begin(), extra_args.end());
    Child c(argv, env(), work);
    // It stands for a terminal, which is never late: on a busy machine it
    // runs ahead of the router where this user may raise it.
    sched_param sp{};
    sp.sched_priority = 10;
    if (sched_setscheduler(c.pid(), SCHED_FIFO, &sp) != 0) setpriority(PRIO_PROCESS, id_t(c.pid()), -10);
    c.read_line(5000);  // the slave path, once the pty is ready
    for (int i = 0; i < 250 && !exists(link); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return c;
}

Child Sandbox::start_router() { return Child({bin_dir() + "/stravon"}, env(), work); }

bool wait_for_text(const std::string& path, const std::string& text, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        if (read_file(path).find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

bool wait_for_log(const Sandbox& s, const std::string& text, int timeout_ms) {
    return wait_for_text(s.work + "/errorlog.txt", text, timeout_ms);
}

}  // namespace itest

namespace itest {

std::vector<std::string> frames_in_log(const std::string& sim_log) {
    std::vector<std::string> frames;
    std::istringstream in(sim_log);
    std::string line;
    while (std::getline(in, line)) {
        size_t rx = line.find(" RX ");
        size_t end = line.rfind(' ');
        if (rx == std::string::npos || end <= rx + 3) continue;
        frames.push_back(line.substr(rx + 4, end - rx - 4));
    }
    return frames;
}

}  // namespace itest
