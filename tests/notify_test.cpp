// The built program as systemd runs it: the test plays the service manager
// on a datagram socket named in NOTIFY_SOCKET, and the instrument on a
// pseudo-terminal.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "support.h"

namespace {
long long nowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

struct Manager {
    std::string dir;
    std::string path;
    int fd = -1;
    Manager() {
        char tmpl[] = "/tmp/kestrode-notify-XXXXXX";
        dir = mkdtemp(tmpl);
        path = dir + "/notify";
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        strcpy(a.sun_path, path.c_str());
        EXPECT_EQ(bind(fd, (sockaddr *)&a, sizeof a), 0);
    }
    ~Manager() {
        close(fd);
        unlink(path.c_str());
        rmdir(dir.c_str());
    }
    // The next message within ms, or "".
    std::string next(int ms) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return "";
        char buf[8192];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, n) : "";
    }
    // Messages until one holds `needle` or ms passed; that one, or "".
    std::string until(const std::string &needle, int ms) {
        long long end = nowMs() + ms;
        for (long long left; (left = end - nowMs()) > 0;) {
            std::string m = next((int)left);
            if (m.find(needle) != std::string::npos) return m;
        }
        return "";
    }
};

struct Service {
    int pid = -1;
    int out = -1;
    std::string dir;
    // kestrode OPTIONS... with the environment given, in a folder of its own.
    Service(std::vector<const char *> args, std::vector<std::pair<const char *, std::string>> env,
            const std::string &cwd = "") {
        char tmpl[] = "/tmp/kestrode-svc-XXXXXX";
        dir = cwd.empty() ? mkdtemp(tmpl) : cwd;
        int o[2];
        EXPECT_EQ(pipe2(o, O_CLOEXEC), 0);
        args.insert(args.begin(), KESTRODE_BIN);
        args.push_back(nullptr);
        for (auto &e : env) setenv(e.first, e.second.c_str(), 1);
        pid = spawn(args.data(), -1, o[1], o[1], dir.c_str());
        for (auto &e : env) unsetenv(e.first);
        close(o[1]);
        out = o[0];
    }
    ~Service() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitExit(pid, 5000);
        }
        close(out);
    }
    int end(int signo) {
        kill(pid, signo);
        int status = waitExit(pid, 5000);
        pid = -1;
        return status;
    }
};

std::string todaysLog(const std::string &dir) {
    char name[64];
    time_t now = time(nullptr);
    struct tm tmv;
    localtime_r(&now, &tmv);
    strftime(name, sizeof name, "/kestrode-%Y%m%d.log", &tmv);
    return dir + name;
}

std::string lockFileOf(const char *device) {
    std::string name = device + 5;
    for (char &c : name)
        if (c == '/') c = '_';
    struct stat st;
    bool run = stat("/run/lock", &st) == 0 && S_ISDIR(st.st_mode);
    return std::string(run ? "/run/lock" : "/var/lock") + "/LCK.." + name;
}
}  // namespace

// READY=1 comes once the port is locked and the log open, with the first
// status line; a start that fails sends nothing and ends with status 255,
// a log that cannot be opened included. Without NOTIFY_SOCKET that log
// costs nothing more than before: kestrode runs on without one.
TEST(Service, ReadyOnceItLogs) {
    Manager m;
    Pty pty = openPty();
    {
        Service s({pty.name}, {{"NOTIFY_SOCKET", m.path}});
        std::string ready = m.next(10000);
        bool logOpen = access(todaysLog(s.dir).c_str(), F_OK) == 0;
        bool locked = access(lockFileOf(pty.name).c_str(), F_OK) == 0;
        EXPECT_EQ(ready, std::string("READY=1\nSTATUS=logging ") + pty.name + " to " + todaysLog(s.dir) +
                             ": 0 lines today, no line from the instrument yet; 0 consoles attached");
        EXPECT_TRUE(logOpen && locked);
        EXPECT_EQ(s.end(SIGTERM), -1) << "ended by the signal";
        EXPECT_EQ(m.next(1000), "STOPPING=1\nSTATUS=stopping");
    }
    char tmpl[] = "/tmp/kestrode-svc-XXXXXX";
    std::string full = mkdtemp(tmpl);  // every name a log could take is a folder
    for (int i = 0; i <= 99; ++i) {
        std::string name = todaysLog(full);
        if (i) name.replace(name.size() - 4, 0, "(" + std::to_string(i) + ")");
        mkdir(name.c_str(), 0755);
    }
    {
        Service s({pty.name}, {{"NOTIFY_SOCKET", m.path}}, full);
        EXPECT_EQ(waitExit(s.pid, 10000), 255);
        s.pid = -1;
        EXPECT_NE(readQuiet(s.out, 100).find("> no log file can be opened in "), std::string::npos);
        EXPECT_EQ(m.next(200), "");
    }
    {
        Service s({"/nonexistent/ttyS0"}, {{"NOTIFY_SOCKET", m.path}});
        EXPECT_EQ(waitExit(s.pid, 10000), 255);
        s.pid = -1;
        EXPECT_EQ(m.next(200), "");
    }
    {
        Service s({pty.name}, {}, full);
        EXPECT_NE(readUntil(s.out, "> no log file", 5000).find("> no log file"), std::string::npos);
        EXPECT_EQ(waitExit(s.pid, 1000), -1) << "it logs nowhere and serves the console";
        s.pid = -1;
    }
    closePty(pty);
}

// The status line as it changes: lines logged, the last one's age, the
// consoles, a silence; sent as it changes, never more than every 5 s.
TEST(Service, StatusLineSaysWhatTheServiceDoes) {
    Manager m;
    Pty pty = openPty();
    std::string sock = m.dir + "/share.sock";
    std::string share = "--share=" + sock;
    Service s({"--silence", "8", share.c_str(), pty.name}, {{"NOTIFY_SOCKET", m.path}});
    ASSERT_NE(m.next(10000).find("READY=1\n"), std::string::npos);
    writeAll(pty.master, "PM2.5=12\r\nPM2.5=13\r\nPM2.5=14\r\n");
    std::string status = m.until("3 lines today", 12000);
    std::string prefix = std::string("STATUS=logging ") + pty.name + " to " + todaysLog(s.dir) +
                         ": 3 lines today, the last ";
    EXPECT_EQ(status.rfind(prefix, 0), 0u) << status;
    EXPECT_NE(status.find(" s ago; 0 consoles attached"), std::string::npos) << status;

    const char *console[] = {KESTRODE_BIN, "--attach", sock.c_str(), nullptr};
    int keys[2];
    ASSERT_EQ(pipe2(keys, O_CLOEXEC), 0);
    int attached = spawn(console, keys[0], -1, -1, s.dir.c_str());
    close(keys[0]);
    status = m.until("; 1 console attached", 12000);
    EXPECT_NE(status, "");
    // No byte for 8 s: silent, and said so until the instrument talks again.
    status = m.until("(silent)", 15000);
    EXPECT_NE(status.find(": 3 lines today, the last "), std::string::npos) << status;
    close(keys[1]);  // the console's end of input detaches it
    EXPECT_EQ(waitExit(attached, 5000), 0);
    std::string out = readUntil(s.out, "closed and opened again", 20000);
    ASSERT_NE(out.find("closed and opened again"), std::string::npos) << out;
    writeAll(pty.master, "PM2.5=15\r\n");
    status = m.until("4 lines today", 12000);
    EXPECT_NE(status.find("; 0 consoles attached"), std::string::npos) << status;
    EXPECT_EQ(status.find("silent"), std::string::npos) << status;

    // Paced: readings every 100 ms for 3 s make no more than a message or two.
    long long end = nowMs() + 3000;
    int messages = 0;
    while (nowMs() < end) {
        writeAll(pty.master, "PM2.5=16\r\n");
        while (m.next(100) != "") ++messages;
    }
    EXPECT_LE(messages, 2);
    closePty(pty);
}

// A keep-alive at half the watchdog's interval while the loop turns, idle
// or not; none while it is held (a stopped process), so systemd can tell;
// none at all for a watchdog of another process.
TEST(Service, KeepAlivesAtTheWatchdogsPace) {
    Manager m;
    Pty pty = openPty();
    Service s({pty.name}, {{"NOTIFY_SOCKET", m.path}, {"WATCHDOG_USEC", "2000000"}});
    ASSERT_NE(m.next(10000).find("READY=1\n"), std::string::npos);
    std::vector<long long> at;
    long long end = nowMs() + 6000;
    for (long long left; (left = end - nowMs()) > 0;) {
        std::string msg = m.next((int)left);
        if (msg == "WATCHDOG=1") at.push_back(nowMs());
    }
    ASSERT_GE(at.size(), 4u);
    for (size_t i = 1; i < at.size(); ++i) EXPECT_LT(at[i] - at[i - 1], 2000) << "gap " << i;

    kill(s.pid, SIGSTOP);
    m.next(100);  // one sent as the signal came
    EXPECT_EQ(m.next(3000), "") << "a stopped loop sends nothing";
    kill(s.pid, SIGCONT);
    EXPECT_EQ(m.until("WATCHDOG=1", 2000), "WATCHDOG=1");

    s.end(SIGTERM);
    while (m.next(500) != "") {
    }
    Service other({pty.name}, {{"NOTIFY_SOCKET", m.path}, {"WATCHDOG_USEC", "2000000"},
                               {"WATCHDOG_PID", "1"}});
    std::string ready = m.until("READY=1", 10000);
    EXPECT_NE(ready, "");
    EXPECT_EQ(m.until("WATCHDOG=1", 3000), "");
    closePty(pty);
}
