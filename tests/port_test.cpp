// Serial port set-up read back from the device.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>

#include "support.h"
#include "terminal/terminal.h"

TEST(SerialPort, RawAttributesBuiltFromScratch) {
    Pty pty = openPty();
    termios dirty;
    tcgetattr(pty.slave, &dirty);
    dirty.c_lflag |= ICANON | ECHO | ISIG;
    dirty.c_oflag |= OPOST | ONLCR;
    dirty.c_iflag |= ICRNL | IXON;
    tcsetattr(pty.slave, TCSANOW, &dirty);

    int fd = openPort(pty.name);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(gTermFD, fd);
    termios t;
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    EXPECT_EQ(cfgetispeed(&t), (speed_t)B115200);
    EXPECT_EQ(cfgetospeed(&t), (speed_t)B115200);
    EXPECT_EQ(t.c_iflag, (tcflag_t)IGNPAR);
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag, 0u);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), (tcflag_t)CS8);
    EXPECT_TRUE(t.c_cflag & CLOCAL);
    EXPECT_TRUE(t.c_cflag & CREAD);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    // Opened without blocking on the carrier, but reads block as usual.
    EXPECT_FALSE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    close(fd);
    closePty(pty);
}

TEST(SerialPort, MissingDeviceIsReported) {
    gTermFD = -1;
    EXPECT_EQ(openPort("/nonexistent/ttyS9"), -1);
    EXPECT_EQ(gTermFD, -1);
}
