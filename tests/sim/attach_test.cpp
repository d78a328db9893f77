// The simulated line beneath the real driver and port wrapper.
#include <gtest/gtest.h>

#include "platform/clock.h"
#include "serial/ser_port.h"
#include "sim/attach.h"

namespace {

TEST(AttachToDriver, PortWrapperTalksToTheSimulatedTerminal) {
    platform::VirtualClock clock(1'000'000);
    platform::set_clock(&clock);
    sim::LineSim com2;
    com2.add_terminal(5);
    sim::attach_to_driver({{1, &com2}}, clock);
    {
        TSer_Port port(1, 19200);
        ASSERT_TRUE(port.Opened());
        port.RtsOn();
        for (uint8_t b : sim::make_frame(5, "A")) port.PutChar(b);
        port.WaitSent();
        port.RtsOff();
        EXPECT_EQ(port.GetCharWait(40), 0x06);
        ASSERT_EQ(com2.frames().size(), 1u);
        EXPECT_TRUE(com2.frames()[0].rts_high);
        EXPECT_EQ(com2.frames()[0].start_us, 1'000'000u + 2'000);  // after the 2 ms RTS settling
    }
    sim::detach_from_driver();
    platform::set_clock(nullptr);
}

}  // namespace
