// Retention by count (--log-keep): the newest N day files stay, whatever the
// clock says; nothing but a day file of kestrode's own is ever removed.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "clocklog/clocklog.h"
#include "support.h"
#include "terminal/terminal.h"

namespace {
time_t now = 0;
time_t fakeClock(time_t *t) {
    if (t) *t = now;
    return now;
}
int fakeClockSpec(clockid_t id, timespec *ts) {
    if (id != CLOCK_REALTIME) return clock_gettime(id, ts);
    ts->tv_sec = now;
    ts->tv_nsec = 0;
    return 0;
}
long onDisk(int) { return 0xEF53; }

struct DailyKeeping {
    Pty pty = openPty();
    DailyKeeping(int keep) {
        setenv("TZ", "UTC", 1);
        tzset();
        gClock = fakeClock;
        gClockSpec = fakeClockSpec;
        gFileSystemOf = onDisk;
        gbLogDaily = true;
        gLogKeep = keep;
        gTermFD = pty.slave;  // the clock lines a stepped clock sends
        gbFirstChar = true;
    }
    ~DailyKeeping() {
        gbLogDaily = false;
        gLogKeep = 0;
        gClock = time;
        gClockSpec = clock_gettime;
        gTermFD = -1;
        closePty(pty);
    }
};

time_t at(int y, int m, int d) {
    struct tm tmv {};
    tmv.tm_year = y - 1900;
    tmv.tm_mon = m - 1;
    tmv.tm_mday = d;
    tmv.tm_hour = 12;
    return timegm(&tmv);
}

std::string line(const char *text) {
    captureStart();
    handleTermBytes(text, (int)strlen(text));
    return captureStop();
}
}  // namespace

// openLogFor's names and nothing else: exactly eight digits of a date, a
// number 1 to 99 as it writes them.
TEST(LogKeep, OnlyTheNamesOfDayFilesCount) {
    struct {
        const char *name;
        long long key;
    } cases[] = {
        {"kestrode-20261208.log", 2026120800},
        {"kestrode-20261208(1).log", 2026120801},
        {"kestrode-20261208(99).log", 2026120899},
        {"kestrode-00010101.log", 1010100},
        {"kestrode-20261208(100).log", -1},
        {"kestrode-20261208(0).log", -1},
        {"kestrode-20261208(01).log", -1},
        {"kestrode-20261208().log", -1},
        {"kestrode-20261208(1.log", -1},
        {"kestrode-1.log", -1},  // an instrument's own file
        {"kestrode-20240101-summary.log", -1},
        {"kestrode-202612081.log", -1},  // a year past 9999, never counted
        {"kestrode-2026120.log", -1},
        {"kestrode-20261308.log", -1},
        {"kestrode-20261200.log", -1},
        {"kestrode-20261232.log", -1},
        {"kestrode-20261208.log.part", -1},
        {"kestrode-20261208.lo", -1},
        {".kestrode-12.part", -1},
        {"Kestrode-20261208.log", -1},
        {"kestrode-2026-208.log", -1},
        {"xkestrode-20261208.log", -1},
    };
    for (const auto &c : cases) EXPECT_EQ(dayFileKey(c.name), c.key) << c.name;
}

// Each step: the clock is set, a line comes, and at most the one file
// named is removed. The clock goes far ahead, far behind and back; a file
// another kestrode writes and every other name stay.
TEST(LogKeep, OneFileANewDayWhateverTheClock) {
    DailyKeeping keeping(3);
    enterTempDir();
    for (const char *f : {"kestrode-20261201.log", "kestrode-20261202.log", "kestrode-20261203(1).log",
                          "kestrode-20261203.log", "kestrode-1.log", "kestrode-20240101-summary.log",
                          "kestrode-20150101.log.part", ".kestrode-7.part", "received.bin",
                          "kestrode-20160101.log", "kestrode-20170101.log"})
        writeFile(f, "old\r\n");
    mkdir("kestrode-20180101.log", 0755);
    symlink("received.bin", "kestrode-20190101.log");
    ASSERT_EQ(chown("kestrode-20170101.log", 12345, 12345), 0) << "run as root";  // another user's
    int other = open("kestrode-20160101.log", O_RDONLY);  // another kestrode writes it
    ASSERT_EQ(flock(other, LOCK_EX), 0);

    struct {
        time_t when;
        const char *removed;  // "" for none
    } steps[] = {
        {at(2026, 12, 6), "kestrode-20261201.log"},
        {at(2026, 12, 6) + 60, ""},
        {at(2040, 1, 1), "kestrode-20261202.log"},  // a clock years ahead
        {at(1999, 1, 1), "kestrode-20261203.log"},  // years behind: not its own new file
        {at(2026, 12, 6), ""},                      // its day's file again
        {at(2026, 12, 7), "kestrode-19990101.log"},
        {at(2026, 12, 8), "kestrode-20261203(1).log"},
        {-1, ""},  // the other kestrode lets go
        {at(2026, 12, 9), "kestrode-20160101.log"},
        {at(2026, 12, 10), "kestrode-20261206.log"},
    };
    std::string before = filesIn(".");
    for (const auto &s : steps) {
        if (s.when < 0) {
            close(other);
            continue;
        }
        now = s.when;
        std::string said;
        if (!gpLogFile) {  // the first: kestrode starts
            captureStart();
            startLog();
            said = captureStop();
        }
        said += line("PM2.5=7\n");
        std::string files = filesIn(".");
        std::string gone;
        for (size_t from = 0, end; (end = before.find(' ', from)) != std::string::npos; from = end + 1) {
            std::string name = before.substr(from, end - from);
            if (files.find(name + " ") == std::string::npos) gone += name;
        }
        EXPECT_EQ(gone, s.removed) << said;
        std::string told = std::string("> log file ") + s.removed + " removed, the newest 3 are kept\n";
        EXPECT_EQ(said.find(told) != std::string::npos, *s.removed != '\0') << said;
        before = files;
    }
    stopLog();
    EXPECT_EQ(filesIn("."),
              ".kestrode-7.part kestrode-1.log kestrode-20150101.log.part kestrode-20170101.log "
              "kestrode-20180101.log kestrode-20190101.log kestrode-20240101-summary.log "
              "kestrode-20261207.log kestrode-20261208.log kestrode-20261209.log "
              "kestrode-20261210.log kestrode-20400101.log received.bin ");
    EXPECT_EQ(readFile("received.bin"), "old\r\n");

    // One kept: the day before goes as soon as it is closed.
    gLogKeep = 1;
    for (const char *f : {"kestrode-20261207.log", "kestrode-20261208.log", "kestrode-20261209.log"})
        unlink(f);
    now = at(2026, 12, 11);
    captureStart();
    startLog();
    captureStop();
    for (int day = 12; day <= 14; ++day) {
        now = at(2026, 12, day);
        line("PM2.5=7\n");
        std::string files = filesIn(".");
        EXPECT_EQ(files.find("kestrode-202612"), files.rfind("kestrode-202612")) << files;
    }
    stopLog();
    leaveTempDir();
}
