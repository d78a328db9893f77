// The request file as the Windows watcher sees it.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/request_watch.h"
#include "scratch_dir.h"

namespace fs = std::filesystem;
using platform::RequestState;
using platform::RequestWatch;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int Settle_ms = 400;

class RequestWatchWin32 : public ScratchDirTest {
protected:
    RequestWatchWin32() : ScratchDirTest("stravon-watch-") {}
    void write(const std::string& name, const std::string& bytes) const {
        std::ofstream(dir / name, std::ios::binary) << bytes;
    }
    // Looks until the state is the one wanted or the deadline has passed,
    // waiting as the watcher does between looks.
    RequestState look_until(RequestWatch& w, RequestState want, int deadline_ms) {
        const auto end = Clock::now() + std::chrono::milliseconds(deadline_ms);
        RequestState s = w.look().state;
        while (s != want && Clock::now() < end) {
            w.wait(Settle_ms / 5);
            s = w.look().state;
        }
        return s;
    }
    static int64_t ms_since(Clock::time_point t) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
    }
};

}  // namespace

TEST_F(RequestWatchWin32, NothingButARegularFileOfThatNameIsARequest) {
    RequestWatch w(path("pozad.txt"), true, Settle_ms);
    EXPECT_TRUE(w.events()) << "ReadDirectoryChangesW is there";
    EXPECT_EQ(w.look().state, RequestState::Absent);
    fs::create_directory(dir / "pozad.txt");
    EXPECT_EQ(w.look().state, RequestState::Absent) << "a directory does not count";
    fs::remove(dir / "pozad.txt");

    // A name with wildcards would find other files; a device name would
    // open the device (COM1 is a serial port in every directory).
    write("a.txt", "x");
    for (const char* name : {"*.txt", "a.tx?", "COM1", "com1.txt", "NUL", "con"}) {
        RequestWatch other(path(name), true, Settle_ms);
        EXPECT_EQ(other.look().state, RequestState::Absent) << name;
    }
    RequestWatch nameless(dir.string() + "\\", true, Settle_ms);
    EXPECT_EQ(nameless.look().state, RequestState::Absent) << "an empty name names no file";
}

TEST_F(RequestWatchWin32, AWriterThatHoldsTheFileOpenIsStillAtWork) {
    for (const bool events : {true, false}) {
        SCOPED_TRACE(events ? "with the directory's changes" : "by looks alone");
        RequestWatch w(path("pozad.txt"), events, Settle_ms);
        // Another program's handle: Windows tells it by its sharing.
        HANDLE writer = CreateFileA(path("pozad.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                    nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(writer, INVALID_HANDLE_VALUE);
        DWORD n = 0;
        WriteFile(writer, "S\r\n", 3, &n, nullptr);
        // Long past the settle time, it is still not taken while open.
        const auto start = Clock::now();
        while (ms_since(start) < 2 * Settle_ms) {
            EXPECT_EQ(w.look().state, RequestState::Writing);
            w.wait(Settle_ms / 4);
        }
        CloseHandle(writer);
        EXPECT_EQ(look_until(w, RequestState::Ready, 10 * Settle_ms), RequestState::Ready);
        fs::remove(dir / "pozad.txt");
        EXPECT_EQ(look_until(w, RequestState::Absent, 10 * Settle_ms), RequestState::Absent);
    }
}

TEST_F(RequestWatchWin32, AFileRenamedIntoPlaceIsTakenAtOnceOneWrittenInPlaceWhenItStandsStill) {
    RequestWatch w(path("pozad.txt"), true, 5000);
    ASSERT_TRUE(w.events());
    write(".pozad.part", "S\r\n");
    w.look();
    const auto renamed = Clock::now();
    ASSERT_TRUE(MoveFileExA(path(".pozad.part").c_str(), path("pozad.txt").c_str(), MOVEFILE_REPLACE_EXISTING));
    // The rename ends the wait, and the file is ready long before 5 s.
    w.wait(5000);
    EXPECT_EQ(w.look().state, RequestState::Ready);
    EXPECT_LT(ms_since(renamed), 2500);
    fs::remove(dir / "pozad.txt");
    w.look();

    // Written in place and closed: not ready until it has stood still.
    RequestWatch slow(path("pozad.txt"), true, Settle_ms);
    slow.look();
    const auto written = Clock::now();
    write("pozad.txt", "S\r\n");
    const RequestState first = slow.look().state;
    if (ms_since(written) < Settle_ms) {
        EXPECT_EQ(first, RequestState::Writing);
    }
    EXPECT_EQ(look_until(slow, RequestState::Ready, 10 * Settle_ms), RequestState::Ready);
    EXPECT_GE(ms_since(written), Settle_ms - 50);
}

TEST_F(RequestWatchWin32, AWaitEndsAtAWakeButNotAtOtherFilesChanges) {
    RequestWatch w(path("pozad.txt"), true, Settle_ms);
    std::atomic<bool> stop{false};
    // The program's own log, written all the while.
    std::thread logger([&] {
        while (!stop) {
            std::ofstream(dir / "errorlog.txt", std::ios::app) << "line\r\n";
            Sleep(20);
        }
    });
    auto start = Clock::now();
    w.wait(600);
    EXPECT_GE(ms_since(start), 550) << "another file's changes ended the wait";

    std::thread waker([&] {
        Sleep(100);
        w.wake();
    });
    start = Clock::now();
    w.wait(20000);
    EXPECT_LT(ms_since(start), 5000);
    waker.join();
    stop = true;
    logger.join();
}
