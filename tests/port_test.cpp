// Serial port set-up read back from the device.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

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

TEST(SerialPort, LockFileIsTakenKeptAndReleased) {
    std::string dir = enterTempDir();
    leaveTempDir();
    Pty pty = openPty();
    std::string lock = dir + "/LCK.." + std::string(pty.name + 5).replace(3, 1, "_");
    char mine[16];
    snprintf(mine, sizeof mine, "%10d\n", (int)getpid());

    ASSERT_TRUE(takePortLockIn(dir.c_str(), pty.name));
    EXPECT_EQ(readFile(lock), mine);  // ten columns, as the other programs write it
    EXPECT_EQ(portLockFile(), lock);
    releasePortLock();
    EXPECT_NE(access(lock.c_str(), F_OK), 0);

    int holder = fork();  // alive until told
    if (holder == 0) {
        pause();
        _exit(0);
    }
    writeFile(lock, "  " + std::to_string(holder) + "\n");
    EXPECT_FALSE(takePortLockIn(dir.c_str(), pty.name));
    EXPECT_EQ(readFile(lock), "  " + std::to_string(holder) + "\n");
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_TRUE(takePortLockIn(dir.c_str(), pty.name));  // stale now: taken over
    EXPECT_EQ(readFile(lock), mine);
    releasePortLock();

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
    auto mk = [&](const std::string &path) { mkdir((root + path).c_str(), 0755); };
    for (const char *d : {"/dev", "/dev/serial", "/dev/serial/by-id", "/sys", "/sys/class",
                          "/sys/class/tty", "/sys/devices", "/sys/devices/usb1",
                          "/sys/devices/usb1/1-1", "/sys/devices/usb1/1-1/1-1:1.0",
                          "/sys/devices/usb1/1-1/1-1:1.0/ttyUSB0", "/sys/devices/usb1/1-2",
                          "/sys/devices/usb1/1-2/1-2:1.0"})
        mk(d);
    for (const char *name : {"ttyS0", "ttyS1", "ttyS10", "ttyUSB0", "ttyACM0", "ttyAMA0", "tty0",
                             "tty", "ttyprintk", "null", "console"}) {
        writeFile(root + "/dev/" + name, "");
        mk(std::string("/sys/class/tty/") + name);
    }
    // The kernel's UART type: 0 is a ttyS with nothing behind it.
    writeFile(root + "/sys/class/tty/ttyS0/type", "4\n");
    writeFile(root + "/sys/class/tty/ttyS1/type", "0\n");
    writeFile(root + "/sys/class/tty/ttyS10/type", "4\n");
    writeFile(root + "/sys/class/tty/ttyAMA0/type", "32\n");
    rmdir((root + "/sys/class/tty/ttyUSB0").c_str());
    rmdir((root + "/sys/class/tty/ttyACM0").c_str());
    symlink("../../devices/usb1/1-1/1-1:1.0/ttyUSB0", (root + "/sys/class/tty/ttyUSB0").c_str());
    symlink("../../devices/usb1/1-2/1-2:1.0", (root + "/sys/class/tty/ttyACM0").c_str());
    symlink(".", (root + "/sys/devices/usb1/1-1/1-1:1.0/ttyUSB0/device").c_str());
    symlink(".", (root + "/sys/devices/usb1/1-2/1-2:1.0/device").c_str());
    writeFile(root + "/sys/devices/usb1/1-1/manufacturer", "Acme\n");
    writeFile(root + "/sys/devices/usb1/1-1/product", "USB Serial\n");
    writeFile(root + "/sys/devices/usb1/1-2/product", "Air Monitor CDC\n");
    symlink("../../ttyUSB0",
            (root + "/dev/serial/by-id/usb-Acme_USB_Serial_A50285BI-if00-port0").c_str());

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
