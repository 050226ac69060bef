// A console that falls behind, at the level of its buffer: a socket pair
// stands for the console, the test plays the loop (instrument bytes in
// reads of a given size, a flush after each) and the console's reading.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/base.h"
#include "share/share.h"
#include "support.h"

namespace {
timespec fakeMono{};
int fakeClock(clockid_t id, timespec *ts) {
    if (id != CLOCK_MONOTONIC) return clock_gettime(id, ts);
    *ts = fakeMono;
    return 0;
}

struct Frames {
    std::string output, notices;
    int endStatus = -1;
    std::string endText;
};

// Whole frames of what the console has read; what is left waits in `rest`.
void takeFrames(std::string &rest, Frames &f) {
    size_t at = 0;
    while (rest.size() - at >= 3) {
        size_t len = (unsigned char)rest[at + 1] << 8 | (unsigned char)rest[at + 2];
        if (rest.size() - at < 3 + len) break;
        std::string data = rest.substr(at + 3, len);
        if (rest[at] == FRAME_OUTPUT) f.output += data;
        if (rest[at] == FRAME_NOTICE) f.notices += data;
        if (rest[at] == FRAME_END) {
            f.endStatus = (unsigned char)data[0];
            f.endText = data.substr(1);
        }
        at += 3 + len;
    }
    rest.erase(0, at);
}

// The console reads until its socket has nothing more, the loop flushing.
void readAll(int fd, std::string &rest, Frames &f) {
    char buf[65536];
    for (;;) {
        flushShare(true);
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0) break;
        rest.append(buf, n);
    }
    takeFrames(rest, f);
}

struct Console {
    int ends[2] = {-1, -1};
    Console() {
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends), 0);
        gShareFD = 1000;  // sharing: any descriptor will do, none is used
        gClients[0] = ShareClient{};
        gClients[0].fd = ends[0];
        gClients[0].greeted = true;
        snprintf(gClients[0].user, sizeof gClients[0].user, "alice");
        gClients[0].uid = 1001;
        gClockSpec = fakeClock;
        fakeMono = {1000, 0};
    }
    ~Console() {
        if (gClients[0].fd >= 0) dropClient(0);
        close(ends[1]);
        gShareFD = -1;
        gClockSpec = clock_gettime;
    }
};

std::string lines(int from, int to) {
    std::string s;
    char line[32];
    for (int k = from; k < to; ++k) s.append(line, snprintf(line, sizeof line, "line %06d\r\n", k));
    return s;
}

void feed(const std::string &bytes, size_t read) {
    for (size_t at = 0; at < bytes.size(); at += read) {
        std::string part = bytes.substr(at, read);
        shareOutput(part.data(), (int)part.size());
        flushShare(false);
    }
}

// Every line seen whole and in order, the missed ones counted: what it
// saw and what it was told add up to what was sent.
size_t checkWhole(const std::string &output, int total) {
    size_t seen = 0;
    int last = -1;
    for (size_t at = 0; at < output.size(); at += 13, ++seen) {
        int k = -1;
        EXPECT_EQ(sscanf(output.c_str() + at, "line %06d\r\n", &k), 1) << at;
        EXPECT_EQ(output.compare(at, 13, lines(k, k + 1)), 0) << "torn at " << at;
        EXPECT_GT(k, last);
        EXPECT_LT(k, total);
        last = k;
    }
    return seen;
}
}  // namespace

// Reads of 256 bytes, of one line, and of 7 bytes (lines torn across
// reads): the stalled console is never cut off, sees only whole lines, and
// is told once, at a line start, how many it missed; the count adds up.
TEST(SlowConsole, DropsWholeLinesAndSaysHowMany) {
    for (size_t read : {256u, 13u, 7u}) {
        Console c;
        captureStart();
        feed(lines(0, 40000), read);
        ASSERT_EQ(gClients[0].fd, c.ends[0]) << read;  // still attached
        EXPECT_GT(gClients[0].missed, 0) << read;
        std::string rest;
        Frames f;
        readAll(c.ends[1], rest, f);
        feed(lines(40000, 40010), read);  // it reads again: the next lines are its own
        readAll(c.ends[1], rest, f);
        std::string journal = captureStop();
        size_t seen = checkWhole(f.output, 40010);
        EXPECT_TRUE(f.output.ends_with(lines(40000, 40010))) << read;
        long missed = -1;
        EXPECT_EQ(sscanf(f.notices.c_str(),
                         "> %ld lines not shown here while this console was behind; the log has them\n",
                         &missed), 1) << f.notices;
        EXPECT_EQ(std::count(f.notices.begin(), f.notices.end(), '\n'), 1) << f.notices;
        EXPECT_EQ((size_t)missed + seen, 40010u) << read;
        EXPECT_NE(journal.find("> alice (uid 1001) caught up; " + std::to_string(missed) +
                               " lines were not shown there while it was behind\n"),
                  std::string::npos) << journal;
    }
}

// Told only at a line start: caught up while the instrument's line is half
// sent, the console hears of it once that line has ended.
TEST(SlowConsole, ToldOnlyAtALineStart) {
    Console c;
    captureStart();
    feed(lines(0, 30000), 256);
    feed("$ half", 256);  // a prompt: the line is not over
    std::string rest;
    Frames f;
    readAll(c.ends[1], rest, f);
    EXPECT_EQ(f.notices, "");
    EXPECT_EQ(f.output.find("$ half"), std::string::npos);  // dropped with its line
    feed(" done\r\nnext\r\n", 256);
    readAll(c.ends[1], rest, f);
    captureStop();
    EXPECT_NE(f.notices.find(" lines not shown here while"), std::string::npos) << f.notices;
    EXPECT_TRUE(f.output.ends_with("line 029999\r\nnext\r\n") || f.output.ends_with("\r\nnext\r\n"))
        << f.output.substr(f.output.size() - 40);
    EXPECT_EQ(f.output.find("done"), std::string::npos);
}

// A console that reads nothing for 5 minutes while bytes wait is let go;
// its last word reaches it although its socket was full. One that reads,
// however slowly, stays.
TEST(SlowConsole, LetGoOnlyAfterFiveMinutesUnread) {
    const struct {
        int seconds;
        bool readMeanwhile;
        bool letGo;
    } cases[] = {{SHARE_UNREAD - 1, false, false}, {SHARE_UNREAD, false, true}, {SHARE_UNREAD + 60, true, false}};
    for (const auto &k : cases) {
        Console c;
        captureStart();
        feed(lines(0, 30000), 256);
        std::string rest;
        Frames f;
        if (k.readMeanwhile) {
            fakeMono.tv_sec += k.seconds / 2;
            char buf[4096];
            for (ssize_t n; (n = recv(c.ends[1], buf, sizeof buf, MSG_DONTWAIT)) > 0;) rest.append(buf, n);
            flushShare(true);  // it took some: the wait begins again
            feed(lines(30000, 30100), 256);
            fakeMono.tv_sec += k.seconds / 2;
        } else {
            fakeMono.tv_sec += k.seconds;
        }
        EXPECT_GE(shareWaitMs(), 0);
        checkShare();
        std::string journal = captureStop();
        EXPECT_EQ(gClients[0].fd < 0, k.letGo) << k.seconds;
        readAll(c.ends[1], rest, f);
        if (!k.letGo) continue;
        EXPECT_EQ(f.endStatus, END_UNREAD);
        EXPECT_EQ(f.endText, "> this console read nothing for 5 minutes and was let go\n");
        EXPECT_NE(journal.find("> alice (uid 1001) read nothing for 5 minutes and was let go\n"),
                  std::string::npos) << journal;
        checkWhole(f.output, 30000);
    }
}
