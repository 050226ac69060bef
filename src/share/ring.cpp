// Every console's bounded buffer of frames. The logger never waits for a
// console: what a socket does not take now waits here, and what does not
// fit is dropped for that console alone (behind.cpp).
#include <errno.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "share/share.h"
#include "port/port.h"

static constexpr int END_ROOM = 512;  // kept for the last word
// Kept for the console's own notices and grants, and for the line in
// progress when output stops fitting.
static constexpr int OWN_ROOM = 4096, LINE_ROOM = 4096;
static constexpr int FLUSH_AT = 8192;
static char rings[SHARE_CONNECTIONS][SHARE_RING];

static void put(int i, const char *data, int len) {
    ShareClient &c = gClients[i];
    if (c.queued == 0) c.waiting = monotonicNow();
    size_t at = (size_t)(c.head + c.queued) % SHARE_RING, n = (size_t)len;
    size_t first = n < SHARE_RING - at ? n : SHARE_RING - at;
    memcpy(rings[i] + at, data, first);
    memcpy(rings[i], data + first, n - first);
    c.queued += len;
}

static bool queueWithin(int i, char type, const char *data, int len, int limit) {
    if (len > 0xFFFF || gClients[i].queued + FRAME_HEAD + len > limit) return false;
    const char head[FRAME_HEAD] = {type, (char)(len >> 8), (char)(len & 0xFF)};
    put(i, head, FRAME_HEAD);
    put(i, data, len);
    return true;
}

bool queueFrame(int i, char type, const char *data, int len) {
    return queueWithin(i, type, data, len, SHARE_RING - END_ROOM);
}

bool queueShared(int i, char type, const char *data, int len) {
    return queueWithin(i, type, data, len, SHARE_RING - END_ROOM - OWN_ROOM - LINE_ROOM);
}

bool queueLineEnd(int i, const char *data, int len) {
    return queueWithin(i, FRAME_OUTPUT, data, len, SHARE_RING - END_ROOM - OWN_ROOM);
}

int noticeText(char *text, int size, const char *format, va_list ap) {
    int n = vsnprintf(text, size, format, ap);
    return n >= size ? size - 1 : n;
}

void queueNotice(int i, const char *format, ...) {
    char text[NOTICE_MAX];
    va_list ap;
    va_start(ap, format);
    int n = noticeText(text, sizeof text, format, ap);
    va_end(ap);
    if (n > 0) queueFrame(i, FRAME_NOTICE, text, n);
}

void queueEnd(int i, int status, const char *text) {
    char frame[END_ROOM - FRAME_HEAD];
    int n = snprintf(frame + 1, sizeof frame - 1, "%s", text);
    if (n >= (int)sizeof frame - 1) n = (int)sizeof frame - 2;
    frame[0] = (char)status;
    queueWithin(i, FRAME_END, frame, n + 1, SHARE_RING);
    // The last word must reach a console whose socket is full: its buffer is
    // let grow for it (the kernel doubles what it is given, so there is room
    // beyond the default even at the system's maximum).
    int room = INT_MAX / 2;
    setsockopt(gClients[i].fd, SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
}

bool queueGrant(int i, const char *line, int fd) {
    ShareClient &c = gClients[i];
    int at = c.queued;
    if (c.grantFD >= 0 || !queueWithin(i, FRAME_GRANT, line, (int)strlen(line), SHARE_RING))
        return false;
    c.grantFD = fd;
    c.grantAt = at;
    return true;
}

// The pair's end travels with the first byte of its grant: everything
// queued before it goes first, in order.
static ssize_t sendSome(int i) {
    ShareClient &c = gClients[i];
    bool withGrant = c.grantFD >= 0 && c.grantAt == 0;
    int len = c.grantFD >= 0 && !withGrant ? c.grantAt : c.queued;
    int first = len < SHARE_RING - c.head ? len : SHARE_RING - c.head;
    iovec parts[2] = {{rings[i] + c.head, (size_t)first}, {rings[i], (size_t)(len - first)}};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr m{};
    m.msg_iov = parts;
    m.msg_iovlen = len > first ? 2 : 1;
    if (withGrant) {
        m.msg_control = control;
        m.msg_controllen = sizeof control;
        cmsghdr *h = CMSG_FIRSTHDR(&m);
        h->cmsg_level = SOL_SOCKET;
        h->cmsg_type = SCM_RIGHTS;
        h->cmsg_len = CMSG_LEN(sizeof(int));
        memcpy(CMSG_DATA(h), &c.grantFD, sizeof(int));
    }
    ssize_t n = sendmsg(c.fd, &m, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n <= 0) return n;
    if (withGrant) {
        close(c.grantFD);  // the console has it now
        c.grantFD = -1;
    } else if (c.grantFD >= 0) {
        c.grantAt -= (int)n;
    }
    c.head = (c.head + (int)n) % SHARE_RING;
    c.queued -= (int)n;
    c.waiting = monotonicNow();  // it reads
    return n;
}

bool flushClient(int i) {
    while (gClients[i].queued > 0) {
        ssize_t n = sendSome(i);
        if (n < 0) return errno == EAGAIN || errno == EINTR;
        if (n == 0) return true;
    }
    return true;
}

// While the instrument streams, the consoles get their bytes in batches:
// every write wakes a console, and three of them at every serial read would
// triple what the service spends. Once the port is quiet (a wait that a
// console's room for more ended, not the port), or a batch is full,
// everything goes out.
static bool batchDue(bool portQuiet) {
    bool waiting = false;
    for (const ShareClient &c : gClients) {
        if (c.fd < 0 || c.queued == 0) continue;
        if (c.queued >= FLUSH_AT) return true;
        waiting = true;
    }
    return waiting && portQuiet;
}

void flushShare(bool portQuiet) {
    if (!batchDue(portQuiet)) return;
    for (int i = 0; i < SHARE_CONNECTIONS; ++i) {
        ShareClient &c = gClients[i];
        if (c.fd < 0 || c.queued == 0) continue;
        if (flushClient(i)) caughtUp(i, shareAtLineStart());
        else detached(i);
    }
}
