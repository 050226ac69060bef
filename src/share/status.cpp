// kestrode --status: one look at a sharing kestrode, for an operator or a
// monitoring script (run with no terminal, so it never reads stdin). The
// report's lines are printed as they come; 0 once the service has ended
// it, otherwise one "> " line and 77 when the socket refuses this user, 69
// when nobody answers.
#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "clocklog/clocklog.h"
#include "share/share.h"
#include "base/base.h"

static constexpr int ANSWER_SECONDS = 15;

static char frames[16384];
static int have = 0;
static bool reported = false;  // a line of the report came

static int noAnswer(const char *path, const char *why) {
    printf("> no kestrode answers on %s: %s\n", path, why);
    return -1;
}

// The service's text is printed with its control bytes quoted: the
// report's values (a log's path, a user's name) are not ours to trust.
// 0 at the report's end, -1 after a "> " line, 1 while more is to come.
static int takeFrames(const char *path) {
    int at = 0, result = 1;
    while (result == 1 && have - at >= FRAME_HEAD) {
        const char *f = frames + at;
        int len = (unsigned char)f[1] << 8 | (unsigned char)f[2];
        if (len > (int)sizeof frames - FRAME_HEAD) return noAnswer(path, "the answer is no report");
        if (have - at < FRAME_HEAD + len) break;
        if (f[0] == FRAME_NOTICE) {
            printQuotedText(stdout, f + FRAME_HEAD, len);
            reported = true;
        } else if (f[0] == FRAME_END && len > 0) {
            // A refusal, or the service stopping before it answered: its line.
            if (f[FRAME_HEAD] != 0 || !reported)
                printQuotedText(stdout, f + FRAME_HEAD + 1, len - 1);
            result = f[FRAME_HEAD] == 0 && reported ? 0 : -1;
        }
        at += FRAME_HEAD + len;
    }
    memmove(frames, frames + at, have - at);
    have -= at;
    return result;
}

void startStatusAnswer() {
    have = 0;
    reported = false;
}

// A part of a frame never fills the buffer: a frame that would not fit is
// no report.
int takeStatusBytes(const char *path, const char *buf, int len) {
    int result = 1;
    while (len > 0 && result == 1) {
        int n = len < (int)sizeof frames - have ? len : (int)sizeof frames - have;
        memcpy(frames + have, buf, n);
        have += n;
        buf += n;
        len -= n;
        result = takeFrames(path);
    }
    return result;
}

static int readReport(int fd, const char *path) {
    timespec end = monotonicNow();
    end.tv_sec += ANSWER_SECONDS;
    char buf[sizeof frames];
    for (;;) {
        long long left = msBetween(monotonicNow(), end);
        pollfd p = {fd, POLLIN, 0};
        int r = left > 0 ? poll(&p, 1, (int)left) : 0;
        if (r < 0 && errno == EINTR) continue;
        if (r == 0) return noAnswer(path, "no answer within 15 s");
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return noAnswer(path, "the connection was lost");
        int result = takeStatusBytes(path, buf, (int)n);
        if (result <= 0) return result;
    }
}

int statusMain(const char *target) {
    char path[PATH_MAX];
    int fd = connectShare(target, path, sizeof path);
    if (fd < 0 && notAllowed(errno)) {
        tellNotAllowed(path, true);
        return EXIT_NOT_ALLOWED;
    }
    if (fd < 0) {
        noAnswer(path, connectFailure(errno));
        return EXIT_NOBODY;
    }
    send(fd, "@status\n", 8, MSG_NOSIGNAL);  // a refusal is read all the same
    startStatusAnswer();
    int status = readReport(fd, path);
    close(fd);
    fflush(stdout);
    return status == 0 ? 0 : EXIT_NOBODY;
}
