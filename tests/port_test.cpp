// Serial port set-up read back from the device.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

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
    // Opened without blocking on the carrier, and kept so: every read follows
    // a wait for input, and a write must never block without bound.
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    close(fd);
    closePty(pty);
}

TEST(SerialPort, MissingDeviceIsReported) {
    gTermFD = -1;
    EXPECT_EQ(openPort("/nonexistent/ttyS9"), -1);
    EXPECT_EQ(gTermFD, -1);
}

// Live, stale and own locks are tried through the program; here what only
// the seam can show.
TEST(SerialPort, LockFileOddCases) {
    std::string dir = enterTempDir();
    leaveTempDir();
    Pty pty = openPty();
    std::string lock = dir + "/LCK.." + std::string(pty.name + 5).replace(3, 1, "_");
    writeFile(lock, "");  // being written by its taker: held, holder unknown
    EXPECT_FALSE(takePortLockIn(dir.c_str(), pty.name));
    unlink(lock.c_str());
    // Nowhere to write a lock is no reason to refuse; a file is locked never.
    EXPECT_TRUE(takePortLockIn((dir + "/none").c_str(), pty.name));
    EXPECT_STREQ(portLockFile(), "");
    EXPECT_TRUE(takePortLockIn(dir.c_str(), "/etc/hostname"));
    EXPECT_EQ(filesIn(dir), "");
    closePty(pty);
}

TEST(SerialPort, PortsAreListedWithTheirStableNames) {
    std::string root = enterTempDir();
    leaveTempDir();
    auto put = [&](const std::string &path, const std::string &text) {
        system(("mkdir -p " + root + path.substr(0, path.rfind('/'))).c_str());
        writeFile(root + path, text);
    };
    auto link = [&](const char *to, const std::string &path) {
        system(("mkdir -p " + root + path.substr(0, path.rfind('/'))).c_str());
        symlink(to, (root + path).c_str());
    };
    for (const char *name : {"ttyS0", "ttyS1", "ttyS10", "ttyUSB0", "ttyACM0", "ttyAMA0", "tty0",
                             "tty", "ttyprintk", "null"})
        put(std::string("/dev/") + name, "");
    // The kernel's UART type: 0 is a ttyS with nothing behind it.
    put("/sys/class/tty/ttyS0/type", "4\n");
    put("/sys/class/tty/ttyS1/type", "0\n");
    put("/sys/class/tty/ttyS10/type", "4\n");
    put("/sys/class/tty/ttyAMA0/type", "32\n");
    put("/sys/class/tty/ttyprintk/dev", "5:3\n");
    // A converter's port two levels below its USB device, an ACM port one.
    put("/sys/devices/usb1/1-1/manufacturer", "Acme\n");
    put("/sys/devices/usb1/1-1/product", "USB Serial\n");
    put("/sys/devices/usb1/1-2/product", "Air Monitor CDC\n");
    link("../../devices/usb1/1-1/1-1:1.0/ttyUSB0/tty", "/sys/class/tty/ttyUSB0");
    link("..", "/sys/devices/usb1/1-1/1-1:1.0/ttyUSB0/tty/device");
    link("../../devices/usb1/1-2/1-2:1.0/tty", "/sys/class/tty/ttyACM0");
    link("..", "/sys/devices/usb1/1-2/1-2:1.0/tty/device");
    link("../../ttyUSB0", "/dev/serial/by-id/usb-Acme_USB_Serial_A50285BI-if00-port0");

    SerialPort ports[PORT_SLOTS];
    int count = findSerialPortsIn(root.c_str(), ports, PORT_SLOTS);
    std::string listed;
    for (int i = 0; i < count; ++i)
        listed += std::string(ports[i].path) + "|" + ports[i].byId + "|" + ports[i].about + "\n";
    EXPECT_EQ(listed,
              "/dev/ttyACM0||Air Monitor CDC\n"
              "/dev/ttyAMA0||\n"
              "/dev/ttyS0||\n"
              "/dev/ttyS10||\n"
              "/dev/ttyUSB0|/dev/serial/by-id/usb-Acme_USB_Serial_A50285BI-if00-port0|"
              "Acme USB Serial\n");
    EXPECT_EQ(findSerialPortsIn(root.c_str(), ports, 2), 2);  // never past its slots
    EXPECT_EQ(findSerialPortsIn((root + "/none").c_str(), ports, PORT_SLOTS), 0);
}
