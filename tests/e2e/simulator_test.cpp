// The simulated instrument on its own, with the test as the host: what the
// end-to-end tests rely on it for, and the rules of its file store.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>

#include "harness.h"
#include "support.h"

namespace {
// The simulator in a plain run, with a symlink to its device in the Session's folder.
struct Sim {
    Session session;
    int fd = -1;  // the host's side of the line
    std::string link;
    ~Sim() {
        if (fd >= 0) close(fd);
    }
};

void startSim(Sim &s, const std::vector<std::string> &options) {
    s.link = s.session.dir + "/ttyS-sim";
    std::vector<std::string> args;
#ifdef KESTRODE_EMULATOR
    args.push_back(KESTRODE_EMULATOR);
#endif
    args.insert(args.end(), {KESTRODE_SIM, "--storage", s.session.store, "--link", s.link});
    args.insert(args.end(), options.begin(), options.end());
    std::vector<const char *> argv;
    for (const std::string &a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    s.session.pid = spawn(argv.data(), -1, out[1], -1, s.session.dir.c_str());
    close(out[1]);
    s.session.out = out[0];
    // Its first line is the device's path.
    std::string path = readUntil(s.session.out, "\n", 10000);
    ASSERT_TRUE(path.rfind("/dev/", 0) == 0) << path;
    char target[256] = {};
    ASSERT_GT(readlink(s.link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target) + "\n", path);

    s.fd = open(s.link.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(s.fd, 0);
    termios t;
    memset(&t, 0, sizeof t);
    cfmakeraw(&t);
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    tcsetattr(s.fd, TCSANOW, &t);
}

// Sends `text` and returns what comes back up to and including `until`.
std::string ask(Sim &s, const std::string &text, const std::string &until) {
    writeAll(s.fd, text);
    return readUntil(s.fd, until, 5000);
}
}  // namespace

TEST(Simulator, BootsForItsHostAndAnswersItsShell) {
    Sim s;
    writeFile(s.session.store + "/sample.csv", "a,b\n1,2\n");
    startSim(s, {"--period", "0"});
    std::string banner = readUntil(s.fd, "$ ", 5000);
    EXPECT_EQ(banner.rfind("# OLM-inside Air Monitor\r\n", 0), 0u) << banner;
    EXPECT_NE(banner.find("# storage: 1 file, 8 bytes\r\n"), std::string::npos) << banner;

    // CR LF, a lone CR and a lone LF each end one line.
    EXPECT_EQ(ask(s, "settime 1700000000\r\n", "$ "),
              "\r\n# clock set to 2023-11-14 22:13:20 UTC\r\n$ ");
    std::string date = ask(s, "date\r", "$ ");
    EXPECT_EQ(date.rfind("\r\n2023-11-14 22:13:2", 0), 0u) << date;
    // The name in 24 columns, a blank, the size in 10.
    std::string entry = "sample.csv" + std::string(14 + 1 + 9, ' ') + "8";
    EXPECT_EQ(ask(s, "ls\n", "$ "), "\r\n" + entry + "\r\n# 1 file, 8 bytes\r\n$ ");
    EXPECT_EQ(ask(s, "frob\r\n", "$ "), "\r\n# unknown command: frob (type help)\r\n$ ");
    EXPECT_EQ(ask(s, "rm nothing\r\n", "$ "), "\r\n# no such file: nothing\r\n$ ");
    EXPECT_EQ(ask(s, "rm sample.csv\r\n", "$ "), "\r\n# removed sample.csv\r\n$ ");
    EXPECT_EQ(listFolder(s.session.store), std::vector<std::string>{});

    std::string reboot = ask(s, "reboot\r\n", "$ ");
    EXPECT_EQ(reboot.rfind("\r\n# rebooting\r\n# OLM-inside Air Monitor\r\n", 0), 0u) << reboot;
    EXPECT_NE(ask(s, "date\r\n", "$ ").find("2000-01-01 "), std::string::npos);
}

TEST(Simulator, KeepsItsFilesInItsStore) {
    Sim s;
    startSim(s, {"--period", "0"});
    readUntil(s.fd, "$ ", 5000);
    // Outside names are refused for reading; an upload keeps the last part.
    EXPECT_EQ(ask(s, "#DOWNLOAD ../sim.err\r\n", "$ "), "\r\n# no such file: ../sim.err\r\n$ ");
    EXPECT_EQ(ask(s, "#DOWNLOAD /etc/passwd\r\n", "$ "), "\r\n# no such file: /etc/passwd\r\n$ ");
    EXPECT_EQ(ask(s, "\r\n#UPLOAD ../up.txt 3\r\n", "@ACK\r\n"), "\r\n@ACK\r\n");
    EXPECT_EQ(ask(s, "@DAT00YWJj\n", "\r\n"), "@NAK\r\n");  // the sum of 'abc' is 0x26
    EXPECT_EQ(ask(s, "@DAT26YWJ\n", "\r\n"), "@NAK\r\n");   // Base64 cut short
    EXPECT_EQ(ask(s, "@DAT26YWJj\n", "\r\n"), "@FIN\r\n");
    EXPECT_EQ(ask(s, "@FIN\r", "$ "), "# stored up.txt, 3 bytes\r\n$ ");
    EXPECT_EQ(readFile(s.session.store + "/up.txt"), "abc");
    EXPECT_EQ(listFolder(s.session.dir), (std::vector<std::string>{"host", "store", "ttyS-sim"}));

    EXPECT_EQ(ask(s, "#DOWNLOAD up.txt\r\n", ",3\r\n"), "\r\n@DOWNLOAD,up.txt,3\r\n");
    EXPECT_EQ(ask(s, "@ACK\r", "\n"), "@DAT26YWJj\n");
    EXPECT_EQ(ask(s, "@NAK\r", "\n"), "@DAT26YWJj\n");
    EXPECT_EQ(ask(s, "@ACK\r", "\r\n"), "@FIN\r\n");
    EXPECT_EQ(ask(s, "@FIN\r", "$ "), "# sent up.txt, 3 bytes\r\n$ ");

    // An upload the host abandons leaves nothing behind.
    EXPECT_EQ(ask(s, "#UPLOAD part.txt 300\r\n", "@ACK\r\n"), "\r\n@ACK\r\n");
    EXPECT_EQ(ask(s, "@DAT26YWJj\n", "\r\n"), "@ACK\r\n");
    EXPECT_EQ(ask(s, "@FIN\r", "$ "),
              "# upload of part.txt ended by the host after 3 of 300 bytes, nothing stored\r\n$ ");
    EXPECT_EQ(listFolder(s.session.store), std::vector<std::string>{"up.txt"});
}

TEST(Simulator, EndsWhenItsHostClosesTheDevice) {
    Sim s;
    startSim(s, {"--period", "0"});
    readUntil(s.fd, "$ ", 5000);
    close(s.fd);
    s.fd = -1;
    EXPECT_EQ(waitExit(s.session.pid, 5000), 0);
    s.session.pid = -1;
    EXPECT_EQ(access(s.link.c_str(), F_OK), -1);  // its symlink went with it
}

// A host that stops mid-line (its port echoing a burst back before it was
// raw) holds the readings only for a moment; the line is still whole later.
TEST(Simulator, ReadingsGoOnAfterAHostStopsMidLine) {
    Sim s;
    startSim(s, {"--period", "0.2"});
    readUntil(s.fd, "$ ", 5000);
    writeAll(s.fd, "da");
    std::string after = readUntil(s.fd, "PM2.5=", 10000);
    EXPECT_NE(after.find("PM2.5="), std::string::npos) << after;
    std::string date = ask(s, "te\r\n", "UTC");
    EXPECT_NE(date.find("2000-01-01 "), std::string::npos) << date;
}
