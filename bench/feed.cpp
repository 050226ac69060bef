// The feed of instrument lines the console runners write, and what a
// terminal must show and log of it.
#include "feed.h"

#include <dirent.h>
#include <poll.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

// Lines of 40 to 70 bytes with CR LF, like an air monitor's readings; a
// sequence number up front, never "@" or "#", no "$" or "#" before a blank.
std::string makeFeed(size_t bytes) {
    std::string feed;
    feed.reserve(bytes + 80);
    unsigned seed = 12345;
    auto next = [&seed](unsigned mod) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % mod;
    };
    char line[160];
    for (unsigned seq = 0; feed.size() < bytes; ++seq) {
        int n = snprintf(line, sizeof line,
                         "%07u T=%u.%02u RH=%u.%u P=%u.%u PM2.5=%u.%u PM10=%u CO2=%u VOC=%u",
                         seq, 15 + next(15), next(100), 20 + next(60), next(10),
                         990 + next(40), next(10), next(80), next(10), next(150),
                         400 + next(900), next(500));
        size_t len = 38 + next(31);  // text before CR LF: 38..68
        if ((size_t)n < len) len = n;
        feed.append(line, len);
        feed.append("\r\n");
    }
    return feed;
}

// Sends numbered ready lines until one is on the console: the terminal has
// set up its port and serves it. Returns the console offset after that line.
long handshake(int master, Console &con) {
    for (int k = 0; k < 100; ++k) {
        char msg[64];
        int n = snprintf(msg, sizeof msg, "ready %d\r\n", k);
        writeAll(master, msg, n);
        double end = nowSeconds() + 0.3;
        while (nowSeconds() < end) {
            drainInput(master);
            size_t at = con.text(0).find(msg);
            if (at != std::string::npos) return (long)(at + n);
            sleepMs(5);
        }
    }
    return -1;
}

// CPU time in seconds the scheduler has given all of pid's threads so far.
double cpuSoFar(pid_t pid) {
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    double ns = 0;
    DIR *d = opendir(dir.c_str());
    while (dirent *e = d ? readdir(d) : nullptr)
        if (e->d_name[0] != '.') ns += atof(readFileFrom(dir + "/" + e->d_name + "/schedstat", 0).c_str());
    if (d) closedir(d);
    return ns / 1e9;
}

bool waitShown(int master, Console &con, size_t want, double deadline) {
    while (con.size() < want) {
        if (nowSeconds() > deadline) return false;
        drainInput(master);
        if (con.fd >= 0) {
            pollfd p{con.fd, POLLIN, 0};
            poll(&p, 1, 10);
        } else {
            sleepMs(1);
        }
    }
    return true;
}

// What the log must end with: each line's text (its CR kept) and CR LF.
static std::string expectedLog(const std::string &feedData) {
    std::string log;
    log.reserve(feedData.size() * 2);
    size_t start = 0, lf;
    while ((lf = feedData.find('\n', start)) != std::string::npos) {
        log.append(feedData, start, lf - start);
        log.append("\r\n");
        start = lf + 1;
    }
    return log;
}

// The log is the one file kestrode makes in its directory besides ours.
static std::string findLog(const std::string &dir) {
    DIR *d = opendir(dir.c_str());
    std::string name;
    while (dirent *e = d ? readdir(d) : nullptr)
        if (!strncmp(e->d_name, "kestrode-", 9)) name = e->d_name;
    if (d) closedir(d);
    return name;
}

// The log without the stamp in front of each line.
static std::string unstamped(const std::string &log, size_t stamp) {
    std::string bare;
    bare.reserve(log.size());
    for (size_t start = 0, lf; start < log.size(); start = lf + 1) {
        lf = log.find('\n', start);
        if (lf == std::string::npos) lf = log.size() - 1;
        if (lf + 1 - start > stamp) bare.append(log, start + stamp, lf + 1 - start - stamp);
    }
    return bare;
}

bool logMatches(const std::string &dir, const std::string &feedData, int stamp) {
    std::string name = findLog(dir);
    if (name.empty()) return false;
    std::string want = expectedLog(feedData);
    std::string log = unstamped(readFileFrom(dir + "/" + name, 0), stamp);
    return log.size() >= want.size() &&
           log.compare(log.size() - want.size(), want.size(), want) == 0;
}
