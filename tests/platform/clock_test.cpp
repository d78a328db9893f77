#include "platform/clock.h"

#include <gtest/gtest.h>

TEST(Clock, VirtualClockMovesOnlyWhenSleptOrAdvanced) {
    platform::VirtualClock vc(5'000);
    platform::set_clock(&vc);
    EXPECT_EQ(platform::GetTickCount(), 5u);
    platform::Sleep(3000);
    EXPECT_EQ(platform::GetTickCount(), 3005u);
    vc.advance_to_us(3'005'600);
    EXPECT_EQ(vc.now_us(), 3'005'600u);
    vc.advance_to_us(1);  // never backwards
    EXPECT_EQ(vc.now_us(), 3'005'600u);
    platform::set_clock(nullptr);
    EXPECT_NE(&platform::clock(), static_cast<platform::Clock*>(&vc));
}

TEST(Clock, SteadyClockSleepsAtLeastTheTimeAsked) {
    platform::SteadyClock c;
    uint64_t t0 = c.now_us();
    c.sleep_ms(20);
    uint64_t dt = c.now_us() - t0;
    EXPECT_GE(dt, 20'000u);
    EXPECT_LT(dt, 2'000'000u);
}
