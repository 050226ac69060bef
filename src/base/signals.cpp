// Ending cleanly on SIGINT, SIGTERM, SIGHUP and SIGPIPE. The signals stay
// blocked except inside waitInput, so the flag is only ever set while
// something waits, and the wait sees it at once instead of after its time
// limit. A console pipe whose reader quit (`kestrode DEV | head`) thus
// costs no line and no transfer: the write that finds it gone returns
// EPIPE, the line is still logged, and the SIGPIPE it raised ends the run
// at the next wait.
// SIGCONT ends a wait too, so that a job brought to the foreground reads
// its keyboard at once (gContinued: the keyboard asks again whose the
// terminal is). SIGTTIN is ignored, as SIGTTOU is from the start
// (run.cpp): a program stopped in the background would log nothing and could
// not be ended by SIGTERM.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

#include "base/base.h"


static const int TERMINATING[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
static sigset_t waitMask;     // the mask while waiting: the caught ones let in
static bool installed = false;

volatile sig_atomic_t gContinued = 0;
static volatile sig_atomic_t woken = 0;  // by a signal other than the timer's
static volatile sig_atomic_t armed = 0;  // the timer is set and has not rung

static void onSignal(int signo) {
    gSignal = signo;
    woken = 1;
}
static void onContinue(int) {
    gContinued = 1;
    woken = 1;
}
static void onAlarm(int) { armed = 0; }

// Caught like the terminating ones but only to end the wait.
static void catchContinue(sigset_t *caught) {
    struct sigaction sa {};
    sa.sa_handler = onContinue;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGCONT, &sa, nullptr);
    sigaddset(caught, SIGCONT);
}

void installSignals() {
    sigset_t caught;
    sigemptyset(&caught);
    for (int signo : TERMINATING) {
        struct sigaction old;
        // Ignored at start (nohup): the user asked for that, so it stays.
        if (sigaction(signo, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        struct sigaction sa {};
        sa.sa_handler = onSignal;
        sigemptyset(&sa.sa_mask);
        sigaction(signo, &sa, nullptr);  // no SA_RESTART: waits must end
        sigaddset(&caught, signo);
    }
    catchContinue(&caught);
    struct sigaction alarm {};
    alarm.sa_handler = onAlarm;
    sigemptyset(&alarm.sa_mask);
    sigaction(SIGALRM, &alarm, nullptr);
    sigaddset(&caught, SIGALRM);
    signal(SIGTTIN, SIG_IGN);
    sigprocmask(SIG_BLOCK, &caught, &waitMask);
    for (int signo : TERMINATING)
        if (sigismember(&caught, signo)) sigdelset(&waitMask, signo);
    sigdelset(&waitMask, SIGCONT);
    sigdelset(&waitMask, SIGALRM);
    installed = true;
}

int waitInput(pollfd *fds, int count, int seconds) { return waitInputMs(fds, count, seconds * 1000); }

// The waits' time limits. A timer armed and cancelled at every wait cost
// the loop more than anything else it does at the instrument's pace, a few
// bytes every millisecond. So the limit is kept in an interval timer, whose
// SIGALRM gets in only while waiting like the others, and armed again only
// when a wait must end sooner than it is set for; within a millisecond
// counts as in time, as the limits are counted in milliseconds. One that
// rings before a wait's own limit (set for an earlier one) is armed again
// for the rest. Before the signals are installed, ppoll keeps the limit.
static constexpr long long NS = 1000000000, SLACK_NS = 1000000;
static long long ringsAt;  // ns on the monotonic clock

static long long nsNow() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * NS + t.tv_nsec;
}

static bool armFor(long long end, long long now) {
    long long us = (end - now + 999) / 1000;  // rounded up: never 0, which disarms
    itimerval v{};
    v.it_value.tv_sec = us / 1000000;
    v.it_value.tv_usec = us % 1000000;
    armed = 1;
    ringsAt = end;
    if (setitimer(ITIMER_REAL, &v, nullptr) == 0) return true;
    armed = 0;
    return false;
}

static int waitUntil(pollfd *fds, int count, long long end) {
    for (;;) {
        long long now = nsNow();
        timespec left{now < end ? (end - now) / NS : 0, now < end ? (end - now) % NS : 0};
        if (now >= end) return ppoll(fds, count, &left, &waitMask);  // a last look
        bool timed = (armed && ringsAt <= end + SLACK_NS) || armFor(end, now);
        woken = 0;
        int r = ppoll(fds, count, timed ? nullptr : &left, &waitMask);
        if (r >= 0 || errno != EINTR || woken) return r;
    }
}

int waitInputMs(pollfd *fds, int count, int ms) {
    if (gSignal) {
        errno = EINTR;
        return -1;
    }
    if (installed) return waitUntil(fds, count, nsNow() + ms * 1000000LL);
    timespec limit{ms / 1000, ms % 1000 * 1000000L};
    return ppoll(fds, count, &limit, nullptr);
}

// Where SIGPIPE is ignored, the console's failed write is the only sign.
// A pipe without a reader polls as an error, a socket without a peer as a
// hang-up; a full disk under a redirected console is neither.
void flushConsole() {
    if (fflush(stdout) == 0 && !ferror(stdout)) return;
    clearerr(stdout);
    pollfd p{1, 0, 0};
    if (poll(&p, 1, 0) == 1 && (p.revents & (POLLERR | POLLHUP)) && !gSignal) gSignal = SIGPIPE;
}

// ^C typed on the user's terminal stops the transfer it came in, not the
// session. Elsewhere (a script, a service) SIGINT still ends the program.
void spendTransferInterrupt() {
    if (gSignal == SIGINT && isatty(0)) gSignal = 0;
}

void endBySignal() {
    int signo = gSignal;
    if (signo == 0) return;
    fflush(stdout);  // the default action does not flush stdio
    signal(signo, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signo);
    raise(signo);  // still blocked: pending until the unblock below
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
}
