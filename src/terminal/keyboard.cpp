// Collecting typed lines and sending them to the instrument.
#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>

#include "terminal/terminal.h"

static constexpr int TYPED_MAX = 252;
// End of input this many times in a row, with nothing typed between, is a
// terminal that is gone rather than a user pressing ^D.
static constexpr int EOF_IN_A_ROW = 50;
bool gbStdinOpen = true;

static void sendTyped(char *line, int pos) {
    line[pos - 1] = '\r';
    line[pos] = '\n';
    line[pos + 1] = '\0';
    if (writePort(line, pos + 1) < 0) printf("> terminal write failed\n");
}

static void endLine(char *line, int pos) {
    if (gSession.typedLine && gSession.typedLine(line, pos)) return;
    gbFirstChar = true;
    line[pos - 1] = '\0';
    if (gSession.refuseTyped && gSession.refuseTyped(line)) return;
    if (pos == 1) {
        if (writePort("\r", 1) < 0) printf("> terminal write failed\n");
    } else if (line[0] == '@') {
        runCommand(line);
        drainHeldInput();  // an upload may leave instrument output behind
    } else {
        sendTyped(line, pos);
    }
}

// Not ours while another process group is in the terminal's foreground
// (started with "&", or after ^Z and "bg"). No answer means no terminal or
// one that hung up: reading shows which.
// Asked once; a plain static, as a guarded one would pull in the C++
// runtime library and double the program's resident size.
static int terminal = -1;
static bool front = false;  // the last answer

static bool askForeground() {
    gContinued = 0;
    pid_t group = tcgetpgrp(0);
    front = group < 0 || group == getpgrp();
    return front;
}

// A foreground answer stands until it may have changed: a job is moved by
// SIGCONT ("fg", "bg"), and a terminal taken away without one refuses the
// next read (EIO, as SIGTTIN is ignored), which asks again. Two system calls
// at every pass of the loop saved; in the background it is asked each time.
bool keyboardInForeground() {
    if (terminal < 0) terminal = isatty(0);
    if (!terminal) return true;
    return (front && !gContinued) || askForeground();
}

// A hung-up terminal reports POLLHUP; ^D on a live one does not.
static bool terminalGone() {
    pollfd p{0, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

// On a terminal, end of input is one ^D and reading goes on. Elsewhere (a
// file, a pipe, /dev/null) it is final; stdin would then be readable for
// ever, so it is no longer watched and the instrument is served alone.
static bool inputEnded(ssize_t n, int *eofs) {
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return false;
    // Sent to the background between the check and the read (SIGTTIN is
    // ignored, so the read fails instead of stopping the program).
    if (n < 0 && errno == EIO && !askForeground()) return false;
    if (n == 0 && isatty(0) && ++*eofs < EOF_IN_A_ROW && !terminalGone()) return false;
    gbStdinOpen = false;
    return n == 0 && !isatty(0);
}

static void noteCut(int dropped) {
    if (dropped > 0)
        printf("> typed line cut to %d characters, %d dropped\n", TYPED_MAX, dropped);
}

void process_stdin() {
    static char line[LINE_SIZE];
    static int pos = 0;
    static int dropped = 0;  // characters past the limit in this line
    static int eofs = 0;     // ends of input in a row
    char c;
    ssize_t n = read(0, &c, 1);
    if (n <= 0) {
        // A last line without its line end still counts as a line.
        if (!inputEnded(n, &eofs) || pos == 0) return;
        c = '\n';
    } else {
        eofs = 0;
    }
    bool lineEnd = c == '\r' || c == '\n';
    if (pos == TYPED_MAX && !lineEnd) {
        ++dropped;
        return;
    }
    line[pos++] = c;
    if (!lineEnd) return;
    int len = pos, cut = dropped;
    pos = dropped = 0;
    endLine(line, len);
    noteCut(cut);
}
