// The Win32 serial device on a line: COM1 leads to the Linux simulator's
// pty (serial_e2e.sh starts it and maps it before Wine starts), with one
// terminal at address 1 and no polling master.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "diag/diag.h"
#include "platform/clock.h"
#include "platform/serial_device.h"
#include "protocol/command_view.h"
#include "protocol/porcio.h"
#include "serial/com_port.h"
#include "serial/ser_port.h"

namespace {

uint64_t now_us() { return platform::clock().now_us(); }

class View : public TCommandView {
public:
    void ShowWriteAttempt(int) override {}
    void ShowReceived(int bytes) override { received.push_back(bytes); }
    void AddLine(const std::string& line) override { lines.push_back(line); }
    int WriteAttempts() override { return 2; }
    std::vector<int> received;
    std::vector<std::string> lines;
};

// Waits for one byte to the deadline; -1 when none came.
int byte_before(platform::SerialDevice& dev, uint64_t deadline_us) {
    for (;;) {
        uint8_t b = 0;
        const int n = dev.read(&b, 1);
        if (n < 0) return n;
        if (n == 1) return b;
        const uint64_t now = now_us();
        if (now >= deadline_us) return -1;
        if (dev.wait_rx_us(deadline_us - now) < 0) return -2;
    }
}

}  // namespace

TEST(SerialE2E, TheDeviceWaitsToTheMicrosecondAndCarriesAFrame) {
    auto dev = platform::make_serial_device();
    ASSERT_EQ(dev->open(platform::com_device_path(1)), 0);
    ASSERT_EQ(dev->apply(platform::LineSettings{}), 0);
    // Wine has no RTS or modem lines: "no such line", never a lost device.
    const int rts = dev->set_rts(true);
    EXPECT_TRUE(rts == 0 || rts == -ENOTTY) << rts;
    unsigned bits = 0;
    const int modem = dev->modem_status(&bits);
    EXPECT_TRUE(modem == 0 || modem == -ENOTTY) << modem;
    EXPECT_EQ(dev->rx_count(), 0);

    // Nothing comes: the wait lasts its time, not a timer tick more.
    std::vector<uint64_t> waited;
    for (int i = 0; i < 9; ++i) {
        const uint64_t start = now_us();
        EXPECT_EQ(dev->wait_rx_us(3000), 0);
        waited.push_back(now_us() - start);
    }
    std::sort(waited.begin(), waited.end());
    EXPECT_GE(waited.front(), 2900u);
    EXPECT_LT(waited[waited.size() / 2], 8000u);

    // "A" to terminal 1, written a byte at a time, goes out as one frame.
    const uint8_t frame[] = {0x01, 0x04, 'A', uint8_t(0x01 + 0x04 + 'A')};
    for (uint8_t b : frame) ASSERT_EQ(dev->write(&b, 1), 1);
    EXPECT_EQ(dev->drain_tx(), 0);
    const uint64_t sent = now_us();
    EXPECT_EQ(byte_before(*dev, sent + 2'000'000), 0x06);
    const uint64_t acked = now_us();
    EXPECT_EQ(dev->tx_count(), 0);
    std::printf("idle wait of 3000 us: min %llu, median %llu, max %llu us; ack after %llu us\n",
                static_cast<unsigned long long>(waited.front()),
                static_cast<unsigned long long>(waited[waited.size() / 2]),
                static_cast<unsigned long long>(waited.back()), static_cast<unsigned long long>(acked - sent));
    EXPECT_EQ(dev->close(), 0);
}

TEST(SerialE2E, TheTerminalAnswersThroughTheDriver) {
    Read_work_dir();
    TSer_Port port(0, 19200);
    ASSERT_TRUE(port.Opened()) << "COM1: " << port.LastError();
    TLinkSettings settings;
    TPorcio term(&port, 1, settings);

    int acked = 0;
    uint64_t slowest = 0;
    for (int i = 0; i < 20; ++i) {
        const uint64_t start = now_us();
        if (term.Ping()) ++acked;
        slowest = std::max(slowest, now_us() - start);
    }
    EXPECT_EQ(acked, 20);
    EXPECT_FALSE(term.IsMaster());

    View view;
    char line[255] = "S";
    ASSERT_TRUE(term.RunCommand(line, view));
    EXPECT_EQ(term.Received(), 27);
    EXPECT_EQ(term.Records(), 1);
    ASSERT_EQ(view.lines.size(), 1u);
    // Address 1, no diners, 22 frames acknowledged: the device test's, the
    // 20 probes and this one.
    EXPECT_EQ(view.lines[0], "S01000000160000STRAVON TERMSIM ");
    std::printf("probes acknowledged: %d of 20, slowest %llu us\n", acked, static_cast<unsigned long long>(slowest));
}

// Last, as it ends the line: the simulator goes away (an adapter pulled
// out) and the driver notices it, without hanging or spinning.
TEST(SerialE2E, ALineThatHangsUpIsLost) {
    const char* hangup = std::getenv("STRAVON_E2E_HANGUP_FILE");
    ASSERT_NE(hangup, nullptr) << "run by serial_e2e.sh";
    Read_work_dir();
    TSer_Port port(0, 19200);
    ASSERT_TRUE(port.Opened());
    TLinkSettings settings;
    TPorcio term(&port, 1, settings);
    ASSERT_TRUE(term.Ping());
    // The script watches for this file (a Unix path, reached through Z:).
    std::string windows_path = std::string("Z:") + hangup;
    for (char& c : windows_path)
        if (c == '/') c = '\\';
    std::ofstream(windows_path) << "now\n";
    const uint64_t deadline = now_us() + 20'000'000;
    while (!port.Device_gone() && now_us() < deadline) port.GetCharWaitUs(10000);
    ASSERT_TRUE(port.Device_gone());
    EXPECT_FALSE(term.Ping());
    // Nothing to reopen while the line is gone; it is not opened elsewhere.
    EXPECT_FALSE(port.Revive());
    EXPECT_TRUE(port.Device_gone());
}
