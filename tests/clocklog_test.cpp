// The dated log file and the instrument clock's sync rule.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "clocklog/clocklog.h"
#include "support.h"
#include "terminal/terminal.h"
#include "transfer/transfer.h"

namespace {
time_t fakeNow = 1796530696;  // 2026-12-06 04:18:16 UTC
time_t fakeClock(time_t *t) {
    if (t) *t = fakeNow;
    return fakeNow;
}
long onDisk(int) { return 0xEF53; }  // ext4
void useFakeClock() {
    setenv("TZ", "UTC", 1);
    tzset();
    gClock = fakeClock;
    gFileSystemOf = onDisk;  // a /tmp in memory would add its notice
}
}  // namespace

TEST(LogFile, DatedNameAppendedAcrossRuns) {
    useFakeClock();
    std::string dir = enterTempDir();
    captureStart();
    startLog();
    makeLog("T=23.5\r", 7);
    stopLog();
    startLog();
    makeLog("second run", 10);
    stopLog();
    std::string out = captureStop();
    EXPECT_EQ(readFile("kestrode-20261206.log"), "T=23.5\r\r\nsecond run\r\n");
    std::string announce = "Local logging file : " + dir + "\\kestrode-20261206.log\r\n";
    EXPECT_EQ(out, announce + announce);
    makeLog("after stop", 10);  // no log open: nothing happens
    leaveTempDir();
}

TEST(LogFile, FallsBackToNumberedNamesThenGivesUp) {
    useFakeClock();
    std::string dir = enterTempDir();
    // Directories of the same name cannot be opened as files, even by root.
    mkdir("kestrode-20261206.log", 0755);
    mkdir("kestrode-20261206(1).log", 0755);
    captureStart();
    startLog();
    captureStop();
    ASSERT_NE(gpLogFile, nullptr);
    makeLog("x", 1);
    stopLog();
    EXPECT_EQ(readFile("kestrode-20261206(2).log"), "x\r\n");

    for (int i = 2; i <= 99; ++i) {
        unlink(("kestrode-20261206(" + std::to_string(i) + ").log").c_str());
        mkdir(("kestrode-20261206(" + std::to_string(i) + ").log").c_str(), 0755);
    }
    captureStart();
    startLog();
    EXPECT_EQ(captureStop(), "creating log file kestrode-20261206(99).log failed\r\n"
                             "> no log file can be opened in " + dir + ": Is a directory\n");
    EXPECT_EQ(gpLogFile, nullptr);
    leaveTempDir();
}

TEST(LogFile, EveryLineReachesTheDiskAtOnce) {
    useFakeClock();
    enterTempDir();
    captureStart();
    startLog();
    captureStop();
    captureStart();
    handleTermBytes("measured\n", 9);  // the log is flushed after every read
    captureStop();
    // Read through a separate descriptor while the stream is still open.
    EXPECT_EQ(readFile("kestrode-20261206.log"), "measured\r\n");
    stopLog();
    leaveTempDir();
}

namespace {
// A small tmpfs mounted on `dir` in a mount namespace of this process's own,
// so the test can fill a real file system; false where that is not allowed.
bool mountSmallDisk(const std::string &dir) {
    if (unshare(CLONE_NEWNS) != 0) return false;
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    return mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=64k") == 0 && chdir(dir.c_str()) == 0;
}

void fillDisk() {
    int fd = open("filler", O_WRONLY | O_CREAT, 0644);
    char block[4096] = {};
    while (write(fd, block, sizeof block) > 0) {
    }
    close(fd);
}
}  // namespace

TEST(LogFile, AFullDiskLosesWholeLinesOnlyAndSaysHowMany) {
    useFakeClock();
    std::string dir = enterTempDir();
    if (sysconf(_SC_PAGESIZE) != 4096 || !mountSmallDisk(dir)) {
        leaveTempDir();
        GTEST_SKIP() << "no private tmpfs with 4 KiB pages here";
    }
    captureStart();
    startLog();
    long lostBefore = linesNotLogged();
    std::string first(200, 'f'), line(100, 'x');
    makeLog(first.data(), 200);
    flushLog();
    fillDisk();  // the log's page has 3894 bytes left: 38 of the next 40 lines fit
    for (int i = 0; i < 40; ++i) makeLog(line.data(), 100);
    flushLog();
    makeLog(line.data(), 100);  // tried again, and more than the 18 bytes left
    flushLog();
    unlink("filler");
    makeLog("fifth", 5);
    flushLog();
    std::string out = captureStop();
    std::string want = first + "\r\n";
    for (int i = 0; i < 38; ++i) want += line + "\r\n";
    EXPECT_EQ(readFile("kestrode-20261206.log"), want + "fifth\r\n");  // no torn line
    EXPECT_NE(out.find("\r\n> log write failed (No space left on device), lines are lost until "
                       "it works again\n> logging works again, 3 lines were not logged\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(linesNotLogged() - lostBefore, 3);  // kestrode --status's figure
    stopLog();
    leaveTempDir();
    umount(dir.c_str());
}

// kestrode --status's count: lines that reached the file since local midnight.
TEST(LogFile, LinesLoggedTodayStartAgainAtMidnight) {
    useFakeClock();
    enterTempDir();
    captureStart();
    fakeNow = 1893455998;  // 2029-12-31 23:59:58 UTC, a day no other test logs on
    startLog();
    makeLog("one", 3);
    makeLog("two", 3);
    EXPECT_EQ(linesLoggedToday(), 0);  // not yet in the file
    flushLog();
    EXPECT_EQ(linesLoggedToday(), 2);
    fakeNow += 2;
    EXPECT_EQ(linesLoggedToday(), 0);
    makeLog("three", 5);
    flushLog();
    EXPECT_EQ(linesLoggedToday(), 1);
    stopLog();
    captureStop();
    fakeNow = 1796530696;
    leaveTempDir();
}

TEST(Clock, SyncsAtMostOncePerHour) {
    useFakeClock();
    Pty pty = openPty();
    gTermFD = pty.slave;
    gSyncTime = 0;
    fakeNow = 1796530696;
    checkSyncTime();  // first line end of the run
    EXPECT_EQ(readQuiet(pty.master, 50), "settime 1796530696\r\n");
    fakeNow += 3599;
    checkSyncTime();
    EXPECT_EQ(readQuiet(pty.master, 50), "");
    fakeNow += 1;
    checkSyncTime();
    EXPECT_EQ(readQuiet(pty.master, 50), "settime 1796534296\r\n");
    EXPECT_EQ(gSyncTime, 1796534296);
    closePty(pty);
}

TEST(Clock, AClockSteppedBackMakesTheSyncDue) {
    useFakeClock();
    Pty pty = openPty();
    gTermFD = pty.slave;
    gSyncTime = fakeNow = 1796530696;
    // NTP corrects a host that ran a year ahead: the next line end sends the time.
    fakeNow -= 365 * 86400;
    checkSyncTime();
    EXPECT_EQ(readQuiet(pty.master, 50), "settime 1764994696\r\n");
    // From there the hourly rule holds again, also for a step of one second.
    fakeNow += 3599;
    checkSyncTime();
    EXPECT_EQ(readQuiet(pty.master, 50), "");
    fakeNow -= 3600;
    checkSyncTime();
    EXPECT_EQ(readQuiet(pty.master, 50), "settime 1764994695\r\n");
    closePty(pty);
}

TEST(Clock, CommandsReportAndToggle) {
    useFakeClock();
    fakeNow = 1796530696;
    Pty pty = openPty();
    gTermFD = pty.slave;
    captureStart();
    EXPECT_EQ(cmdSetTime("@settime"), 0);
    EXPECT_EQ(cmdShowTime("@showtime"), 0);
    gbFirstChar = false;
    printTime();
    EXPECT_EQ(cmdShowTime("@showtime"), 0);
    printTime();
    EXPECT_EQ(captureStop(),
              "# settime is successful\r\n"
              "# printing each line with the timestamp\r\n\n"
              "2026.12.06 04:18:16 "
              "# printing each line without the timestamp\r\n\n");
    EXPECT_EQ(readQuiet(pty.master, 50), "settime 1796530696\r\n");
    closePty(pty);
}

namespace {
long fakeNanos = 506000000;
int fakeClockSpec(clockid_t, timespec *ts) {
    ts->tv_sec = fakeNow;
    ts->tv_nsec = fakeNanos;
    return 0;
}

// Instrument bytes through the console path, which stamps and logs them.
std::string feedLine(const std::string &bytes) {
    captureStart();
    handleTermBytes(bytes.data(), (int)bytes.size());
    return captureStop();
}

struct LogOptions {
    LogOptions(bool time, bool daily) {
        useFakeClock();
        gClockSpec = fakeClockSpec;
        gbLogTime = time;
        gbLogDaily = daily;
        gbFirstChar = true;
        gSyncTime = fakeNow;  // no time lines to the instrument
    }
    ~LogOptions() {
        gbLogTime = gbLogDaily = false;
        gClockSpec = clock_gettime;
    }
};
}  // namespace

TEST(LogFile, StampedLinesCarryTheirArrivalTimeAndOffset) {
    LogOptions opt(true, false);
    Pty pty = openPty();
    gTermFD = pty.slave;
    enterTempDir();
    setenv("TZ", "CET-1", 1);
    tzset();
    captureStart();
    startLog();
    captureStop();
    feedLine("T=23.");  // the stamp is the first byte's time, not the line end's
    fakeNow += 5;
    feedLine("5\r\n");
    std::string nul("a\0b", 3), longest(252, 'x');
    feedLine(nul + "\n" + longest + "\n");
    setenv("TZ", "<-0330>3:30", 1);
    tzset();
    fakeNanos = 7000000;
    feedLine("west\n");
    stopLog();
    EXPECT_EQ(readFile("kestrode-20261206.log"),
              "2026-12-06T05:18:16.506+01:00 T=23.5\r\r\n"
              "2026-12-06T05:18:21.506+01:00 " + nul + "\r\n"
              "2026-12-06T05:18:21.506+01:00 " + longest + "\r\n"
              "2026-12-06T00:48:21.007-03:30 west\r\n");
    fakeNanos = 506000000;
    leaveTempDir();
    closePty(pty);
}

TEST(LogFile, StampsKeepTheirLengthWhateverTheClock) {
    LogOptions opt(true, false);
    Pty pty = openPty();
    gTermFD = pty.slave;
    enterTempDir();
    captureStart();
    startLog();
    captureStop();
    const std::string unknown = "????" "-??" "-??T??:??:??.???+??:?? ";
    struct {
        time_t when;
        const char *tz;
        std::string stamp;
    } cases[] = {
        {253402300799, "UTC", "9999-12-31T23:59:59.506+00:00 "},
        {253402300799, "CET-1", unknown},  // there it is the year 10000 already
        {253402300800, "UTC", unknown},
        {-62167219200, "UTC", "0000-01-01T00:00:00.506+00:00 "},
        {-62167219201, "UTC", unknown},
        {(time_t)1 << 60, "UTC", unknown},  // beyond any year localtime can give
    };
    std::string expected;
    for (const auto &c : cases) {
        setenv("TZ", c.tz, 1);
        tzset();
        fakeNow = c.when;
        feedLine("x\n");
        expected += c.stamp + "x\r\n";
    }
    stopLog();
    EXPECT_EQ(readFile("kestrode-20261206.log"), expected);
    fakeNow = 1796530696;
    leaveTempDir();
    closePty(pty);
}

TEST(LogFile, DailyLogMovesAtMidnightBetweenLines) {
    LogOptions opt(false, true);
    Pty pty = openPty();
    gTermFD = pty.slave;
    std::string dir = enterTempDir();
    fakeNow = 1796601599;  // 2026-12-06 23:59:59 UTC
    mkdir("kestrode-20261207.log", 0755);  // the new day's name is taken
    captureStart();
    startLog();
    captureStop();
    feedLine("before midnight, ");
    fakeNow += 2;
    EXPECT_EQ(feedLine("ended after\n"), "ended after\n");  // no move inside a line
    std::string shown = feedLine("next day\n");
    EXPECT_EQ(shown, "next day\nLocal logging file : " + dir + "\\kestrode-20261207(1).log\r\n");
    // Steps back of up to an hour stay in the newer file, so a clock that
    // wavers around midnight never flaps between two; a longer one is
    // believed, and its lines go to their own date's file.
    struct {
        time_t step;
        const char *text;
        const char *moved;  // the file announced, or ""
    } steps[] = {
        {-1800, "stepped back a little\n", ""},
        {+2400, "after midnight again\n", ""},
        {-1200, "back before it\n", ""},
        {-3600, "an hour further back\n", ""},
        {-3601, "more than an hour back\n", "kestrode-20261206.log"},
        {+10800, "forward to the next day\n", "kestrode-20261207(1).log"},
        {-86400 * 400, "a year and more back\n", "kestrode-20251102.log"},
        {+86400 * 400, "and forward again\n", "kestrode-20261207(1).log"},
    };
    for (const auto &s : steps) {
        fakeNow += s.step;
        std::string announced = *s.moved ? "Local logging file : " + dir + "\\" + s.moved + "\r\n" : "";
        EXPECT_EQ(feedLine(s.text), s.text + announced) << s.text;
    }
    EXPECT_EQ(readFile("kestrode-20261206.log"),
              "before midnight, ended after\r\nmore than an hour back\r\n");
    EXPECT_EQ(readFile("kestrode-20261207(1).log"),
              "next day\r\nstepped back a little\r\nafter midnight again\r\nback before it\r\n"
              "an hour further back\r\nforward to the next day\r\nand forward again\r\n");
    EXPECT_EQ(readFile("kestrode-20251102.log"), "a year and more back\r\n");

    DownloadTarget t;
    EXPECT_EQ(openTarget("kestrode-20261207(1).log", t), TargetResult::IsLog);
    stopLog();
    fakeNow = 1796530696;
    leaveTempDir();
    closePty(pty);
}

TEST(LogFile, LogDirectoryIsChosenOrRefused) {
    useFakeClock();
    std::string dir = enterTempDir();
    mkdir("logs", 0755);
    writeFile("plain", "x");
    captureStart();
    EXPECT_TRUE(setLogDir("logs"));
    startLog();
    makeLog("there", 5);
    stopLog();
    EXPECT_EQ(captureStop(), "Local logging file : " + dir + "/logs\\kestrode-20261206.log\r\n");
    EXPECT_EQ(readFile("logs/kestrode-20261206.log"), "there\r\n");
    EXPECT_EQ(filesIn("."), "logs plain ");
    close(gLogDirFD);
    gLogDirFD = AT_FDCWD;
    EXPECT_FALSE(setLogDir("plain"));
    EXPECT_FALSE(setLogDir("missing"));
    EXPECT_EQ(gLogDirFD, AT_FDCWD);
    leaveTempDir();
}

namespace {
long long fakeMonoMs = 0;
int fakeMono(clockid_t id, timespec *ts) {
    if (id != CLOCK_MONOTONIC) return clock_gettime(id, ts);
    ts->tv_sec = fakeMonoMs / 1000;
    ts->tv_nsec = fakeMonoMs % 1000 * 1000000;
    return 0;
}
int dataSyncs = 0, dirSyncs = 0;
int countData(int) { return ++dataSyncs, 0; }
int countDir(int) { return ++dirSyncs, 0; }

struct SyncCounter {
    SyncCounter(int seconds) {
        useFakeClock();
        gClockSpec = fakeMono;
        gSyncData = countData;
        gSyncDir = countDir;
        gLogSyncSeconds = seconds;
        fakeMonoMs = 1000000;
        dataSyncs = dirSyncs = 0;
    }
    ~SyncCounter() {
        gClockSpec = clock_gettime;
        gSyncData = fdatasync;
        gSyncDir = fsync;
        gLogSyncSeconds = 1;
    }
};
}  // namespace

// Busy: at most one sync per interval; idle: none; the end: one when lines
// are unsynced. Each step: time passes (ms), lines come one every 100 ms
// meanwhile, and the syncs counted so far.
TEST(LogSync, SyncsOnlyWhatWasWrittenAtMostOncePerInterval) {
    struct Step {
        int ms, lines, syncs;
    };
    struct Case {
        int seconds;
        std::vector<Step> steps;
        int atEnd;  // syncs after stopLog
    };
    const Case cases[] = {
        {1, {{5000, 0, 0}, {100, 1, 0}, {900, 0, 0}, {100, 0, 1}, {60000, 0, 1}}, 1},
        {1, {{3000, 30, 2}, {50, 0, 2}, {1000, 0, 3}, {30000, 0, 3}}, 3},
        {1, {{2000, 20, 1}, {300, 3, 2}}, 3},  // the end syncs what is pending
        {5, {{12000, 120, 2}, {4000, 0, 3}}, 3},
        {0, {{1000, 10, 10}, {5000, 0, 10}}, 10},
    };
    for (const Case &c : cases) {
        SyncCounter counter(c.seconds);
        enterTempDir();
        captureStart();
        startLog();
        EXPECT_EQ(dirSyncs, 1) << "the new file's directory entry";
        int step = 0;
        for (const Step &s : c.steps) {
            for (int t = 0; t < s.ms; t += 50) {
                fakeMonoMs += 50;
                if (s.lines && (t + 50) % (s.ms / s.lines) == 0) {
                    makeLog("PM2.5=7", 7);
                    flushLog();
                }
                syncLogIfDue();
            }
            EXPECT_EQ(dataSyncs, s.syncs) << "interval " << c.seconds << " s, step " << step;
            ++step;
        }
        stopLog();
        captureStop();
        EXPECT_EQ(dataSyncs, c.atEnd) << "interval " << c.seconds << " s, at the end";
        leaveTempDir();
    }
}

namespace {
bool diskFails = false;
int failingData(int) {
    ++dataSyncs;
    errno = EIO;
    return diskFails ? -1 : 0;
}
}  // namespace

// A failed sync leaves the log to sync: tried again an interval on (with
// none, at the next line), never sooner, however often it fails; --status
// says since when; the failure and the recovery are said once each.
TEST(LogSync, AFailedSyncIsTriedAgainAndShownUntilOneWorks) {
    for (int seconds : {1, 5, 0}) {
        SyncCounter counter(seconds);
        gSyncData = failingData;
        diskFails = true;
        std::string dir = enterTempDir();
        captureStart();
        startLog();
        // The next try: an interval on, or the next line.
        auto nextTry = [&] {
            if (seconds == 0) return makeLog("PM2.5=7", 7), flushLog();
            EXPECT_EQ(logSyncWaitMs(), seconds * 1000) << "no spin after a failure";
            fakeMonoMs += seconds * 1000 - 1;
            syncLogIfDue();
            fakeMonoMs += 1;
            syncLogIfDue();
        };
        makeLog("PM2.5=7", 7);
        flushLog();
        if (seconds) {
            fakeMonoMs += seconds * 1000;
            syncLogIfDue();
        }
        for (int tries = 1; tries <= 3; ++tries) {
            EXPECT_EQ(dataSyncs, tries) << seconds << " s";
            EXPECT_STREQ(logNotOnDiskSince(), "04:18:16");
            EXPECT_EQ(logSyncWaitMs(), seconds ? seconds * 1000 : -1) << seconds << " s";
            fakeNow += 60;  // the time shown stays the first failure's
            if (tries == 3) diskFails = false;
            nextTry();
        }
        EXPECT_EQ(dataSyncs, 4) << seconds << " s";
        EXPECT_STREQ(logNotOnDiskSince(), "");
        EXPECT_EQ(logSyncWaitMs(), -1);
        stopLog();
        EXPECT_EQ(captureStop(), "Local logging file : " + dir + "\\kestrode-20261206.log\r\n" +
                                     "> log sync failed (Input/output error), readings may be "
                                     "lost at a power cut\n"
                                     "> log sync works again, 3 syncs had failed\n");
        fakeNow -= 180;
        leaveTempDir();
    }
}

// A log a power cut damaged: NULs after the last line end are cut, a torn
// last line is ended; each said once, the fragment's bytes kept.
TEST(LogFile, ATornEndIsMendedOnceAndSaid) {
    const std::string torn = "> the log's last line was torn (a power cut), ended with a line end\n";
    struct Case {
        std::string before, after, said;
    };
    auto zeros = [](int n) { return std::string(n, '\0'); };
    auto nulNote = [&](int n) {
        return "> " + std::to_string(n) + " NUL bytes at the end of the log (a power cut) were cut off\n";
    };
    const Case cases[] = {
        {"a\r\r\n" + zeros(3970), "a\r\r\n", nulNote(3970)},
        {"a\r\n" + zeros(9000), "a\r\n", nulNote(9000)},  // over more than one block
        {"a\r\nPM2.5=1", "a\r\nPM2.5=1\r\n", torn},
        {"a\r\nPM2" + zeros(91), "a\r\nPM2\r\n", nulNote(91) + torn},
        {zeros(4096), "", nulNote(4096)},
        {"a\r\n", "a\r\n", ""},
        {std::string("x\0y\r\nPM", 7), std::string("x\0y\r\nPM\r\n", 9), torn},  // NULs inside lines are the instrument's
    };
    for (const Case &c : cases) {
        SyncCounter counter(1);
        std::string dir = enterTempDir();
        writeFile("kestrode-20261206.log", c.before);
        std::string announce = "Local logging file : " + dir + "\\kestrode-20261206.log\r\n";
        for (int run = 0; run < 2; ++run) {  // the second start finds nothing to mend
            captureStart();
            startLog();
            makeLog("new", 3);
            stopLog();
            EXPECT_EQ(captureStop(), announce + (run ? "" : c.said)) << c.after;
        }
        EXPECT_EQ(readFile("kestrode-20261206.log"), c.after + "new\r\nnew\r\n");
        EXPECT_EQ(dataSyncs, c.said.empty() ? 2 : 3) << "the mended end reaches the disk at once";
        leaveTempDir();
    }
}

// An administrator's link at the log's name, to a file on another disk: the
// file behind it is mended, the link stays a link.
TEST(LogFile, ATornEndBehindALinkIsMended) {
    SyncCounter counter(1);
    std::string dir = enterTempDir();
    mkdir("elsewhere", 0755);
    writeFile("elsewhere/air.log", "a\r\nPM2.5=1");
    ASSERT_EQ(symlink("elsewhere/air.log", "kestrode-20261206.log"), 0);
    captureStart();
    startLog();
    makeLog("new", 3);
    stopLog();
    EXPECT_EQ(captureStop(), "Local logging file : " + dir + "\\kestrode-20261206.log\r\n" +
                                 "> the log's last line was torn (a power cut), ended with a line end\n");
    EXPECT_EQ(readFile("elsewhere/air.log"), "a\r\nPM2.5=1\r\nnew\r\n");
    struct stat st;
    EXPECT_TRUE(lstat("kestrode-20261206.log", &st) == 0 && S_ISLNK(st.st_mode));
    leaveTempDir();
}

TEST(LogFile, ALogDirectoryInMemoryIsSaid) {
    useFakeClock();
    struct Case {
        long type;
        bool said;
    } cases[] = {{0xEF53, false}, {0x01021994, true}, {0x858458f6, true}, {0x9123683E, false}};
    for (const Case &c : cases) {
        static long type;
        type = c.type;
        gFileSystemOf = [](int) { return type; };
        std::string dir = enterTempDir();
        captureStart();
        startLog();
        stopLog();
        std::string said = "> the log directory " + dir +
                           " is in memory: readings will not survive a power cut\n";
        EXPECT_EQ(captureStop().find(said) != std::string::npos, c.said) << std::hex << c.type;
        leaveTempDir();
    }
    gFileSystemOf = onDisk;
}
