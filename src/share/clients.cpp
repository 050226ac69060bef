// The attached consoles: taking them in, who they are, what they type,
// letting them go.
#include <errno.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "share/share.h"
#include "terminal/terminal.h"

ShareClient gClients[SHARE_CLIENTS];

static constexpr int TYPED_MAX = 252;  // as on the keyboard

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
    if (c.passed >= 0) close(c.passed);
    c = ShareClient{};
    keyboardLeft(i);
    relayClientGone(i);
}

static int freeSlot() {
    for (int i = 0; i < SHARE_CLIENTS; ++i)
        if (gClients[i].fd < 0) return i;
    return -1;
}

// A console more is told so on its socket, which has room for one line.
static void turnAway(int fd, uid_t uid) {
    char frame[160], user[64];
    userName(uid, user, sizeof user);
    int n = snprintf(frame + FRAME_HEAD + 1, sizeof frame - FRAME_HEAD - 1,
                     "> the kestrode serves %d consoles already, not attached\n", SHARE_CLIENTS);
    frame[0] = FRAME_END;
    frame[1] = 0;
    frame[2] = (char)(n + 1);
    frame[3] = 1;
    send(fd, frame, FRAME_HEAD + 1 + n, MSG_DONTWAIT | MSG_NOSIGNAL);
    close(fd);
    printNotice("> %s (uid %u) refused: %d consoles are attached already\n", user,
                (unsigned)uid, SHARE_CLIENTS);
}

static void acceptClient() {
    int fd = accept4(gShareFD, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    ucred cred{};
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
        close(fd);
        return;
    }
    int i = freeSlot();
    if (i < 0) return turnAway(fd, cred.uid);
    gClients[i].fd = fd;
    gClients[i].uid = cred.uid;
}

// Named only now: a look needs no name, and the user database is a file
// to read (and buffers to allocate) at every query otherwise.
static void greet(int i) {
    ShareClient &c = gClients[i];
    c.greeted = true;
    userName(c.uid, c.user, sizeof c.user);
    char greeting[PATH_MAX + 96];
    queueFrame(i, FRAME_NOTICE, greeting, (int)strlen(shareGreeting(greeting, sizeof greeting)));
    printNotice("> %s (uid %u) attached\n", c.user, (unsigned)c.uid);
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
    greet(i);
    if (strcmp(line, "@attach") != 0) takeTypedLine(i, line, len);  // a raw client typed it
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

// A descriptor comes with a transfer's request; the latest is kept.
static ssize_t receive(int i, char *buf, size_t size) {
    iovec part{buf, size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    msghdr m{};
    m.msg_iov = &part;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    ssize_t n = recvmsg(gClients[i].fd, &m, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    for (cmsghdr *c = CMSG_FIRSTHDR(&m); n >= 0 && c; c = CMSG_NXTHDR(&m, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        int count = (int)((c->cmsg_len - CMSG_LEN(0)) / sizeof(int));
        for (int k = 0; k < count; ++k) {
            int fd;
            memcpy(&fd, CMSG_DATA(c) + k * sizeof(int), sizeof fd);
            if (gClients[i].passed >= 0) close(gClients[i].passed);
            gClients[i].passed = fd;
        }
    }
    return n;
}

// Whole lines only: what a console sent before it went is still taken.
void serveClient(int i) {
    char buf[512];
    ssize_t n = receive(i, buf, sizeof buf);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    for (ssize_t k = 0; k < n && gClients[i].fd >= 0; ++k) typed(i, buf[k]);
    if (n > 0 || gClients[i].fd < 0) return;
    if (gClients[i].greeted)
        printNotice("> %s (uid %u) detached\n", gClients[i].user, (unsigned)gClients[i].uid);
    dropClient(i);
}

int sharePollFds(pollfd *fds, int room) {
    if (gbAttached) return borrowPollFds(fds, room);
    if (gShareFD < 0 || room < 1) return 0;
    int n = 0;
    fds[n++] = {gShareFD, POLLIN, 0};
    for (int i = 0; i < SHARE_CLIENTS && n < room; ++i) {
        const ShareClient &c = gClients[i];
        if (c.fd >= 0) fds[n++] = {c.fd, (short)(POLLIN | (c.queued ? POLLOUT : 0)), 0};
    }
    return n + relayPollFds(fds + n, room - n);
}

static int slotOf(int fd) {
    for (int i = 0; i < SHARE_CLIENTS; ++i)
        if (gClients[i].fd == fd) return i;
    return -1;
}

// Only what a read says counts: a slot freed and taken again in this pass
// may carry a former console's hang-up.
void serveShare(const pollfd *fds, int count) {
    if (gbAttached) return serveBorrowed(fds, count);
    for (int k = 0; k < count; ++k) {
        if (fds[k].revents == 0) continue;
        if (fds[k].fd == gShareFD) {
            acceptClient();
            continue;
        }
        int i = slotOf(fds[k].fd);
        if (i >= 0 && (fds[k].revents & (POLLIN | POLLHUP | POLLERR))) serveClient(i);
    }
    serveRelay(fds, count);  // after the consoles: a console's "@done" comes first
}
