// Writing the log in whole lines. Lines collect in a buffer of our own and
// go out with one write per serial read; stdio's buffer would, on a full
// disk, drop lines silently and leave half a line for the next to be glued
// onto. A write that fails part-way is cut back to its last whole line.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "clocklog/clocklog.h"
#include "base/base.h"

static constexpr int LOG_BUFFER = 4096;

static char pending[LOG_BUFFER];
static int pendingLen = 0;
static int pendingLines = 0;
static long notLogged = 0;  // lines lost since writing started failing
static bool failing = false;
static long lostInRun = 0;
static long loggedToday = 0;
static long long loggedDay = -1;  // the local date loggedToday counts

// The local date, worked out once a second at most: writes come at every
// serial read. Any clock is counted, one a year 10^9 ahead too.
static long long dayOf(time_t t) {
    struct tm tmv {};
    localtime_r(&t, &tmv);
    return (long long)tmv.tm_year * 400 + tmv.tm_yday;
}

static long long today() {
    static time_t at = -1;
    static long long day = 0;
    time_t now = gClock(nullptr);
    if (now != at) day = dayOf(now);
    at = now;
    return day;
}

// Counted as they reach the file, by the date of the write: the figure a
// look at today's file would give.
static void countLogged(int lines) {
    long long day = today();
    if (day != loggedDay) loggedToday = 0;
    loggedDay = day;
    loggedToday += lines;
}

// The day's file held these already (earlier runs of that day): the count
// goes on from them.
void countEarlierLines(time_t fileDay, long lines) {
    loggedDay = dayOf(fileDay);
    loggedToday = lines;
}

long linesLoggedToday() { return today() == loggedDay ? loggedToday : 0; }
long linesNotLogged() { return lostInRun; }

void makeLog(const char *text, int len) {
    if (gbLogDaily) moveLogIfNewDay();
    if (!gpLogFile) return;
    int stamp = gbLogTime ? LOG_STAMP_SIZE : 0;
    if (pendingLen + stamp + len + 2 > LOG_BUFFER) flushLog();
    if (stamp + len + 2 > LOG_BUFFER) len = LOG_BUFFER - stamp - 2;
    if (stamp) pendingLen += formatLogStamp(pending + pendingLen);
    memcpy(pending + pendingLen, text, len);
    memcpy(pending + pendingLen + len, "\r\n", 2);
    pendingLen += len + 2;
    ++pendingLines;
}

// Writes the buffer; returns the bytes written, with errno set when short.
static int writePending(int fd) {
    int done = 0;
    while (done < pendingLen) {
        ssize_t n = write(fd, pending + done, pendingLen - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            break;
        }
        done += (int)n;
    }
    return done;
}

static void cutTornEnd(int fd, int torn) {
    struct stat st;
    if (torn == 0 || fstat(fd, &st) != 0) return;
    if (ftruncate(fd, st.st_size - torn) != 0) return;  // refused too: the end stays torn
}

// After a short write: the whole lines that reached the file stay, the torn
// rest of the last one is cut off again; returns how many stayed.
static int keepWholeLines(int fd, int done) {
    int lines = 0, whole = 0;
    for (int i = 0; i < done; ++i)
        if (pending[i] == '\n') {
            ++lines;
            whole = i + 1;
        }
    cutTornEnd(fd, done - whole);
    return lines;
}

void flushLog() {
    if (!gpLogFile || pendingLen == 0) return;
    int fd = fileno(gpLogFile);
    int done = writePending(fd);
    if (done > 0) noteLogWritten();
    if (done == pendingLen) {
        countLogged(pendingLines);
        if (failing) printNotice("> logging works again, %ld lines were not logged\n", notLogged);
        failing = false;
        notLogged = 0;
    } else {
        int err = errno;
        int kept = keepWholeLines(fd, done);
        countLogged(kept);
        notLogged += pendingLines - kept;
        lostInRun += pendingLines - kept;
        if (!failing)
            printError("> log write failed (%s), lines are lost until it works again\n",
                        strerror(err));
        failing = true;
    }
    pendingLen = pendingLines = 0;
}
