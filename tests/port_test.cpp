// Serial port set-up read back from the device.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>

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

namespace {
// What `f` writes on standard error.
std::string stderrOf(const std::function<void()> &f) {
    char path[] = "/tmp/kestrode-stderr-XXXXXX";
    int fd = mkstemp(path), saved = dup(2);
    dup2(fd, 2);
    close(fd);
    f();
    dup2(saved, 2);
    close(saved);
    std::string s = readFile(path);
    unlink(path);
    return s;
}

std::string lockOf(const std::string &dir, const Pty &pty) {
    return dir + "/LCK.." + std::string(pty.name + 5).replace(3, 1, "_");
}
}  // namespace

// Anyone may make the lock name; whatever is no regular file there is
// refused at once, never opened (a FIFO would hang the start for ever).
TEST(SerialPort, LockNameHoldingNoLockIsRefusedAtOnce) {
    std::string dir = enterTempDir();
    leaveTempDir();
    Pty pty = openPty();
    std::string lock = lockOf(dir, pty);
    const char *path = lock.c_str();
    auto socketAt = [](const char *at) {
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        strncpy(a.sun_path, at, sizeof a.sun_path - 1);
        int s = socket(AF_UNIX, SOCK_STREAM, 0);
        bind(s, (sockaddr *)&a, sizeof a);
        close(s);
    };
    struct Case {
        const char *kind;
        std::function<void()> make;
    } cases[] = {
        {"a FIFO", [&] { mkfifo(path, 0666); }},
        {"a directory", [&] { mkdir(path, 0755); }},
        {"a symbolic link", [&] { symlink("/etc/hostname", path); }},
        {"a socket", [&] { socketAt(path); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.kind);
        c.make();
        bool taken = true;
        alarm(10);  // a hang ends the test
        std::string err = stderrOf([&] { taken = takePortLockIn(dir.c_str(), pty.name); });
        alarm(0);
        EXPECT_FALSE(taken);
        EXPECT_EQ(err, std::string("> serial port ") + pty.name + " not opened: " + lock + " is " +
                           c.kind + ", not a lock file\n");
        if (remove(path) != 0) rmdir(path);
    }
    EXPECT_EQ(filesIn(dir), "");
    closePty(pty);
}

// Of two that find one stale lock, the one that comes second finds the
// first's lock live; and a lock is removed at the end only while it is ours.
TEST(SerialPort, StaleLockIsReplacedOnlyWhileItIsStale) {
    std::string dir = enterTempDir();
    leaveTempDir();
    Pty pty = openPty();
    std::string lock = lockOf(dir, pty);
    int gone = fork();
    if (gone == 0) _exit(0);
    waitpid(gone, nullptr, 0);
    char stale[16], mine[16];
    snprintf(stale, sizeof stale, "%10d\n", gone);
    snprintf(mine, sizeof mine, "%10d\n", (int)getpid());
    const std::string init = "         1\n";  // a process that lives

    writeFile(lock, stale);
    ASSERT_TRUE(takePortLockIn(dir.c_str(), pty.name));
    EXPECT_EQ(readFile(lock), mine);
    EXPECT_EQ(filesIn(dir), lock.substr(dir.size() + 1) + " ");  // nothing private left
    releasePortLock();
    EXPECT_EQ(filesIn(dir), "");

    // Taken over while held (by hand, or by one that thought it stale).
    ASSERT_TRUE(takePortLockIn(dir.c_str(), pty.name));
    writeFile(lock, init);
    releasePortLock();
    EXPECT_EQ(readFile(lock), init);

    // Another is replacing the same stale lock right now: it holds the
    // stale file's flock until its own lock is in place.
    writeFile(lock, stale);
    int other = open(lock.c_str(), O_RDONLY);
    ASSERT_EQ(flock(other, LOCK_EX), 0);
    bool taken = true;
    std::string err = stderrOf([&] {
        std::thread t([&] { taken = takePortLockIn(dir.c_str(), pty.name); });
        usleep(100000);
        writeFile(dir + "/theirs", init);
        rename((dir + "/theirs").c_str(), lock.c_str());
        close(other);
        t.join();
    });
    EXPECT_FALSE(taken);
    EXPECT_EQ(readFile(lock), init);
    EXPECT_EQ(err, std::string("> serial port ") + pty.name +
                       " is in use by another program, not opened (lock file " + lock +
                       " of process 1)\n");
    unlink(lock.c_str());
    closePty(pty);
}

// An adapter's maker and product as it reports them may hold terminal
// controls: shown escaped, never sent to the terminal.
TEST(SerialPort, ListShowsTheAdaptersStringsEscaped) {
    std::string root = enterTempDir();
    leaveTempDir();
    struct Case {
        const char *maker, *product, *shown;
    } cases[] = {
        {"Acme\x1b[2J", "Cable\x07", "(Acme\\x1B[2J Cable\\x07)"},
        {"", "\x1b]52;c;aGk=\x07", "(\\x1B]52;c;aGk=\\x07)"},
        {"Tab\tCo", "CR\rmid\x7f", "(Tab\\x09Co CR\\x0Dmid\\x7F)"},
    };
    std::string expected;
    for (int i = 0; i < 3; ++i) {
        std::string n = std::to_string(i), usb = root + "/sys/devices/usb1/1-" + n;
        system(("mkdir -p " + root + "/dev " + root + "/sys/class/tty " + usb + "/1-" + n +
                ":1.0/tty").c_str());
        writeFile(root + "/dev/ttyACM" + n, "");
        if (cases[i].maker[0]) writeFile(usb + "/manufacturer", std::string(cases[i].maker) + "\n");
        writeFile(usb + "/product", std::string(cases[i].product) + "\n");
        symlink(("../../devices/usb1/1-" + n + "/1-" + n + ":1.0/tty").c_str(),
                (root + "/sys/class/tty/ttyACM" + n).c_str());
        symlink("..", (usb + "/1-" + n + ":1.0/tty/device").c_str());
        expected += "/dev/ttyACM" + n + " " + cases[i].shown + "\n";
    }
    captureStart();
    EXPECT_EQ(listSerialPortsIn(root.c_str()), 0);
    EXPECT_EQ(captureStop(), expected);
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
