#include <gtest/gtest.h>

#include "sim/termsim_options.h"

namespace {

using sim::FaultKind;

std::string parse(std::vector<std::string> args, sim::TermsimOptions& o) {
    return sim::parse_termsim_options(args, o);
}

TEST(TermsimOptions, FullLine) {
    sim::TermsimOptions o;
    ASSERT_EQ(parse({"--pty", "--link", "/tmp/com1", "--baud", "9600", "--terminal", "3", "--terminal", "1",
                     "--master", "25", "--ack-delay", "12", "--block-delay", "30", "--dt", "--block",
                     "3:Y:/tmp/a:b.bin", "--fault", "1:refuse:2", "--fault", "3:dead", "--fault",
                     "3:short:always", "--log", "/tmp/l", "--quiet", "--exit-on-hangup"},
                    o),
              "");
    EXPECT_EQ(o.link, "/tmp/com1");
    EXPECT_EQ(o.baud, 9600u);
    EXPECT_EQ(o.terminals, (std::vector<uint8_t>{3, 1}));
    EXPECT_EQ(o.master_period_ms, 25u);
    EXPECT_EQ(o.ack_delay_ms, 12u);
    EXPECT_EQ(o.block_delay_ms, 30u);
    EXPECT_TRUE(o.dt && o.quiet && o.exit_on_hangup);
    ASSERT_EQ(o.blocks.size(), 1u);
    EXPECT_EQ(o.blocks[0].letter, 'Y');
    EXPECT_EQ(o.blocks[0].file, "/tmp/a:b.bin");  // only the first two colons split
    ASSERT_EQ(o.faults.size(), 3u);
    EXPECT_EQ(o.faults[0].fault.kind, FaultKind::Refuse);
    EXPECT_EQ(o.faults[0].fault.count, 2);
    EXPECT_EQ(o.faults[1].fault.count, -1);
    EXPECT_EQ(o.faults[2].fault.kind, FaultKind::WrongLength);
    EXPECT_EQ(o.faults[2].fault.amount, -1);
    EXPECT_EQ(o.faults[2].fault.count, -1);
}

TEST(TermsimOptions, Defaults) {
    sim::TermsimOptions o;
    ASSERT_EQ(parse({"--device", "/dev/ttyUSB0"}, o), "");
    EXPECT_EQ(o.terminals, std::vector<uint8_t>{1});
    EXPECT_EQ(o.baud, 19200u);
    EXPECT_FALSE(o.master_period_ms);
    EXPECT_EQ(o.ack_delay_ms, 10u);
    EXPECT_EQ(o.block_delay_ms, 20u);
}

TEST(TermsimOptions, Rejected) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {},
             {"--pty", "--device", "/dev/x"},
             {"--device", "/dev/x", "--link", "/tmp/l"},
             {"--pty", "--baud", "0"},
             {"--pty", "--baud", "19200x"},
             {"--pty", "--baud"},
             {"--pty", "--terminal", "256"},
             {"--pty", "--terminal", "-1"},
             {"--pty", "--terminal", "1", "--terminal", "1"},
             {"--pty", "--terminal", "1", "--terminal", "2", "--terminal", "3", "--terminal", "4", "--terminal", "5"},
             {"--pty", "--master", "0"},
             {"--pty", "--fault", "1:explode"},
             {"--pty", "--fault", "1:noack:0"},
             {"--pty", "--fault", "x:noack"},
             {"--pty", "--fault", "2:noack"},  // no terminal at 2
             {"--pty", "--block", "1:YY:f"},
             {"--pty", "--block", "1:Y:"},
             {"--pty", "--block", "2:Y:f"},
             {"--pty", "--verbose"},
         }) {
        sim::TermsimOptions o;
        EXPECT_NE(parse(args, o), "") << ::testing::PrintToString(args);
    }
    sim::TermsimOptions o;
    EXPECT_EQ(parse({"--help"}, o), "");
    EXPECT_TRUE(o.help);
}

}  // namespace
