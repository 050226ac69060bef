// The service as systemd shows it: ready once the port is ours and the log
// open, then one line for `systemctl status` (the port, the log, lines
// logged today, the instrument's last line, the consoles, a transfer or a
// silence), sent when it changed but at most every few seconds, as an
// instrument talking once a second would otherwise make a message a second.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "clocklog/clocklog.h"
#include "terminal/terminal.h"

static constexpr int STATUS_SECONDS = 5;
static constexpr int STATUS_SIZE = 4096 + 512;  // a log path of PATH_MAX fits

static const char *device = "";
static char sent[STATUS_SIZE];
static char next[STATUS_SIZE];
static timespec statusDue;

static void add(int *n, const char *format, ...) __attribute__((format(printf, 2, 3)));
static void add(int *n, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    int k = vsnprintf(next + *n, sizeof next - *n, format, ap);
    va_end(ap);
    if (k > 0) *n = *n + k < (int)sizeof next ? *n + k : (int)sizeof next - 1;
}

static void lastLine(int *n) {
    time_t at = instrumentLastLine();
    if (at == 0) return add(n, ", no line from the instrument yet");
    time_t now = gClock(nullptr);
    long long age = now > at ? (long long)(now - at) : 0;
    add(n, ", the last %lld s ago", age);
    if (gSilenceSeconds > 0 && age >= gSilenceSeconds) add(n, " (silent)");
}

// "STATUS=..." into `next` from `from` on; the length of all of `next`.
static int composeStatus(int from) {
    int n = from;
    const char *log = logPath();
    add(&n, "STATUS=logging %s to %s: %ld lines today", device, log[0] ? log : "no log file",
        linesLoggedToday());
    lastLine(&n);
    int consoles = gSession.consoles ? gSession.consoles() : 0;
    add(&n, "; %d console%s attached", consoles, consoles == 1 ? "" : "s");
    char transfer[512] = "none";
    if (gSession.transfer) gSession.transfer(transfer, sizeof transfer);
    if (strcmp(transfer, "none") != 0) add(&n, "; transfer: %s", transfer);
    return n;
}

static void statusSent(const char *status, int len) {
    memcpy(sent, status, len + 1);
    statusDue = monotonicNow();
    statusDue.tv_sec += STATUS_SECONDS;
}

bool serviceStarted(const char *dev) {
    if (!startNotify()) return true;
    if (!gpLogFile) return false;  // a logging service without its log has not started
    device = dev;
    static const char READY[] = "READY=1\n";
    memcpy(next, READY, sizeof READY - 1);
    int len = composeStatus(sizeof READY - 1);
    notify(next, len);
    statusSent(next + sizeof READY - 1, len - (int)(sizeof READY - 1));
    keepServiceAlive();
    return true;
}

void tellService() {
    keepServiceAlive();
    if (!notifying() || msBetween(statusDue, monotonicNow()) < 0) return;
    int len = composeStatus(0);
    if (strcmp(next, sent) != 0) notify(next, len);
    statusSent(next, len);
}

int serviceWaitMs() {
    if (!notifying()) return -1;
    long long ms = msBetween(monotonicNow(), statusDue);
    int status = ms < 0 ? 0 : (int)ms;
    int alive = keepAliveWaitMs();
    return alive >= 0 && alive < status ? alive : status;
}

void serviceStopping() {
    static const char STOPPING[] = "STOPPING=1\nSTATUS=stopping";
    if (notifying()) notify(STOPPING, sizeof STOPPING - 1);
}
