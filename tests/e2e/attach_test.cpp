// kestrode-sim --attach: the instrument on a serial device it did not make,
// here the slave of a pseudo-terminal that the test holds, as QEMU holds a
// UART's or a null-modem cable joins two real ports.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdio.h>
#include <termios.h>
#include <unistd.h>

#include "harness.h"
#include "support.h"

namespace {
int startAttached(const Session &s, const char *device, const std::string &transcript,
                  bool stay = false) {
    std::vector<std::string> args;
#ifdef KESTRODE_EMULATOR
    args.push_back(KESTRODE_EMULATOR);
#endif
    args.insert(args.end(), {KESTRODE_SIM, "--attach", device, "--storage", s.store, "--period",
                             "0", "--transcript", transcript});
    if (stay) args.push_back("--stay");
    std::vector<const char *> argv;
    for (const std::string &a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    return spawn(argv.data(), -1, -1, -1, s.dir.c_str());
}

// Cooked, slow and with parity, so that the simulator's own settings show.
void cooked(int fd) {
    termios t;
    tcgetattr(fd, &t);
    t.c_lflag |= ICANON | ECHO | ISIG;
    t.c_oflag |= OPOST;
    t.c_cflag |= PARENB | CSTOPB | CRTSCTS;
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    tcsetattr(fd, TCSANOW, &t);
}
}  // namespace

TEST(Simulator, PlaysTheInstrumentOnAnAttachedDevice) {
    Session s;
    Pty p = openPty();
    cooked(p.slave);
    const std::string transcript = s.dir + "/sent";
    s.pid = startAttached(s, p.name, transcript);

    // It boots at once; the banner starts a line of its own.
    std::string got = readUntil(p.master, "$ ", 10000);
    EXPECT_EQ(got.rfind("\r\n# OLM-inside Air Monitor\r\n", 0), 0u) << got;
    termios t;
    ASSERT_EQ(tcgetattr(p.slave, &t), 0);
    EXPECT_EQ(cfgetispeed(&t), (speed_t)B115200);
    EXPECT_EQ(cfgetospeed(&t), (speed_t)B115200);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD),
              (tcflag_t)(CS8 | CLOCAL | CREAD));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 0);

    writeAll(p.master, "settime 1700000000\r\n");
    got += readUntil(p.master, "$ ", 5000);
    EXPECT_NE(got.find("\r\n# clock set to 2023-11-14 22:13:20 UTC\r\n$ "), std::string::npos)
        << got;

    // A second instrument on the same line is refused, and leaves it alone.
    EXPECT_EQ(waitExit(startAttached(s, p.name, s.dir + "/second"), 10000), 1);

    // The far end hanging up ends it; what it sent is all in its transcript.
    close(p.master);
    p.master = -1;
    EXPECT_EQ(waitExit(s.pid, 10000), 0);
    s.pid = -1;
    EXPECT_EQ(readFile(transcript), got);
    closePty(p);
}

// With --stay a device that hung up is let go and opened again once a live
// one is behind its name, as when an adapter is plugged in again.
TEST(Simulator, AttachedAndStayingServesTheDeviceThatComesBack) {
    Session s;
    Pty first = openPty();
    const std::string link = s.dir + "/port";
    ASSERT_EQ(symlink(first.name, link.c_str()), 0);
    s.pid = startAttached(s, link.c_str(), s.dir + "/sent", true);
    std::string got = readUntil(first.master, "$ ", 10000);
    ASSERT_NE(got.find("# OLM-inside Air Monitor\r\n"), std::string::npos) << got;

    Pty second = openPty();
    const std::string next = link + ".next";
    ASSERT_EQ(symlink(second.name, next.c_str()), 0);
    ASSERT_EQ(rename(next.c_str(), link.c_str()), 0);
    close(first.master);
    first.master = -1;
    got = readUntil(second.master, "$ ", 10000);
    EXPECT_NE(got.find("# OLM-inside Air Monitor\r\n"), std::string::npos) << got;
    closePty(first);
    closePty(second);
}
