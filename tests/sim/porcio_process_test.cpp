// stravon-porcio as a process against a router played by the test.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace fs = std::filesystem;

namespace {

void put(const fs::path& path, const std::string& text) {
    const fs::path tmp = path.string() + ".tmp";
    std::ofstream(tmp, std::ios::binary) << text;
    fs::rename(tmp, path);
}

// Runs stravon-porcio with args; its standard output, and the exit status when not 0.
std::string run_porcio(const std::vector<std::string>& args) {
    const char* bin = std::getenv("STRAVON_BIN");
    const std::string exe = std::string(bin ? bin : ".") + "/stravon-porcio";
    int out[2];
    if (pipe(out) != 0) return "";
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        ::close(out[0]);
        ::close(out[1]);
        std::vector<char*> argv{const_cast<char*>(exe.c_str())};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    ::close(out[1]);
    std::string text;
    char buf[256];
    ssize_t n;
    while ((n = ::read(out[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    ::close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) text += "[exit status " + std::to_string(status) + "]";
    return text;
}

class PorcioProcess : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/stravon-porcio-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { fs::remove_all(dir); }

    // Plays the router for one request: waits for it, optionally lets an
    // earlier request's answer land first, takes the file, runs for run_ms,
    // then writes the output and the status.
    std::thread router(const std::string& late_status, int run_ms, const std::string& answer) {
        return std::thread([=, this] {
            const fs::path req = dir / "poz.txt";
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (!fs::exists(req) && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            if (!late_status.empty()) {
                put(dir / "vys.txt", "R0007\r\n");
                put(dir / "porcom.sta", late_status);
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            fs::remove(req);
            std::this_thread::sleep_for(std::chrono::milliseconds(run_ms));
            put(dir / "vys.txt", "S0102\r\n");
            put(dir / "porcom.sta", answer);
        });
    }
    std::string porcio() {
        return run_porcio({"--dir", dir.string(), "--request", "poz.txt", "--output", "vys.txt", "--timeout", "5", "S"});
    }

    fs::path dir;
};

TEST_F(PorcioProcess, PrintsTheStatusOfItsOwnRequestOnly) {
    // An earlier request's status lands after ours was dropped, before it is taken.
    std::thread slow = router("200,0\n", 300, "1,1\n");
    const std::string first = porcio();
    slow.join();
    EXPECT_NE(first.find("status: 1,1\n"), std::string::npos) << first;
    EXPECT_NE(first.find("S0102"), std::string::npos) << first;

    // A router that answers at once, with the old status still in place.
    std::thread fast = router("", 0, "1,0\n");
    const std::string second = porcio();
    fast.join();
    EXPECT_NE(second.find("status: 1,0\n"), std::string::npos) << second;
}

}  // namespace
