// A month unattended in a minute and a half: the logging service's options
// on kestrode-soak (kestrode with its calendar clock sped up, one day every
// 2.5 s) and the simulated instrument, whose clock runs at the same rate and
// stamps every reading, talking all the while. The test plays systemd on
// NOTIFY_SOCKET, looks in with kestrode --status now and then, and keeps a
// second name of every day file before retention removes it.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "harness.h"
#include "support.h"

// Under an emulator the memory is the emulator's, its translations growing;
// under AddressSanitizer it holds the freed blocks it keeps and its stacks.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KESTRODE_ASAN 1
#endif
#endif
#if defined(KESTRODE_EMULATOR) || defined(__SANITIZE_ADDRESS__) || defined(KESTRODE_ASAN)
constexpr bool OWN_MEMORY_MEASURED = false;
#else
constexpr bool OWN_MEMORY_MEASURED = true;
#endif

namespace {
constexpr double DAY_SECONDS = 2.5;  // of real time
constexpr double RATE = 86400 / DAY_SECONDS;
constexpr double PERIOD = 0.025;  // between readings, real: 100 a day
constexpr time_t START = 1834099200;  // 2028-02-14 00:00:00 UTC, across a leap day
constexpr int DAYS = 33;              // files, the first to the last day
constexpr int KEEP = 7;

std::string dayName(time_t t) {
    char name[32];
    struct tm tmv;
    gmtime_r(&t, &tmv);
    strftime(name, sizeof name, "kestrode-%Y%m%d.log", &tmv);
    return name;
}

time_t parseStamp(const std::string &s) {  // 2028-02-14T06:00:00 at the front
    struct tm tmv {};
    if (sscanf(s.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d", &tmv.tm_year, &tmv.tm_mon, &tmv.tm_mday,
               &tmv.tm_hour, &tmv.tm_min, &tmv.tm_sec) != 6)
        return -1;
    tmv.tm_year -= 1900;
    tmv.tm_mon -= 1;
    return timegm(&tmv);
}

std::vector<std::string> linesOf(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) {
        while (!l.empty() && l.back() == '\r') l.pop_back();
        lines.push_back(l);
    }
    return lines;
}

bool isDayFile(const std::string &name) {
    static const std::regex day(R"(kestrode-\d{8}\.log)");
    return std::regex_match(name, day);
}

// The process's resident memory of its own (heap, stack, data) in kB and
// its open descriptors.
struct Footprint {
    long anonKb = -1, rssKb = -1;
    int fds = -1;
};
Footprint footprintOf(int pid) {
    Footprint f;
    std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
    std::smatch m;
    if (std::regex_search(status, m, std::regex(R"(RssAnon:\s+(\d+) kB)"))) f.anonKb = std::stol(m[1]);
    if (std::regex_search(status, m, std::regex(R"(VmRSS:\s+(\d+) kB)"))) f.rssKb = std::stol(m[1]);
    f.fds = (int)listFolder("/proc/" + std::to_string(pid) + "/fd").size();
    return f;
}

// The least of a few looks 50 ms apart: a new day's file is opened before
// the old one is closed, and a look's connection comes and goes.
Footprint settledFootprintOf(int pid) {
    Footprint least = footprintOf(pid);
    for (int k = 0; k < 4; ++k) {
        usleep(50000);
        Footprint f = footprintOf(pid);
        least.fds = std::min(least.fds, f.fds);
        least.anonKb = std::min(least.anonKb, f.anonKb);
        least.rssKb = std::min(least.rssKb, f.rssKb);
    }
    return least;
}

int childOf(int pid) {
    std::string children = readFile("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    return atoi(children.c_str());
}

struct Manager {
    std::string path;
    int fd = -1;
    std::vector<std::string> got;
    explicit Manager(const std::string &dir) : path(dir + "/notify") {
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        strcpy(a.sun_path, path.c_str());
        EXPECT_EQ(bind(fd, (sockaddr *)&a, sizeof a), 0);
    }
    ~Manager() { close(fd); }
    void drain() {
        char buf[8192];
        for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) got.emplace_back(buf, n);
    }
    int count(const std::string &prefix) const {
        int n = 0;
        for (const std::string &m : got) n += m.rfind(prefix, 0) == 0;
        return n;
    }
    std::string lastStatus() const {
        for (auto m = got.rbegin(); m != got.rend(); ++m)
            if (m->rfind("STATUS=logging ", 0) == 0) return *m;
        return "";
    }
};
}  // namespace

TEST(Soak, AMonthOfDaysInMinutes) {
    Session r;
    std::string days = r.dir + "/days", sent = r.dir + "/sent", sock = r.dir + "/share.sock";
    mkdir(days.c_str(), 0755);
    // A week of files from before: retention works from the first new day on.
    std::set<std::string> before;
    for (int d = 1; d <= KEEP; ++d) {
        std::string name = dayName(START - 86400 * (40 - d));
        writeFile(r.host + "/" + name, "old\r\n");
        before.insert(name);
    }
    Manager systemd(r.dir);
    setenv("TZ", "UTC", 1);
    setenv("SOAK_START", std::to_string(START + 6 * 3600).c_str(), 1);
    setenv("SOAK_RATE", std::to_string(RATE).c_str(), 1);
    setenv("NOTIFY_SOCKET", systemd.path.c_str(), 1);
    setenv("WATCHDOG_USEC", "4000000", 1);
    char period[32], rate[32];
    snprintf(period, sizeof period, "%g", PERIOD);
    snprintf(rate, sizeof rate, "%.0f", RATE);
    double began = nowSeconds();
    startSession(r, {"--period", period, "--clock-rate", rate, "--stamp", "--transcript", sent},
                 {"--log-time", "--log-daily", "--log-keep", std::to_string(KEEP), "--silence", "300",
                  "--share=" + sock},
                 KESTRODE_SOAK);
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");

    // Every day file gets a second name in `days` as soon as it is there;
    // the folder's day files are counted each time round.
    const std::string last = dayName(START + 86400 * (DAYS - 1));
    std::set<std::string> seen;
    int fewest = 1 << 30, most = 0, looks = 0, looksAnswered = 0, kestrode = 0;
    Footprint firstDay, end;
    double nextLook = began + 1;  // the first look on the first day, then every 10 s
    while (!seen.count(last) && nowSeconds() < began + 400) {
        waitFor(r, "\x01", 100);  // reads the console, which must never fill
        systemd.drain();
        int files = 0;
        for (const std::string &name : listFolder(r.host)) {
            if (!isDayFile(name)) continue;
            ++files;
            if (before.count(name) || seen.count(name)) continue;
            EXPECT_EQ(link((r.host + "/" + name).c_str(), (days + "/" + name).c_str()), 0) << name;
            seen.insert(name);
        }
        fewest = std::min(fewest, files);
        most = std::max(most, files);
        if (kestrode == 0) kestrode = childOf(r.pid);
        if (firstDay.fds < 0 && seen.size() == 2) firstDay = settledFootprintOf(kestrode);
        if (nowSeconds() >= nextLook) {
            std::string report;
            ++looks;
            looksAnswered += runKestrode({"--status", sock}, report, 15000) == 0 &&
                             report.find("lines logged today: ") != std::string::npos;
            nextLook = nowSeconds() + 10;
        }
    }
    ASSERT_TRUE(seen.count(last)) << "days seen: " << seen.size() << "\n" << simReport(r);
    usleep(1000000);  // a good part of the last day
    waitFor(r, "\x01", 100);
    end = settledFootprintOf(kestrode);
    type(r, "@exit");
    EXPECT_EQ(waitEnd(r, 15000), 0);
    double took = nowSeconds() - began;
    systemd.drain();

    // Thirty-odd days, each its own file, retention keeping exactly KEEP
    // once they are there, and never more than the one opened beyond.
    std::vector<std::string> kept;
    for (const std::string &name : listFolder(r.host))
        if (isDayFile(name)) kept.push_back(name);
    std::vector<std::string> all = listFolder(days);
    ASSERT_EQ(all.size(), (size_t)DAYS);
    for (int d = 0; d < DAYS; ++d) EXPECT_EQ(all[d], dayName(START + 86400 * d));
    EXPECT_EQ(kept, std::vector<std::string>(all.end() - KEEP, all.end()));
    EXPECT_GE(fewest, KEEP);
    EXPECT_LE(most, KEEP + 1);

    // Every reading once, in order, in the file of the day it came; the
    // instrument's clock, set by the host, with it all the while.
    std::vector<std::string> logged;
    std::vector<time_t> syncs, lineTimes;  // the host's clock at each sync; readings' arrival
    long worstSkew = 0;
    for (const std::string &name : all) {
        time_t day = parseStamp(name.substr(9, 4) + "-" + name.substr(13, 2) + "-" + name.substr(15, 2) + "T00:00:00");
        for (const std::string &line : linesOf(readFile(days + "/" + name))) {
            time_t at = parseStamp(line);
            ASSERT_GE(at, day) << name << ": " << line;
            ASSERT_LT(at, day + 86400) << name << ": " << line;
            std::string text = line.substr(30);
            if (text.rfind("# clock set to ", 0) == 0) {
                std::string set = text.substr(15, 19);
                set[10] = 'T';
                syncs.push_back(parseStamp(set));
            }
            size_t reading = text.find("PM2.5=");
            if (reading == std::string::npos) continue;
            logged.push_back(text);
            lineTimes.push_back(at);
            if (!syncs.empty()) worstSkew = std::max(worstSkew, std::labs(parseStamp(text) - at));
        }
    }
    std::vector<std::string> instrument;
    for (const std::string &line : linesOf(readFile(sent))) {
        size_t at = line.find(' ');
        if (line.find("PM2.5=") != std::string::npos && at != std::string::npos)
            instrument.push_back(line.substr(line.find_first_of("0123456789")));
    }
    ASSERT_GE(instrument.size(), logged.size());
    EXPECT_LE(instrument.size() - logged.size(), 2u) << "sent after the last was logged";
    EXPECT_TRUE(std::equal(logged.begin(), logged.end(), instrument.begin())) << "lost, doubled or reordered";
    EXPECT_GE(logged.size(), (size_t)(DAYS - 1) * 50);
    // Set, it keeps the host's time but for how long a reading takes to be
    // read (a tenth of a second is 2.4 hours here): no more than 6 hours.
    EXPECT_LE(worstSkew, 6 * 3600) << "the instrument's clock against the host's";

    // The clock set at the start (the first line end and the banner), then
    // never within an hour of the last setting, and at the first reading
    // that came an hour or more after it (300 s of the host's clock, 9 ms,
    // for the reading's bytes to be read to its end).
    ASSERT_GE(syncs.size(), 2u);
    EXPECT_LE(std::labs(syncs[1] - syncs[0]), 600);
    time_t shortest = 1 << 30;
    for (size_t i = 2; i < syncs.size(); ++i) shortest = std::min(shortest, syncs[i] - syncs[i - 1]);
    EXPECT_GE(shortest, 3600);
    int missed = 0;
    size_t next = 0;
    for (time_t t : lineTimes) {
        while (next < syncs.size() && syncs[next] <= t + 300) ++next;
        if (next > 0 && t - syncs[next - 1] >= 3600 + 300) ++missed;
    }
    EXPECT_EQ(missed, 0) << "readings that came over an hour after the last clock setting";

    // The log synced at most once a second of the loop's time (and at each
    // new file and the end), and at least every other second while lines came.
    std::smatch m;
    std::string report = simReport(r);
    ASSERT_TRUE(std::regex_search(report, m, std::regex(R"(kestrode-soak: (\d+) log syncs)"))) << report;
    long logSyncs = std::stol(m[1]);
    EXPECT_LE(logSyncs, (long)took + DAYS + 2);
    EXPECT_GE(logSyncs, (long)(took / 2));

    // Its footprint after the first day and at the end; systemd heard from it.
    EXPECT_EQ(end.fds, firstDay.fds);
    if (OWN_MEMORY_MEASURED) {
        EXPECT_LE(end.anonKb - firstDay.anonKb, 64) << "kB of its own memory more";
    }
    EXPECT_EQ(systemd.count("READY=1\n"), 1);
    EXPECT_GE(systemd.count("WATCHDOG=1"), (int)(took / 4));  // 4 s: the watchdog's interval
    EXPECT_NE(systemd.lastStatus().find("/" + last + ": "), std::string::npos) << systemd.lastStatus();
    EXPECT_EQ(looksAnswered, looks);
    fprintf(stderr,
            "soak: %zu days in %.0f s, %zu readings, %zu clock syncs (the instrument's clock at most "
            "%ld s off), %ld log syncs, %d looks; "
            "memory of its own %ld kB after the first day, %ld kB at the end (resident %ld, %ld kB), "
            "descriptors %d and %d\n",
            all.size(), took, logged.size(), syncs.size(), worstSkew, logSyncs, looks, firstDay.anonKb,
            end.anonKb, firstDay.rssKb, end.rssKb, firstDay.fds, end.fds);
}
