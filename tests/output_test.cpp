// Instrument output: echo, line assembly, prompts, classification, timestamps.
#include <gtest/gtest.h>
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

struct Session {
    Pty pty;
    std::string dir;
};

Session begin() {
    Session s;
    setenv("TZ", "UTC", 1);
    tzset();
    gClock = fakeClock;
    gbShowTime = false;
    gbFirstChar = true;
    gbRun = true;
    s.pty = openPty();
    gTermFD = s.pty.slave;
    s.dir = enterTempDir();
    startLog();
    gSyncTime = fakeNow;  // no time line unless a test wants one
    return s;
}

std::string logText() {
    fflush(gpLogFile);
    return readFile("kestrode-20261206.log");
}

std::string feed(const std::string &bytes) {
    captureStart();
    handleTermBytes(bytes.data(), (int)bytes.size());
    return captureStop();
}
}  // namespace

TEST(InstrumentOutput, EchoesAndLogsLinesWithTheirCarriageReturn) {
    Session s = begin();
    EXPECT_EQ(feed("hello\r\n"), "hello\r\n");
    EXPECT_EQ(feed("\n"), "\n");                  // lone LF: shown, not logged
    EXPECT_EQ(feed("\r\n"), "\r\n");              // a lone CR is logged
    EXPECT_EQ(feed("@ACK\r\n"), "");              // "@" lines are never shown
    EXPECT_EQ(feed("T=23.5\r\nab"), "T=23.5\r\nab");
    EXPECT_EQ(feed("c\n"), "c\n");                // a line may span reads
    std::string nul("P\0M=4\r\n", 7);
    EXPECT_EQ(feed(nul), nul);                    // every byte, NUL included
    EXPECT_EQ(logText(), "hello\r\r\n\r\r\n@ACK\r\r\nT=23.5\r\r\nabc\r\n" +
                             std::string("P\0M=4\r\r\n", 8));
    closePty(s.pty);
}

TEST(InstrumentOutput, LineLimitsAt252And253Bytes) {
    Session s = begin();
    std::string ok(252, 'a'), tooLong(253, 'b');
    EXPECT_EQ(feed(ok + "\n"), ok + "\n");
    EXPECT_EQ(feed(tooLong + "\n"), tooLong + "\n");
    std::string runaway(300, 'c');
    EXPECT_EQ(feed(runaway + "\nok\n"), runaway + "\nok\n");
    // Carriage returns never end a line, yet cannot overrun the buffer.
    std::string crs(400, '\r');
    EXPECT_EQ(feed("d" + crs + "\nafter\n"), "d" + crs + "\nafter\n");
    // What follows an abandoned line starts a new one.
    EXPECT_EQ(logText(), ok + "\r\n" + std::string(46, 'c') + "\r\n" + "ok\r\n" +
                             std::string(144, '\r') + "\r\n" + "after\r\n");
    closePty(s.pty);
}

TEST(InstrumentOutput, TimestampsStartEveryConsoleLine) {
    Session s = begin();
    gbShowTime = true;
    gbFirstChar = true;
    EXPECT_EQ(feed("OK\r\n"), "2026.12.06 04:18:16 OK\r\n");
    EXPECT_EQ(feed("@ACK\r\n"), "2026.12.06 04:18:16 ");
    // An abandoned line puts the next timestamp in the middle of the text.
    std::string out = feed(std::string(300, 'x'));
    EXPECT_EQ(out, "2026.12.06 04:18:16 " + std::string(254, 'x') + "2026.12.06 04:18:16 " + std::string(46, 'x'));
    closePty(s.pty);
}

TEST(InstrumentOutput, PromptsAreFlushedAtOnce) {
    Session s = begin();
    for (const char *prompt : {"$ ", "# "}) {
        int pipefd[2];
        ASSERT_EQ(pipe(pipefd), 0);
        fflush(stdout);
        int saved = dup(1);
        dup2(pipefd[1], 1);
        handleTermBytes(prompt, 2);
        // Read before restoring stdout: the prompt must already be out.
        std::string got = readQuiet(pipefd[0], 50);
        dup2(saved, 1);
        close(saved);
        close(pipefd[0]);
        close(pipefd[1]);
        EXPECT_EQ(got, prompt);
        captureStart();
        handleTermBytes("\n", 1);
        captureStop();
    }
    closePty(s.pty);
}

TEST(InstrumentOutput, BannerSetsTheClockAndIsNotLogged) {
    Session s = begin();
    gSyncTime = 0;
    feed("# OLM-inside Air Monitor\r\n");
    std::string sent = readQuiet(s.pty.master, 100);
    EXPECT_EQ(sent, "settime 1796530696\r\nsettime 1796530696\r\n");
    feed("# OLM-inside Air Monitor v2\r\n");  // banner again: sent once more
    EXPECT_EQ(readQuiet(s.pty.master, 100), "settime 1796530696\r\n");
    EXPECT_EQ(logText(), "");
    closePty(s.pty);
}

TEST(InstrumentOutput, NoticesNeverSplitAnInstrumentLine) {
    Session s = begin();
    FILE *log = gpLogFile;
    gpLogFile = fopen("/dev/full", "w");  // every log write fails
    ASSERT_NE(gpLogFile, nullptr);
    // The read ends inside a line: the notice waits for its end.
    EXPECT_EQ(feed("T=1\r\nT=21.5 H=4"), "T=1\r\nT=21.5 H=4");
    EXPECT_EQ(feed("0 CO2=800\r\n"),
              "0 CO2=800\r\n> log write failed (No space left on device), lines are lost until "
              "it works again\n");
    fclose(gpLogFile);
    gpLogFile = log;
    // With timestamps, a line without its end yet: held, then on a fresh line
    // when the instrument stays silent, and the line goes on below it.
    gbShowTime = true;
    EXPECT_EQ(feed("P=1\r\n$ "), "2026.12.06 04:18:16 P=1\r\n2026.12.06 04:18:16 $ ");
    captureStart();
    showHeldNotices(false);
    EXPECT_EQ(captureStop(), "");
    captureStart();
    showHeldNotices(true);
    EXPECT_EQ(captureStop(), "\n> logging works again, 2 lines were not logged\n");
    EXPECT_EQ(feed("ls\r\n"), "2026.12.06 04:18:16 ls\r\n");
    // Lost: held too, shown at the shutdown.
    EXPECT_EQ(feed("half"), "2026.12.06 04:18:16 half");
    close(s.pty.master);
    s.pty.master = -1;
    captureStart();
    process_term(gTermFD);
    showHeldNotices(true);
    EXPECT_EQ(captureStop(), "\n> serial device lost, shutting down\n");
    EXPECT_EQ(logText(), "P=1\r\r\n$ ls\r\r\n");
    closePty(s.pty);
}

TEST(InstrumentOutput, HangUpEndsTheRunWithANotice) {
    Session s = begin();
    close(s.pty.master);
    s.pty.master = -1;
    captureStart();
    process_term(gTermFD);
    std::string out = captureStop();
    EXPECT_FALSE(gbRun);
    EXPECT_EQ(out.rfind("> ", 0), 0u) << out;
    EXPECT_NE(out.find("lost"), std::string::npos) << out;
    closePty(s.pty);
}
