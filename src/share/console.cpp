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

// Whole frames are taken; a part waits for the rest.
void readAttached(int fd) {
    ssize_t n = read(fd, frames + have, sizeof frames - have);
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
