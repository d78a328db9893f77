#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "diag/diag.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "protocol/porcio.h"
#include "serial/com_port.h"
#include "serial/ser_port.h"
#include "tests/serial/fake_device.h"
#include "tests/serial/pty_line.h"

namespace {

std::vector<std::string> log_lines(const std::string& dir) {
    std::vector<std::string> lines;
    std::ifstream in(dir + "/errorlog.txt");
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

class SerPort : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/stravon-serport-XXXXXX";
        dir = ::mkdtemp(tmpl);
        old_work_dir = Work_dir;
        Work_dir = dir;
        platform::set_clock(&clock);
        line = std::make_shared<FakeLine>();
        auto l = line;
        set_device_factory([l](int) { return std::make_unique<FakeDevice>(l); });
        set_driver_log([](const std::string& text) { Log_error(text); });
    }
    void TearDown() override {
        close_all_ports();
        set_driver_log(nullptr);
        set_device_factory({});
        platform::set_clock(nullptr);
        Work_dir = old_work_dir;
        std::filesystem::remove_all(dir);
    }

    std::string dir, old_work_dir;
    platform::VirtualClock clock{5'000'000};
    std::shared_ptr<FakeLine> line;
};

TEST_F(SerPort, OpensEightNoneOne) {
    TSer_Port port(1, 9600);
    EXPECT_TRUE(port.Opened());
    EXPECT_EQ(port.LastError(), 0);
    EXPECT_EQ(port.ComIndex(), 1);
    EXPECT_EQ(port.Baud(), 9600);
    ASSERT_EQ(line->applied.size(), 1u);
    EXPECT_EQ(line->applied[0].baud, 9600u);
    EXPECT_EQ(line->applied[0].data_bits, 8);
    EXPECT_EQ(line->applied[0].parity, 0);
    EXPECT_EQ(line->applied[0].stop_bits, 1);
    EXPECT_TRUE(log_lines(dir).empty());
}

TEST_F(SerPort, RefusedRateLeavesItUnopenedWithOneLogLine) {
    TSer_Port port(0, 115201);
    EXPECT_FALSE(port.Opened());
    EXPECT_EQ(port.LastError(), ILLEGALBAUDRATE);
    auto lines = log_lines(dir);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("Chyba RS232 cislo: -25  ILLEGALBAUDRATE"), std::string::npos) << lines[0];
    // The device itself is open and usable.
    EXPECT_EQ(port.PutChar('A'), 0);
    EXPECT_EQ(line->tx, std::vector<uint8_t>{'A'});
}

TEST_F(SerPort, MissingDeviceFailsEveryCallCleanly) {
    line->open_result = -ENOENT;
    TSer_Port port(3, 19200);
    EXPECT_FALSE(port.Opened());
    EXPECT_EQ(port.LastError(), NO8250);
    auto lines = log_lines(dir);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("Chyba RS232 cislo: -14  NO8250"), std::string::npos) << lines[0];

    EXPECT_EQ(port.GetChar(), -1);
    EXPECT_EQ(port.LastError(), NOTSUPPORTED);
    EXPECT_EQ(port.GetCharWait(10), -1);
    EXPECT_EQ(port.PutChar('x'), NOTSUPPORTED);
    port.RtsOn();
    port.ClearInput();
    port.WaitSent();
    EXPECT_EQ(line->reads, 0);
    EXPECT_TRUE(line->tx.empty());
    EXPECT_EQ(log_lines(dir).size(), 1u);  // read failures are never logged
}

TEST_F(SerPort, ReadsTurnEveryFailureIntoMinusOne) {
    TSer_Port port(0, 19200);
    uint32_t start = platform::GetTickCount();
    EXPECT_EQ(port.GetChar(), -1);
    EXPECT_EQ(port.LastError(), 0);  // an empty queue is no error
    EXPECT_EQ(port.GetCharWait(0), -1);
    EXPECT_EQ(platform::GetTickCount(), start);
    EXPECT_EQ(port.LastError(), 0);

    line->rx = {0x00, 0xFF};
    EXPECT_EQ(port.GetChar(), 0x00);
    EXPECT_EQ(port.GetCharWait(0), 0xFF);

    line->scheduled.push_back({start + 40, 0x33});
    EXPECT_EQ(port.GetCharWait(30), -1);
    EXPECT_EQ(platform::GetTickCount() - start, 30u);
    EXPECT_EQ(port.GetCharWait(30), 0x33);
    EXPECT_EQ(platform::GetTickCount() - start, 40u);

    line->rx_result = -EIO;  // the adapter was pulled
    EXPECT_EQ(port.GetChar(), -1);
    EXPECT_EQ(port.LastError(), GENERALERROR);
}

TEST_F(SerPort, RtsChangesPauseTwoMilliseconds) {
    TSer_Port port(0, 19200);
    line->calls.clear();
    uint32_t start = platform::GetTickCount();
    port.RtsOn();
    EXPECT_TRUE(line->rts);
    EXPECT_EQ(platform::GetTickCount() - start, 2u);
    port.RtsOff();
    EXPECT_FALSE(line->rts);
    EXPECT_EQ(platform::GetTickCount() - start, 4u);
    EXPECT_EQ(line->calls, (std::vector<std::string>{"rts1", "rts0"}));
}

TEST_F(SerPort, ClearInputReadsOnlyWhenSomethingWaits) {
    TSer_Port port(0, 19200);
    port.ClearInput();
    EXPECT_EQ(line->reads, 0);
    for (int i = 0; i < 100; ++i) line->rx.push_back(uint8_t(i));
    port.ClearInput();
    EXPECT_TRUE(line->rx.empty());
    EXPECT_GT(line->reads, 0);
}

TEST_F(SerPort, PutCharAndWaitSentReachTheDevice) {
    TSer_Port port(0, 19200);
    EXPECT_EQ(port.PutChar(0x110), 0);
    EXPECT_EQ(line->tx, std::vector<uint8_t>{0x10});
    line->tx_queued = int(Tx_queue_size);
    EXPECT_EQ(port.PutChar(0x02), BUFRFULL);
    port.WaitSent();
    EXPECT_EQ(std::count(line->calls.begin(), line->calls.end(), "drain"), 1);
}

TEST_F(SerPort, TwoTerminalsOnOnePortShareOneReceiveQueue) {
    TSer_Port port(0, 19200);
    const TLinkSettings settings;
    TPorcio first(&port, 1, settings);
    TPorcio second(&port, 2, settings);
    line->rx = {0x06};
    EXPECT_EQ(first.WaitAck(), 0);   // taken through the first terminal...
    EXPECT_EQ(second.WaitAck(), 1);  // ...so gone for the second
    line->rx = {0x06};
    EXPECT_EQ(second.WaitAck(), 0);
    EXPECT_EQ(first.WaitAck(), 1);
}

TEST_F(SerPort, CloseDropsTheLinesOnceAndIsSafeToRepeat) {
    {
        TSer_Port port(0, 19200);
        EXPECT_EQ(port.Close(), 0);
        EXPECT_EQ(port.Close(), 0);
        EXPECT_EQ(port.GetChar(), -1);
        EXPECT_EQ(port.PutChar(1), NOTSUPPORTED);
    }  // the destructor closes nothing more
    EXPECT_EQ(std::count(line->calls.begin(), line->calls.end(), "close"), 1);
    EXPECT_FALSE(line->dtr);
    EXPECT_FALSE(line->rts);

    // Reopening releases the port held so far instead of leaking it.
    TSer_Port port(0, 19200);
    EXPECT_TRUE(port.Open(1, 9600));
    EXPECT_TRUE(port.Opened());
    EXPECT_EQ(std::count(line->calls.begin(), line->calls.end(), "close"), 2);
    EXPECT_EQ(port.ComIndex(), 1);
}

TEST_F(SerPort, LostDeviceIsClosedAtOnceAndRevivedUnderTheSamePort) {
    testing_pty::TempConfig cfg;
    const std::string adapter = cfg.root() + "/ttyUSB0";
    std::ofstream(adapter).put('\n');
    cfg.map(1, adapter);
    TSer_Port port(0, 9600);
    ASSERT_TRUE(port.Opened());
    EXPECT_FALSE(port.Revive());  // nothing lost
    port.RtsOff();

    line->rx_result = -EIO;            // pulled out while nothing reads,
    std::filesystem::remove(adapter);  // and its link dangles
    EXPECT_FALSE(port.Revive());       // the loss is noticed all the same
    EXPECT_TRUE(port.Device_gone());
    EXPECT_FALSE(line->is_open);

    // Gone: nothing reaches the device, and a timed wait lasts its time.
    line->rx_result = 0;
    line->rx = {0x41};
    line->calls.clear();
    const int reads = line->reads;
    const uint64_t start = clock.now_us();
    EXPECT_EQ(port.GetChar(), -1);
    EXPECT_EQ(port.GetCharWait(30), -1);
    EXPECT_EQ(clock.now_us() - start, 30'000u);
    EXPECT_EQ(port.PutChar('x'), GENERALERROR);
    port.RtsOn();
    port.ClearInput();
    port.WaitSent();
    EXPECT_EQ(line->reads, reads);
    EXPECT_TRUE(line->calls.empty());

    EXPECT_FALSE(port.Revive());  // still nothing behind the link
    EXPECT_TRUE(line->calls.empty());

    std::ofstream(adapter).put('\n');  // plugged in again
    line->applied.clear();
    EXPECT_TRUE(port.Revive());
    EXPECT_FALSE(port.Device_gone());
    ASSERT_EQ(line->applied.size(), 1u);
    EXPECT_EQ(line->applied[0].baud, 9600u);
    EXPECT_TRUE(line->dtr);
    EXPECT_FALSE(line->rts);  // as the link left it
    EXPECT_EQ(port.GetChar(), 0x41);

    const std::string lost = "COM1: zarizeni odpojeno (" + cfg.com_link(1) + ")";
    const std::string lines[] = {lost, platform::utf8_to_cp1250("COM1 otevřen"), "COM1: zarizeni " + cfg.com_link(1)};
    std::vector<std::string> texts;
    for (const std::string& l : log_lines(dir)) texts.push_back(l.substr(l.find(" - ") + 3));
    EXPECT_EQ(texts, std::vector<std::string>(std::begin(lines), std::end(lines)));
}

TEST_F(SerPort, DestructorClosesTheDevice) {
    {
        TSer_Port port(0, 19200);
        EXPECT_TRUE(line->is_open);
    }
    EXPECT_FALSE(line->is_open);
    close_all_ports();
    EXPECT_EQ(std::count(line->calls.begin(), line->calls.end(), "close"), 1);
}

}  // namespace
