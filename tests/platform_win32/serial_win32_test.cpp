// The Win32 serial device where no line is: names, missing ports, and what
// the driver makes of them. The line itself: serial_e2e_test.cpp.
#include <gtest/gtest.h>

#include <cerrno>

#include "platform/serial_device.h"

TEST(SerialWin32, ComNamesAreDevicePaths) {
    EXPECT_EQ(platform::com_device_path(1), "\\\\.\\COM1");
    EXPECT_EQ(platform::com_device_path(8), "\\\\.\\COM8");
}

TEST(SerialWin32, APortThatIsNotThereFailsToOpenAndEveryCallSaysSo) {
    // The test prefix maps no COM port beyond COM8 and leads COM2..COM8
    // nowhere (COM1 too, unless a test gives it a line).
    EXPECT_FALSE(platform::device_present("\\\\.\\COM42"));
    auto dev = platform::make_serial_device();
    EXPECT_EQ(dev->open("\\\\.\\COM42"), -ENOENT);
    // A COM name whose device keeps no line settings is no serial port.
    const int r = dev->open("\\\\.\\COM2");
    EXPECT_TRUE(r == -ENOTTY || r == -ENOENT) << r;
    uint8_t b = 0;
    EXPECT_EQ(dev->read(&b, 1), -EBADF);
    EXPECT_EQ(dev->write(&b, 1), -EBADF);
    EXPECT_EQ(dev->rx_count(), -EBADF);
    EXPECT_EQ(dev->wait_rx_us(1000), -EBADF);
    EXPECT_EQ(dev->close(), 0);
    // A file is no serial port either.
    EXPECT_EQ(dev->open("NUL"), -ENOTTY);
}
