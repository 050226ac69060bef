// The event loop's bounded waits, once the signals are installed: their
// limits are kept in one interval timer that is not set again at every wait.
#include <errno.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <thread>

#include "support.h"
#include "base/base.h"

namespace {
// Writes `byte` to fd once `ms` passed, or at once when told to go.
struct LateWriter {
    int go[2] = {-1, -1};
    std::thread t;
    LateWriter(int fd, char byte, int ms) {
        EXPECT_EQ(pipe(go), 0);
        t = std::thread([this, fd, byte, ms] {
            pollfd p{go[0], POLLIN, 0};
            poll(&p, 1, ms);
            EXPECT_EQ(write(fd, &byte, 1), 1);
        });
    }
    ~LateWriter() {
        EXPECT_EQ(write(go[1], "", 1), 1);
        t.join();
        close(go[0]);
        close(go[1]);
    }
};

int waitOn(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return waitInputMs(&p, 1, ms);
}

void drain(int fd) {
    char buf[16];
    EXPECT_GT(read(fd, buf, sizeof buf), 0);
}
}  // namespace

// A wait ends at input, at its own limit or at a caught signal; never at
// a timer set for an earlier wait, be it sooner or later than its limit.
TEST(Wait, EndsAtInputItsLimitOrASignalOnly) {
    const int touched[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCONT, SIGALRM, SIGTTIN};
    struct sigaction actions[7];
    for (int k = 0; k < 7; ++k) sigaction(touched[k], nullptr, &actions[k]);
    sigset_t before;
    sigprocmask(SIG_SETMASK, nullptr, &before);
    installSignals();  // threads started from here on block them too
    int p[2];
    ASSERT_EQ(pipe(p), 0);

    EXPECT_EQ(waitOn(p[0], 20), 0) << "nothing to read: its limit";
    EXPECT_EQ(waitOn(p[0], 0), 0) << "no limit at all: a look";
    writeAll(p[1], "a");
    EXPECT_EQ(waitOn(p[0], 0), 1);
    EXPECT_EQ(waitOn(p[0], 50), 1) << "input at once; its 50 ms timer stays set";
    drain(p[0]);
    {
        LateWriter later(p[1], 'b', 400);  // after that timer has rung
        EXPECT_EQ(waitOn(p[0], 60000), 1) << "ended by an earlier wait's timer";
    }
    drain(p[0]);
    writeAll(p[1], "c");
    EXPECT_EQ(waitOn(p[0], 60000), 1) << "input at once; its 60 s timer stays set";
    drain(p[0]);
    {
        LateWriter watchdog(p[1], 'd', 20000);
        EXPECT_EQ(waitOn(p[0], 30), 0) << "held to an earlier wait's later timer";
    }
    drain(p[0]);

    kill(getpid(), SIGCONT);
    errno = 0;
    EXPECT_EQ(waitOn(p[0], 60000), -1) << "SIGCONT ends it";
    EXPECT_EQ(errno, EINTR);
    kill(getpid(), SIGTERM);
    EXPECT_EQ(waitOn(p[0], 60000), -1) << "a terminating signal ends it";
    EXPECT_EQ(gSignal, SIGTERM);
    gSignal = 0;

    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigprocmask(SIG_SETMASK, &before, nullptr);
    for (int k = 0; k < 7; ++k) sigaction(touched[k], &actions[k], nullptr);
    gContinued = 0;
    close(p[0]);
    close(p[1]);
}
