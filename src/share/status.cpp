// kestrode --status: one look at a sharing kestrode, for an operator or a
// monitoring script (run with no terminal, so it never reads stdin). The
// report's lines are printed as they come; 0 once the service has ended
// it, otherwise one "> " line and 255.
#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "clocklog/clocklog.h"
#include "share/share.h"

static constexpr int ANSWER_SECONDS = 15;

static char frames[16384];
static int have = 0;
static bool reported = false;  // a line of the report came

static int noAnswer(const char *path, const char *why) {
    printf("> no kestrode answers on %s: %s\n", path, why);
    return -1;
}

// 0 at the report's end, -1 after a "> " line, 1 while more is to come.
static int takeFrames(const char *path) {
    int at = 0, result = 1;
    while (result == 1 && have - at >= FRAME_HEAD) {
        const char *f = frames + at;
        int len = (unsigned char)f[1] << 8 | (unsigned char)f[2];
        if (len > (int)sizeof frames - FRAME_HEAD) return noAnswer(path, "the answer is no report");
        if (have - at < FRAME_HEAD + len) break;
        if (f[0] == FRAME_NOTICE) {
            fwrite(f + FRAME_HEAD, 1, len, stdout);
            reported = true;
        } else if (f[0] == FRAME_END && len > 0) {
            // A refusal, or the service stopping before it answered: its line.
            if (f[FRAME_HEAD] != 0 || !reported) fwrite(f + FRAME_HEAD + 1, 1, len - 1, stdout);
            result = f[FRAME_HEAD] == 0 && reported ? 0 : -1;
        }
        at += FRAME_HEAD + len;
    }
    memmove(frames, frames + at, have - at);
    have -= at;
    return result;
}

static int readReport(int fd, const char *path) {
    timespec end = monotonicNow();
    end.tv_sec += ANSWER_SECONDS;
    for (;;) {
        long long left = msBetween(monotonicNow(), end);
        pollfd p = {fd, POLLIN, 0};
        int r = left > 0 ? poll(&p, 1, (int)left) : 0;
        if (r < 0 && errno == EINTR) continue;
        if (r == 0) return noAnswer(path, "no answer within 15 s");
        ssize_t n = read(fd, frames + have, sizeof frames - have);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return noAnswer(path, "the connection was lost");
        have += (int)n;
        int result = takeFrames(path);
        if (result <= 0) return result;
    }
}

int statusMain(const char *target) {
    char path[PATH_MAX];
    int fd = connectShare(target, path, sizeof path);
    if (fd < 0) return noAnswer(path, strerror(errno));
    send(fd, "@status\n", 8, MSG_NOSIGNAL);  // a refusal is read all the same
    int status = readReport(fd, path);
    close(fd);
    fflush(stdout);
    return status;
}
