// The connections: taking them in, who they are, what they type, letting
// them go. None can hold a place for nothing: one that has not said what it
// is within HELLO_SECONDS is let go, and makes way sooner for a newcomer
// when every place is taken; a user's consoles take at most half the
// places. A look needs no console's place.
#include <errno.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "clocklog/clocklog.h"
#include "share/share.h"
#include "port/port.h"

ShareClient gClients[SHARE_CONNECTIONS];

static constexpr int TYPED_MAX = 252;  // as on the keyboard
static constexpr int ACCEPTS_PER_PASS = 64;

void userName(uid_t uid, char *out, size_t size) {
    passwd pw, *found = nullptr;
    char buf[1024];
    if (getpwuid_r(uid, &pw, buf, sizeof buf, &found) == 0 && found)
        snprintf(out, size, "%s", pw.pw_name);
    else
        snprintf(out, size, "%u", (unsigned)uid);
}

void dropClient(int i) {
    ShareClient &c = gClients[i];
    close(c.fd);
    if (c.grantFD >= 0) close(c.grantFD);
    c = ShareClient{};
    keyboardLeft(i);
    relayClientGone(i);
}

int consoleCount(uid_t uid) {
    int n = 0;
    for (const ShareClient &c : gClients)
        if (c.fd >= 0 && c.greeted && (uid == (uid_t)-1 || c.uid == uid)) ++n;
    return n;
}

// A free place, or the one of the longest-waiting connection that has not
// said what it is.
static int placeFor() {
    int oldest = -1;
    for (int i = 0; i < SHARE_CONNECTIONS; ++i) {
        const ShareClient &c = gClients[i];
        if (c.fd < 0) return i;
        if (!c.greeted && (oldest < 0 || msBetween(c.since, gClients[oldest].since) > 0))
            oldest = i;
    }
    if (oldest >= 0) dropClient(oldest);
    return oldest;
}

// Told on its socket, which has room for one line, and let go.
static void turnAway(int i, const char *text) {
    queueEnd(i, 1, text);
    flushClient(i);
    dropClient(i);
}

// A console more than the places, or than one user's share of them, is
// told so and let go.
static bool full(int i, char *text, size_t size) {
    const ShareClient &c = gClients[i];
    if (consoleCount((uid_t)-1) >= SHARE_CLIENTS) {
        snprintf(text, size, "> the kestrode serves %d consoles already, not attached\n",
                 SHARE_CLIENTS);
        printNotice("> %s (uid %u) refused: %d consoles are attached already\n", c.user,
                    (unsigned)c.uid, SHARE_CLIENTS);
        return true;
    }
    if (consoleCount(c.uid) < SHARE_PER_USER) return false;
    snprintf(text, size, "> the kestrode serves %d consoles of %s already, not attached\n",
             SHARE_PER_USER, c.user);
    printNotice("> %s (uid %u) refused: %d of its consoles are attached already\n", c.user,
                (unsigned)c.uid, SHARE_PER_USER);
    return true;
}

// Named only now: a look needs no name, and the user database is a file
// to read (and buffers to allocate) at every query otherwise.
static bool greet(int i) {
    ShareClient &c = gClients[i];
    userName(c.uid, c.user, sizeof c.user);
    char text[PATH_MAX + 96];
    if (full(i, text, sizeof text)) {
        turnAway(i, text);
        return false;
    }
    c.greeted = true;
    c.attachedAt = gClock(nullptr);
    queueFrame(i, FRAME_NOTICE, text, (int)strlen(shareGreeting(text, sizeof text)));
    queueLogName(i);
    const char *format = c.watch ? "> %s (uid %u) attached to watch\n" : "> %s (uid %u) attached\n";
    printNotice(format, c.user, (unsigned)c.uid);
    tellOthers(i, format, c.user, (unsigned)c.uid);
    if (transferBusy()) {
        describeTransfer(text, sizeof text);
        queueNotice(i, "> a transfer runs: %s\n", text);
    }
    return true;
}

// A look from a monitoring script every minute leaves no trace in the
// journal; only a console is greeted and said.
static void firstLine(int i, char *line, int len) {
    if (strcmp(line, "@status") == 0) {
        queueReport(i);
        queueEnd(i, 0, "");
        flushClient(i);
        return dropClient(i);
    }
    gClients[i].watch = strcmp(line, "@watch") == 0;
    gClients[i].attach = gClients[i].watch || strcmp(line, "@attach") == 0;
    if (!greet(i)) return;
    if (!gClients[i].attach) takeTypedLine(i, line, len);  // a raw client typed it
}

static void typed(int i, char ch) {
    ShareClient &c = gClients[i];
    if (ch != '\n') {
        if (c.typedLen < TYPED_MAX) c.typed[c.typedLen++] = ch;
        return;
    }
    c.typed[c.typedLen] = '\0';
    int len = c.typedLen;
    c.typedLen = 0;
    if (c.greeted)
        takeTypedLine(i, c.typed, len);
    else
        firstLine(i, c.typed, len);
}

// Whole lines only: what a console sent before it went is still taken. A
// descriptor a client sends with its bytes is never taken: recv without
// room for one has the kernel close it.
void serveClient(int i) {
    char buf[512];
    ssize_t n = recv(gClients[i].fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    for (ssize_t k = 0; k < n && gClients[i].fd >= 0; ++k) typed(i, buf[k]);
    if (n > 0 || gClients[i].fd < 0) return;
    detached(i);
}

// Whatever it sent with its connection is taken at once, so a look is
// answered before a crowd that came after it can take its place.
static bool acceptClient() {
    int fd = accept4(gShareFD, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return false;
    ucred cred{};
    socklen_t len = sizeof cred;
    int i = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 ? placeFor() : -1;
    if (i < 0) {
        close(fd);
        return true;
    }
    gClients[i].fd = fd;
    gClients[i].uid = cred.uid;
    gClients[i].since = monotonicNow();
    serveClient(i);
    return true;
}

// Silent too long, a connection is let go without a word: it said none.
static void dropSilent() {
    timespec now = monotonicNow();
    for (int i = 0; i < SHARE_CONNECTIONS; ++i) {
        const ShareClient &c = gClients[i];
        if (c.fd >= 0 && !c.greeted && msBetween(c.since, now) >= HELLO_SECONDS * 1000LL)
            dropClient(i);
    }
}

static int helloWaitMs() {
    long long first = -1;
    timespec now = monotonicNow();
    for (const ShareClient &c : gClients) {
        if (c.fd < 0 || c.greeted) continue;
        long long ms = HELLO_SECONDS * 1000LL - msBetween(c.since, now);
        if (first < 0 || ms < first) first = ms < 0 ? 0 : ms;
    }
    return (int)first;
}

static int sooner(int a, int b) { return a < 0 || (b >= 0 && b < a) ? b : a; }

int shareWaitMs() {
    return sooner(sooner(helloWaitMs(), relayWaitMs()), sooner(unreadWaitMs(), keyboardWaitMs()));
}

void checkShare() {
    checkRelay();
    dropSilent();
    letGoUnread();
    checkKeyboard();
}

int sharePollFds(pollfd *fds, int room) {
    if (gShareFD < 0 || room < 1) return 0;
    int n = 0;
    fds[n++] = {gShareFD, POLLIN, 0};
    for (int i = 0; i < SHARE_CONNECTIONS && n < room; ++i) {
        const ShareClient &c = gClients[i];
        if (c.fd >= 0) fds[n++] = {c.fd, (short)(POLLIN | (c.queued ? POLLOUT : 0)), 0};
    }
    return n + relayPollFds(fds + n, room - n);
}

static int slotOf(int fd) {
    for (int i = 0; i < SHARE_CONNECTIONS; ++i)
        if (gClients[i].fd == fd) return i;
    return -1;
}

// Only what a read says counts: a slot freed and taken again in this pass
// may carry a former console's hang-up.
void serveShare(const pollfd *fds, int count) {
    for (int k = 0; k < count; ++k) {
        if (fds[k].revents == 0) continue;
        if (fds[k].fd == gShareFD) {
            for (int a = 0; a < ACCEPTS_PER_PASS && acceptClient(); ++a) {
            }
            continue;
        }
        int i = slotOf(fds[k].fd);
        if (i >= 0 && (fds[k].revents & (POLLIN | POLLHUP | POLLERR))) serveClient(i);
    }
    serveRelay(fds, count);  // after the consoles: a console's "@done" comes first
}
