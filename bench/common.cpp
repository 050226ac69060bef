#include "common.h"

#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

void die(const char *what) {
    fprintf(stderr, "bench: %s: %s\n", what, strerror(errno));
    exit(2);
}

PtyPair openPtyPair() {
    int m, s;
    char name[128];
    if (openpty(&m, &s, name, nullptr, nullptr) < 0) die("openpty");
    close(s);  // the terminal under test opens it by path
    fcntl(m, F_SETFD, FD_CLOEXEC);
    return {m, name};
}

static void childSide(const std::vector<std::string> &argv, const std::string &cwd,
                      const std::string &consolePath, const std::string &errPath,
                      const std::vector<std::string> &extraEnv, const char *kbdName,
                      const char *conName) {
    setsid();
    int kbd = open(kbdName, O_RDWR);  // first tty opened after setsid: controlling
    int out = conName[0] ? open(conName, O_RDWR | O_NOCTTY)
                         : open(consolePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (kbd < 0 || out < 0 || err < 0) _exit(126);
    ioctl(kbd, TIOCSCTTY, 0);
    dup2(kbd, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (chdir(cwd.c_str()) < 0) _exit(126);
    setenv("HOME", cwd.c_str(), 1);  // no personal configuration of the tools
    setenv("TERM", "dumb", 1);
    for (const std::string &e : extraEnv) putenv(strdup(e.c_str()));
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

Child startTerminal(const std::vector<std::string> &argv, const std::string &cwd,
                    const std::string &consolePath, const std::string &errPath,
                    const std::vector<std::string> &extraEnv) {
    int km, ks, cm = -1, cs;
    char kname[128], cname[128] = "";
    if (openpty(&km, &ks, kname, nullptr, nullptr) < 0) die("openpty");
    close(ks);
    fcntl(km, F_SETFD, FD_CLOEXEC);
    if (consolePath.empty()) {
        termios raw;
        cfmakeraw(&raw);
        if (openpty(&cm, &cs, cname, &raw, nullptr) < 0) die("openpty");
        close(cs);
        fcntl(cm, F_SETFD, FD_CLOEXEC);
        fcntl(cm, F_SETFL, O_NONBLOCK);
    }
    pid_t pid = fork();
    if (pid < 0) die("fork");
    if (pid == 0) childSide(argv, cwd, consolePath, errPath, extraEnv, kname, cname);
    return {pid, km, cm};
}

void pumpConsole(int console, std::string &out) {
    char buf[65536];
    ssize_t n;
    while ((n = read(console, buf, sizeof buf)) > 0) out.append(buf, (size_t)n);
}

Usage finishChild(pid_t pid, int ms) {
    Usage u;
    int st = 0;
    rusage ru{};
    const int signals[] = {0, SIGTERM, SIGKILL};
    for (int sig : signals) {
        if (sig) kill(pid, sig);
        double end = nowSeconds() + ms / 1000.0;
        pid_t r;
        while ((r = wait4(pid, &st, WNOHANG, &ru)) == 0 && nowSeconds() < end) sleepMs(2);
        if (r == pid) {
            u.user = ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6;
            u.sys = ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
            u.maxRssKb = ru.ru_maxrss;
            u.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            return u;
        }
        ms = 2000;
    }
    return u;
}

double nowSeconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

void sleepMs(int ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

bool waitRawMode(int master, int ms) {
    double end = nowSeconds() + ms / 1000.0;
    while (nowSeconds() < end) {
        termios t;
        if (tcgetattr(master, &t) == 0 && !(t.c_lflag & (ICANON | ECHO))) return true;
        sleepMs(5);
    }
    return false;
}

off_t fileSize(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

std::string readFileFrom(const std::string &path, off_t offset) {
    std::string s;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return s;
    fseeko(f, offset, SEEK_SET);
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    fclose(f);
    return s;
}

bool writeAll(int fd, const char *p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= (size_t)w;
    }
    return true;
}

void drainInput(int fd) {
    char buf[4096];
    while (read(fd, buf, sizeof buf) > 0) {
    }
}

std::string makeTempDir(const char *tag) {
    std::string t = std::string("/tmp/kbench-") + tag + "-XXXXXX";
    if (!mkdtemp(t.data())) die("mkdtemp");
    return t;
}

void removeTree(const std::string &dir) {
    DIR *d = opendir(dir.c_str());
    if (!d) return;
    while (dirent *e = readdir(d)) {
        if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
        std::string p = dir + "/" + e->d_name;
        if (unlink(p.c_str()) < 0) removeTree(p);
    }
    closedir(d);
    rmdir(dir.c_str());
}
