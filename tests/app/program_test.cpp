// The real program: one copy per user, and the end by a termination signal.
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <spawn.h>
#include <string>
#include <sys/file.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

// No X server listens there on a test machine.
const std::string StaleDisplay = "DISPLAY=:193";

namespace fs = std::filesystem;

class ProgramTest : public ::testing::Test {
protected:
    ProgramTest()
    {
        char tmpl[] = "/tmp/stravon-prog-XXXXXX";
        root = mkdtemp(tmpl);
        fs::create_directories(root / "cfg/stravon/dosdevices");
        fs::create_directories(root / "run");
        fs::create_directories(root / "wd");
        fs::permissions(root / "run", fs::perms::owner_all);
        for (int n = 1; n <= 8; ++n)
            fs::create_symlink(root / "missing", root / "cfg/stravon/dosdevices" / ("com" + std::to_string(n)));
        const char* bin = std::getenv("STRAVON_BIN");
        program = std::string(bin ? bin : ".") + "/stravon";
    }
    ~ProgramTest() override
    {
        for (pid_t p : started)
            if (::waitpid(p, nullptr, WNOHANG) == 0) {
                ::kill(p, SIGKILL);
                ::waitpid(p, nullptr, 0);
            }
        std::error_code ec;
        fs::remove_all(root, ec);
    }

    // Without offscreen the program finds no display: CI has none. A display
    // that is named but cannot be reached fails later, inside Qt.
    pid_t spawn(const std::string& err_file, const std::string& display = "QT_QPA_PLATFORM=offscreen",
                const std::string& runtime_dir = "run")
    {
        std::vector<std::string> env = {"XDG_CONFIG_HOME=" + (root / "cfg").string(),
                                        "XDG_RUNTIME_DIR=" + (root / runtime_dir).string(),
                                        "HOME=" + root.string(), "PATH=/usr/bin:/bin"};
        if (!display.empty())
            env.push_back(display);
        std::vector<char*> envp;
        for (auto& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 2, (root / err_file).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        const std::string wd = (root / "wd").string();
        // The program takes its working directory from where it starts.
        std::string script = "cd '" + wd + "' && exec '" + program + "'";
        std::string sh = "/bin/sh", dash_c = "-c";
        std::vector<char*> sh_argv = {sh.data(), dash_c.data(), script.data(), nullptr};
        pid_t pid = -1;
        const int rc = posix_spawn(&pid, "/bin/sh", &fa, nullptr, sh_argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&fa);
        EXPECT_EQ(rc, 0);
        started.push_back(pid);
        return pid;
    }

    std::string log_text() const
    {
        std::ifstream in(root / "wd/errorlog.txt", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::string file_text(const std::string& name) const
    {
        std::ifstream in(root / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // Waits up to limit for the child to end; -1 when it is still running.
    int wait_status(pid_t pid, std::chrono::seconds limit)
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            int st = 0;
            if (::waitpid(pid, &st, WNOHANG) == pid)
                return WIFEXITED(st) ? WEXITSTATUS(st) : 1000 + WTERMSIG(st);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    }

    int count_in_log(const std::string& text) const
    {
        const std::string log = log_text();
        int n = 0;
        for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
            ++n;
        return n;
    }

    bool wait_for_log(const std::string& text, std::chrono::seconds limit, int times = 1)
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            if (count_in_log(text) >= times)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    fs::path root;
    std::string program;
    std::vector<pid_t> started;
};

} // namespace

TEST_F(ProgramTest, SecondCopyIsRefusedAndTheFirstEndsOnSignal)
{
    const pid_t first = spawn("first.err");
    ASSERT_TRUE(wait_for_log("Start programu", std::chrono::seconds(30))) << file_text("first.err");
    const std::string log_before = log_text();

    const pid_t second = spawn("second.err");
    EXPECT_EQ(wait_status(second, std::chrono::seconds(30)), 255);
    EXPECT_NE(file_text("second.err").find("Tento program může být spuštěn pouze jednou!!!"), std::string::npos);
    EXPECT_EQ(log_text(), log_before) << "the second copy logs nothing";
    // Without a display too: no abort, the status and the message of a second copy.
    const pid_t headless_second = spawn("headless-second.err", "");
    EXPECT_EQ(wait_status(headless_second, std::chrono::seconds(30)), 255);
    EXPECT_NE(file_text("headless-second.err").find("Tento program může být spuštěn pouze jednou!!!"), std::string::npos);
    EXPECT_NE(file_text("headless-second.err").find("QT_QPA_PLATFORM=offscreen"), std::string::npos);
    // A display that is named but gone (a stale DISPLAY after su or ssh -X).
    const pid_t stale_second = spawn("stale-second.err", StaleDisplay);
    EXPECT_EQ(wait_status(stale_second, std::chrono::seconds(30)), 255) << file_text("stale-second.err");

    // The first copy still runs and still holds the lock.
    EXPECT_EQ(wait_status(first, std::chrono::seconds(0)), -1);
    const int fd = ::open((root / "run/Stravonprogram.lock").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_NE(::flock(fd, LOCK_EX | LOCK_NB), 0);
    ::close(fd);

    // SIGTERM ends it like a confirmed close, without a question.
    ::kill(first, SIGTERM);
    EXPECT_EQ(wait_status(first, std::chrono::seconds(30)), 0);
    const std::string log = log_text();
    EXPECT_NE(log.find("Stop programu"), std::string::npos);
    EXPECT_EQ(file_text("first.err").find("Opravdu si"), std::string::npos);

    // With the first gone, a new copy may start.
    const pid_t third = spawn("third.err");
    ASSERT_TRUE(wait_for_log("Start programu", std::chrono::seconds(30), 2));
    ::kill(third, SIGHUP);
    EXPECT_EQ(wait_status(third, std::chrono::seconds(30)), 0) << file_text("third.err");
    EXPECT_EQ(count_in_log("Stop programu"), 2);

    // No display: one clear line and the status 1, not an abort.
    const pid_t headless = spawn("headless.err", "");
    EXPECT_EQ(wait_status(headless, std::chrono::seconds(30)), 1);
    EXPECT_NE(file_text("headless.err").find("QT_QPA_PLATFORM=offscreen"), std::string::npos);
    const pid_t stale = spawn("stale.err", StaleDisplay);
    EXPECT_EQ(wait_status(stale, std::chrono::seconds(30)), 1) << file_text("stale.err");
    EXPECT_NE(file_text("stale.err").find("QT_QPA_PLATFORM=offscreen"), std::string::npos);
    EXPECT_EQ(count_in_log("Start programu"), 2);

    // A lock that cannot be taken for another reason: said, and no unguarded start.
    const pid_t unguarded = spawn("unguarded.err", "QT_QPA_PLATFORM=offscreen", "no-such-dir");
    EXPECT_EQ(wait_status(unguarded, std::chrono::seconds(30)), 1);
    EXPECT_NE(file_text("unguarded.err").find("nelze ziskat"), std::string::npos);
    EXPECT_EQ(count_in_log("nelze ziskat"), 1);
    EXPECT_EQ(count_in_log("Start programu"), 2);
}
