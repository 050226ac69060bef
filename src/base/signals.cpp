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
#include <time.h>
#include <unistd.h>

#include <cstdio>

#include "base/base.h"


static const int TERMINATING[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
static sigset_t waitMask;     // the mask while waiting: the caught ones let in
static bool installed = false;

volatile sig_atomic_t gContinued = 0;

static void onSignal(int signo) { gSignal = signo; }
static void onContinue(int) { gContinued = 1; }

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
    signal(SIGTTIN, SIG_IGN);
    sigprocmask(SIG_BLOCK, &caught, &waitMask);
    for (int signo : TERMINATING)
        if (sigismember(&caught, signo)) sigdelset(&waitMask, signo);
    sigdelset(&waitMask, SIGCONT);
    installed = true;
}

int waitInput(pollfd *fds, int count, int seconds) { return waitInputMs(fds, count, seconds * 1000); }

int waitInputMs(pollfd *fds, int count, int ms) {
    if (gSignal) {
        errno = EINTR;
        return -1;
    }
    timespec limit{ms / 1000, ms % 1000 * 1000000L};
    return ppoll(fds, count, &limit, installed ? &waitMask : nullptr);
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
