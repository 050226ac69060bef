// Serial port set-up read back from the device.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>

#include "clocklog/clocklog.h"
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

namespace {
// What `f` writes on standard error.
std::string stderrOf(const std::function<void()> &f) {
    FILE *to = tmpfile();
    int saved = dup(2);
    dup2(fileno(to), 2);
    f();
    dup2(saved, 2);
    close(saved);
    std::string s = readFile("/proc/self/fd/" + std::to_string(fileno(to)));
    fclose(to);
    return s;
}
}  // namespace

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
    // Anyone may make the name: what is no regular file is refused at once,
    // never opened (a FIFO would hang the start).
    const char *at = lock.c_str();
    for (auto [kind, make] : std::initializer_list<std::pair<const char *, std::function<void()>>>{
             {"a FIFO", [&] { mkfifo(at, 0666); }},
             {"a directory", [&] { mkdir(at, 0755); }},
             {"a symbolic link", [&] { symlink("/etc/hostname", at); }}}) {
        make();
        alarm(10);
        EXPECT_EQ(stderrOf([&] { EXPECT_FALSE(takePortLockIn(dir.c_str(), pty.name)); }),
                  std::string("> serial port ") + pty.name + " not opened: " + lock + " is " +
                      kind + ", not a lock file\n");
        alarm(0);
        remove(at);
    }
    // Nowhere to write a lock is no reason to refuse; a file is locked never.
    EXPECT_TRUE(takePortLockIn((dir + "/none").c_str(), pty.name));
    EXPECT_STREQ(portLockFile(), "");
    EXPECT_TRUE(takePortLockIn(dir.c_str(), "/etc/hostname"));
    EXPECT_EQ(filesIn(dir), "");
    closePty(pty);
}

// Another program's flock names its holder, and the name it chose, escaped.
TEST(SerialPort, FlockHolderIsNamed) {
    Pty pty = openPty();
    ASSERT_EQ(flock(open(pty.name, O_RDWR | O_NOCTTY | O_CLOEXEC), LOCK_EX), 0);
    prctl(PR_SET_NAME, "hold\x1b[2Jer");
    std::string err = stderrOf([&] { EXPECT_EQ(openPort(pty.name), -1); });
    prctl(PR_SET_NAME, "kestrode_tests");
    EXPECT_EQ(err, std::string("> serial port ") + pty.name +
                       " is in use by another program, not opened (process " +
                       std::to_string(getpid()) + ", hold\\x1B[2Jer)\n");
    closePty(pty);
}

// Of two that find one stale lock, the second finds the first's lock live;
// a lock is removed at the end only while it is ours.
TEST(SerialPort, StaleLockIsReplacedOnlyWhileItIsStale) {
    std::string dir = enterTempDir();
    leaveTempDir();
    Pty pty = openPty();
    std::string lock = dir + "/LCK.." + std::string(pty.name + 5).replace(3, 1, "_");
    int gone = fork();
    if (gone == 0) _exit(0);
    waitpid(gone, nullptr, 0);
    const std::string stale = std::to_string(gone) + "\n", init = "1\n";  // init lives
    writeFile(lock, stale);
    ASSERT_TRUE(takePortLockIn(dir.c_str(), pty.name));
    EXPECT_EQ(std::stol(readFile(lock)), getpid());
    EXPECT_EQ(filesIn(dir), lock.substr(dir.size() + 1) + " ");  // nothing private left
    writeFile(lock, init);  // taken over meanwhile
    releasePortLock();
    EXPECT_EQ(readFile(lock), init);
    // The other holds the stale file's flock until its own lock is in place.
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
    EXPECT_NE(err.find(lock + " of process 1)"), std::string::npos) << err;
    unlink(lock.c_str());
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
    put("/sys/devices/usb1/1-2/product", "Air\x1b[2J Monitor\rCDC\x07\x7f\n");
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
              "/dev/ttyACM0||Air\x1b[2J Monitor\rCDC\x07\x7f\n"
              "/dev/ttyAMA0||\n"
              "/dev/ttyS0||\n"
              "/dev/ttyS10||\n"
              "/dev/ttyUSB0|/dev/serial/by-id/usb-Acme_USB_Serial_A50285BI-if00-port0|"
              "Acme USB Serial\n");
    // Shown escaped: an adapter may put terminal controls in its strings.
    captureStart();
    listSerialPortsIn(root.c_str());
    std::string list = captureStop();
    EXPECT_EQ(list.substr(0, list.find('\n') + 1), "/dev/ttyACM0 (Air\\x1B[2J Monitor\\x0DCDC\\x07\\x7F)\n");
    EXPECT_EQ(findSerialPortsIn(root.c_str(), ports, 2), 2);  // never past its slots
    EXPECT_EQ(findSerialPortsIn((root + "/none").c_str(), ports, PORT_SLOTS), 0);
}

namespace {
long long monoMs = 0;
int fakeMono(clockid_t id, timespec *ts) {
    if (id != CLOCK_MONOTONIC) return clock_gettime(id, ts);
    ts->tv_sec = monoMs / 1000;
    ts->tv_nsec = monoMs % 1000 * 1000000;
    return 0;
}
int refusal = 0;   // what the port's open meets, 0 for nothing
int other = -1;    // another program's hold; -2: it takes the port at the reopen
int opens = 0;
int openAgain(const char *path, int flags) {
    ++opens;
    if (refusal) return errno = refusal, -1;
    if (other == -2) {
        other = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
        flock(other, LOCK_EX);
    }
    return open(path, flags);
}
}  // namespace

// --silence 1: the reopen finds the port another's (its flock, or its
// exclusive mode), refused or gone. Taken or refused: said once, tried again
// every 3 s and no sooner until it is ours, set up as at start, with the lock
// file kept; gone: a lost port.
TEST(SerialPort, APortLostAtTheReopenIsTriedAgainUntilItIsOurs) {
    std::string self = readFile("/proc/self/comm");  // kestrode_tests, or its emulator
    self.resize(self.find('\n'));
    const std::string warned =
        "> no byte from the instrument for 1 s, no line from it since kestrode started\n";
    const std::string back = "> the serial port is open again after 6 s without it\n";
    struct Case {
        int refusal;
        bool flocked;
        int opens;
        std::string said;
    } cases[] = {
        {0, false, 1, "> the instrument is still silent, its serial port was closed and opened again\n"},
        {0, true, 3, "> the serial port was taken by another program (process " +
                         std::to_string(getpid()) + ", " + self + "), trying again every 3 s\n" + back},
        {EBUSY, false, 3, "> the serial port was taken by another program, trying again every 3 s\n" + back},
        {EACCES, false, 3,
         "> the serial port could not be opened again (Permission denied), trying again every 3 s\n" + back},
        {ENOENT, false, 1, "> serial device lost, shutting down\n"},
    };
    gClockSpec = fakeMono;
    gOpenPortAgain = openAgain;
    gSilenceSeconds = 1;
    for (const Case &c : cases) {
        Pty pty = openPty();
        ASSERT_GE(openPort(pty.name), 0);
        const std::string lock = portLockFile();
        monoMs = 1000000;
        opens = 0;
        refusal = c.refusal;
        other = c.flocked ? -2 : -1;
        startSilenceWatch();
        captureStart();
        for (int step = 0; step < 2; ++step) {  // warned, then reopened
            monoMs += 1000;
            checkSilence();
        }
        for (int tries = 2; tries <= c.opens; ++tries) {
            EXPECT_EQ(gTermFD, -1);
            EXPECT_EQ(silenceWaitMs(), 3000) << "no try sooner";
            monoMs += 2999;
            checkSilence();
            EXPECT_EQ(opens, tries - 1);
            monoMs += 1;
            if (tries == c.opens) {
                refusal = 0;
                if (other >= 0) close(other);
            }
            checkSilence();
        }
        EXPECT_EQ(captureStop(), warned + c.said) << c.refusal;
        EXPECT_EQ(opens, c.opens);
        EXPECT_EQ(portLockFile(), lock);
        EXPECT_EQ(gbRun, c.refusal != ENOENT);
        if (gbRun) {
            termios t;
            ASSERT_EQ(tcgetattr(gTermFD, &t), 0);
            EXPECT_EQ(cfgetospeed(&t), (speed_t)B115200) << "the line up again";
            EXPECT_EQ(silenceWaitMs(), -1);
        }
        gbRun = true;
        closePort();
        closePty(pty);
    }
    gSilenceSeconds = 0;
    gOpenPortAgain = [](const char *path, int flags) { return open(path, flags); };
    gClockSpec = clock_gettime;
}
