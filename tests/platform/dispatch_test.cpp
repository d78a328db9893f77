#include "platform/dispatch.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/clock.h"

namespace {

platform::VirtualClock* clock_in_use = nullptr;
struct Call {
    uint64_t at_us;
    int max_ms;
};
std::vector<Call> calls;

void recording_dispatcher(int max_ms) { calls.push_back({clock_in_use->now_us(), max_ms}); }

class Dispatch : public ::testing::Test {
protected:
    void SetUp() override {
        clock_in_use = &clock;
        platform::set_clock(&clock);
        platform::set_message_dispatcher(recording_dispatcher);
        calls.clear();
    }
    void TearDown() override {
        platform::set_message_dispatcher(nullptr);
        platform::set_clock(nullptr);
    }
    platform::VirtualClock clock{1'000'000'000};
};

}  // namespace

TEST_F(Dispatch, WaitsDispatchOncePerPeriodWithinHalfTheTimeLeft) {
    // A 100 ms wait runs the window's events once every 10 ms, 3 ms at most each.
    const uint64_t t0 = clock.now_us();
    platform::wait_dispatching(100);
    EXPECT_EQ(clock.now_us() - t0, 100'000u);
    ASSERT_EQ(calls.size(), 10u);
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].at_us - t0, i * platform::Dispatch_period_us) << i;
        EXPECT_EQ(calls[i].max_ms, 3) << i;
    }

    // A reader that looks every millisecond still dispatches once a period.
    calls.clear();
    for (int ms = 0; ms < 100; ++ms) {
        clock.sleep_us(1000);
        platform::dispatch_if_due(clock.now_us() + 1'000'000);
    }
    EXPECT_EQ(calls.size(), 10u);

    // Close to a deadline a dispatch gets half of what is left, and none
    // at all when too little is.
    calls.clear();
    clock.sleep_us(platform::Dispatch_period_us);
    EXPECT_TRUE(platform::dispatch_if_due(clock.now_us() + 4'000));
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].max_ms, 2);
    EXPECT_FALSE(platform::dispatch_if_due(clock.now_us() + 10'000)) << "not due again within the period";
    clock.sleep_us(platform::Dispatch_period_us);
    EXPECT_FALSE(platform::dispatch_if_due(clock.now_us() + platform::Dispatch_min_room_us - 1));
    EXPECT_EQ(calls.size(), 1u);
}
