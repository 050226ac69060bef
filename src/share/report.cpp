// The service's side of kestrode --status: a few "key: value" lines for an
// operator's eye and a monitoring script's grep, one NOTICE frame each.
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "clocklog/clocklog.h"
#include "share/share.h"
#include "port/port.h"

static char text[8192];  // the longest: a log path, or eight users

static void line(int i, const char *format, ...) __attribute__((format(printf, 2, 3)));
static void line(int i, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    if (n >= (int)sizeof text) {  // cut, but still a line
        n = (int)sizeof text - 1;
        text[n - 1] = '\n';
    }
    if (n > 0) queueFrame(i, FRAME_NOTICE, text, n);
}

static void lastLine(int i) {
    time_t at = instrumentLastLine();
    if (at == 0) return line(i, "instrument's last line: none yet\n");
    time_t now = gClock(nullptr);
    struct tm tmv {};
    localtime_r(&at, &tmv);
    char when[32];
    strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tmv);
    line(i, "instrument's last line: %s (%lld s ago)\n", when,
         now > at ? (long long)(now - at) : 0LL);
}

// Every holder of a place: the consoles by name, the connections that have
// not yet said what they are by uid (a look looks up no name).
static void attached(int i) {
    int n = snprintf(text, sizeof text, "attached:");
    int holder = keyboardHolder();
    bool any = false;
    for (int k = 0; k < SHARE_CONNECTIONS; ++k) {
        const ShareClient &c = gClients[k];
        if (c.fd < 0 || !c.greeted) continue;
        n += snprintf(text + n, sizeof text - n, "%s %s (uid %u%s%s)", any ? "," : "", c.user,
                      (unsigned)c.uid, k == holder ? ", holds the keyboard" : "",
                      c.watch ? ", watches only" : "");
        any = true;
    }
    n += snprintf(text + n, sizeof text - n, "%s\n", any ? "" : " none");
    queueFrame(i, FRAME_NOTICE, text, n);
}

static void connecting(int i) {
    int n = snprintf(text, sizeof text, "connected, not yet attached:");
    timespec now = monotonicNow();
    bool any = false;
    for (int k = 0; k < SHARE_CONNECTIONS; ++k) {
        const ShareClient &c = gClients[k];
        if (c.fd < 0 || c.greeted || k == i) continue;
        n += snprintf(text + n, sizeof text - n, "%s uid %u (%lld s)", any ? "," : "",
                      (unsigned)c.uid, msBetween(c.since, now) / 1000);
        any = true;
    }
    if (any) queueFrame(i, FRAME_NOTICE, text, n + snprintf(text + n, sizeof text - n, "\n"));
}

void queueReport(int i) {
    line(i, "kestrode on %s (process %ld)\n", sharedDevice(), (long)getpid());
    line(i, "logging since: %s\n", loggingSince());
    line(i, "log file: %s\n", logPath()[0] ? logPath() : "none");
    line(i, "lines logged today: %ld\n", linesLoggedToday());
    line(i, "lines not logged: %ld\n", linesNotLogged());
    if (logNotOnDiskSince()[0]) line(i, "log not on disk since %s\n", logNotOnDiskSince());
    lastLine(i);
    attached(i);
    connecting(i);
    char transfer[512];
    describeTransfer(transfer, sizeof transfer);
    line(i, "transfer: %s\n", transfer);
}
