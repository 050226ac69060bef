// A console that falls behind stays attached: what its buffer cannot take
// is dropped for it alone, whole lines only, and once it has drained enough
// it is told how many it missed. Only a console that reads nothing at all
// for SHARE_UNREAD seconds is let go, with words of its own.
#include <climits>
#include <cstdio>
#include <cstring>

#include "share/share.h"
#include "port/port.h"

enum { SHOWN, FINISHING, DROPPING };  // ShareClient::behind
static constexpr int RESUME_AT = SHARE_RING / 2;  // queued bytes it must be down to
static bool lineStart = true;  // the instrument's bytes so far end a line

bool shareAtLineStart() { return lineStart; }

void caughtUp(int i, bool atLineStart) {
    ShareClient &c = gClients[i];
    if (c.behind != DROPPING || !atLineStart || c.queued > RESUME_AT) return;
    c.behind = SHOWN;
    if (c.missed == 0) return;
    queueNotice(i, "> %ld lines not shown here while this console was behind; the log has them\n",
                c.missed);
    printNotice("> %s (uid %u) caught up; %ld lines were not shown there while it was behind\n",
                c.user, (unsigned)c.uid, c.missed);
    c.missed = 0;
}

// The line in progress when output stops fitting is let finish in the
// room kept for it; a line too long even for that is dropped from there.
static int finishLine(int i, const char *buf, int len) {
    const char *lf = (const char *)memchr(buf, '\n', len);
    int n = lf ? (int)(lf - buf) + 1 : len;
    if (!queueLineEnd(i, buf, n)) {
        gClients[i].behind = DROPPING;  // its end is counted as a missed line
        return 0;
    }
    if (lf) gClients[i].behind = DROPPING;
    return n;
}

// Up to and with the next line end, counted; all of it when there is none.
static int dropLine(int i, const char *buf, int len) {
    const char *lf = (const char *)memchr(buf, '\n', len);
    if (!lf) return len;
    ++gClients[i].missed;
    return (int)(lf - buf) + 1;
}

void outputTo(int i, const char *buf, int len, bool atLineStart) {
    ShareClient &c = gClients[i];
    for (int at = 0; at < len;) {
        bool starts = at == 0 ? atLineStart : buf[at - 1] == '\n';
        if (c.behind == SHOWN) {
            if (queueShared(i, FRAME_OUTPUT, buf + at, len - at)) return;
            c.behind = starts ? DROPPING : FINISHING;
            if (starts) at += dropLine(i, buf + at, len - at);  // not resumed at once again
        } else if (c.behind == FINISHING) {
            at += finishLine(i, buf + at, len - at);
        } else {
            caughtUp(i, starts);
            if (c.behind == DROPPING) at += dropLine(i, buf + at, len - at);
        }
    }
}

void shareOutput(const char *buf, int len) {
    if (gShareFD < 0 || len <= 0) return;
    for (int i = 0; i < SHARE_CONNECTIONS; ++i)
        if (gClients[i].fd >= 0 && gClients[i].greeted) outputTo(i, buf, len, lineStart);
    lineStart = buf[len - 1] == '\n';
    for (int i = 0; i < SHARE_CONNECTIONS; ++i)  // told now, not at the instrument's next line
        if (gClients[i].fd >= 0) caughtUp(i, lineStart);
}

static bool unread(const ShareClient &c, const timespec &now) {
    return c.fd >= 0 && c.greeted && c.queued > 0 &&
           msBetween(c.waiting, now) >= SHARE_UNREAD * 1000LL;
}

static void letGo(int i) {
    ShareClient &c = gClients[i];
    char text[128];
    snprintf(text, sizeof text, "> this console read nothing for %d minutes and was let go\n",
             SHARE_UNREAD / 60);
    printNotice("> %s (uid %u) read nothing for %d minutes and was let go\n", c.user,
                (unsigned)c.uid, SHARE_UNREAD / 60);
    tellOthers(i, "> %s (uid %u) read nothing for %d minutes and was let go\n", c.user,
               (unsigned)c.uid, SHARE_UNREAD / 60);
    queueEnd(i, END_UNREAD, text);  // it gets through although the socket is full
    flushClient(i);
    dropClient(i);
}

void letGoUnread() {
    timespec now = monotonicNow();
    for (int i = 0; i < SHARE_CONNECTIONS; ++i)
        if (unread(gClients[i], now)) letGo(i);
}

int unreadWaitMs() {
    long long first = -1;
    timespec now = monotonicNow();
    for (const ShareClient &c : gClients) {
        if (c.fd < 0 || !c.greeted || c.queued == 0) continue;
        long long ms = SHARE_UNREAD * 1000LL - msBetween(c.waiting, now);
        if (ms < 0) ms = 0;
        if (first < 0 || ms < first) first = ms;
    }
    return first > INT_MAX ? INT_MAX : (int)first;
}
