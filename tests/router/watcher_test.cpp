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
    Handovers() = default;
    // The router outlives this object and dispatches while it closes.
    ~Handovers() {
        if (current() == this) current() = nullptr;
    }
    // Runs what is handed over whenever the router dispatches.
    void serve_in_waits() {
        current() = this;
        platform::set_message_dispatcher(&Handovers::dispatch);
    }
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

private:
    static Handovers*& current() {
        static Handovers* h = nullptr;
        return h;
    }
    // As the program's dispatcher: whatever waits is run.
    static void dispatch(int) {
        if (current()) current()->run_pending();
    }

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

TEST_F(RouterTest, AStopWakesTheWatcherFromItsPause) {
    Start();
    Handovers h;
    // A long pause and no events to end it early: only the stop can.
    router->Start_watcher("pozad.txt", h.handover(), 60'000, false);
    ASSERT_TRUE(eventually([&] { return router->Watcher()->Looks() > 0; }, 5000ms));
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(router->Close_requested(false), TCloseStep::Close);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s) << "the close waited for the watcher's next look";
}

TEST_F(RouterTest, CloseEndsAWatcherStuckInAHandOverAndGivesItNothing) {
    Start();
    Handovers h;
    h.serve_in_waits();
    Write("pozad.txt", "A\r\n");
    router->Start_watcher("pozad.txt", h.handover(), 20);
    // The watcher waits for this thread, which is busy closing.
    ASSERT_TRUE(h.wait_blocked(5000ms));
    EXPECT_EQ(router->Close_requested(false), TCloseStep::Close);
    EXPECT_TRUE(Exists("pozad.txt")) << "a late request is not taken";
    EXPECT_FALSE(Exists("porcom.sta"));
    EXPECT_EQ(Log().back(), "Stop programu");
    EXPECT_EQ(router->Watcher(), nullptr) << "waited for and gone";
}

TEST_F(RouterTest, WritersAreWaitedForWhoeverTheyAre) {
    Start();
    Handovers h;
    h.serve_in_waits();
    // A fifth of the real scale: looks and the settling time of 200 ms.
    router->Start_watcher("pozad.txt", h.handover(), 200);
    ASSERT_TRUE(eventually([&] { return router->Watcher()->Looks() > 0; }, 5000ms));
    const auto taken = [&] { return eventually([&] { return !Exists("pozad.txt"); }, 10000ms, &h); };
    using clock = std::chrono::steady_clock;

    // Renamed into place: taken at once.
    Write(".part", "S\r\n");
    auto t0 = clock::now();
    std::filesystem::rename(Work(".part"), Work("pozad.txt"));
    ASSERT_TRUE(h.wait_blocked(5000ms));
    const auto renamed_ms = std::chrono::duration_cast<std::chrono::milliseconds>(clock::now() - t0).count();
    std::printf("a request renamed into place was taken after %lld ms\n", static_cast<long long>(renamed_ms));
    EXPECT_LT(renamed_ms, 500);
    ASSERT_TRUE(taken());
    EXPECT_EQ(Read("porcom.sta"), "1,1\n");

    // Written, closed, opened again half the settling time later to append:
    // one request.
    const size_t before = com1.frames().size();
    std::ofstream(Work("pozad.txt"), std::ios::binary) << "S\r\n";
    std::this_thread::sleep_for(100ms);
    std::ofstream(Work("pozad.txt"), std::ios::binary | std::ios::app) << "A1\r\n";
    t0 = clock::now();
    ASSERT_TRUE(taken());
    EXPECT_LT(clock::now() - t0, 1500ms) << "within a moment of the last close";
    EXPECT_EQ(Commands(com1, before), (std::vector<std::string>{"01 04 53 58", "01 05 41 31 78"})) << "not split";
    EXPECT_EQ(Read("porcom.sta"), "2,0\n");

    // A writer of another user who pauses in the middle, holding the file open.
    if (getuid() == 0) {
        // The other user must reach the working directory and write in it.
        std::filesystem::permissions(Work("").parent_path().parent_path(), std::filesystem::perms::all);
        std::filesystem::permissions(Work(""), std::filesystem::perms::all);
        const size_t from = com1.frames().size();
        const pid_t child = fork();
        if (child == 0) {
            if (setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
            FILE* f = std::fopen(Work("pozad.txt").c_str(), "wb");
            if (!f) _exit(11);
            std::fputs("A1\r\n", f);
            std::fflush(f);
            std::this_thread::sleep_for(600ms);  // three times the settling time
            std::fputs("A2\r\n", f);
            std::fclose(f);
            _exit(0);
        }
        int status = -1;
        const auto ended = [&] { return status != -1 || waitpid(child, &status, WNOHANG) == child; };
        ASSERT_TRUE(eventually([&] { return ended() && !Exists("pozad.txt"); }, 15000ms, &h));
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_EQ(Commands(com1, from), (std::vector<std::string>{"01 05 41 31 78", "01 05 41 32 79"}));
        EXPECT_EQ(Read("porcom.sta"), "2,0\n");
    }
}

TEST_F(RouterTest, RequestsRenamedIntoPlaceOneAfterAnotherAreEachTakenAtOnce) {
    Start();
    Handovers h;
    h.serve_in_waits();
    // A pause of 3 s after a request would show plainly.
    router->Start_watcher("pozad.txt", h.handover(), 3000);
    ASSERT_TRUE(eventually([&] { return router->Watcher()->Looks() > 0; }, 5000ms));
    for (const char* request : {"S\r\n", "A1\r\n"}) {
        Write(".part", request);
        const auto t0 = std::chrono::steady_clock::now();
        std::filesystem::rename(Work(".part"), Work("pozad.txt"));
        ASSERT_TRUE(eventually([&] { return Exists("porcom.sta") && !Exists("pozad.txt"); }, 10000ms, &h));
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 1500ms) << request;
        std::filesystem::remove(Work("porcom.sta"));
    }
}

TEST_F(RouterTest, WithoutEventsTheWatcherLooksOnceASecondAndTheFileMustStandStill) {
    Start();
    Handovers h;
    router->Start_watcher("pozad.txt", h.handover(), THlidac::Period_ms, false);
    std::this_thread::sleep_for(3500ms);  // a span to count the looks in
    const int looks = router->Watcher()->Looks();
    EXPECT_GE(looks, 3);
    EXPECT_LE(looks, 5) << "once a second";

    // Written in place and closed: taken within a moment of the last close,
    // once its size and time have stood still.
    std::ofstream(Work("pozad.txt"), std::ios::binary) << "S\r\n";
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(eventually([&] { return !Exists("pozad.txt"); }, 10000ms, &h));
    const auto took = std::chrono::steady_clock::now() - t0;
    std::printf("without events, a request written in place was taken %lld ms after its close\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    EXPECT_GE(took, 900ms) << "not before its time stood still for the settling time";
    EXPECT_LT(took, 3s);
}

TEST(RequestWatch, AForeignFileWithoutEventsMustStandStillAndADirectoryIsNoRequest) {
    char tmpl[] = "/tmp/stravon-watch-XXXXXX";
    const std::filesystem::path dir = ::mkdtemp(tmpl);
    const auto file = dir / "pozad.txt";
    std::filesystem::create_directory(file);
    platform::RequestWatch dir_watch(file.string());
    EXPECT_EQ(dir_watch.look().state, platform::RequestState::Absent) << "a directory does not count";
    std::filesystem::remove(file);

    // Not the file's owner, no lease, no events: it is taken once its time
    // has stood still and a second look found it unchanged.
    if (getuid() != 0) GTEST_SKIP() << "needs root to look at the file as another user";
    constexpr int settle = 300;  // a third of the real scale
    std::ofstream(file) << "A\r\n";
    std::filesystem::permissions(dir, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                          std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                                          std::filesystem::perms::others_exec);
    const pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
        platform::RequestWatch w(file.string(), false, settle);
        int code = 0;
        if (w.look().state != platform::RequestState::Writing) code |= 1;  // just written
        std::this_thread::sleep_for(400ms);
        if (w.look().state != platform::RequestState::Ready) code |= 2;  // stood still since
        // Rewritten at the same size: its time moved, so it must stand still again.
        const auto before = w.look().identity;
        for (int i = 0; i < 200 && w.look().identity == before; ++i) std::this_thread::sleep_for(10ms);
        if (w.look().state != platform::RequestState::Writing) code |= 4;
        _exit(code);
    }
    // The same size, a new time, while the child looks.
    std::this_thread::sleep_for(600ms);
    std::ofstream(file) << "B\r\n";
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::filesystem::remove(file);

    // A writer the watcher cannot take a lease against (another user's) is
    // seen by its events: while it holds the file open it is writing, however
    // long it pauses; once it closed, the file settles.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t watcher = fork();
    if (watcher == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
        platform::RequestWatch w(file.string(), true, settle);
        if (!w.events()) _exit(11);
        [[maybe_unused]] const ssize_t n = ::write(ready[1], "r", 1);
        int code = 0;
        const auto until = std::chrono::steady_clock::now() + 1100ms;
        while (std::chrono::steady_clock::now() < until) {  // the writer pauses for 1 s, three settling times
            const auto look = w.look();
            if (look.state == platform::RequestState::Ready) code |= 1;
            std::this_thread::sleep_for(50ms);
        }
        for (int i = 0; i < 40 && w.look().state != platform::RequestState::Ready; ++i)
            std::this_thread::sleep_for(50ms);
        if (w.look().state != platform::RequestState::Ready) code |= 2;
        _exit(code);
    }
    char r;
    ASSERT_EQ(::read(ready[0], &r, 1), 1);
    {
        std::ofstream writer(file, std::ios::binary);
        writer << "A1\r\n" << std::flush;
        std::this_thread::sleep_for(1000ms);
        writer << "A2\r\n";
    }
    waitpid(watcher, &status, 0);
    std::filesystem::remove_all(dir);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: taken while its writer paused; 2: never ready after it closed";
}
