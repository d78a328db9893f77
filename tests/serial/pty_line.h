// A pty pair mapped as COM ports: the test holds the master side, the code
// under test opens the slave through ${XDG_CONFIG_HOME}/stravon/dosdevices.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace testing_pty {

class TempConfig {
public:
    TempConfig() {
        char tmpl[] = "/tmp/stravon-serial-XXXXXX";
        root_ = ::mkdtemp(tmpl);
        std::filesystem::create_directories(dosdevices());
        if (const char* old = std::getenv("XDG_CONFIG_HOME")) {
            had_old_ = true;
            old_ = old;
        }
        ::setenv("XDG_CONFIG_HOME", root_.c_str(), 1);
    }
    ~TempConfig() {
        if (had_old_)
            ::setenv("XDG_CONFIG_HOME", old_.c_str(), 1);
        else
            ::unsetenv("XDG_CONFIG_HOME");
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    TempConfig(const TempConfig&) = delete;
    TempConfig& operator=(const TempConfig&) = delete;

    std::string root() const { return root_; }
    std::string dosdevices() const { return root_ + "/stravon/dosdevices"; }
    std::string com_link(int n) const { return dosdevices() + "/com" + std::to_string(n); }
    void map(int n, const std::string& target) const {
        std::filesystem::remove(com_link(n));
        std::filesystem::create_symlink(target, com_link(n));
    }

private:
    std::string root_;
    std::string old_;
    bool had_old_ = false;
};

class Pty {
public:
    Pty() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0)
            slave_ = ::ptsname(master_);
    }
    ~Pty() { close_master(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool ok() const { return master_ >= 0 && !slave_.empty(); }
    int master() const { return master_; }
    const std::string& slave() const { return slave_; }
    void close_master() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }

    void send(const std::vector<uint8_t>& bytes) const {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t r = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (r > 0) done += size_t(r);
        }
    }
    void send(const std::string& s) const { send(std::vector<uint8_t>(s.begin(), s.end())); }

    // Whatever the slave side wrote, collected until count bytes or timeout.
    std::string receive(size_t count, int timeout_ms = 1000) const {
        std::string out;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (out.size() < count && std::chrono::steady_clock::now() < end) {
            struct pollfd p = {master_, POLLIN, 0};
            if (::poll(&p, 1, 10) > 0 && (p.revents & POLLIN)) {
                char buf[256];
                ssize_t r = ::read(master_, buf, sizeof buf);
                if (r > 0) out.append(buf, size_t(r));
            }
        }
        return out;
    }

private:
    int master_ = -1;
    std::string slave_;
};

// Polls cond every millisecond for up to timeout_ms of real time.
template <class F>
bool eventually(F cond, int timeout_ms = 1000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace testing_pty
