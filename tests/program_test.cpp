// The built program end to end: start-up rules, idling, hang-up, the log.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "support.h"

namespace {
struct Child {
    int pid = -1;
    int out = -1;  // read end of the program's standard output
    int err = -1;
    std::string dir;
};

Child start(std::initializer_list<const char *> args, int in, bool oneStream = false) {
    Child r;
    char tmpl[] = "/tmp/kestrode-run-XXXXXX";
    r.dir = mkdtemp(tmpl);
    int o[2], e[2];
    EXPECT_EQ(pipe2(o, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(e, O_CLOEXEC), 0);
    std::vector<const char *> argv{KESTRODE_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back(nullptr);
    r.pid = spawn(argv.data(), in, o[1], oneStream ? o[1] : e[1], r.dir.c_str());
    close(o[1]);
    close(e[1]);
    r.out = o[0];
    r.err = e[0];
    return r;
}

std::string todaysLog(const std::string &dir) {
    char name[64];
    time_t now = time(nullptr);
    struct tm tmv;
    localtime_r(&now, &tmv);
    strftime(name, sizeof name, "/kestrode-%Y%m%d.log", &tmv);
    return dir + name;
}

const char BANNER[] = " @@@ starting kestrode @@@ \n";
}  // namespace

TEST(Program, StartUpFailuresEndWithStatus255) {
    Child r = start({"/dev/ttyS-none", "extra"}, -1);
    EXPECT_EQ(waitExit(r.pid, 5000), 255);
    EXPECT_EQ(readQuiet(r.out, 50), std::string(BANNER) + "> missing device name \n");

    r = start({"/nonexistent/ttyS0"}, -1, true);  // console and errors in one stream
    EXPECT_EQ(waitExit(r.pid, 5000), 255);
    EXPECT_EQ(readQuiet(r.out, 50),
              std::string(BANNER) + "open_port: Unable to open\n: No such file or directory\n");
    EXPECT_NE(access(r.dir.c_str(), F_OK), -1);
    EXPECT_EQ(access(todaysLog(r.dir).c_str(), F_OK), -1);  // no log without a port

    r = start({"--version"}, -1);
    EXPECT_EQ(waitExit(r.pid, 5000), 0);
    EXPECT_NE(readQuiet(r.out, 50).find("kestrode "), std::string::npos);
    r = start({"-h"}, -1);
    EXPECT_EQ(waitExit(r.pid, 5000), 0);
    std::string usage = readQuiet(r.out, 50);
    EXPECT_EQ(usage.rfind(BANNER, 0), 0u);
    EXPECT_NE(usage.find("@download"), std::string::npos);
}

TEST(Program, HeadlessLoggerIdlesAndEndsAtHangUp) {
    Pty pty = openPty();
    Child r = start({pty.name}, -1);  // standard input is /dev/null
    std::string out = readUntil(r.out, "Local logging file", 5000);
    ASSERT_NE(out.find("Local logging file"), std::string::npos) << out;
    close(pty.slave);

    writeAll(pty.master, "hello\r\n");
    EXPECT_NE(readUntil(r.out, "hello\r\n", 5000).find("hello\r\n"), std::string::npos);
    EXPECT_EQ(readUntil(pty.master, "\r\n", 5000).rfind("settime ", 0), 0u);

    double before = cpuSeconds(r.pid);
    usleep(2000000);
    EXPECT_LT(cpuSeconds(r.pid) - before, 0.1) << "busy while waiting";

    writeAll(pty.master, "T=1\r\n");
    EXPECT_NE(readUntil(r.out, "T=1\r\n", 5000).find("T=1"), std::string::npos);

    close(pty.master);  // the instrument's side hangs up
    EXPECT_EQ(waitExit(r.pid, 5000), 0);
    std::string tail = readQuiet(r.out, 50);
    EXPECT_NE(tail.find("> serial device lost"), std::string::npos) << tail;
    EXPECT_EQ(readFile(todaysLog(r.dir)), "hello\r\r\nT=1\r\r\n");
}

TEST(Program, LogSurvivesAKill) {
    Pty pty = openPty();
    int in[2];
    ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);  // a keyboard that stays open but silent
    Child r = start({pty.name}, in[0]);
    close(in[0]);
    readUntil(r.out, "Local logging file", 5000);
    writeAll(pty.master, "PM2.5=12\r\nCO2=415\r\n");
    readUntil(r.out, "CO2=415\r\n", 5000);
    std::string expected = "PM2.5=12\r\r\nCO2=415\r\r\n";
    waitForFile(todaysLog(r.dir), expected, 5000);
    kill(r.pid, SIGKILL);
    waitExit(r.pid, 5000);
    EXPECT_EQ(readFile(todaysLog(r.dir)), expected);
    close(in[1]);
    closePty(pty);
}

TEST(Program, TypedLinesAndExit) {
    Pty pty = openPty();
    int in[2];
    ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
    Child r = start({pty.name}, in[0]);
    close(in[0]);
    readUntil(r.out, "Local logging file", 5000);
    writeAll(in[1], "ls\n");
    EXPECT_EQ(readUntil(pty.master, "ls\r\n", 5000), "ls\r\n");
    writeAll(in[1], "@exit\n");
    EXPECT_EQ(waitExit(r.pid, 5000), 0);
    close(in[1]);
    closePty(pty);
}

TEST(Program, ClosedStandardInputIsNotTakenForThePort) {
    Pty pty = openPty();
    Child r = start({pty.name}, SPAWN_CLOSED);
    readUntil(r.out, "Local logging file", 5000);
    close(pty.slave);
    writeAll(pty.master, "T=23.5\r\nH=40\r\n");
    std::string out = readUntil(r.out, "H=40\r\n", 5000);
    EXPECT_NE(out.find("T=23.5\r\nH=40\r\n"), std::string::npos) << out;
    EXPECT_EQ(waitForFile(todaysLog(r.dir), "T=23.5\r\r\nH=40\r\r\n", 5000),
              "T=23.5\r\r\nH=40\r\r\n");
    close(pty.master);
    EXPECT_EQ(waitExit(r.pid, 5000), 0);
}
