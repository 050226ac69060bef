// kestrode --attach PORT --send LINE | --fetch NAME | --put FILE: one errand
// of a script through the logging service, with no terminal. It attaches as
// a console, so the service's journal records its user, its line and its
// transfer as any console's. Every phase has its limit; the exit status
// says how it went. Standard output carries the instrument's answer alone:
// every notice goes to standard error.
#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "clocklog/clocklog.h"
#include "share/share.h"
#include "port/port.h"

static constexpr int GREETING_SECONDS = 15;  // as a console waits for it
// The port lent, or the instrument's refusal: the service gives the
// instrument 10 s to offer a file.
static constexpr int GRANT_SECONDS = 15;

static int answerFD = -1;  // the script's standard output
static const char *until = nullptr;
static int untilLen = 0;
static char tail[LINE_SIZE];  // the answer's last bytes, to find `until` in
static int tailLen = 0;
static bool found = false;
static int refusal = 0;  // the status a notice of the service settled: busy, failed

static char lastWritten = '\n';  // an answer that stops mid-line gets its end

static void writeAnswer(const char *buf, int len) {
    if (len > 0) lastWritten = buf[len - 1];
    while (len > 0) {
        ssize_t n = write(answerFD, buf, len);
        if (n <= 0) return;  // a reader gone: the errand goes on, its status says how
        buf += n;
        len -= (int)n;
    }
}

static bool endsWithUntil(char ch) {
    if (tailLen == untilLen) memmove(tail, tail + 1, --tailLen);
    tail[tailLen++] = ch;
    return tailLen == untilLen && memcmp(tail, until, untilLen) == 0;
}

// The instrument's bytes as they came, its CRs left out, up to the end of
// `until` once it comes.
static void answer(const char *buf, int len) {
    static char out[8192];
    int n = 0;
    for (int k = 0; k < len && !found; ++k) {
        if (buf[k] == '\r') continue;
        out[n++] = buf[k];
        found = until && endsWithUntil(buf[k]);
        if (n == (int)sizeof out) {
            writeAnswer(out, n);
            n = 0;
        }
    }
    writeAnswer(out, n);
}

static bool startsWith(const char *text, int len, const char *word) {
    int n = (int)strlen(word);
    return len >= n && memcmp(text, word, n) == 0;
}

// The service's refusals of this console's line or transfer, by their
// words after the "> ".
static void noticed(const char *text, int len) {
    static const char *const busy[] = {"the keyboard is held by ", "a transfer runs (",
                                       "the serial port is not open now"};
    static const char *const failed[] = {"the transfer failed: ", "the instrument sent no ",
                                          "command error (", "@upload not started"};
    if (!startsWith(text, len, "> ")) return;
    text += 2;
    len -= 2;
    for (const char *b : busy)
        if (startsWith(text, len, b)) refusal = EXIT_BUSY;
    for (const char *f : failed)
        if (startsWith(text, len, f)) refusal = 1;
}

static bool answered() { return found || refusal != 0; }
static bool transferred() { return borrowOutcome() >= 0 || refusal != 0; }

// The service's frames until `done`, the end of the connection or `seconds`;
// false on a terminating signal.
static bool serve(int fd, int seconds, bool (*done)()) {
    timespec end = monotonicNow();
    end.tv_sec += seconds;
    while (gbRun && !done()) {
        fflush(stdout);
        long long left = msBetween(monotonicNow(), end);
        if (left <= 0) return true;
        pollfd p = {fd, POLLIN, 0};
        int r = waitInputMs(&p, 1, (int)left);
        if (r < 0 && gSignal) return false;
        if (r > 0) readAttached(fd);
    }
    return true;
}

// What the connection's end means for the errand: turned away or lost (1),
// the service gone (nobody answers any longer).
static int endedStatus() { return attachedStatus() == 1 ? 1 : EXIT_NOBODY; }

static int sendLine(int fd, const ScriptErrand &e) {
    until = e.until;
    untilLen = until ? (int)strlen(until) : 0;
    sendAttachedLine(e.send, (int)strlen(e.send));
    bool served = serve(fd, e.seconds, answered);
    if (lastWritten != '\n') writeAnswer("\n", 1);  // as a shell's capture and a terminal expect
    if (!served) return 1;
    if (refusal) return refusal;
    if (!gbRun && !found) return endedStatus();
    if (until && !found) printf("> %s did not come within %d s\n", until, e.seconds);
    return until && !found ? 1 : 0;
}

static int transfer(int fd, const ScriptErrand &e) {
    char line[LINE_SIZE];
    snprintf(line, sizeof line, "%s %s", e.fetch ? "@download" : "@upload",
             e.fetch ? e.fetch : e.put);
    forgetBorrow();
    if (!borrowCommand(line)) return 1;  // said why
    if (!serve(fd, GRANT_SECONDS, transferred)) return 1;
    if (borrowOutcome() >= 0) return borrowOutcome() == 1 ? 0 : 1;
    if (refusal) return refusal;
    if (!gbRun) return endedStatus();
    printf("> the kestrode lent no port for %s within %d s\n", line, GRANT_SECONDS);
    return 1;
}

static int runErrand(const char *target, const ScriptErrand &e) {
    char path[PATH_MAX];
    int fd = attachTo(target, path, sizeof path);
    if (fd < 0) return unreachedStatus(errno);
    gTermFD = fd;
    startServiceBytes(answer);
    watchServiceNotices(noticed);
    installSignals();
    int first = awaitFirstFrame(fd, GREETING_SECONDS);
    int status = 1;
    if (first == 0) {
        cannotAttach(path, "no greeting within 15 s");
        status = EXIT_NOBODY;
    } else if (first > 0 && !gbRun) {
        status = endedStatus();
    } else if (first > 0) {
        status = e.send ? sendLine(fd, e) : transfer(fd, e);
    }
    close(fd);  // the service records the detach
    gTermFD = -1;
    return status;
}

// Notices go where standard output went only through printf: it is made
// standard error for the errand, the answer keeps the real one.
int scriptMain(const char *target, const ScriptErrand &e) {
    fflush(stdout);
    answerFD = dup(STDOUT_FILENO);
    if (answerFD < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) return 1;
    int status = runErrand(target, e);
    fflush(stdout);
    close(answerFD);
    endBySignal();
    return status;
}
