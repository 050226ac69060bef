// The built program end to end: start-up rules, idling, hang-up, the log.
#include <gtest/gtest.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <vector>

#include "support.h"

namespace {
struct Child {
    int pid = -1;
    int out = -1;  // read end of the program's standard output
    int err = -1;
    std::string dir;
};

Child start(std::initializer_list<const char *> args, int in, bool oneStream = false,
            void (*beforeExec)() = nullptr, const char *cwd = nullptr,
            const char *program = KESTRODE_BIN) {
    Child r;
    char tmpl[] = "/tmp/kestrode-run-XXXXXX";
    r.dir = cwd ? cwd : mkdtemp(tmpl);
    int o[2], e[2];
    EXPECT_EQ(pipe2(o, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(e, O_CLOEXEC), 0);
    std::vector<const char *> argv{program};
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

// The lock file other serial programs look for: /dev/pts/3 is LCK..pts_3.
std::string uucpLock(const char *device) {
    std::string name = device + 5;
    for (char &c : name)
        if (c == '/') c = '_';
    struct stat st;
    bool run = stat("/run/lock", &st) == 0 && S_ISDIR(st.st_mode);
    return std::string(run ? "/run/lock" : "/var/lock") + "/LCK.." + name;
}
}  // namespace

TEST(Program, StartUpFailuresEndWithStatus255) {
    Child r = start({"/dev/ttyS-none", "extra"}, -1);
    EXPECT_EQ(waitExit(r.pid, 5000), 255);
    EXPECT_EQ(readQuiet(r.out, 50), std::string(BANNER) + "> missing device name \n");

    r = start({"/nonexistent/ttyS0"}, -1, true);  // console and errors in one stream
    EXPECT_EQ(waitExit(r.pid, 5000), 255);
    std::string said = readQuiet(r.out, 50);
    std::string report = std::string(BANNER) + "open_port: Unable to open\n: No such file or directory\n";
    EXPECT_EQ(said.rfind(report, 0), 0u) << said;
    // Then what exists instead: the host's ports, whichever they are.
    std::string hint = said.substr(said.size() < report.size() ? 0 : report.size());
    EXPECT_EQ(hint.rfind("> /nonexistent/ttyS0: No such file or directory; ", 0), 0u) << hint;
    EXPECT_TRUE(hint.find("; serial ports here: /dev/") != std::string::npos ||
                hint.find("; no serial port found on this host\n") != std::string::npos)
        << hint;
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

    // An instrument that stopped taking output: a signal ends the write that
    // waits for room as it ends any wait (the log whole, the lock gone);
    // without one the write is given up after a while and the session goes on.
    for (int round = 0; round < 2; ++round) {
        pty = openPty();
        Keyboard keys;
        r = start({pty.name}, keys.in[0]);
        readUntil(r.out, "Local logging file", 5000);
        writeAll(pty.master, "T=1\r\n");
        readUntil(pty.master, "settime", 5000);  // the clock's first sync
        tcflow(pty.slave, TCOOFF);
        keys.type("blocked\n");
        std::string shown = readQuiet(r.out, 200);
        if (round == 0) {
            kill(r.pid, SIGTERM);
            status = waitStatus(r.pid, 5000);
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
            EXPECT_EQ(readFile(todaysLog(r.dir)), "T=1\r\r\n");
            EXPECT_NE(access(uucpLock(pty.name).c_str(), F_OK), 0) << "lock left";
            EXPECT_EQ((shown + readQuiet(r.out, 50)).find("took no output"), std::string::npos);
        } else {
            shown += readUntil(r.out, "sent\n", 10000);
            EXPECT_NE(shown.find("> serial port took no output for 5 s, 9 of 9 bytes not sent\n"),
                      std::string::npos) << shown;
            tcflow(pty.slave, TCOON);
            keys.type("next\n@exit\n");
            EXPECT_EQ(readUntil(pty.master, "next\r\n", 5000), "next\r\n");
            EXPECT_EQ(waitExit(r.pid, 5000), 0);
        }
        closePty(pty);
    }

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
    EXPECT_EQ(readQuiet(second.err, 50),
              std::string("> serial port ") + pty.name +
                  " is in use by another program, not opened (lock file " + uucpLock(pty.name) +
                  " of process " + std::to_string(first.pid) + ")\n");
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
        std::string err = readQuiet(second.err, 50);
        EXPECT_NE(err.find("in use by another program"), std::string::npos);
        EXPECT_NE(err.find("process " + std::to_string(pid)), std::string::npos) << err;
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
// Terminals and devices a test hands to a child before it execs.
char gChildTerminal[128];
constexpr uid_t NOBODY = 65534;

void becomeNobody() {
    if (setgroups(0, nullptr) != 0 || setgid(NOBODY) != 0 || setuid(NOBODY) != 0) _exit(77);
}
// Standard input (a terminal) becomes the controlling terminal.
void consoleOnStdin() {
    setsid();
    ioctl(0, TIOCSCTTY, 1);
}
// A controlling terminal that is on no standard descriptor.
void consoleElsewhere() {
    setsid();
    int fd = open(gChildTerminal, O_RDWR);  // without O_NOCTTY: it becomes ours
    close(fd);
}

bool refusedQuietly(const std::string &device, void (*beforeExec)(), int in, int console,
                    const std::string &reason) {
    Child r = start({device.c_str()}, in, false, beforeExec);
    int status = waitExit(r.pid, 5000);
    std::string err = readQuiet(r.err, 50);
    EXPECT_EQ(status, 255) << device;
    EXPECT_NE(err.find("> " + device + reason), std::string::npos) << err;
    EXPECT_EQ(filesIn(r.dir), "") << device;  // no log
    if (console >= 0) {
        EXPECT_EQ(readQuiet(console, 50), "") << "written to " << device;
    }
    return status == 255;
}
}  // namespace

TEST(Program, OnlyASerialPortIsOpened) {
    char tmpl[] = "/tmp/kestrode-file-XXXXXX";
    std::string dir = mkdtemp(tmpl);
    std::string data = dir + "/data.csv";
    writeFile(data, "t,pm\n1,12\n");
    struct stat before, after;
    stat(data.c_str(), &before);
    refusedQuietly(data, nullptr, -1, -1, " is not a serial port (a regular file), not opened\n");
    stat(data.c_str(), &after);
    EXPECT_EQ(readFile(data), "t,pm\n1,12\n");
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    refusedQuietly("/dev/null", nullptr, -1, -1,
                   " is not a serial port (a device that is no terminal), not opened\n");
    refusedQuietly(dir, nullptr, -1, -1, ": Is a directory; a directory is no serial port");

    // kestrode's own terminal: as standard input, as /dev/tty, and as the
    // controlling terminal alone. Its modes stay as the user had them.
    Pty keys = openPty();
    termios modes, now;
    tcgetattr(keys.slave, &modes);
    modes.c_lflag |= ICANON | ECHO | ISIG;
    tcsetattr(keys.slave, TCSANOW, &modes);
    tcgetattr(keys.slave, &modes);
    const char *own = " is the terminal kestrode runs in, not a serial port, not opened\n";
    refusedQuietly(keys.name, nullptr, keys.slave, keys.master, own);
    refusedQuietly("/dev/tty", consoleOnStdin, keys.slave, keys.master, own);
    strcpy(gChildTerminal, keys.name);
    refusedQuietly(keys.name, consoleElsewhere, -1, keys.master, own);
    tcgetattr(keys.slave, &now);
    EXPECT_EQ(now.c_iflag, modes.c_iflag);
    EXPECT_EQ(now.c_oflag, modes.c_oflag);
    EXPECT_EQ(now.c_cflag, modes.c_cflag);
    EXPECT_EQ(now.c_lflag, modes.c_lflag);
    EXPECT_EQ(memcmp(now.c_cc, modes.c_cc, sizeof now.c_cc), 0);
    closePty(keys);
}

TEST(Program, UucpLockKeepsOtherProgramsOut) {
    Pty pty = openPty();
    std::string lock = uucpLock(pty.name);
    std::string dir = lock.substr(0, lock.rfind('/'));
    if (access(dir.c_str(), W_OK) != 0) GTEST_SKIP() << dir << " not writable";
    char live[16];
    snprintf(live, sizeof live, "%10d\n", (int)getpid());
    writeFile(lock, live);  // held by a live process: this test
    Child r = start({pty.name}, -1);
    EXPECT_EQ(waitExit(r.pid, 5000), 255);
    EXPECT_EQ(readQuiet(r.err, 50), std::string("> serial port ") + pty.name +
                                        " is in use by another program, not opened (lock file " +
                                        lock + " of process " + std::to_string(getpid()) + ")\n");
    EXPECT_EQ(readFile(lock), live);
    EXPECT_EQ(filesIn(r.dir), "");

    int gone = fork();  // a process that has ended: its lock is stale
    if (gone == 0) _exit(0);
    waitpid(gone, nullptr, 0);
    writeFile(lock, std::to_string(gone) + "\n");
    // Taken over; gone again after "@exit", SIGTERM and the port's loss.
    for (int end = 0; end < 3; ++end) {
        Keyboard k;
        r = start({pty.name}, k.in[0]);
        ASSERT_NE(readUntil(r.out, "Local logging file", 5000).find("Local logging"),
                  std::string::npos);
        char mine[16];
        snprintf(mine, sizeof mine, "%10d\n", r.pid);
        EXPECT_EQ(readFile(lock), mine) << end;
        if (end == 0) k.type("@exit\n");
        if (end == 1) kill(r.pid, SIGTERM);
        if (end == 2) {
            close(pty.slave);
            close(pty.master);
        }
        EXPECT_NE(waitStatus(r.pid, 5000), -1);
        EXPECT_NE(access(lock.c_str(), F_OK), 0) << "lock left after end " << end;
    }
}

TEST(Program, PortIsExclusiveEvenWithoutLocks) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to drop privileges";
    Pty pty = openPty();
    chmod(pty.name, 0666);
    Child r = start({pty.name}, -1);
    readUntil(r.out, "Local logging file", 5000);
    int child = fork();
    if (child == 0) {
        becomeNobody();
        int fd = open(pty.name, O_RDWR | O_NOCTTY | O_NONBLOCK);
        _exit(fd >= 0 ? 0 : errno);
    }
    EXPECT_EQ(waitExit(child, 5000), EBUSY);
    kill(r.pid, SIGTERM);
    waitStatus(r.pid, 5000);
    closePty(pty);
}

namespace {
// minicom with a terminal of its own for its screen; its own process group.
int startMinicom(const char *device, Pty &screen) {
    screen = openPty();
    const char *argv[] = {"/usr/bin/minicom", "-D", device, nullptr};
    setenv("TERM", "vt100", 1);
    return spawn(argv, screen.slave, screen.slave, screen.slave, nullptr, [] { setsid(); });
}
}  // namespace

TEST(Program, MinicomAndKestrodeKeepOutOfEachOther) {
    if (access("/usr/bin/minicom", X_OK) != 0) GTEST_SKIP() << "minicom not installed";
    Pty pty = openPty(), screen;
    Child r = start({pty.name}, -1);
    readUntil(r.out, "Local logging file", 5000);
    int mc = startMinicom(pty.name, screen);
    EXPECT_NE(waitExit(mc, 10000), 0);
    EXPECT_NE(readQuiet(screen.master, 100).find("is locked"), std::string::npos);
    writeAll(pty.master, "T=1\r\n");  // still ours alone
    EXPECT_NE(readUntil(r.out, "T=1\r\n", 5000).find("T=1"), std::string::npos);
    kill(r.pid, SIGTERM);
    waitStatus(r.pid, 5000);
    closePty(screen);

    mc = startMinicom(pty.name, screen);
    std::string lock = uucpLock(pty.name);
    for (int i = 0; i < 500 && readFile(lock).empty(); ++i) usleep(10000);
    r = start({pty.name}, -1);
    EXPECT_EQ(waitExit(r.pid, 5000), 255);
    EXPECT_NE(readQuiet(r.err, 50).find("of process " + std::to_string(mc) + ")"),
              std::string::npos);
    kill(mc, SIGTERM);
    waitStatus(mc, 5000);
    closePty(screen);
    closePty(pty);
}

TEST(Program, PermissionProblemNamesTheGroupToJoin) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to drop privileges";
    Pty pty = openPty();
    group *g = getgrnam("dialout");
    if (!g) GTEST_SKIP() << "no dialout group";
    std::string why, copy = copyForOthers(KESTRODE_BIN, becomeNobody, why);
    if (copy.empty()) GTEST_SKIP() << why;
    ASSERT_EQ(chown(pty.name, 0, g->gr_gid), 0);
    chmod(pty.name, 0660);
    Child r = start({pty.name}, -1, true, becomeNobody, nullptr, copy.c_str());
    EXPECT_EQ(waitExit(r.pid, 5000), 255);
    EXPECT_EQ(readQuiet(r.out, 50),
              std::string(BANNER) + "open_port: Unable to open\n: Permission denied\n> " +
                  pty.name + ": Permission denied; its group dialout may use it: join that group"
                  " (sudo usermod -aG dialout $USER) and log in again\n");
    removeCopy(copy);
    closePty(pty);
}

TEST(Program, OptionsTheUsualWay) {
    const std::string usage =
        "usage: kestrode [--log-time] [--log-daily [--log-keep N]] [--log-dir DIR]\n"
        "                [--log-sync SECONDS] [--silence SECONDS] [--share[=SOCKET]] [--] [DEVICE]\n"
        "       kestrode --attach [--watch] PORT|SOCKET [--wait SECONDS] | --status PORT|SOCKET\n"
        "       kestrode --attach PORT|SOCKET --send LINE [--until TEXT] [--time SECONDS]\n"
        "       kestrode --attach PORT|SOCKET --fetch NAME | --put FILE\n"
        "       kestrode -l|--list | -h|--help | -V|--version\n";
    // A habit from other terminals is an unknown option, never the device.
    for (auto args : {std::initializer_list<const char *>{"-b", "9600", "/dev/ttyUSB0"},
                      {"--baud=9600", "/dev/ttyUSB0"}, {"/dev/ttyUSB0", "-lx"}}) {
        Child r = start(args, -1);
        EXPECT_EQ(waitExit(r.pid, 5000), 255);
        EXPECT_EQ(readQuiet(r.out, 50), BANNER);
        std::string err = readQuiet(r.err, 50);
        EXPECT_TRUE(err == "> unknown option -b\n" + usage ||
                    err == "> unknown option --baud\n" + usage ||
                    err == "> unknown option -x\n" + usage)
            << err;
    }
    Child r = start({"--", "-b"}, -1);  // after "--" a device, however it looks
    EXPECT_EQ(waitExit(r.pid, 5000), 255);
    EXPECT_NE(readQuiet(r.err, 50).find("> -b: No such file or directory"), std::string::npos);
    r = start({"--list", "x"}, -1);  // a list: no banner, one port a line
    EXPECT_EQ(waitExit(r.pid, 5000), 0);
    std::string list = readQuiet(r.out, 50);
    EXPECT_TRUE(list.empty() || list.rfind("/dev/", 0) == 0) << list;
    r = start({"--help"}, -1);
    EXPECT_EQ(waitExit(r.pid, 5000), 0);
    std::string help = readQuiet(r.out, 50);
    for (const char *option : {"-l, --list", "-h, --help", "-V, --version", "--  ", "--log-time",
                               "--log-daily", "--log-dir DIR", "--log-sync SECONDS",
                               "--silence SECONDS", "--log-keep N", "--send LINE", "--until TEXT",
                               "--time SECONDS", "--fetch NAME", "--put FILE", "--watch"})
        EXPECT_NE(help.find(option), std::string::npos) << option;
    r = start({"--log-dir"}, -1);
    EXPECT_EQ(waitExit(r.pid, 5000), 255);
    EXPECT_EQ(readQuiet(r.err, 50), "> option needs a value: --log-dir\n" + usage);
    // Named as typed, after the banner also where both streams are one.
    const struct {
        std::initializer_list<const char *> args;
        std::string said;
    } refusals[] = {
        {{"--help=3"}, "> option --help takes no value\n" + usage},
        {{"--vers=1"}, "> option --vers takes no value\n" + usage},
        {{"/dev/ttyUSB0", "--log-time=yes"}, "> option --log-time takes no value\n" + usage},
        {{"--log-dir=x", "-xl"}, "> unknown option -x\n" + usage},
        {{"--log-dir", "/nonexistent/logs", "/dev/ttyUSB0"},
         "> log directory /nonexistent/logs cannot be used (No such file or directory)\n"},
        // Seconds are a whole number up to a day, told apart from the device.
        {{"--log-sync", "1s", "/dev/ttyS0"}, "> option needs a number of seconds: --log-sync\n" + usage},
        {{"--log-sync=-1", "/dev/ttyS0"}, "> option needs a number of seconds: --log-sync\n" + usage},
        {{"--log-sync", "86401", "/dev/ttyS0"}, "> option needs a number of seconds: --log-sync\n" + usage},
        {{"--silence", "", "/dev/ttyS0"}, "> option needs a number of seconds: --silence\n" + usage},
        {{"--silence=5min"}, "> option needs a number of seconds: --silence\n" + usage},
        // A count of day files, and only where there are day files.
        {{"--log-daily", "--log-keep", "0", "/dev/ttyS0"}, "> option needs a number of files: --log-keep\n" + usage},
        {{"--log-daily", "--log-keep=400d"}, "> option needs a number of files: --log-keep\n" + usage},
        {{"--log-daily", "--log-keep", "100001"}, "> option needs a number of files: --log-keep\n" + usage},
        {{"--log-keep", "400", "/dev/ttyS0"}, "> option --log-keep needs --log-daily\n" + usage},
        {{"--log-daily", "--log-keep"}, "> option needs a value: --log-keep\n" + usage},
        // Only an attached console watches.
        {{"--watch", "/dev/ttyS0"}, "> option --watch needs --attach\n" + usage},
        {{"--status", "ttyS0", "--watch"}, "> option --watch needs --attach\n" + usage},
        {{"--attach", "--watch"}, "> option needs a value: --attach\n" + usage},
        // Only a console waits for its kestrode, and for seconds.
        {{"--wait", "5", "/dev/ttyS0"}, "> option --wait needs --attach\n" + usage},
        {{"--attach", "ttyS0", "--wait=5m"}, "> option needs a number of seconds: --wait\n" + usage},
    };
    for (const auto &refusal : refusals) {
        r = start(refusal.args, -1, true);
        EXPECT_EQ(waitExit(r.pid, 5000), 255);
        EXPECT_EQ(readQuiet(r.out, 50), BANNER + refusal.said);
    }
}

TEST(Program, LogOptionsPlaceTheLogInTimeAndSpace) {
    Pty pty = openPty();
    Keyboard k;
    Child r = start({"--log-time", "--log-daily", "--log-dir", "logs", pty.name}, k.in[0]);
    EXPECT_EQ(waitExit(r.pid, 5000), 255);  // no such directory: nothing opened
    EXPECT_EQ(readQuiet(r.err, 50), "> log directory logs cannot be used (No such file or directory)\n");
    EXPECT_EQ(filesIn(r.dir), "");
    std::string logs = r.dir + "/logs";
    ASSERT_EQ(mkdir(logs.c_str(), 0755), 0);
    Child run = start({"--log-time", "--log-dir", logs.c_str(), pty.name}, k.in[0]);
    EXPECT_NE(readUntil(run.out, logs + "\\kestrode-", 5000).find(logs), std::string::npos);
    writeAll(pty.master, "T=23.5\r\n");
    std::string log = todaysLog(logs);
    for (int i = 0; i < 500 && readFile(log).size() < 39; ++i) usleep(10000);
    std::string got = readFile(log);  // "YYYY-MM-DDThh:mm:ss.mmm+hh:mm T=23.5\r\r\n"
    EXPECT_EQ(got.substr(10, 1) + got.substr(19, 1) + got.substr(26, 1) + got.substr(29),
              "T.: T=23.5\r\r\n") << got;
    k.type("@exit\n");
    EXPECT_EQ(waitExit(run.pid, 5000), 0);
    EXPECT_EQ(filesIn(run.dir), "");  // nothing in the current directory
    closePty(pty);
}

TEST(Program, TwoKestrodesInOneDirectoryKeepTwoLogs) {
    Pty one = openPty(), two = openPty();
    Child a = start({one.name}, -1);
    readUntil(a.out, "Local logging file", 5000);
    Child b = start({two.name}, -1, false, nullptr, a.dir.c_str());
    std::string shown = readUntil(b.out, ".log", 5000);
    EXPECT_NE(shown.find(todaysLog("", "kestrode-%Y%m%d(1).log")), std::string::npos) << shown;
    writeAll(one.master, "from=1\r\n");
    writeAll(two.master, "from=2\r\n");
    EXPECT_EQ(waitForFile(todaysLog(a.dir), "from=1\r\r\n", 5000), "from=1\r\r\n");
    EXPECT_EQ(waitForFile(todaysLog(a.dir, "/kestrode-%Y%m%d(1).log"), "from=2\r\r\n", 5000),
              "from=2\r\r\n");
    kill(a.pid, SIGTERM);
    kill(b.pid, SIGTERM);
    waitStatus(a.pid, 5000);
    waitStatus(b.pid, 5000);
    closePty(one);
    closePty(two);
}

namespace {
// Job control in miniature: a session on the keyboard's terminal whose
// leader starts kestrode as a background job and, on SIGUSR1, brings it to
// the foreground as a shell's "fg" does; on SIGUSR2 it sends it back as ^Z
// and "bg" do, and on SIGURG it takes the terminal without a word to the
// job. The leader ends with the job's status (128 + N after signal N).
void backgroundJob() {
    setsid();
    ioctl(0, TIOCSCTTY, 1);
    sigset_t usr;
    sigemptyset(&usr);
    sigaddset(&usr, SIGUSR1);
    sigaddset(&usr, SIGUSR2);
    sigaddset(&usr, SIGURG);
    sigprocmask(SIG_BLOCK, &usr, nullptr);
    pid_t job = fork();
    if (job == 0) {
        setpgid(0, 0);
        sigprocmask(SIG_UNBLOCK, &usr, nullptr);
        return;  // on to kestrode
    }
    setpgid(job, job);
    signal(SIGTTOU, SIG_IGN);  // taking the terminal back from the background
    int status = 0;
    for (;;) {
        timespec tick{0, 20000000};
        int sig = sigtimedwait(&usr, nullptr, &tick);
        if (sig == SIGUSR1) {
            tcsetpgrp(0, job);
            kill(-job, SIGCONT);
        } else if (sig == SIGUSR2) {
            kill(-job, SIGSTOP);
            tcsetpgrp(0, getpgrp());
            kill(-job, SIGCONT);
        } else if (sig == SIGURG) {
            tcsetpgrp(0, getpgrp());
        }
        if (waitpid(job, &status, WNOHANG) == job) break;
    }
    _exit(WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status));
}

int childOf(int pid) {
    std::string list = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children";
    for (int i = 0; i < 500; ++i) {
        int child = atoi(readFile(list).c_str());
        if (child > 0) return child;
        usleep(10000);
    }
    return -1;
}

char processState(int pid) {
    std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t p = stat.rfind(')');
    return p == std::string::npos || p + 2 >= stat.size() ? '?' : stat[p + 2];
}
}  // namespace

TEST(Program, BackgroundJobLogsAndLeavesTheKeyboardAlone) {
    Pty pty = openPty(), keys = openPty();
    for (int round = 0; round < 2; ++round) {
        tcflush(keys.slave, TCIFLUSH);
        Child r = start({pty.name}, keys.slave, false, backgroundJob);
        int job = childOf(r.pid);
        ASSERT_GT(job, 0);
        ASSERT_NE(readUntil(r.out, "Local logging file", 5000).find("Local"), std::string::npos);
        writeAll(keys.master, "typed\n");
        writeAll(pty.master, "T=1\r\n");
        EXPECT_NE(readUntil(r.out, "T=1\r\n", 5000).find("T=1"), std::string::npos);
        EXPECT_EQ(waitForFile(todaysLog(r.dir), "T=1\r\r\n", 5000), "T=1\r\r\n");
        EXPECT_NE(processState(job), 'T') << "stopped in the background";
        // The first line brought the clock's hourly sync.
        EXPECT_EQ(readUntil(pty.master, "\r\n", 5000).rfind("settime ", 0), 0u);
        if (round == 0) {
            EXPECT_EQ(readQuiet(pty.master, 100), "") << "the keyboard was read";
            kill(job, SIGTERM);
        } else {
            kill(r.pid, SIGUSR1);  // "fg": the waiting line is read now
            EXPECT_EQ(readUntil(pty.master, "typed\r\n", 5000), "typed\r\n");
            kill(job, SIGTERM);
        }
        EXPECT_EQ(waitExit(r.pid, 5000), 128 + SIGTERM) << round;
    }
    // The console on that terminal too, under "stty tostop": the banner
    // must not stop the job before it logs.
    termios modes;
    tcgetattr(keys.slave, &modes);
    modes.c_lflag |= TOSTOP;
    tcsetattr(keys.slave, TCSANOW, &modes);
    char tmpl[] = "/tmp/kestrode-run-XXXXXX";
    std::string dir = mkdtemp(tmpl);
    const char *argv[] = {KESTRODE_BIN, pty.name, nullptr};
    int leader = spawn(argv, keys.slave, keys.slave, keys.slave, dir.c_str(), backgroundJob);
    int job = childOf(leader);
    ASSERT_GT(job, 0);
    EXPECT_NE(readUntil(keys.master, "Local logging file", 5000).find(BANNER), std::string::npos);
    writeAll(pty.master, "T=2\r\n");
    EXPECT_EQ(waitForFile(todaysLog(dir), "T=2\r\r\n", 5000), "T=2\r\r\n");
    EXPECT_NE(processState(job), 'T') << "stopped by its own output";
    kill(job, SIGTERM);
    kill(job, SIGCONT);
    EXPECT_EQ(waitExit(leader, 5000), 128 + SIGTERM);
    closePty(keys);
    closePty(pty);
}

namespace {
// Has the job-control leader give the terminal to `group`, and waits until
// the keyboard's terminal says it did.
bool moveJob(int leader, int signo, int keysMaster, int group) {
    kill(leader, signo);
    for (int i = 0; i < 500; ++i) {
        if (tcgetpgrp(keysMaster) == group) return true;
        usleep(10000);
    }
    return false;
}
}  // namespace

// The keyboard is read in the foreground only, however the job got where
// it is: brought there ("fg"), sent away (^Z, "bg"), or the terminal taken
// from it without a signal; a typed line waits and is sent once it is back.
TEST(Program, KeyboardFollowsTheJobBetweenForegroundAndBackground) {
    Pty pty = openPty(), keys = openPty();
    Child r = start({pty.name}, keys.slave, false, backgroundJob);
    int job = childOf(r.pid);
    ASSERT_GT(job, 0);
    ASSERT_NE(readUntil(r.out, "Local logging file", 5000).find("Local"), std::string::npos);
    writeAll(pty.master, "T=0\r\n");
    EXPECT_EQ(readUntil(pty.master, "\r\n", 5000).rfind("settime ", 0), 0u);
    struct Move {
        int away;  // how the terminal is taken from the job
        const char *typed, *sent, *line;
    } moves[] = {
        {SIGUSR2, "two\n", "two\r\n", "T=2\r"},
        {SIGURG, "three\n", "three\r\n", "T=3\r"},
        {SIGUSR2, "four\n", "four\r\n", "T=4\r"},
    };
    std::string log = "T=0\r\r\n";
    ASSERT_TRUE(moveJob(r.pid, SIGUSR1, keys.master, job));
    writeAll(keys.master, "one\n");
    EXPECT_EQ(readUntil(pty.master, "one\r\n", 5000), "one\r\n");
    for (const Move &m : moves) {
        ASSERT_TRUE(moveJob(r.pid, m.away, keys.master, r.pid)) << m.typed;
        writeAll(keys.master, m.typed);
        writeAll(pty.master, std::string(m.line) + "\n");
        log += std::string(m.line) + "\r\n";
        EXPECT_EQ(waitForFile(todaysLog(r.dir), log, 5000), log);
        EXPECT_EQ(readQuiet(pty.master, 100), "") << "read in the background: " << m.typed;
        EXPECT_NE(processState(job), 'T') << "stopped in the background: " << m.typed;
        ASSERT_TRUE(moveJob(r.pid, SIGUSR1, keys.master, job)) << m.typed;
        EXPECT_EQ(readUntil(pty.master, m.sent, 5000), m.sent);
    }
    kill(job, SIGTERM);
    EXPECT_EQ(waitExit(r.pid, 5000), 128 + SIGTERM);
    closePty(keys);
    closePty(pty);
}

namespace {
bool straceWorks() {
#ifdef KESTRODE_EMULATOR
    return false;  // it would hold the emulator, not the program
#else
    const char *argv[] = {"/usr/bin/strace", "-o", "/dev/null", "/bin/true", nullptr};
    return access(argv[0], X_OK) == 0 && waitExit(spawn(argv, -1, -1, -1, nullptr), 10000) == 0;
#endif
}

// A traced call as "name" or, for ioctl and fcntl, "name:request".
std::string callOf(const std::string &line) {
    std::string name = line.substr(0, line.find('('));
    if (name == "newfstatat") name = "fstat";
    if (name != "ioctl" && name != "fcntl") return name;
    size_t from = line.find(", ") + 2;
    std::string request = line.substr(from, line.find_first_of(",)", from) - from);
    return name + ":" + request.substr(request.rfind(' ') + 1);  // "X or TCSETS"
}

// The calls from the port's open up to its settings, and the first after
// them that is not the C library's own read-back.
std::vector<std::string> window(const std::string &trace, const std::string &device,
                                std::string *after) {
    std::vector<std::string> calls;
    size_t at = trace.find("openat(AT_FDCWD, \"" + device + "\"");
    if (at == std::string::npos) return {"no open"};
    bool set = false;
    for (at = trace.find('\n', at) + 1; at != 0 && at < trace.size(); at = trace.find('\n', at) + 1) {
        std::string call = callOf(trace.substr(at, trace.find('\n', at) - at));
        if (set && call != "ioctl:TCGETS") {
            *after = call;
            break;
        }
        if (call == "ioctl:TCSETS") set = true;
        else if (!set) calls.push_back(call);
    }
    return calls;
}
}  // namespace

TEST(Program, NothingButChecksAndLocksBetweenOpenAndSettings) {
    // Bytes arriving between the port's open and its raw settings meet the
    // old modes, which echo them back to the instrument as commands. A
    // pseudo-terminal echoes at once, so the window is checked instead: only
    // reads of the device's state and the locks, then the flush, the
    // settings and the flush.
    if (!straceWorks()) GTEST_SKIP() << "strace cannot trace the program here";
    Pty pty = openPty();
    char tmpl[] = "/tmp/kestrode-run-XXXXXX";
    std::string dir = mkdtemp(tmpl), trace = dir + "/trace";
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    const char *argv[] = {"/usr/bin/strace", "-o", trace.c_str(), KESTRODE_BIN, pty.name, nullptr};
    // The leak check cannot run under a tracer; the other checks still do.
    const char *asan = getenv("ASAN_OPTIONS");
    std::string saved = asan ? asan : "";
    setenv("ASAN_OPTIONS", (saved + ":detect_leaks=0").c_str(), 1);
    int tracer = spawn(argv, -1, out[1], -1, dir.c_str());
    if (asan) setenv("ASAN_OPTIONS", saved.c_str(), 1);
    else unsetenv("ASAN_OPTIONS");
    close(out[1]);
    ASSERT_NE(readUntil(out[0], "Local logging file", 5000).find("Local"), std::string::npos);
    closePty(pty);
    EXPECT_EQ(waitExit(tracer, 5000), 0);
    close(out[0]);
    std::string after;
    std::vector<std::string> calls = window(readFile(trace), pty.name, &after);
    const std::set<std::string> allowed{"fstat",          "ioctl:TCGETS", "ioctl:TIOCGSID",
                                        "flock",          "ioctl:TIOCEXCL", "getpid",
                                        "fcntl:F_SETOWN", "ioctl:TCFLSH"};
    for (const std::string &call : calls) EXPECT_TRUE(allowed.count(call)) << call;
    while (!calls.empty() && calls.back() == "ioctl:TCGETS") calls.pop_back();  // the C library's
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(), "ioctl:TCFLSH");  // what the old modes queued meanwhile
    EXPECT_EQ(after, "ioctl:TCFLSH");
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

namespace {
// The keyboard as a user's console: kestrode leads a session on it, so ^C
// typed there is a SIGINT from the terminal.
void ownConsole() {
    setsid();
    ioctl(0, TIOCSCTTY, 0);
}

Child startOnConsole(Pty &pty, Pty &keys) {
    termios t;
    tcgetattr(keys.slave, &t);
    t.c_lflag |= ICANON | ISIG;
    t.c_cc[VINTR] = 3;
    tcsetattr(keys.slave, TCSANOW, &t);
    Child r = start({pty.name}, keys.slave, false, ownConsole);
    readUntil(r.out, "Local logging file", 5000);
    return r;
}

bool seen(int fd, const std::string &text) {
    return readUntil(fd, text, 5000).find(text) != std::string::npos;
}
}  // namespace

TEST(Program, InterruptOnTheConsoleStopsOnlyTheTransfer) {
    Pty pty = openPty(), keys = openPty();
    Child r = startOnConsole(pty, keys);
    writeAll(pty.master, "@DOWNLOAD,got.bin,300\r\n");
    EXPECT_TRUE(seen(pty.master, "@ACK\r"));
    writeAll(pty.master, "@DAT14aGVsbG8=\r\n");  // "hello"
    EXPECT_TRUE(seen(pty.master, "@ACK\r"));
    writeAll(keys.master, "\x03");
    EXPECT_TRUE(seen(pty.master, "@FIN\r"));
    EXPECT_TRUE(seen(r.out, "> download interrupted by a signal"));
    EXPECT_EQ(waitForFile(r.dir + "/got.bin", "hello", 5000), "hello");

    writeFile(r.dir + "/up.bin", "hello");
    writeAll(keys.master, "@upload up.bin\n");
    EXPECT_TRUE(seen(pty.master, "#UPLOAD up.bin 5\r\n"));
    writeAll(pty.master, "@ACK\r\n");
    EXPECT_TRUE(seen(pty.master, "@DAT"));
    writeAll(keys.master, "\x03");
    EXPECT_TRUE(seen(pty.master, "@FIN\r"));
    EXPECT_TRUE(seen(r.out, "> upload interrupted by a signal"));
    writeAll(pty.master, "T=1\r\n");  // the session goes on
    EXPECT_TRUE(seen(r.out, "T=1\r\n"));
    writeAll(keys.master, "@exit\n");
    EXPECT_EQ(waitExit(r.pid, 5000), 0);
    closePty(pty);

    // ^C at the prompt ends kestrode, as it always did.
    pty = openPty();
    Pty keys2 = openPty();
    r = startOnConsole(pty, keys2);
    writeAll(keys2.master, "\x03");
    int status = waitStatus(r.pid, 5000);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
    closePty(keys2);
    closePty(keys);
    closePty(pty);
}

// Standard output that is the journal (JOURNAL_STREAM names it): every line
// carries its priority, so an instrument's "<0>" stays text at priority 6.
// A console or a pipe that is not the journal gets no prefix.
TEST(Program, JournalLinesCarryTheirPriority) {
    struct Case {
        const char *stream;  // "match": the pipe's own device and inode
        bool prefixed;
    } cases[] = {{"match", true}, {nullptr, false}, {"1:2", false}, {"junk", false}};
    for (const Case &c : cases) {
        Pty pty = openPty();
        int o[2];
        ASSERT_EQ(pipe2(o, O_CLOEXEC), 0);
        struct stat st;
        ASSERT_EQ(fstat(o[1], &st), 0);
        std::string stream = c.stream && !strcmp(c.stream, "match")
                                 ? std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)
                                 : c.stream ? c.stream : "";
        if (c.stream) setenv("JOURNAL_STREAM", stream.c_str(), 1);
        char tmpl[] = "/tmp/kestrode-run-XXXXXX";
        std::string dir = mkdtemp(tmpl);
        const char *argv[] = {KESTRODE_BIN, pty.name, nullptr};
        int pid = spawn(argv, -1, o[1], -1, dir.c_str());
        unsetenv("JOURNAL_STREAM");
        close(o[1]);
        close(pty.slave);
        readUntil(o[0], "Local logging file", 5000);
        writeAll(pty.master, "<0>PM2.5=1\r\n@ACK\r\n<3>T=2\r\n");
        std::string got = readUntil(o[0], "T=2\r\n", 5000);
        close(pty.master);
        EXPECT_EQ(waitExit(pid, 5000), 0);
        got += readQuiet(o[0], 50);
        std::string p6 = c.prefixed ? "<6>" : "", p4 = c.prefixed ? "<4>" : "";
        EXPECT_NE(got.find(p6 + "<0>PM2.5=1\r\n" + p6 + "<3>T=2\r\n" + p4 +
                           "> serial device lost, shutting down\n"),
                  std::string::npos)
            << (c.stream ? c.stream : "none") << ": " << got;
        EXPECT_EQ(readFile(todaysLog(dir)), "<0>PM2.5=1\r\r\n@ACK\r\r\n<3>T=2\r\r\n");
        close(o[0]);
    }
}

// A download's temporary file left by a power cut is named at start and
// kept; one a running download holds (locked) and other names are not. A
// name planted with control bytes is shown quoted.
TEST(Program, LeftDownloadFilesAreNamedAndKept) {
    char tmpl[] = "/tmp/kestrode-run-XXXXXX";
    std::string dir = mkdtemp(tmpl);
    struct {
        const char *name;
        bool locked, said;
        const char *shown = nullptr;  // as the name when not given
    } files[] = {{".kestrode-4242.part", false, true},
                 {".kestrode-77-1.part", false, true},
                 {".kestrode-5151.part", true, false},
                 {"kestrode-4242.part", false, false},
                 {".kestrode-4242.partial", false, false},
                 {".kestrode-\x1b]0;x\x07\r.part", false, true, ".kestrode-\\x1B]0;x\\x07\\x0D.part"}};
    std::vector<int> held;
    for (auto &f : files) {
        writeFile(dir + "/" + f.name, "12345");
        int fd = open((dir + "/" + f.name).c_str(), O_RDONLY | O_CLOEXEC);
        if (f.locked) {
            ASSERT_EQ(flock(fd, LOCK_EX), 0);
        }
        held.push_back(fd);
    }
    Pty pty = openPty();
    Child r = start({pty.name}, -1, false, nullptr, dir.c_str());
    std::string out = readUntil(r.out, "Local logging file", 5000);
    close(pty.slave);
    close(pty.master);
    EXPECT_EQ(waitExit(r.pid, 5000), 0);
    out += readQuiet(r.out, 50);
    for (auto &f : files) {
        std::string said = std::string("> ") + (f.shown ? f.shown : f.name) +
                           " holds 5 bytes of a download that was cut off, kept\n";
        EXPECT_EQ(out.find(said) != std::string::npos, f.said) << f.name << ": " << out;
        EXPECT_EQ(readFile(dir + "/" + f.name), "12345") << f.name;
    }
    EXPECT_EQ(out.find('\x1b'), std::string::npos) << out;
    for (int fd : held) close(fd);
}
