// The built program end to end: start-up rules, idling, hang-up, the log.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>

#include "support.h"

namespace {
struct Child {
    int pid = -1;
    int out = -1;  // read end of the program's standard output
    int err = -1;
    std::string dir;
};

Child start(std::initializer_list<const char *> args, int in, bool oneStream = false,
            void (*beforeExec)() = nullptr) {
    Child r;
    char tmpl[] = "/tmp/kestrode-run-XXXXXX";
    r.dir = mkdtemp(tmpl);
    int o[2], e[2];
    EXPECT_EQ(pipe2(o, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(e, O_CLOEXEC), 0);
    std::vector<const char *> argv{KESTRODE_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back(nullptr);
    r.pid = spawn(argv.data(), in, o[1], oneStream ? o[1] : e[1], r.dir.c_str(), beforeExec);
    close(o[1]);
    close(e[1]);
    r.out = o[0];
    r.err = e[0];
    return r;
}

std::string todaysLog(const std::string &dir, const char *form = "/kestrode-%Y%m%d.log") {
    char name[64];
    time_t now = time(nullptr);
    struct tm tmv;
    localtime_r(&now, &tmv);
    strftime(name, sizeof name, form, &tmv);
    return dir + name;
}

struct Keyboard {
    int in[2] = {-1, -1};
    Keyboard() { EXPECT_EQ(pipe2(in, O_CLOEXEC), 0); }
    ~Keyboard() { close(in[1]); }
    void type(const std::string &s) { writeAll(in[1], s); }
};

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

TEST(Program, TerminatingSignalsEndTransfersCleanly) {
    // SIGTERM in a download: "@FIN" to the instrument, what arrived kept, no
    // temporary file, and the program ends by the signal itself.
    Pty pty = openPty();
    Child r = start({pty.name}, -1);
    readUntil(r.out, "Local logging file", 5000);
    writeAll(pty.master, "@DOWNLOAD,got.bin,300\r\n");
    EXPECT_NE(readUntil(pty.master, "@ACK\r", 5000).find("@ACK\r"), std::string::npos);
    writeAll(pty.master, "@DAT14aGVsbG8=\r\n");  // "hello"
    EXPECT_NE(readUntil(pty.master, "@ACK\r", 5000).find("@ACK\r"), std::string::npos);
    kill(r.pid, SIGTERM);
    EXPECT_NE(readUntil(pty.master, "@FIN\r", 5000).find("@FIN\r"), std::string::npos);
    int status = waitStatus(r.pid, 5000);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_EQ(readFile(r.dir + "/got.bin"), "hello");
    EXPECT_EQ(filesIn(r.dir).find(".part"), std::string::npos) << filesIn(r.dir);
    closePty(pty);

    // SIGTERM in an upload, while a frame waits for its answer.
    pty = openPty();
    Keyboard k;
    r = start({pty.name}, k.in[0]);
    readUntil(r.out, "Local logging file", 5000);
    writeFile(r.dir + "/up.bin", "hello");
    k.type("@upload up.bin\n");
    EXPECT_NE(readUntil(pty.master, "#UPLOAD up.bin 5\r\n", 5000).find("#UPLOAD"),
              std::string::npos);
    writeAll(pty.master, "@ACK\r\n");
    EXPECT_NE(readUntil(pty.master, "\n", 5000).find("@DAT"), std::string::npos);
    kill(r.pid, SIGTERM);
    EXPECT_NE(readUntil(pty.master, "@FIN\r", 5000).find("@FIN\r"), std::string::npos);
    status = waitStatus(r.pid, 5000);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_NE(readQuiet(r.out, 50).find("> upload interrupted by a signal"), std::string::npos);
    closePty(pty);

    // A signal ignored at start, as under nohup, stays ignored; SIGHUP ends.
    pty = openPty();
    Keyboard k2;
    signal(SIGINT, SIG_IGN);
    r = start({pty.name}, k2.in[0]);
    signal(SIGINT, SIG_DFL);
    readUntil(r.out, "Local logging file", 5000);
    kill(r.pid, SIGINT);
    k2.type("still here\n");  // a pending SIGINT would end the loop before this
    EXPECT_NE(readUntil(pty.master, "still here\r\n", 5000).find("still here"),
              std::string::npos);
    kill(r.pid, SIGHUP);
    status = waitStatus(r.pid, 5000);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGHUP) << status;
    closePty(pty);
}

TEST(Program, StuckInstrumentDoesNotHoldTheTerminal) {
    Pty pty = openPty();
    Keyboard k;
    Child r = start({pty.name}, k.in[0]);
    readUntil(r.out, "Local logging file", 5000);
    writeAll(pty.master, "@DOWNLOAD,nak.bin,300\r\n");
    readUntil(pty.master, "@ACK\r", 5000);
    k.type("@exit\n");  // typed during the storm: runs once the download has ended
    std::string replies;
    for (int i = 0; i < 12 && replies.find("@FIN") == std::string::npos; ++i) {
        writeAll(pty.master, "@DAT00aGVsbG8=\r\n");  // wrong sum
        replies += readUntil(pty.master, "\r", 5000);
    }
    EXPECT_EQ(replies.find("@FIN"), 50u) << replies;  // after ten "@NAK\r"
    EXPECT_EQ(waitExit(r.pid, 5000), 0);
    EXPECT_NE(readQuiet(r.out, 50).find("> download ended: 10 frames rejected in a row"),
              std::string::npos);
    closePty(pty);
}

TEST(Program, PortIsHeldByOneProgramAtATime) {
    Pty pty = openPty();
    Child first = start({pty.name}, -1);
    readUntil(first.out, "Local logging file", 5000);
    Child second = start({pty.name}, -1);
    EXPECT_EQ(waitExit(second.pid, 5000), 255);
    EXPECT_EQ(readQuiet(second.err, 50), std::string("> serial port ") + pty.name +
                                             " is in use by another program, not opened\n");
    EXPECT_EQ(access(todaysLog(second.dir).c_str(), F_OK), -1);
    kill(first.pid, SIGTERM);
    waitStatus(first.pid, 5000);
    // Other serial tools that lock the port the same way are respected too.
    if (access("/usr/bin/picocom", X_OK) == 0) {
        int out[2];
        ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
        const char *argv[] = {"/usr/bin/picocom", "-q", pty.name, nullptr};
        int in[2];
        ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);  // stays open: picocom keeps running
        // Its own process group: picocom passes a SIGTERM on to its group.
        int pid = spawn(argv, in[0], out[1], out[1], nullptr, [] { setpgid(0, 0); });
        close(out[1]);
        std::string held = " " + std::to_string(pid) + " ";  // picocom's lock, once taken
        for (int i = 0; i < 500 && readFile("/proc/locks").find(held) == std::string::npos; ++i)
            usleep(10000);
        second = start({pty.name}, -1);
        EXPECT_EQ(waitExit(second.pid, 5000), 255);
        EXPECT_NE(readQuiet(second.err, 50).find("in use by another program"), std::string::npos);
        kill(pid, SIGTERM);
        waitStatus(pid, 5000);
        close(in[0]);
        close(in[1]);
        close(out[0]);
    }
    closePty(pty);
}

namespace {
void fifoAsLogAndHighDescriptors() {
    mkfifo(todaysLog(".").c_str(), 0644);
    rlimit lim;
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = lim.rlim_max < 2048 ? lim.rlim_max : 2048;
    setrlimit(RLIMIT_NOFILE, &lim);
    int null = open("/dev/null", O_RDONLY);
    for (int fd = 3; fd <= 1100; ++fd)
        if (fd != null) dup2(null, fd);  // the port's descriptor comes above 1100
}
}  // namespace

TEST(Program, OddStartingConditionsAreServed) {
    rlimit lim;
    getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_max < 1200) GTEST_SKIP() << "descriptor limit too low";
    Pty pty = openPty();
    Keyboard k;
    Child r = start({pty.name}, k.in[0], false, fifoAsLogAndHighDescriptors);
    std::string out = readUntil(r.out, ".log", 5000);
    int portFd = -1;  // the port is served above the old select limit
    std::string fds = "/proc/" + std::to_string(r.pid) + "/fd/";
    for (int fd = 3; fd < 2048 && portFd < 0; ++fd) {
        char link[128] = {};
        if (readlink((fds + std::to_string(fd)).c_str(), link, sizeof link - 1) > 0 &&
            strcmp(link, pty.name) == 0)
            portFd = fd;
    }
    EXPECT_GT(portFd, 1024);
    EXPECT_NE(out.find(todaysLog("", "kestrode-%Y%m%d(1).log")), std::string::npos) << out;
    writeAll(pty.master, "T=1\r\n");
    EXPECT_NE(readUntil(r.out, "T=1\r\n", 5000).find("T=1"), std::string::npos);
    EXPECT_EQ(waitForFile(todaysLog(r.dir, "/kestrode-%Y%m%d(1).log"), "T=1\r\r\n", 5000),
              "T=1\r\r\n");
    k.type("@exit\n");
    EXPECT_EQ(waitExit(r.pid, 5000), 0);
    closePty(pty);
}

TEST(Program, EndOfInputOnATerminalIsMomentary) {
    Pty pty = openPty(), keys = openPty();
    termios t;
    tcgetattr(keys.slave, &t);
    t.c_lflag |= ICANON;  // a console as a user has it: ^D ends input for one read
    t.c_cc[VEOF] = 4;
    tcsetattr(keys.slave, TCSANOW, &t);
    Child r = start({pty.name}, keys.slave);
    readUntil(r.out, "Local logging file", 5000);
    writeAll(keys.master, "\x04");
    writeAll(keys.master, "@help\n");
    EXPECT_NE(readUntil(r.out, "@exit", 5000).find("@exit"), std::string::npos);
    writeAll(keys.master, "\x04@help\n");  // and again
    EXPECT_NE(readUntil(r.out, "@exit", 5000).find("@exit"), std::string::npos);
    // The console hangs up: the instrument is still served, without a spin.
    close(keys.master);
    keys.master = -1;
    double before = cpuSeconds(r.pid);
    usleep(300000);
    EXPECT_LT(cpuSeconds(r.pid) - before, 0.1) << "busy on a gone terminal";
    writeAll(pty.master, "T=2\r\n");
    EXPECT_NE(readUntil(r.out, "T=2\r\n", 5000).find("T=2"), std::string::npos);
    close(pty.master);
    pty.master = -1;
    EXPECT_EQ(waitExit(r.pid, 5000), 0);
    closePty(keys);
    closePty(pty);
}

namespace {
bool diedBy(int pid, int signo) {
    int status = waitStatus(pid, 5000);
    return status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == signo;
}

// The host's answer up to its next CR.
std::string replyOn(const Pty &pty) { return readUntil(pty.master, "\r", 5000); }

const std::string HELLO_FRAME = "@DAT14aGVsbG8=\r\n";  // "hello"
}  // namespace

TEST(Program, ClosedConsolePipeCostsNoLineNorTransfer) {
    // Idle, like `kestrode DEV | head -1`: the lines of the read that found
    // the console gone are logged, then the program ends by SIGPIPE.
    Pty pty = openPty();
    Child r = start({pty.name}, -1);
    readUntil(r.out, ".log\r\n", 5000);
    close(r.out);
    writeAll(pty.master, "T=1\r\nT=2\r\n");
    EXPECT_TRUE(diedBy(r.pid, SIGPIPE));
    EXPECT_EQ(readFile(todaysLog(r.dir)), "T=1\r\r\nT=2\r\r\n");
    closePty(pty);

    // In a download: the frames acknowledged are kept, "@FIN" is sent.
    pty = openPty();
    r = start({pty.name}, -1);
    readUntil(r.out, ".log\r\n", 5000);
    writeAll(pty.master, "T=0\r\n@DOWNLOAD,got.bin,2560\r\n");
    EXPECT_NE(readUntil(pty.master, "@ACK\r", 5000).find("@ACK\r"), std::string::npos);
    EXPECT_NE(readUntil(r.out, "> receiving a file\n", 5000).find("receiving"), std::string::npos);
    close(r.out);
    std::string replies, tenAcks, hellos;
    for (int i = 0; i < 10; ++i) {  // the tenth shows progress, into the closed pipe
        writeAll(pty.master, HELLO_FRAME);
        replies += replyOn(pty);
        tenAcks += "@ACK\r";
        hellos += "hello";
    }
    if (replies.find("@FIN") == std::string::npos) replies += replyOn(pty);
    EXPECT_EQ(replies, tenAcks + "@FIN\r");
    EXPECT_TRUE(diedBy(r.pid, SIGPIPE));
    EXPECT_EQ(readFile(r.dir + "/got.bin"), hellos);
    EXPECT_EQ(filesIn(r.dir).find(".part"), std::string::npos) << filesIn(r.dir);
    EXPECT_EQ(readFile(todaysLog(r.dir)), "T=0\r\r\n");
    closePty(pty);
}

TEST(Program, BannerInATransferSetsTheClockOnceItEnds) {
    Pty pty = openPty();
    Keyboard k;
    Child r = start({pty.name}, k.in[0]);
    readUntil(r.out, ".log\r\n", 5000);
    const std::string banner = "# OLM-inside Air Monitor\r\n";
    // A download: the first line end of the run syncs the clock as usual.
    writeAll(pty.master, "@DOWNLOAD,b.bin,300\r\n");
    EXPECT_EQ(readUntil(pty.master, "@ACK\r", 5000).rfind("settime ", 0), 0u);
    writeAll(pty.master, HELLO_FRAME);
    EXPECT_EQ(replyOn(pty), "@ACK\r");
    writeAll(pty.master, banner + "@FIN\r\n");  // restarted, and gave up the transfer
    std::string after = readUntil(pty.master, "\r\n", 5000);
    EXPECT_EQ(after.rfind("@FIN\rsettime ", 0), 0u) << after;
    EXPECT_NE(readUntil(r.out, "Air Monitor\n", 5000).find("Air Monitor"), std::string::npos);
    // An upload.
    writeFile(r.dir + "/up.bin", std::string(300, 'u'));
    k.type("@upload up.bin\n");
    EXPECT_NE(readUntil(pty.master, "300\r\n", 5000).find("#UPLOAD"), std::string::npos);
    writeAll(pty.master, "@ACK\r\n");
    EXPECT_NE(readUntil(pty.master, "\n", 5000).find("@DAT"), std::string::npos);
    writeAll(pty.master, banner + "@FIN\r\n");
    after = readUntil(pty.master, "\r\n", 5000);
    EXPECT_EQ(after.rfind("@FIN\rsettime ", 0), 0u) << after;
    kill(r.pid, SIGTERM);
    waitStatus(r.pid, 5000);
    closePty(pty);
}

TEST(Program, NoticeForALineThatStaysHalfShownTakesAFreshLine) {
    Pty pty = openPty();
    Child r = start({pty.name}, -1, false, [] {
        signal(SIGXFSZ, SIG_IGN);
        rlimit none;
        getrlimit(RLIMIT_FSIZE, &none);
        none.rlim_cur = 0;  // every log write fails
        setrlimit(RLIMIT_FSIZE, &none);
    });
    readUntil(r.out, ".log\r\n", 5000);
    // A prompt without a line end follows the line whose logging fails.
    writeAll(pty.master, "T=21.5\r\n$ ");
    EXPECT_EQ(readUntil(r.out, "again\n", 10000),
              "T=21.5\r\n$ \n> log write failed (File too large), lines are lost until it works "
              "again\n");
    writeAll(pty.master, "ls\r\n");
    EXPECT_EQ(readUntil(r.out, "\n", 5000), "ls\r\n");
    close(pty.master);
    waitExit(r.pid, 5000);
    closePty(pty);
}
