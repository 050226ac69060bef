// The attached console's two streams: the service's frames in, typed lines
// out. The instrument's bytes are shown by the same code as in a direct
// session; this console's own time stamps are its own.
#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "share/share.h"
#include "terminal/terminal.h"

static char frames[8192];
static int have = 0;
static bool ended = false;
static int status = 0;
static int granted = -1;  // the pair's end that came with a grant frame

int attachedStatus() { return status; }

static void endWith(int code) {
    status = code;
    ended = true;
    gbRun = false;
}

// The instrument's bytes of one read of the socket are shown in one go,
// which flushes the console once rather than at every frame.
static char output[sizeof frames];
static int outputLen = 0;

static void showOutput() {
    if (outputLen > 0) handleTermBytes(output, outputLen);
    outputLen = 0;
}

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
        printNotice("%.*s", len, data);
    } else if (type == FRAME_END && len > 0) {
        printNotice("%.*s", len - 1, data + 1);
        endWith((unsigned char)data[0]);
    }
}

static void lost() {
    if (ended) return;
    printNotice("> the connection to the kestrode was lost, detached\n");
    endWith(1);
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
void readAttached(int fd) {
    ssize_t n = receive(fd);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n <= 0) return lost();
    have += (int)n;
    int at = 0;
    while (!ended && have - at >= FRAME_HEAD) {
        int len = (unsigned char)frames[at + 1] << 8 | (unsigned char)frames[at + 2];
        if (len > (int)sizeof frames - FRAME_HEAD) return lost();  // no kestrode of ours
        if (have - at < FRAME_HEAD + len) break;
        takeFrame(frames[at], frames + at + FRAME_HEAD, len);
        at += FRAME_HEAD + len;
    }
    showOutput();
    memmove(frames, frames + at, have - at);
    have -= at;
}

static bool startsWith(const char *line, const char *name) {
    return strncmp(line, name, strlen(name)) == 0;
}

// @settime and @clear act on the port, so the service runs them; a
// transfer is asked of it; the rest is ours.
static bool ranHere(char *line) {
    if (line[0] != '@' || startsWith(line, "@settime") || startsWith(line, "@clear"))
        return false;
    if (startsWith(line, "@upload") || startsWith(line, "@download"))
        borrowCommand(line);
    else
        runCommand(line);
    return true;
}

void sendAttachedLine(char *line, int len) {
    gbFirstChar = true;
    line[len - 1] = '\0';
    if (ranHere(line)) return;
    line[len - 1] = '\n';
    send(gTermFD, line, len, MSG_NOSIGNAL);  // a service gone shows as the socket's end
}
