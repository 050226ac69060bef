#include "support.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

static long nowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

Pty openPty() {
    Pty p;
    termios t;
    memset(&t, 0, sizeof t);
    cfmakeraw(&t);
    if (openpty(&p.master, &p.slave, p.name, &t, nullptr) != 0) perror("openpty");
    // Programs started by the test must not hold the instrument's side open.
    fcntl(p.master, F_SETFD, FD_CLOEXEC);
    fcntl(p.slave, F_SETFD, FD_CLOEXEC);
    return p;
}

void closePty(Pty &p) {
    if (p.master >= 0) close(p.master);
    if (p.slave >= 0) close(p.slave);
    p.master = p.slave = -1;
}

static bool readSome(int fd, std::string &out, int ms) {
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, ms) <= 0) return false;
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return false;
    out.append(buf, n);
    return true;
}

std::string readUntil(int fd, const std::string &needle, int ms) {
    std::string out;
    long end = nowMs() + ms;
    while (out.find(needle) == std::string::npos) {
        long left = end - nowMs();
        if (left <= 0 || !readSome(fd, out, left)) {
            if (nowMs() >= end) break;
        }
    }
    return out;
}

std::string readQuiet(int fd, int quietMs) {
    std::string out;
    while (readSome(fd, out, quietMs)) {
    }
    return out;
}

void writeAll(int fd, const std::string &s) {
    size_t off = 0;
    while (off < s.size()) {
        ssize_t n = write(fd, s.data() + off, s.size() - off);
        if (n < 0) {
            pollfd pfd{fd, POLLOUT, 0};
            poll(&pfd, 1, 100);
            continue;
        }
        off += n;
    }
}

static int savedStdout = -1;
static char capturePath[] = "/tmp/kestrode-capture-XXXXXX";
static char capturePathUsed[64];

void captureStart() {
    fflush(stdout);
    strcpy(capturePathUsed, capturePath);
    int fd = mkstemp(capturePathUsed);
    savedStdout = dup(1);
    dup2(fd, 1);
    close(fd);
}

std::string captureStop() {
    fflush(stdout);
    dup2(savedStdout, 1);
    close(savedStdout);
    savedStdout = -1;
    std::string s = readFile(capturePathUsed);
    unlink(capturePathUsed);
    return s;
}

static std::string savedCwd;

std::string enterTempDir() {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd)) savedCwd = cwd;
    char tmpl[] = "/tmp/kestrode-test-XXXXXX";
    std::string dir = mkdtemp(tmpl);
    if (chdir(dir.c_str()) != 0) perror("chdir");
    return dir;
}

void leaveTempDir() {
    if (!savedCwd.empty() && chdir(savedCwd.c_str()) != 0) perror("chdir");
}

std::string readFile(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void writeFile(const std::string &path, const std::string &data) {
    std::ofstream f(path, std::ios::binary);
    f << data;
}

int spawn(const char *const argv[], int in, int out, int err, const char *cwd,
          void (*beforeExec)()) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    int null = open("/dev/null", O_RDWR);
    dup2(in >= 0 ? in : null, 0);
    dup2(out >= 0 ? out : null, 1);
    dup2(err >= 0 ? err : null, 2);
    if (in == SPAWN_CLOSED) close(0);
    if (cwd && chdir(cwd) != 0) _exit(126);
    if (beforeExec) beforeExec();
    execv(argv[0], const_cast<char *const *>(argv));
#ifdef KESTRODE_EMULATOR
    // A program built for another machine: run it through the emulator, the
    // one beside it when it is a copy for another user.
    if (errno == ENOEXEC) {
        char beside[4096];
        snprintf(beside, sizeof beside, "%s", argv[0]);
        char *slash = strrchr(beside, '/');
        snprintf(slash ? slash + 1 : beside, sizeof beside - (slash ? slash + 1 - beside : 0),
                 "emulator");
        const char *args[16] = {access(beside, X_OK) == 0 ? beside : KESTRODE_EMULATOR};
        for (int i = 0; argv[i] && i < 14; ++i) args[i + 1] = argv[i];
        execv(args[0], const_cast<char *const *>(args));
    }
#endif
    _exit(127);
}

static bool copyFile(const std::string &from, const std::string &to) {
    std::string data = readFile(from);
    if (data.empty()) return false;
    writeFile(to, data);
    return readFile(to) == data && chmod(to.c_str(), 0755) == 0;
}

void removeCopy(const std::string &path) {
    std::string dir = path.substr(0, path.rfind('/'));
    unlink((dir + "/kestrode").c_str());
    unlink((dir + "/emulator").c_str());
    rmdir(dir.c_str());
}

std::string copyForOthers(const char *program, void (*becomeOther)(), std::string &why) {
    char tmpl[] = "/tmp/kestrode-exec-XXXXXX";
    if (!mkdtemp(tmpl) || chmod(tmpl, 0755) != 0) {
        why = std::string("no folder for a copy of the program: ") + strerror(errno);
        return "";
    }
    std::string dir = tmpl, path = dir + "/kestrode";
    bool copied = copyFile(program, path);
#ifdef KESTRODE_EMULATOR
    copied = copied && copyFile(KESTRODE_EMULATOR, dir + "/emulator");
#endif
    const char *argv[] = {path.c_str(), "--version", nullptr};
    int status = copied ? waitExit(spawn(argv, -1, -1, -1, "/", becomeOther), 10000) : -1;
    if (status == 0) return path;
    why = copied ? "another user cannot run the program from " + dir + " (status " +
                       std::to_string(status) + ")"
                 : "the program could not be copied to " + dir;
    removeCopy(path);
    return "";
}

int waitStatus(int pid, int ms) {
    long end = nowMs() + ms;
    int status = 0;
    while (nowMs() < end) {
        if (waitpid(pid, &status, WNOHANG) == pid) return status;
        usleep(5000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

int waitExit(int pid, int ms) {
    int status = waitStatus(pid, ms);
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string waitForFile(const std::string &path, const std::string &expected, int ms) {
    long end = nowMs() + ms;
    std::string got = readFile(path);
    while (got != expected && nowMs() < end) {
        usleep(2000);
        got = readFile(path);
    }
    return got;
}

double cpuSeconds(int pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", pid);
    std::string s = readFile(path);
    size_t p = s.rfind(')');
    if (p == std::string::npos) return -1;
    std::istringstream in(s.substr(p + 2));
    std::string field;
    unsigned long utime = 0, stime = 0;
    for (int i = 3; i <= 15; ++i) {
        in >> field;
        if (i == 14) utime = std::stoul(field);
        if (i == 15) stime = std::stoul(field);
    }
    return double(utime + stime) / sysconf(_SC_CLK_TCK);
}

std::string filesIn(const std::string &dir) {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    std::string s;
    for (const auto &n : names) s += n + " ";
    return s;
}
