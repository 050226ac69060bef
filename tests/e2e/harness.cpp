#include "harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>

#include "support.h"

double nowSeconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

Session::Session() {
    char tmpl[] = "/tmp/kestrode-e2e-XXXXXX";
    dir = mkdtemp(tmpl);
    host = dir + "/host";
    store = dir + "/store";
    mkdir(host.c_str(), 0755);
    mkdir(store.c_str(), 0755);
}

// Ends the simulator (which ends kestrode), reaps it, removes the folders.
Session::~Session() {
    if (pid > 0) {
        kill(pid, SIGTERM);
        waitExit(pid, 5000);  // kills for good after that
    }
    if (in >= 0) close(in);
    if (out >= 0) close(out);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

static void addProgram(std::vector<std::string> &argv, const char *program) {
#ifdef KESTRODE_EMULATOR
    argv.push_back(KESTRODE_EMULATOR);
#endif
    argv.push_back(program);
}

// Runs `args` with its standard input and output on pipes held by `r`.
static void startPiped(Session &r, const std::vector<std::string> &args, int err,
                       void (*beforeExec)()) {
    std::vector<const char *> argv;
    for (const std::string &a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    r.pid = spawn(argv.data(), in[0], out[1], err, r.host.c_str(), beforeExec);
    close(in[0]);
    close(out[1]);
    r.in = in[1];
    r.out = out[0];
}

void startAttached(Session &c, const std::string &target, void (*beforeExec)(),
                   const char *program) {
    std::vector<std::string> args;
    addProgram(args, program);
    args.insert(args.end(), {"--attach", target});
    startPiped(c, args, -1, beforeExec);
}

void startWatcher(Session &c, const std::string &target) {
    std::vector<std::string> args;
    addProgram(args, KESTRODE_BIN);
    args.insert(args.end(), {"--attach", "--watch", target});
    startPiped(c, args, -1, nullptr);
}

void startSession(Session &r, const std::vector<std::string> &simOptions,
                  const std::vector<std::string> &kestrodeOptions, const char *program) {
    std::vector<std::string> args;
    addProgram(args, KESTRODE_SIM);
    // --exit-with: should the test itself be killed, the simulator ends
    // kestrode and itself instead of serving on.
    args.insert(args.end(), {"--storage", r.store, "--verbose", "--seed", "1", "--exit-with",
                             std::to_string(getpid())});
    args.insert(args.end(), simOptions.begin(), simOptions.end());
    args.push_back("--run");
    args.push_back("--");
    addProgram(args, program);
    args.insert(args.end(), kestrodeOptions.begin(), kestrodeOptions.end());
    int err = open((r.dir + "/sim.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    startPiped(r, args, err, nullptr);
    close(err);
}

int runKestrode(const std::vector<std::string> &args, std::string &out, int ms) {
    Session c;
    std::vector<std::string> all;
    addProgram(all, KESTRODE_BIN);
    all.insert(all.end(), args.begin(), args.end());
    startPiped(c, all, -1, nullptr);
    close(c.in);
    c.in = -1;
    int status = waitEnd(c, ms);
    out = c.console;
    return status;
}

void type(Session &r, const std::string &line) { writeAll(r.in, line + "\n"); }

// Reads what is there within `ms`; false at the end of the output.
static bool pump(Session &r, int ms) {
    pollfd p{r.out, POLLIN, 0};
    if (poll(&p, 1, std::max(ms, 0)) <= 0) return true;
    char buf[65536];
    ssize_t n = read(r.out, buf, sizeof buf);
    if (n <= 0) return false;
    r.console.append(buf, (size_t)n);
    return true;
}

bool waitFor(Session &r, const std::string &needle, int ms) {
    double end = nowSeconds() + ms / 1000.0;
    for (;;) {
        size_t at = r.console.find(needle, r.seen);
        if (at != std::string::npos) {
            r.seen = at + needle.size();
            return true;
        }
        int left = (int)((end - nowSeconds()) * 1000);
        if (left <= 0 || !pump(r, std::min(left, 100))) return false;
    }
}

bool waitForBoot(Session &r) {
    return waitFor(r, "# clock set to ", 10000) && waitFor(r, "# clock set to ", 5000) &&
           waitFor(r, "$ ", 5000);
}

int waitEnd(Session &r, int ms) {
    double end = nowSeconds() + ms / 1000.0;
    while (nowSeconds() < end && pump(r, 50)) {
    }
    int left = std::max(0, (int)((end - nowSeconds()) * 1000));
    r.status = waitExit(r.pid, left);
    r.pid = -1;
    return r.status;
}

int exitSession(Session &r) {
    type(r, "@exit");
    return waitEnd(r, 10000);
}

size_t count(const std::string &text, const std::string &needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size()))
        ++n;
    return n;
}

std::string simReport(const Session &r) { return readFile(r.dir + "/sim.err"); }

std::string randomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char &c : s) c = (char)(gen() & 0xFF);
    return s;
}

std::vector<std::string> listFolder(const std::string &dir) {
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (!d) return names;
    while (dirent *e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

std::string logPath(const Session &r) {
    char name[64];
    time_t now = time(nullptr);
    struct tm tmv;
    localtime_r(&now, &tmv);
    strftime(name, sizeof name, "/kestrode-%Y%m%d.log", &tmv);
    return r.host + name;
}

std::string socketIn(const Session &r) { return r.dir + "/kestrode.sock"; }

std::string me() {
    passwd *pw = getpwuid(getuid());
    std::string uid = std::to_string(getuid());
    return (pw ? pw->pw_name : uid) + " (uid " + uid + ")";
}

bool attached(Session &c) { return waitFor(c, "> attached to the kestrode on ", 10000); }

int startSharing(const Session &r, const Pty &p, const std::string &option,
                 const std::string &console, const std::vector<std::string> &more,
                 const char *program, void (*beforeExec)()) {
    std::vector<std::string> args;
    addProgram(args, program);
    args.push_back(option);
    args.insert(args.end(), more.begin(), more.end());
    args.push_back(p.name);
    std::vector<const char *> argv;
    for (const std::string &a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    int out = open(console.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int pid = spawn(argv.data(), -1, out, out, r.host.c_str(), beforeExec);
    close(out);
    return pid;
}

int rawClient(const std::string &path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{AF_UNIX, {}};
    snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    if (connect(fd, (sockaddr *)&a, sizeof a) == 0) return fd;
    close(fd);
    return -1;
}

bool fileShows(const std::string &path, const std::string &needle, int ms) {
    for (double end = nowSeconds() + ms / 1000.0; nowSeconds() < end; usleep(20000))
        if (readFile(path).find(needle) != std::string::npos) return true;
    return false;
}

std::pair<int, std::string> status(const std::string &target) {
    std::vector<std::string> args;
    addProgram(args, KESTRODE_BIN);
    args.insert(args.end(), {"--status", target});
    std::vector<const char *> argv;
    for (const std::string &a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return {-3, ""};
    int pid = spawn(argv.data(), SPAWN_CLOSED, out[1], out[1], "/");
    close(out[1]);
    int code = waitExit(pid, 20000);
    std::string text = readQuiet(out[0], 50);
    close(out[0]);
    return {code, text};
}

std::string field(const std::string &report, const std::string &key) {
    size_t at = report.find("\n" + key + ": ");
    if (at == std::string::npos) return "(missing)";
    at += key.size() + 3;
    return report.substr(at, report.find('\n', at) - at);
}

std::string joinHint(const std::string &path) {
    struct stat st {};
    stat(path.c_str(), &st);
    const group *g = getgrgid(st.st_gid);
    if ((st.st_mode & 060) != 060 || st.st_gid == 0 || !g)
        return "no group may use it: ask the administrator for access\n";
    const std::string name = g->gr_name;
    return "its group " + name + " may use it: join that group (sudo usermod -aG " + name +
           " $USER) and log in again\n";
}
