// The dated log file and the instrument clock's sync rule.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "clocklog/clocklog.h"
#include "support.h"
#include "terminal/terminal.h"

namespace {
time_t fakeNow = 1796530696;  // 2026-12-06 04:18:16 UTC
time_t fakeClock(time_t *t) {
    if (t) *t = fakeNow;
    return fakeNow;
}
void useFakeClock() {
    setenv("TZ", "UTC", 1);
    tzset();
    gClock = fakeClock;
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
    enterTempDir();
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
    EXPECT_EQ(captureStop(), "creating log file kestrode-20261206(99).log failed\r\n");
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
