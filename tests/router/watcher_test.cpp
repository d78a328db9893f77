// The request-file watcher: a real thread, handing requests to a thread
// that stands for the window's.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "router_fixture.h"

using namespace router_test;
using namespace std::chrono_literals;

namespace {

// The window's thread as the watcher sees it: calls handed over wait in a
// queue until this thread runs them.
class Handovers {
public:
    THlidac::Handover handover() {
        return [this](const std::function<void()>& fn) {
            std::unique_lock<std::mutex> lock(m_);
            bool done = false;
            queue_.push_back([&] {
                fn();
                std::lock_guard<std::mutex> l(m_);
                done = true;
                cv_.notify_all();
            });
            ++waiting_;
            cv_.notify_all();
            cv_.wait(lock, [&] { return done; });
            --waiting_;
        };
    }
    // Runs what was handed over; true when something ran.
    bool run_pending() {
        std::deque<std::function<void()>> q;
        {
            std::lock_guard<std::mutex> lock(m_);
            q.swap(queue_);
        }
        for (auto& f : q) f();
        return !q.empty();
    }
    // Waits until the watcher blocks in a hand-over.
    bool wait_blocked(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(m_);
        return cv_.wait_for(lock, limit, [&] { return waiting_ > 0; });
    }
    static Handovers*& current() {
        static Handovers* h = nullptr;
        return h;
    }
    // As the program's dispatcher: whatever waits is run.
    static void dispatch(int) {
        if (current()) current()->run_pending();
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> queue_;
    int waiting_ = 0;
};

template <class Pred>
bool eventually(Pred p, std::chrono::milliseconds limit, Handovers* h = nullptr) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (h) h->run_pending();
        if (p()) return true;
        std::this_thread::sleep_for(2ms);
    }
    return p();
}

}  // namespace

TEST_F(RouterTest, WatcherHandsTheRequestOverAndStopsAtOnce) {
    Start();
    Handovers h;
    Write(".part", "S\r\n");
    std::filesystem::rename(Work(".part"), Work("pozad.txt"));
    // A long period: the first look at start finds it.
    router->Start_watcher("pozad.txt", h.handover(), 60'000);
    EXPECT_TRUE(eventually([&] { return !Exists("pozad.txt"); }, 5000ms, &h));
    EXPECT_EQ(Read("porcom.sta"), "1,1\n");

    // A stop wakes the watcher from its pause.
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(router->Close_requested(false), TCloseStep::Close);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s) << "the close waited for the watcher's next look";
}

TEST_F(RouterTest, CloseEndsAWatcherStuckInAHandOverAndGivesItNothing) {
    Start();
    Handovers h;
    Handovers::current() = &h;
    platform::set_message_dispatcher(&Handovers::dispatch);
    Write("pozad.txt", "A\r\n");
    router->Start_watcher("pozad.txt", h.handover(), 20);
    // The watcher waits for this thread, which is busy closing.
    ASSERT_TRUE(h.wait_blocked(5000ms));
    EXPECT_EQ(router->Close_requested(false), TCloseStep::Close);
    Handovers::current() = nullptr;
    EXPECT_TRUE(Exists("pozad.txt")) << "a late request is not taken";
    EXPECT_FALSE(Exists("porcom.sta"));
    EXPECT_EQ(Log().back(), "Stop programu");
    EXPECT_EQ(router->Watcher(), nullptr) << "waited for and gone";
}

TEST(Watcher, WithoutALeaseARequestMustStandStillForAPoll) {
    // Not the file's owner, no lease: the file is taken once its size and
    // time have not changed since the poll before.
    if (getuid() != 0) GTEST_SKIP() << "needs root to look at the file as another user";
    char tmpl[] = "/tmp/stravon-watch-XXXXXX";
    const std::filesystem::path dir = ::mkdtemp(tmpl);
    const auto file = dir / "foreign.txt";
    std::ofstream(file) << "A\r\n";
    std::filesystem::permissions(dir, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                          std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                                          std::filesystem::perms::others_exec);
    const pid_t child = fork();
    if (child == 0) {
        THlidac::TSeen seen;
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
        int code = 0;
        if (THlidac::Request_complete(file.string(), seen)) code |= 1;   // first sight
        if (!THlidac::Request_complete(file.string(), seen)) code |= 2;  // unchanged since
        _exit(code);
    }
    int status = 0;
    waitpid(child, &status, 0);
    std::filesystem::remove_all(dir);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
