// Side-by-side runs at the wire rate: several terminal programs at once, each
// on its own serial pseudo-terminal, fed the same lines at the serial line's
// pace, each one's CPU share over the feed reported. On a shared machine the
// load moves from one run to the next by more than the programs differ; side
// by side they all meet the same load. Their chunks are staggered by a
// fraction of a chunk's time, so that they do not all wake at once.
//
//   bench-wire [--seconds 6] [--rate 11520] [--chunk 12] [--round N] NAME=COMMAND...
// COMMAND is split at blanks, {dev} in it is the port; a program whose file
// name begins with "kestrode" has its log checked. One line per program, in
// the order given: NAME round= mib= wall= fcpu= status= shown= logged=
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "common.h"
#include "feed.h"

struct Run {
    std::string name;
    std::vector<std::string> argv;
    std::string dir;
    PtyPair port;
    Child child;
    Console con;
    long start = -1;
    double cpu0 = 0;
    size_t done = 0;  // feed bytes written
};

struct Options {
    double seconds = 6, rate = 11520;
    size_t chunk = 12;
    int round = 0;
    std::vector<Run> runs;
};

static Options parse(int argc, char **argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : "0";
        if (a == "--seconds") o.seconds = atof(v), ++i;
        else if (a == "--rate") o.rate = atof(v), ++i;
        else if (a == "--chunk") o.chunk = (size_t)atoi(v), ++i;
        else if (a == "--round") o.round = atoi(v), ++i;
        else if (a.find('=') != std::string::npos && a[0] != '-') {
            Run r;
            r.name = a.substr(0, a.find('='));
            std::istringstream words(a.substr(a.find('=') + 1));
            for (std::string w; words >> w;) r.argv.push_back(w);
            if (!r.argv.empty()) o.runs.push_back(r);
        } else {
            fprintf(stderr, "bench-wire: unknown argument %s\n", a.c_str());
            exit(2);
        }
    }
    if (o.runs.empty() || o.seconds <= 0 || o.rate <= 0 || o.chunk < 1) {
        fprintf(stderr, "bench-wire: give NAME=COMMAND and positive limits\n");
        exit(2);
    }
    return o;
}

static void start(Run &r) {
    r.dir = makeTempDir("wire");
    r.port = openPtyPair();
    fcntl(r.port.master, F_SETFL, O_NONBLOCK);
    for (std::string &a : r.argv)
        if (a == "{dev}") a = r.port.slavePath;
    r.child = startTerminal(r.argv, r.dir, "", r.dir + "/stderr.out", {});
    r.con.fd = r.child.console;
}

// Serves every console and port until the monotonic clock reaches `at`.
static void serveUntil(std::vector<Run> &runs, double at) {
    for (double left; (left = at - nowSeconds()) > 0;) {
        std::vector<pollfd> fds;
        for (Run &r : runs) {
            fds.push_back({r.port.master, POLLIN, 0});
            fds.push_back({r.con.fd, POLLIN, 0});
        }
        timespec limit{(time_t)left, (long)((left - (time_t)left) * 1e9)};
        if (ppoll(fds.data(), fds.size(), &limit, nullptr) <= 0) continue;
        for (size_t k = 0; k < runs.size(); ++k) {
            if (fds[2 * k].revents & POLLIN) drainInput(runs[k].port.master);
            if (fds[2 * k + 1].revents & POLLIN) runs[k].con.size();
        }
    }
}

// Program k's chunks go k/N of a chunk's time after the first program's,
// each once its last byte is due at the line's rate.
static bool feedAll(std::vector<Run> &runs, const std::string &data, const Options &o) {
    double t0 = nowSeconds(), stagger = o.chunk / o.rate / runs.size();
    for (;;) {
        Run *next = nullptr;
        double at = 0;
        for (size_t k = 0; k < runs.size(); ++k) {
            Run &r = runs[k];
            if (r.done >= data.size()) continue;
            size_t n = data.size() - r.done < o.chunk ? data.size() - r.done : o.chunk;
            double due = t0 + k * stagger + (double)(r.done + n) / o.rate;
            if (!next || due < at) next = &r, at = due;
        }
        if (!next) return true;
        serveUntil(runs, at);
        size_t n = data.size() - next->done < o.chunk ? data.size() - next->done : o.chunk;
        if (!writeAll(next->port.master, data.data() + next->done, n)) return false;
        next->done += n;
    }
}

int main(int argc, char **argv) {
    Options o = parse(argc, argv);
    for (Run &r : o.runs) start(r);
    std::string data = makeFeed((size_t)(o.seconds * o.rate));
    bool ok = true;
    for (Run &r : o.runs) {
        if (ok) ok = waitRawMode(r.port.master, 10000);
        if (ok) ok = (r.start = handshake(r.port.master, r.con)) >= 0;
    }
    for (Run &r : o.runs) r.cpu0 = cpuSoFar(r.child.pid);
    double t0 = nowSeconds();
    if (ok) ok = feedAll(o.runs, data, o);
    for (Run &r : o.runs)
        if (ok) ok = waitShown(r.port.master, r.con, r.start + data.size(), t0 + o.seconds + 60);
    double t1 = nowSeconds();
    bool all = ok;
    for (Run &r : o.runs) {
        double fcpu = cpuSoFar(r.child.pid) - r.cpu0;
        bool same = ok && r.con.text(r.start) == data;
        close(r.port.master);  // hang-up: the program ends
        Usage u = finishChild(r.child.pid, 5000);
        const std::string &program = r.argv[0];
        size_t slash = program.rfind('/');
        bool ours = program.compare(slash == std::string::npos ? 0 : slash + 1, 8, "kestrode") == 0;
        bool logged = !ours || (same && logMatches(r.dir, data, 0));
        printf("%s round=%d mib=%.3f wall=%.4f fcpu=%.4f status=%d shown=%d logged=%d\n",
               r.name.c_str(), o.round, data.size() / 1048576.0, t1 - t0, fcpu, u.status,
               same ? 1 : 0, logged ? 1 : 0);
        all = all && same && logged;
        removeTree(r.dir);
    }
    return all ? 0 : 1;
}
