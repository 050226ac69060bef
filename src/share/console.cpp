// The attached console's two streams: the service's frames in, typed lines
// out. The instrument's bytes are shown by the same code as in a direct
// session; this console's own time stamps are its own.
#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "clocklog/clocklog.h"
#include "share/share.h"
#include "port/port.h"

static char frames[8192];
static int have = 0;
static bool ended = false;
static int status = 0;
static int granted = -1;  // the pair's end that came with a grant frame
static bool anyFrame = false;  // the service has said a first word
static void (*noticeSeen)(const char *text, int len) = nullptr;

void watchServiceNotices(void (*seen)(const char *text, int len)) { noticeSeen = seen; }
static int connection = 0;  // counts them: a frame may end the one it came on

int attachedStatus() { return status; }

static void endWith(int code) {
    status = code;
    ended = true;
    gbRun = false;
}

void endAttached(int code) { endWith(code); }

// The instrument's bytes of one read of the socket are shown in one go,
// which flushes the console once rather than at every frame.
static char output[sizeof frames];
static int outputLen = 0;
static void (*show)(const char *buf, int len) = nullptr;  // the console's display

static void showOutput() {
    if (outputLen > 0 && show) show(output, outputLen);
    outputLen = 0;
}

// The service's own words, with no byte that could act on the terminal;
// the instrument's bytes are shown as a direct session shows them.
static char shown[sizeof frames * 4];

static void takeFrame(char type, const char *data, int len) {
    if (type == FRAME_OUTPUT) {
        memcpy(output + outputLen, data, len);
        outputLen += len;
        return;
    }
    showOutput();
    if (type == FRAME_GRANT) {
        if (granted < 0) return;  // no pair came with it: nothing to run on
        char line[LINE_SIZE];
        snprintf(line, sizeof line, "%.*s", len, data);
        int fd = granted;
        granted = -1;
        return runGrant(line, fd);
    }
    if (type == FRAME_NOTICE) {
        if (noticeSeen) noticeSeen(data, len);
        quoteTextInto(shown, sizeof shown, data, len);
        printNotice("%s", shown);
    } else if (type == FRAME_LOG) {
        rejoinedLog(data, len);
    } else if (type == FRAME_END && len > 0) {
        quoteTextInto(shown, sizeof shown, data + 1, len - 1);
        printNotice("%s", shown);
        int code = (unsigned char)data[0];
        if (!serviceGone(code)) endWith(code == 0 ? 0 : 1);
    }
}

static void lost() {
    if (ended) return;
    if (!rejoinQuiet()) printNotice("> the connection to the kestrode was lost\n");
    if (!serviceGone(-1)) endWith(1);
}

// A descriptor comes only with a grant frame; the kernel stops a read right
// after the bytes it came with.
static ssize_t receive(int fd) {
    iovec part{frames + have, sizeof frames - (size_t)have};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    msghdr m{};
    m.msg_iov = &part;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    ssize_t n = recvmsg(fd, &m, MSG_CMSG_CLOEXEC);
    for (cmsghdr *c = CMSG_FIRSTHDR(&m); n >= 0 && c; c = CMSG_NXTHDR(&m, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        int count = (int)((c->cmsg_len - CMSG_LEN(0)) / sizeof(int));
        for (int k = 0; k < count; ++k) {
            if (granted >= 0) close(granted);
            memcpy(&granted, CMSG_DATA(c) + k * sizeof(int), sizeof(int));
        }
    }
    return n;
}

// Whole frames are taken; a part waits for the rest.
static void takeFrames() {
    int at = 0;
    bool foreign = false;  // no kestrode of ours: a frame too long for it
    int on = connection;
    while (!ended && on == connection && have - at >= FRAME_HEAD) {
        int len = (unsigned char)frames[at + 1] << 8 | (unsigned char)frames[at + 2];
        foreign = len > (int)sizeof frames - FRAME_HEAD;
        if (foreign || have - at < FRAME_HEAD + len) break;
        if (!anyFrame) rejoinAnswered();
        anyFrame = true;
        takeFrame(frames[at], frames + at + FRAME_HEAD, len);
        at += FRAME_HEAD + len;
    }
    showOutput();
    if (on != connection) return;  // what is left was the old one's
    memmove(frames, frames + at, have - at);
    have -= at;
    if (foreign) lost();
}

void restartServiceBytes() {
    have = outputLen = 0;
    anyFrame = false;
    ++connection;
    if (granted >= 0) close(granted);
    granted = -1;
}

void startServiceBytes(void (*display)(const char *buf, int len)) {
    have = outputLen = status = 0;
    ended = anyFrame = false;
    show = display;
}

// A part of a frame never fills the buffer: a frame that would not fit
// has ended the connection. Bytes after a frame that ended the connection
// are that connection's, never the next one's.
void takeServiceBytes(const char *buf, int len) {
    int on = connection;
    while (len > 0 && !ended && on == connection) {
        int n = len < (int)sizeof frames - have ? len : (int)sizeof frames - have;
        memcpy(frames + have, buf, n);
        have += n;
        buf += n;
        len -= n;
        takeFrames();
    }
}

void readAttached(int fd) {
    ssize_t n = receive(fd);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n <= 0) return lost();
    have += (int)n;
    takeFrames();
}

int awaitFirstFrame(int fd, int seconds) {
    timespec end = monotonicNow();
    end.tv_sec += seconds;
    while (!anyFrame && !ended && gTermFD == fd) {  // lost, it may wait in the loop
        long long left = msBetween(monotonicNow(), end);
        if (left <= 0) return 0;
        pollfd p = {fd, POLLIN, 0};
        int r = waitInputMs(&p, 1, (int)left);
        if (r < 0 && gSignal) return -1;
        if (r > 0) readAttached(fd);
    }
    return 1;
}

// Every byte typed, NULs too, as a direct session sends them.
// A service that reads nothing (stopped, stuck) must never hold the console:
// a line that finds its socket full is refused; one that found room for a
// part gets a moment for the rest, or the connection is given up (the
// console then waits for its kestrode), so that no line goes torn.
static constexpr int REST_MS = 2000;

static bool sendRest(const char *buf, int len) {
    while (len > 0) {
        pollfd p = {gTermFD, POLLOUT, 0};
        if (poll(&p, 1, REST_MS) != 1) return false;
        ssize_t n = send(gTermFD, buf, len, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        if (n > 0) buf += n, len -= (int)n;
    }
    return true;
}

void sendAttachedLine(const char *line, int len) {
    char buf[LINE_SIZE + 1];
    if (len > LINE_SIZE) len = LINE_SIZE;
    memcpy(buf, line, len);
    buf[len] = '\n';
    ssize_t n = send(gTermFD, buf, len + 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        printNotice("> the kestrode reads nothing now, line not sent\n");
        return;
    }
    if (n < 0 || n == len + 1) return;  // a service gone shows as the socket's end
    if (!sendRest(buf + n, len + 1 - (int)n)) shutdown(gTermFD, SHUT_RDWR);
}
