#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "platform/posix_serial.h"
#include "platform/serial_device.h"
#include "platform/tty_info.h"
#include "tests/serial/pty_line.h"

using namespace std::chrono;
using platform::make_serial_device;
using testing_pty::Pty;
using testing_pty::TempConfig;

namespace {

long elapsed_ms(steady_clock::time_point since) {
    return long(duration_cast<milliseconds>(steady_clock::now() - since).count());
}

}  // namespace

TEST(ComDevicePath, PrefersTheDosdevicesEntryEvenWhenItDangles) {
    TempConfig cfg;
    cfg.map(2, "/nonexistent/tty");
    EXPECT_EQ(platform::com_device_path(2), cfg.com_link(2));
    EXPECT_EQ(platform::com_device_path(3), "/dev/ttyS2");
    EXPECT_EQ(platform::com_device_path(1), "/dev/ttyS0");
}

TEST(ComDevicePath, FallsBackToHomeConfigWithoutXdg) {
    TempConfig cfg;  // restores XDG_CONFIG_HOME afterwards
    std::string old_home = std::getenv("HOME") ? std::getenv("HOME") : "";
    std::filesystem::create_directories(cfg.root() + "/home/.config/stravon/dosdevices");
    std::filesystem::create_symlink("/dev/null", cfg.root() + "/home/.config/stravon/dosdevices/com4");
    ::unsetenv("XDG_CONFIG_HOME");
    ::setenv("HOME", (cfg.root() + "/home").c_str(), 1);
    std::string path = platform::com_device_path(4);
    ::setenv("HOME", old_home.c_str(), 1);
    EXPECT_EQ(path, cfg.root() + "/home/.config/stravon/dosdevices/com4");
}

TEST(PosixSerialDevice, PathsThatAreNoTerminalFailCleanly) {
    TempConfig cfg;
    std::string file = cfg.root() + "/plain";
    std::ofstream(file) << "x";
    std::string fifo = cfg.root() + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

    auto start = steady_clock::now();
    auto dev = make_serial_device();
    EXPECT_EQ(dev->open(file), -ENOTTY);
    EXPECT_EQ(dev->open(cfg.root()), -ENOTTY);  // a directory
    EXPECT_EQ(dev->open(fifo), -ENOTTY);
    cfg.map(1, cfg.root() + "/missing");
    EXPECT_EQ(dev->open(cfg.com_link(1)), -ENOENT);
    EXPECT_LT(elapsed_ms(start), 1000);
    // Nothing is open, so every call fails instead of touching a stale descriptor.
    uint8_t b = 0;
    EXPECT_LT(dev->read(&b, 1), 0);
    EXPECT_LT(dev->rx_count(), 0);
    EXPECT_EQ(dev->close(), 0);
}

TEST(PosixSerialDevice, SecondOpenOfALockedLineIsRefused) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    auto a = make_serial_device();
    auto b = make_serial_device();
    ASSERT_EQ(a->open(pty.slave()), 0);
    int r = b->open(pty.slave());
    EXPECT_TRUE(r == -EWOULDBLOCK || r == -EBUSY) << r;
    EXPECT_EQ(a->close(), 0);
    EXPECT_EQ(b->open(pty.slave()), 0);
}

TEST(PosixSerialDevice, OpensRawAndAppliesRatesExactly) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    auto dev = make_serial_device();
    ASSERT_EQ(dev->open(pty.slave()), 0);

    // The master reports the slave's settings: no echo, no line editing.
    struct termios t;
    ASSERT_EQ(::tcgetattr(pty.master(), &t), 0);
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);

    platform::LineSettings s;
    for (uint32_t baud : {19200u, 31250u, 100000u, 1200u}) {
        s.baud = baud;
        ASSERT_EQ(dev->apply(s), 0) << baud;
        uint32_t out = 0, in = 0;
        ASSERT_EQ(platform::termios2_get_baud(pty.master(), &out, &in), 0);
        EXPECT_EQ(out, baud);
        EXPECT_EQ(in, baud);
    }
    s.xon_xoff_in = s.xon_xoff_out = true;
    s.cts_flow = true;
    s.stop_bits = 2;
    ASSERT_EQ(dev->apply(s), 0);
    ASSERT_EQ(::tcgetattr(pty.master(), &t), 0);
    EXPECT_NE(t.c_iflag & IXON, 0u);
    EXPECT_NE(t.c_iflag & IXOFF, 0u);
    EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
    EXPECT_NE(t.c_cflag & CSTOPB, 0u);

    s.data_bits = 9;
    EXPECT_EQ(dev->apply(s), -EINVAL);
    s.data_bits = 8;
    s.baud = 0;  // would hang the line up
    EXPECT_EQ(dev->apply(s), -EINVAL);
}

TEST(PosixSerialDevice, MovesBytesAndWaitsInPoll) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    auto dev = make_serial_device();
    ASSERT_EQ(dev->open(pty.slave()), 0);
    ASSERT_EQ(dev->apply(platform::LineSettings{}), 0);

    auto start = steady_clock::now();
    EXPECT_EQ(dev->wait_rx(30), 0);
    EXPECT_GE(elapsed_ms(start), 25);
    uint8_t buf[8];
    EXPECT_EQ(dev->read(buf, sizeof buf), 0);  // empty: nothing, no error

    // Raw: no CR translation, and XON/XOFF are data, not flow control that
    // would swallow them and stop the output below.
    pty.send(std::string("\x01\xff\x0d\x11\x13", 5));
    EXPECT_EQ(dev->wait_rx(1000), 1);
    ASSERT_TRUE(testing_pty::eventually([&] { return dev->rx_count() == 5; }));
    ASSERT_EQ(dev->read(buf, sizeof buf), 5);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 5), std::string("\x01\xff\x0d\x11\x13", 5));

    const uint8_t out[] = {0x10, 0x13, 0x0a, 0x11};
    EXPECT_EQ(dev->write(out, sizeof out), 4);
    EXPECT_EQ(dev->drain_tx(), 0);
    EXPECT_EQ(pty.receive(4), std::string("\x10\x13\x0a\x11", 4));
    EXPECT_EQ(dev->set_break(true), 0);
    EXPECT_EQ(dev->set_break(false), 0);
    EXPECT_EQ(dev->purge_tx(), 0);
}

TEST(PosixSerialDevice, VanishedPeerTurnsIntoErrorsNotAnEndlessEmptyLine) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    auto dev = make_serial_device();
    ASSERT_EQ(dev->open(pty.slave()), 0);
    pty.send("abc");
    ASSERT_TRUE(testing_pty::eventually([&] { return dev->rx_count() == 3; }));
    pty.close_master();

    auto start = steady_clock::now();
    EXPECT_LT(dev->wait_rx(-1), 0);  // would block forever if the hang-up were missed
    EXPECT_LT(elapsed_ms(start), 1000);
    uint8_t b = 0;
    EXPECT_LT(dev->read(&b, 1), 0);
    EXPECT_LT(dev->rx_count(), 0);
    EXPECT_LT(dev->write(&b, 1), 0);
    EXPECT_EQ(dev->close(), 0);
}

TEST(PosixSerialDevice, BytesReadAheadKeepTheirOrderAndStayCounted) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    auto dev = make_serial_device();
    ASSERT_EQ(dev->open(pty.slave()), 0);
    ASSERT_EQ(dev->apply(platform::LineSettings{}), 0);

    pty.send("abcde");
    ASSERT_TRUE(testing_pty::eventually([&] { return dev->rx_count() == 5; }));
    uint8_t b = 0;
    ASSERT_EQ(dev->read(&b, 1), 1);
    EXPECT_EQ(b, 'a');
    // The rest now waits on our side of the kernel, and still counts as received.
    EXPECT_EQ(dev->rx_count(), 4);
    EXPECT_EQ(dev->wait_rx(0), 1);
    EXPECT_EQ(dev->wait_rx_us(0), 1);

    pty.send("fg");
    ASSERT_TRUE(testing_pty::eventually([&] { return dev->rx_count() == 6; }));
    std::string got;
    uint8_t buf[3];
    for (int r; (r = dev->read(buf, sizeof buf)) > 0;) got.append(reinterpret_cast<char*>(buf), size_t(r));
    EXPECT_EQ(got, "bcdefg");
    EXPECT_EQ(dev->rx_count(), 0);

    // A large read bypasses the read-ahead and loses nothing either.
    std::string big(600, 'x');
    for (size_t i = 0; i < big.size(); ++i) big[i] = char('A' + i % 26);
    pty.send(big);
    ASSERT_TRUE(testing_pty::eventually([&] { return dev->rx_count() == 600; }));
    ASSERT_EQ(dev->read(&b, 1), 1);
    got.assign(1, char(b));
    std::vector<uint8_t> large(1000);
    for (int r; (r = dev->read(large.data(), large.size())) > 0;) got.append(large.begin(), large.begin() + r);
    EXPECT_EQ(got, big);

    // Closing forgets what was read ahead: a reopened line starts empty.
    pty.send("zz");
    ASSERT_TRUE(testing_pty::eventually([&] { return dev->rx_count() == 2; }));
    ASSERT_EQ(dev->read(&b, 1), 1);
    EXPECT_EQ(dev->close(), 0);
    ASSERT_EQ(dev->open(pty.slave()), 0);
    EXPECT_EQ(dev->rx_count(), 0);
}

TEST(PosixSerialDevice, WaitInMicrosecondsLastsItsTimeAndEndsOnAByte) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    auto dev = make_serial_device();
    ASSERT_EQ(dev->open(pty.slave()), 0);
    auto start = steady_clock::now();
    EXPECT_EQ(dev->wait_rx_us(2500), 0);
    const auto waited = duration_cast<microseconds>(steady_clock::now() - start).count();
    EXPECT_GE(waited, 2500);
    EXPECT_LT(waited, 1'000'000);
    pty.send("q");
    EXPECT_EQ(dev->wait_rx_us(1'000'000), 1);
}

TEST(PosixSerialDevice, BytesOfAFrameGoOutWholeAndInOrder) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    auto dev = make_serial_device();
    ASSERT_EQ(dev->open(pty.slave()), 0);
    ASSERT_EQ(dev->apply(platform::LineSettings{}), 0);

    // Written a byte at a time, kept together and counted as queued meanwhile.
    const std::string frame("\x01\x04\x41\x46", 4);
    for (char c : frame) {
        const uint8_t b = static_cast<uint8_t>(c);
        ASSERT_EQ(dev->write(&b, 1), 1);
    }
    EXPECT_EQ(dev->tx_count(), 4);
    // Waiting for the frame to leave hands it over in one piece.
    EXPECT_EQ(dev->drain_tx(), 0);
    EXPECT_EQ(dev->tx_count(), 0);
    EXPECT_EQ(pty.receive(4), frame);

    // Listening after writing hands the bytes over too: an answer is never
    // awaited while the question is still held back.
    const uint8_t q[] = {0x10, 0x20};
    ASSERT_EQ(dev->write(q, 2), 2);
    EXPECT_EQ(dev->wait_rx_us(1000), 0);
    EXPECT_EQ(pty.receive(2), std::string("\x10\x20", 2));
    ASSERT_EQ(dev->write(q, 1), 1);
    EXPECT_EQ(dev->set_rts(false), -ENOTTY);  // a pty has no RTS, but the byte left before it
    EXPECT_EQ(pty.receive(1), std::string("\x10", 1));

    // More than the device keeps at once, mixed with single bytes, arrives in order.
    std::string sent;
    for (int i = 0; i < 300; ++i) {
        const uint8_t b = static_cast<uint8_t>(i * 13);
        ASSERT_EQ(dev->write(&b, 1), 1);
        sent += char(b);
    }
    std::vector<uint8_t> big(700);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i);
    ASSERT_EQ(dev->write(big.data(), big.size()), int(big.size()));
    sent.append(big.begin(), big.end());
    EXPECT_EQ(dev->drain_tx(), 0);
    EXPECT_EQ(pty.receive(sent.size()), sent);

    // Discarding unsent output discards what is still kept as well.
    ASSERT_EQ(dev->write(q, 2), 2);
    EXPECT_EQ(dev->purge_tx(), 0);
    EXPECT_EQ(dev->tx_count(), 0);
    EXPECT_EQ(dev->drain_tx(), 0);
    EXPECT_EQ(pty.receive(1, 50), "");

    // After the drain, the UART's shift register is waited for until it is
    // empty; a device that cannot tell (a pty) is asked once.
    int asked = 0;
    platform::wait_transmitter_empty([&](unsigned* lsr) {
        *lsr = ++asked < 4 ? 0 : TIOCSER_TEMT;
        return 0;
    });
    EXPECT_EQ(asked, 4);
    asked = 0;
    platform::wait_transmitter_empty([&](unsigned*) {
        ++asked;
        return -ENOTTY;
    });
    EXPECT_EQ(asked, 1);
}

TEST(TtyHolder, LiveUucpLockNamesItsOwnerAndAStaleOneIsIgnored) {
    TempConfig cfg;
    const pid_t child = ::fork();
    if (child == 0) {
        ::execlp("sleep", "sleep", "30", static_cast<char*>(nullptr));
        _exit(127);
    }
    const std::string comm = "/proc/" + std::to_string(child) + "/comm";
    ASSERT_TRUE(testing_pty::eventually([&] {
        std::string c;
        std::getline(std::ifstream(comm) >> std::ws, c);
        return c == "sleep";
    }, 5000));
    char lock[16];
    std::snprintf(lock, sizeof lock, "%10d\n", int(child));  // the usual ASCII form
    std::ofstream(cfg.root() + "/LCK..ttyUSB7") << lock;
    const dev_t nobody_has_it = makedev(4095, 4095);

    auto holder = platform::find_tty_holder("/dev/ttyUSB7", nobody_has_it, cfg.root());
    ASSERT_TRUE(holder.has_value());
    EXPECT_EQ(platform::holder_text(*holder), "port je zamceny programem sleep (pid " + std::to_string(child) + ", " +
                                                  cfg.root() + "/LCK..ttyUSB7)");
    EXPECT_FALSE(platform::find_tty_holder("/dev/ttyUSB6", nobody_has_it, cfg.root()).has_value());

    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_FALSE(platform::find_tty_holder("/dev/ttyUSB7", nobody_has_it, cfg.root()).has_value());
}
