// kestrode --attach: a console of the kestrode that shares a port. Its
// first line is the service's greeting; then it runs the ordinary event
// loop, with the socket where the port would be.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "clocklog/clocklog.h"
#include "share/share.h"
#include "port/port.h"
#include "transfer/transfer.h"


// ttyUSB0 (or pts_3) and a device's path lead to the well-known place,
// /dev/ttyUSB0 also while its adapter is out; any other path is the socket
// itself.
static bool socketFor(const char *target, char *out, size_t size) {
    struct stat st;
    int n;
    bool missing = stat(target, &st) != 0 && errno == ENOENT;
    if (!strchr(target, '/'))
        n = snprintf(out, size, "%s/%s.sock", SHARE_DIR, target);
    else if (!missing && S_ISCHR(st.st_mode))
        return wellKnownSocket(target, out, size);
    else if (missing && strncmp(target, "/dev/", 5) == 0 && !strchr(target + 5, '/'))
        n = snprintf(out, size, "%s/%s.sock", SHARE_DIR, target + 5);
    else
        n = snprintf(out, size, "%s", target);
    return n > 0 && (size_t)n < size;
}

// A stopped kestrode's full queue turns a connect away at once (EAGAIN):
// tried again at this pace until the limit, never waited for in connect().
static constexpr int QUEUE_SECONDS = 5;
static constexpr int QUEUE_RETRY_MS = 100;

static bool connectedAt(int fd, const sockaddr_un &a) {
    if (connect(fd, (const sockaddr *)&a, sizeof a) == 0) return true;
    if (errno != EINPROGRESS) return false;
    pollfd p = {fd, POLLOUT, 0};  // not what a Unix socket does, but bounded all the same
    int err = ETIMEDOUT;
    socklen_t len = sizeof err;
    if (poll(&p, 1, QUEUE_SECONDS * 1000) == 1) getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
    errno = err;
    return err == 0;
}

static int connectBounded(const sockaddr_un &a, bool once) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    timespec end = monotonicNow();
    end.tv_sec += once ? 0 : QUEUE_SECONDS;
    while (once ? connect(fd, (const sockaddr *)&a, sizeof a) != 0 : !connectedAt(fd, a)) {
        if (once || errno != EAGAIN || msBetween(monotonicNow(), end) <= 0) {
            int err = errno;
            close(fd);
            errno = err;
            return -1;
        }
        poll(nullptr, 0, QUEUE_RETRY_MS);
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);  // as the clients always had it
    return fd;
}

static int connectTo(const char *target, char *path, size_t size, bool once) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (!socketFor(target, a.sun_path, sizeof a.sun_path)) {
        snprintf(path, size, "%s", target);
        errno = ENAMETOOLONG;
        return -1;
    }
    snprintf(path, size, "%s", a.sun_path);
    return connectBounded(a, once);
}

int connectShare(const char *target, char *path, size_t size) {
    return connectTo(target, path, size, false);
}

const char *connectFailure(int err) {
    static char text[64];
    if (err != EAGAIN) return strerror(err);
    snprintf(text, sizeof text, "its queue stayed full for %d s", QUEUE_SECONDS);
    return text;
}

bool nobodyAnswers(int err) {
    return err == ENOENT || err == ECONNREFUSED || err == EAGAIN || err == ETIMEDOUT;
}

void cannotAttach(const char *path, const char *why) {
    printf("> cannot attach to %s: %s\n", path, why);
}

// A service that turned us away has said why on the socket already, so
// the hello's own fate does not matter.
int attachTo(const char *target, char *path, size_t size, bool once) {
    int fd = connectTo(target, path, size, once);
    if (fd < 0) {
        int err = errno;
        if (!once && notAllowed(err))  // a try while waiting says no word
            tellNotAllowed(path, false);
        else if (!once)
            cannotAttach(path, connectFailure(err));
        errno = err;  // for the exit status
        return -1;
    }
    const char *hello = gbWatchOnly ? "@watch\n" : "@attach\n";  // also when attaching again
    send(fd, hello, strlen(hello), MSG_NOSIGNAL);
    gbPortIsSocket = true;
    return fd;
}
