// Single instance, priority class, current directory, local time, sleeps.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/instance_lock.h"
#include "platform/process.h"

namespace {

constexpr int Refused = 3;
constexpr int Taken = 4;

// Runs this program again as the second copy; its exit code.
DWORD run_second_copy() {
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string cmd = std::string("\"") + self + "\" --second-copy";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return 1000;
    WaitForSingleObject(pi.hProcess, 60000);
    DWORD code = 1001;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return code;
}

int second_copy() {
    platform::InstanceLock lock;
    if (lock.acquire()) return Taken;
    return lock.last_error() == EWOULDBLOCK ? Refused : 5;
}

}  // namespace

TEST(InstanceLockWin32, TheNamedMutexKeepsASecondCopyOut) {
    EXPECT_EQ(platform::default_instance_lock_path(), "Stravonprogram");
    {
        platform::InstanceLock lock;
        ASSERT_TRUE(lock.acquire());
        EXPECT_TRUE(lock.held());
        EXPECT_TRUE(lock.acquire());  // again: still ours
        EXPECT_EQ(run_second_copy(), DWORD(Refused));
        // Another object in this process is a second copy too.
        platform::InstanceLock other;
        EXPECT_FALSE(other.acquire());
        EXPECT_EQ(other.last_error(), EWOULDBLOCK);
    }
    // Gone with its holder.
    EXPECT_EQ(run_second_copy(), DWORD(Taken));
}

TEST(ProcessWin32, HighPriorityClassForTheScopeAndBackAfter) {
    HANDLE self = GetCurrentProcess();
    ASSERT_TRUE(SetPriorityClass(self, NORMAL_PRIORITY_CLASS));
    {
        platform::ScopedHighPriority high;
        EXPECT_TRUE(high.raised());
        EXPECT_EQ(GetPriorityClass(self), DWORD(HIGH_PRIORITY_CLASS));
        EXPECT_EQ(platform::get_priority(), platform::High_priority_nice);
        // Already high: nothing to raise, and nothing put back too early.
        {
            platform::ScopedHighPriority inner;
            EXPECT_FALSE(inner.raised());
        }
        EXPECT_EQ(GetPriorityClass(self), DWORD(HIGH_PRIORITY_CLASS));
    }
    EXPECT_EQ(GetPriorityClass(self), DWORD(NORMAL_PRIORITY_CLASS));
    ASSERT_TRUE(SetPriorityClass(self, BELOW_NORMAL_PRIORITY_CLASS));
    {
        platform::ScopedHighPriority off(false);
        EXPECT_FALSE(off.raised());
        EXPECT_EQ(GetPriorityClass(self), DWORD(BELOW_NORMAL_PRIORITY_CLASS));
        platform::ScopedHighPriority high;
    }
    EXPECT_EQ(GetPriorityClass(self), DWORD(BELOW_NORMAL_PRIORITY_CLASS));
    EXPECT_TRUE(platform::set_priority(0));
    EXPECT_EQ(GetPriorityClass(self), DWORD(NORMAL_PRIORITY_CLASS));
    EXPECT_EQ(platform::get_priority(), 0);
}

TEST(ProcessWin32, CurrentDirectoryIsTheProcessOne) {
    char buf[MAX_PATH];
    const DWORD n = GetCurrentDirectoryA(MAX_PATH, buf);
    EXPECT_EQ(platform::current_directory(), std::string(buf, n));
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    ASSERT_TRUE(SetCurrentDirectoryA(temp));
    std::string expected = temp;
    if (expected.size() > 3 && expected.back() == '\\') expected.pop_back();
    EXPECT_EQ(platform::current_directory(), expected);
    SetCurrentDirectoryA(buf);
}

TEST(LocalTimeWin32, FieldsAreTheLocalTimeOfDay) {
    // Taken between two readings of the same second.
    for (int attempt = 0; attempt < 5; ++attempt) {
        SYSTEMTIME before, after;
        GetLocalTime(&before);
        const platform::LocalTime t = platform::local_time_now();
        GetLocalTime(&after);
        if (before.wSecond != after.wSecond) continue;
        EXPECT_EQ(t.year, before.wYear);
        EXPECT_EQ(t.month, before.wMonth);
        EXPECT_EQ(t.day, before.wDay);
        EXPECT_EQ(t.hour, before.wHour);
        EXPECT_EQ(t.minute, before.wMinute);
        EXPECT_EQ(t.second, before.wSecond);
        return;
    }
    FAIL() << "the second never held still";
}

TEST(ClockWin32, SleepsKeepToMillisecondsNotToTimerTicks) {
    // Medians, so that a busy machine's outliers do not decide.
    platform::SteadyClock clock;
    auto median_us = [&](auto sleep) {
        std::vector<uint64_t> took;
        for (int i = 0; i < 15; ++i) {
            const uint64_t start = clock.now_us();
            sleep();
            took.push_back(clock.now_us() - start);
        }
        std::sort(took.begin(), took.end());
        return took[took.size() / 2];
    };
    const uint64_t two_ms = median_us([&] { clock.sleep_ms(2); });
    const uint64_t half_ms = median_us([&] { clock.sleep_us(500); });
    EXPECT_GE(two_ms, 2000u);
    EXPECT_LT(two_ms, 6000u) << "a 2 ms pause took a timer tick";
    EXPECT_GE(half_ms, 500u);
    EXPECT_LT(half_ms, 3000u);
    std::printf("median sleep: 2 ms -> %llu us, 500 us -> %llu us\n", static_cast<unsigned long long>(two_ms),
                static_cast<unsigned long long>(half_ms));
    EXPECT_EQ(platform::GetTickCount(), uint32_t(clock.now_us() / 1000));
}

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--second-copy") == 0) return second_copy();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
