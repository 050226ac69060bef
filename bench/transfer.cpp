// File transfers through the simulated instrument, and a check of its pacer.
//
//   bench-transfer --sim SIM --kestrode KESTRODE --name NAME --dir up|down
//                  [--kib N] [--pace BAUD] [--alloc COUNTER.so] [--via-console]
//   bench-transfer --sim SIM --name NAME --pacer-check [--pace BAUD]
//
// A transfer run starts kestrode-sim (readings off) and kestrode on its port,
// types "@upload" or "@download" for a random file, and times it from the
// keystroke to kestrode's success notice. One result line:
//   NAME dir= kib= bytes= mib= wall= cpu= rss= status= ok= [allocs= allocbytes=]
// cpu is kestrode's CPU time during the transfer (from /proc/PID/sched).
// --via-console: kestrode shares the port (--share) and the transfer is typed
// in a `kestrode --attach` console, whose folder holds the file; cpu is then
// the sharing kestrode's, ccpu= the console's.
// The pacer check plays the host on the port itself and measures the raw byte
// rate in each direction (lines NAME-out and NAME-in).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common.h"

struct Options {
    std::string name = "transfer";
    std::string sim;
    std::string kestrode;
    std::string dir = "up";
    long kib = 256;
    long baud = 0;
    bool pacerCheck = false;
    bool viaConsole = false;
    std::string allocLib;
};

static Options parse(int argc, char **argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : "";
        if (a == "--name") o.name = v, ++i;
        else if (a == "--sim") o.sim = v, ++i;
        else if (a == "--kestrode") o.kestrode = v, ++i;
        else if (a == "--dir") o.dir = v, ++i;
        else if (a == "--kib") o.kib = atol(v), ++i;
        else if (a == "--pace") o.baud = atol(v), ++i;
        else if (a == "--alloc") o.allocLib = v, ++i;
        else if (a == "--pacer-check") o.pacerCheck = true;
        else if (a == "--via-console") o.viaConsole = true;
        else {
            fprintf(stderr, "bench-transfer: unknown option %s\n", a.c_str());
            exit(2);
        }
    }
    if (o.sim.empty() || (!o.pacerCheck && o.kestrode.empty()) ||
        (o.dir != "up" && o.dir != "down")) {
        fprintf(stderr, "bench-transfer: needs --sim, --kestrode and --dir up|down\n");
        exit(2);
    }
    return o;
}

struct Sim {
    pid_t pid = -1;
    std::string device;
};

// Starts the simulator and reads the device path it prints first.
static Sim startSim(const Options &o, const std::string &dir, double period) {
    std::vector<std::string> args = {o.sim, "--storage", dir + "/store", "--period",
                                     std::to_string(period), "--seed", "1"};
    if (o.baud > 0) args.insert(args.end(), {"--baud", std::to_string(o.baud)});
    int out[2];
    if (pipe(out) < 0) die("pipe");
    Sim s;
    s.pid = fork();
    if (s.pid < 0) die("fork");
    if (s.pid == 0) {
        setsid();
        dup2(out[1], 1);
        int err = open((dir + "/sim.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err >= 0) dup2(err, 2);
        close(out[0]);
        std::vector<char *> av;
        for (std::string &a : args) av.push_back(a.data());
        av.push_back(nullptr);
        execv(av[0], av.data());
        _exit(127);
    }
    close(out[1]);
    char buf[512];
    std::string text;
    double end = nowSeconds() + 5;
    while (text.find('\n') == std::string::npos && nowSeconds() < end) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, (size_t)n);
    }
    close(out[0]);
    s.device = text.substr(0, text.find('\n'));
    return s;
}

static void stopSim(Sim &s) {
    if (s.pid > 0) finishChild(s.pid, 3000);
}

static bool makeRandomFile(const std::string &path, long bytes) {
    std::string data((size_t)bytes, '\0');
    int r = open("/dev/urandom", O_RDONLY);
    if (r < 0) return false;
    size_t got = 0;
    while (got < data.size()) {
        ssize_t n = read(r, data.data() + got, data.size() - got);
        if (n <= 0) break;
        got += (size_t)n;
    }
    close(r);
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = got == data.size() && fwrite(data.data(), 1, data.size(), f) == data.size();
    return fclose(f) == 0 && ok;
}

// kestrode's CPU seconds so far, with microsecond resolution.
static double cpuOf(pid_t pid) {
    std::string s = readFileFrom("/proc/" + std::to_string(pid) + "/sched", 0);
    size_t at = s.find("se.sum_exec_runtime");
    if (at == std::string::npos) return -1;
    at = s.find(':', at);
    return at == std::string::npos ? -1 : atof(s.c_str() + at + 1) / 1000.0;
}

// Reads the console until `needle` is in it past `from` (or any of `stops`),
// or the deadline passes. Returns whether `needle` came.
static bool awaitText(int console, std::string &shown, size_t from, const char *needle,
                      const std::vector<const char *> &stops, double deadline) {
    while (nowSeconds() < deadline) {
        pumpConsole(console, shown);
        size_t start = from < shown.size() ? from : shown.size();
        if (shown.find(needle, start) != std::string::npos) return true;
        for (const char *s : stops)
            if (shown.find(s, start) != std::string::npos) return false;
        pollfd p{console, POLLIN, 0};
        poll(&p, 1, 50);
    }
    return false;
}

// Waits until the console has been quiet for ms.
static void awaitQuiet(int console, std::string &shown, int ms, double deadline) {
    size_t last = shown.size();
    double quietSince = nowSeconds();
    while (nowSeconds() < deadline && nowSeconds() - quietSince < ms / 1000.0) {
        pollfd p{console, POLLIN, 0};
        poll(&p, 1, 20);
        pumpConsole(console, shown);
        if (shown.size() != last) last = shown.size(), quietSince = nowSeconds();
    }
}

static void type(int keyboard, const std::string &line) {
    std::string s = line + "\r";
    writeAll(keyboard, s.data(), s.size());
}

// The sharing kestrode's console: where its transfers are typed. Its
// greeting came once it returns true.
static bool attachConsole(const Options &o, const std::string &sock, const std::string &work,
                          const std::string &dir, Child &c, std::string &shown) {
    c = startTerminal({o.kestrode, "--attach", sock}, work, "", dir + "/console-stderr.out", {});
    double start = nowSeconds();
    if (!awaitText(c.console, shown, 0, "> attached to the kestrode on ", {}, start + 10)) return false;
    awaitQuiet(c.console, shown, 300, start + 15);
    return true;
}

static int transferRun(const Options &o) {
    std::string dir = makeTempDir("transfer");
    std::string work = dir + "/work", store = dir + "/store";
    mkdir(work.c_str(), 0755);
    mkdir(store.c_str(), 0755);
    const std::string file = "bench.bin";
    long bytes = o.kib * 1024;
    std::string src = (o.dir == "up" ? work : store) + "/" + file;
    std::string dst = (o.dir == "up" ? store : work) + "/" + file;
    if (!makeRandomFile(src, bytes)) die("random file");

    Sim sim = startSim(o, dir, 0);
    std::vector<std::string> env;
    if (!o.allocLib.empty()) {
        env.push_back("LD_PRELOAD=" + o.allocLib);
        env.push_back("BENCH_ALLOC_OUT=" + dir + "/alloc.out");
    }
    std::string sock = dir + "/k.sock", service = dir + "/service";
    mkdir(service.c_str(), 0755);
    std::vector<std::string> argv = {o.kestrode, sim.device};
    if (o.viaConsole) argv = {o.kestrode, "--share=" + sock, sim.device};
    Child k = startTerminal(argv, o.viaConsole ? service : work, "", dir + "/stderr.out", env);
    std::string shown, typedShown;
    double start = nowSeconds();
    // Ready once the instrument's banner and its answer to the clock are in.
    bool ok = !sim.device.empty() &&
              awaitText(k.console, shown, 0, "# OLM-inside Air Monitor", {}, start + 10);
    if (ok) awaitQuiet(k.console, shown, 300, start + 15);
    Child c = k;  // where the transfer is typed and told
    if (ok && o.viaConsole) ok = attachConsole(o, sock, work, dir, c, typedShown);
    std::string &told = o.viaConsole ? typedShown : shown;

    const char *done = o.dir == "up" ? "> uploading is successfully finished"
                                     : "> File transfer is successful";
    std::vector<const char *> stops = {"> no response", "> read message failed",
                                       "unexpected message", "early finished",
                                       "> cannot open", "failed\n"};
    double limit = 20 + 3.0 * bytes / (o.baud > 0 ? o.baud / 10.0 * 0.69 : 1e6);
    size_t from = told.size();
    double cpu0 = cpuOf(k.pid), ccpu0 = cpuOf(c.pid), t0 = nowSeconds();
    if (ok) type(c.keyboard, (o.dir == "up" ? "@upload " : "@download ") + file);
    ok = ok && awaitText(c.console, told, from, done, stops, t0 + limit);
    double t1 = nowSeconds(), cpu1 = cpuOf(k.pid), ccpu1 = cpuOf(c.pid);
    awaitQuiet(c.console, told, 200, t1 + 5);  // the closing @FIN exchange
    if (o.viaConsole) {
        type(c.keyboard, "@exit");
        finishChild(c.pid, 5000);
    }
    type(k.keyboard, "@exit");
    Usage u = finishChild(k.pid, 5000);
    stopSim(sim);
    bool same = ok && readFileFrom(src, 0) == readFileFrom(dst, 0);
    std::string allocs = readFileFrom(dir + "/alloc.out", 0);
    if (!allocs.empty() && allocs.back() == '\n') allocs.pop_back();
    printf("%s dir=%s kib=%ld bytes=%ld mib=%.4f wall=%.4f cpu=%.5f ccpu=%.5f rss=%ld status=%d "
           "ok=%d%s%s\n",
           o.name.c_str(), o.dir.c_str(), o.kib, bytes, bytes / 1048576.0, t1 - t0,
           cpu1 - cpu0, o.viaConsole ? ccpu1 - ccpu0 : 0.0, u.maxRssKb, u.status, same ? 1 : 0,
           allocs.empty() ? "" : " ", allocs.c_str());
    const char *keep = getenv("BENCH_KEEP");
    if (keep && *keep) {
        FILE *f = fopen((dir + "/console.pty").c_str(), "wb");
        if (f) fwrite(shown.data(), 1, shown.size(), f), fclose(f);
        fprintf(stderr, "kept %s\n", dir.c_str());
    } else {
        removeTree(dir);
    }
    return same ? 0 : 1;
}

// The host's side of the port, set up as kestrode sets it (the simulator
// boots once it sees the settings).
static int openHost(const std::string &device) {
    int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return -1;
    termios t;
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    t.c_cflag |= CLOCAL | CREAD;
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

// Instrument to host: readings queued faster than the line carries them;
// bytes received over three seconds once the stream runs.
static void pacerOut(const Options &o, const std::string &dir) {
    Sim sim = startSim(o, dir, 0.001);
    int fd = openHost(sim.device);
    char buf[4096];
    long count = 0;
    double first = 0, end = nowSeconds() + 10, from = 0, to = 0;
    while (fd >= 0 && nowSeconds() < end) {
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, 20);
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) continue;
        double now = nowSeconds();
        if (first == 0) first = now, from = now + 0.5, to = now + 3.5, end = to + 0.5;
        if (now > from && now <= to) count += n;
    }
    if (fd >= 0) close(fd);
    stopSim(sim);
    printf("%s-out bytes=%ld wall=%.4f\n", o.name.c_str(), count, to - from);
}

// Reads from the host's side until `needle` has come (true) or the deadline.
static bool hostAwait(int fd, std::string &got, const char *needle, double deadline) {
    char buf[4096];
    while (nowSeconds() < deadline) {
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0) got.append(buf, (size_t)n);
        if (got.find(needle) != std::string::npos) return true;
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, 5);
    }
    return false;
}

// Seconds from writing an overlong line of `bytes` bytes and its CR until the
// instrument's complaint about it arrives.
static double overlongLine(int fd, long bytes) {
    std::string line((size_t)bytes, 'x'), got;
    line += '\r';
    double t0 = nowSeconds();
    size_t done = 0;
    while (done < line.size() && nowSeconds() < t0 + 30) {
        ssize_t w = write(fd, line.data() + done, line.size() - done);
        if (w > 0) done += (size_t)w;
        pollfd p{fd, POLLOUT, 0};
        if (done < line.size()) poll(&p, 1, 5);
    }
    if (!hostAwait(fd, got, "too long", t0 + 30)) return -1;
    return nowSeconds() - t0;
}

// Host to instrument: two overlong lines of different lengths; the difference
// of their answer times is the time the paced line took for the extra bytes
// (fixed delays such as the answer itself cancel out).
static void pacerIn(const Options &o, const std::string &dir) {
    Sim sim = startSim(o, dir, 0);
    int fd = openHost(sim.device);
    std::string got;
    bool ok = fd >= 0 && hostAwait(fd, got, "$ ", nowSeconds() + 10);
    const long shortLine = 11520, longLine = 4 * 11520;
    double a = ok ? overlongLine(fd, shortLine) : -1;
    double b = a > 0 ? overlongLine(fd, longLine) : -1;
    if (fd >= 0) close(fd);
    stopSim(sim);
    printf("%s-in bytes=%ld wall=%.4f\n", o.name.c_str(), b > 0 ? longLine - shortLine : 0,
           b > 0 ? b - a : 0);
}

int main(int argc, char **argv) {
    Options o = parse(argc, argv);
    signal(SIGPIPE, SIG_IGN);
    if (!o.pacerCheck) return transferRun(o);
    std::string dir = makeTempDir("pacer");
    mkdir((dir + "/store").c_str(), 0755);
    pacerOut(o, dir);
    pacerIn(o, dir);
    removeTree(dir);
    return 0;
}
