// One console-path run: feeds N MiB of instrument-like lines into the serial
// pseudo-terminal of one terminal program as fast as it takes them, and reports
// its CPU time, the time until the last line is on its console, and its peak RSS.
// With --wire, the feed comes at the serial line's pace instead: SECONDS of
// lines at RATE bytes/s (default 11520, 115200 8N1) in CHUNK-byte writes
// (default 12), and fcpu= is the program's CPU time over the feed alone.
//
//   bench-console --name NAME [--mib N] [--check-log] [--file-console]
//                 [--alloc COUNTER.so] [--env K=V] [--attach N]
//                 [--wire SECONDS [--rate RATE] [--chunk CHUNK]] -- PROGRAM ARGS...
// {dev} in ARGS is replaced by the port, {sock} by a socket in the run's
// folder; with --attach, N consoles `PROGRAM --attach {sock}` watch the run
// (each into a file) and `attached=` counts those that showed all of it
// (on a busy machine one may fall behind the flood and be cut off). The console is a raw pseudo-terminal
// (as a user's would be) unless --file-console sends it to a file. One result
// line: name mib= user= sys= wall= rss= status= shown= logged= attached= fcpu=
// [allocs= allocbytes=]
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common.h"
#include "feed.h"

struct Options {
    std::string name = "terminal";
    double mib = 8;
    bool checkLog = false;
    int stamp = 0;  // bytes of time stamp in front of each logged line
    bool fileConsole = false;
    std::string allocLib;  // LD_PRELOAD allocation counter
    std::vector<std::string> env;
    std::vector<std::string> argv;
    int attach = 0;  // consoles attached to a --share run
    double wire = 0;     // seconds of feed at the line's pace, 0: a flood
    double rate = 11520; // bytes/s of that pace
    int chunk = 12;      // bytes per write of that pace
};

static Options parse(int argc, char **argv) {
    Options o;
    int i = 1;
    for (; i < argc && strcmp(argv[i], "--"); ++i) {
        std::string a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : "";
        if (a == "--name") o.name = v, ++i;
        else if (a == "--mib") o.mib = atof(v), ++i;
        else if (a == "--check-log") o.checkLog = true;
        else if (a == "--stamped-log") o.checkLog = true, o.stamp = 30;
        else if (a == "--file-console") o.fileConsole = true;
        else if (a == "--alloc") o.allocLib = v, ++i;
        else if (a == "--env") o.env.push_back(v), ++i;
        else if (a == "--attach") o.attach = atoi(v), ++i;
        else if (a == "--wire") o.wire = atof(v), ++i;
        else if (a == "--rate") o.rate = atof(v), ++i;
        else if (a == "--chunk") o.chunk = atoi(v), ++i;
        else {
            fprintf(stderr, "bench-console: unknown option %s\n", a.c_str());
            exit(2);
        }
    }
    for (++i; i < argc; ++i) o.argv.push_back(argv[i]);
    if (o.argv.empty()) {
        fprintf(stderr, "bench-console: no program given after --\n");
        exit(2);
    }
    if (o.wire < 0 || o.rate <= 0 || o.chunk < 1) {
        fprintf(stderr, "bench-console: --wire, --rate and --chunk take positive values\n");
        exit(2);
    }
    return o;
}

// Writes the feed as fast as the slave side takes it, reading away whatever
// the terminal sends to the instrument and whatever it shows.
static bool feed(int master, Console &con, const std::string &data, double deadline) {
    size_t done = 0;
    while (done < data.size()) {
        if (nowSeconds() > deadline) return false;
        pollfd p[2] = {{master, POLLOUT | POLLIN, 0}, {con.fd, POLLIN, 0}};
        if (poll(p, con.fd >= 0 ? 2 : 1, 100) < 0) continue;
        if (p[1].revents & POLLIN) con.size();
        if (p[0].revents & POLLIN) drainInput(master);
        if (p[0].revents & POLLHUP) return false;
        if (!(p[0].revents & POLLOUT)) continue;
        size_t chunk = data.size() - done < 65536 ? data.size() - done : 65536;
        ssize_t w = write(master, data.data() + done, chunk);
        if (w > 0) done += (size_t)w;
    }
    return true;
}

// Serves the console and the port's input until the monotonic clock reaches
// `at`, or, with `at` 0, until the port takes more.
static void waitPaced(int master, Console &con, double at) {
    for (;;) {
        double left = at - nowSeconds();
        if (at > 0 && left <= 0) return;
        timespec limit{(time_t)left, (long)((left - (time_t)left) * 1e9)};
        pollfd p[2] = {{master, (short)(POLLIN | (at > 0 ? 0 : POLLOUT)), 0}, {con.fd, POLLIN, 0}};
        if (ppoll(p, con.fd >= 0 ? 2 : 1, at > 0 ? &limit : nullptr, nullptr) <= 0) continue;
        if (p[1].revents & POLLIN) con.size();
        if (p[0].revents & POLLIN) drainInput(master);
        if (at == 0 && (p[0].revents & (POLLOUT | POLLHUP))) return;
    }
}

// Writes the feed as the serial line hands it over: each chunk once its last
// byte is due at the line's rate, timed from the first byte on the monotonic
// clock, so a late chunk does not delay the ones after it.
static bool feedPaced(int master, Console &con, const std::string &data, double rate,
                      size_t chunk, double deadline) {
    double t0 = nowSeconds();
    for (size_t done = 0; done < data.size();) {
        size_t n = data.size() - done < chunk ? data.size() - done : chunk;
        waitPaced(master, con, t0 + (double)(done + n) / rate);
        while (n > 0) {
            if (nowSeconds() > deadline) return false;
            ssize_t w = write(master, data.data() + done, n);
            if (w < 0 && errno != EAGAIN && errno != EINTR) return false;
            if (w < 0) waitPaced(master, con, 0);  // the terminal fell behind
            if (w > 0) done += (size_t)w, n -= (size_t)w;
        }
    }
    return true;
}

// Starts the consoles once the socket is there and returns when each has
// been greeted; their keyboards stay open (an end of input would detach).
static std::vector<pid_t> attachConsoles(const Options &o, const std::string &dir,
                                         const std::string &sock, std::vector<int> &keys) {
    std::vector<pid_t> pids;
    if (o.attach == 0) return pids;  // no socket to wait for
    struct stat st;
    for (double end = nowSeconds() + 10; stat(sock.c_str(), &st) != 0 && nowSeconds() < end;)
        sleepMs(10);
    for (int k = 0; k < o.attach; ++k) {
        std::string out = dir + "/attached" + std::to_string(k) + ".out";
        int in[2];
        if (pipe(in) != 0) die("pipe");
        pid_t pid = fork();
        if (pid == 0) {
            int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(in[0], 0);
            dup2(fd, 1);
            execl(o.argv[0].c_str(), o.argv[0].c_str(), "--attach", sock.c_str(), (char *)nullptr);
            _exit(127);
        }
        close(in[0]);
        keys.push_back(in[1]);
        pids.push_back(pid);
        for (double end = nowSeconds() + 10; nowSeconds() < end; sleepMs(10))
            if (readFileFrom(out, 0).find("> attached") != std::string::npos) break;
    }
    return pids;
}

// The console without kestrode's "> " lines (about its attached consoles:
// one that cannot keep up with the feed is cut off); the feed has none.
static std::string withoutNotices(const std::string &text) {
    std::string kept;
    kept.reserve(text.size());
    for (size_t start = 0, lf; start < text.size(); start = lf + 1) {
        lf = text.find('\n', start);
        if (lf == std::string::npos) lf = text.size() - 1;
        if (text.compare(start, 2, "> ") != 0) kept.append(text, start, lf + 1 - start);
    }
    return kept;
}

// How many consoles showed the whole feed.
static int consolesShowing(const std::string &dir, const std::vector<pid_t> &pids,
                           const std::string &data) {
    int n = 0;
    for (size_t k = 0; k < pids.size(); ++k) {
        waitpid(pids[k], nullptr, 0);
        std::string shown = readFileFrom(dir + "/attached" + std::to_string(k) + ".out", 0);
        if (shown.find(data) != std::string::npos) ++n;
    }
    return n;
}

int main(int argc, char **argv) {
    Options o = parse(argc, argv);
    std::string dir = makeTempDir("console");
    Console con;
    if (o.fileConsole) con.path = dir + "/console.out";
    PtyPair port = openPtyPair();
    fcntl(port.master, F_SETFL, O_NONBLOCK);
    const std::string sock = dir + "/share.sock";
    for (std::string &a : o.argv) {
        if (a == "{dev}") a = port.slavePath;
        size_t at = a.find("{sock}");
        if (at != std::string::npos) a.replace(at, 6, sock);
    }
    if (!o.allocLib.empty()) {
        o.env.push_back("LD_PRELOAD=" + o.allocLib);
        o.env.push_back("BENCH_ALLOC_OUT=" + dir + "/alloc.out");
    }
    Child child = startTerminal(o.argv, dir, con.path, dir + "/stderr.out", o.env);
    con.fd = child.console;
    // Made only now: the child is forked from a small runner, so its peak RSS
    // is its own (the kernel counts the forked image's pages until exec).
    std::string data = makeFeed(o.wire > 0 ? (size_t)(o.wire * o.rate) : (size_t)(o.mib * 1048576));

    bool ok = waitRawMode(port.master, 10000);
    std::vector<int> keys;
    std::vector<pid_t> consoles = attachConsoles(o, dir, sock, keys);
    long start = ok ? handshake(port.master, con) : -1;
    ok = start >= 0;
    double cpu0 = cpuSoFar(child.pid);
    double t0 = nowSeconds();
    if (ok && o.wire > 0) ok = feedPaced(port.master, con, data, o.rate, (size_t)o.chunk, t0 + 240);
    else if (ok) ok = feed(port.master, con, data, t0 + 240);
    if (ok) ok = waitShown(port.master, con, start + data.size(), t0 + 240);
    double t1 = nowSeconds();
    double fcpu = cpuSoFar(child.pid) - cpu0;
    bool same = ok && withoutNotices(con.text(start)) == data;
    close(port.master);  // hang-up: the terminal under test ends
    Usage u = finishChild(child.pid, 5000);
    int attached = consolesShowing(dir, consoles, data);
    for (int fd : keys) close(fd);
    bool logOk = !o.checkLog || (same && logMatches(dir, data, o.stamp));
    std::string allocs = readFileFrom(dir + "/alloc.out", 0);
    if (!allocs.empty() && allocs.back() == '\n') allocs.pop_back();
    printf("%s mib=%.3f user=%.4f sys=%.4f wall=%.4f rss=%ld status=%d shown=%d logged=%d "
           "attached=%d fcpu=%.4f%s%s\n",
           o.name.c_str(), data.size() / 1048576.0, u.user, u.sys, t1 - t0, u.maxRssKb, u.status,
           same ? 1 : 0, logOk ? 1 : 0, attached, fcpu, allocs.empty() ? "" : " ", allocs.c_str());
    const char *keep = getenv("BENCH_KEEP");
    if (keep && *keep) {
        if (!con.path.empty() || !con.shown.empty()) {
            FILE *f = fopen((dir + "/console.pty").c_str(), "wb");
            if (f) fwrite(con.shown.data(), 1, con.shown.size(), f), fclose(f);
        }
        fprintf(stderr, "kept %s\n", dir.c_str());
    } else {
        removeTree(dir);
    }
    return same && logOk ? 0 : 1;
}
