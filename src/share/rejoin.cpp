// An attached console outlives its kestrode: when the service stops, loses
// its port or is restarted, the console keeps its terminal and its own
// state and tries the socket again until a kestrode answers there (a new
// service makes the socket anew). A try is one connect that never waits; a
// connection that ends before its greeting was only a try.
#include <unistd.h>

#include <climits>
#include <cstdio>

#include "share/share.h"
#include "port/port.h"

static constexpr int RETRY_MS = 200;      // a restarted service is seen within this
static constexpr int GREETING_MS = 15000;  // as for the first attach

static char port[PATH_MAX];  // as the user named it
static char path[PATH_MAX];  // its socket, found once: an unplugged device has no name to find it by
static long long limitMs = 0;  // waits in all, -1 without end
static long long spentMs = 0;  // in the waits before this one
static bool waiting = false;   // not attached: no connection, or a try's awaiting its greeting
static bool joining = false;   // a try's connection
static bool comingBack = false;  // was attached: its return is told with the log's name
static timespec waitStart, nextTry, joinedAt, lostAt;

static timespec later(int ms) {
    timespec t = monotonicNow();
    t.tv_sec += ms / 1000;
    t.tv_nsec += (long)(ms % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        ++t.tv_sec;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

void startRejoin(const char *name, const char *socketPath, long long waitMs) {
    snprintf(port, sizeof port, "%s", name);
    snprintf(path, sizeof path, "%s", socketPath);
    limitMs = waitMs;
    spentMs = 0;
    waiting = joining = comingBack = false;
}

bool rejoinWaiting() { return waiting; }
bool rejoinQuiet() { return joining; }

static void startWait(int delayMs, bool say) {
    if (gTermFD >= 0) close(gTermFD);
    gTermFD = -1;
    restartServiceBytes();
    joining = false;
    if (!waiting) waitStart = monotonicNow();
    waiting = true;
    nextTry = later(delayMs);
    if (say) printNotice("> waiting for the kestrode on %s; @exit or ^C leaves\n", port);
}

void waitFromStart() { startWait(RETRY_MS, true); }

// Turned away, or a status it does not know, stays final; let go for
// reading nothing, it comes back at once, whether it may wait or not.
bool serviceGone(int code) {
    if (code == 1 || code > 3) return false;
    if (joining) {  // the try came to nothing: a service stopping as it connected
        startWait(RETRY_MS, false);
        return true;
    }
    if (code != 3 && limitMs == 0) return false;
    comingBack = true;
    lostAt = monotonicNow();
    startWait(code == 3 ? 0 : RETRY_MS, true);
    return true;
}

void rejoinAnswered() {
    if (!waiting) return;
    spentMs += msBetween(waitStart, monotonicNow());
    waiting = joining = false;
}

void rejoinedLog(const char *file, int len) {
    if (!comingBack || waiting) return;
    comingBack = false;
    char shown[PATH_MAX * 4];
    quoteTextInto(shown, sizeof shown, file, len);
    long long ms = msBetween(lostAt, monotonicNow());
    printNotice("> attached again after %lld s; the log has what came meanwhile (%s)\n",
                (ms + 500) / 1000, shown);
}

static bool expired() {
    return limitMs >= 0 && spentMs + msBetween(waitStart, monotonicNow()) >= limitMs;
}

// Any refusal is waited through: a new socket is closed to all for the
// moment before it gets its rights.
static bool tryOnce() {
    char tried[PATH_MAX];
    int fd = attachTo(path, tried, sizeof tried, true);
    if (fd < 0) return false;
    gTermFD = fd;
    joining = true;
    joinedAt = monotonicNow();
    return true;
}

static void giveUp() {
    printNotice("> gave up waiting for the kestrode on %s after %lld s\n", port,
                (spentMs + msBetween(waitStart, monotonicNow())) / 1000);
    endAttached(EXIT_NOBODY);
}

int rejoinWaitMs() {
    if (!waiting) return -1;
    timespec now = monotonicNow();
    long long ms = joining ? GREETING_MS - msBetween(joinedAt, now) : msBetween(now, nextTry);
    return ms < 0 ? 0 : (int)ms;
}

// A kestrode that takes the connection and says nothing (stopped, stuck)
// is left and tried again. The limit is looked at after a try, so that
// even a console that may not wait tries once when let go for idling.
void checkRejoin() {
    if (!waiting) return;
    if (joining) {
        if (msBetween(joinedAt, monotonicNow()) < GREETING_MS) return;
        startWait(RETRY_MS, false);
        if (expired()) giveUp();
        return;
    }
    if (msBetween(monotonicNow(), nextTry) > 0 || tryOnce()) return;
    if (expired())
        giveUp();
    else
        nextTry = later(RETRY_MS);
}
