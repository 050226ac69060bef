// kestrode --attach: a console of the kestrode that shares a port. Its
// first line is the service's greeting; then it runs the ordinary event
// loop, with the socket where the port would be.
#include <errno.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "share/share.h"
#include "terminal/terminal.h"
#include "transfer/transfer.h"

bool gbAttached = false;

// ttyUSB0 (or pts_3) and a device's path lead to the well-known place;
// any other path is the socket itself.
static bool socketFor(const char *target, char *out, size_t size) {
    struct stat st;
    int n;
    if (!strchr(target, '/'))
        n = snprintf(out, size, "%s/%s.sock", SHARE_DIR, target);
    else if (stat(target, &st) == 0 && S_ISCHR(st.st_mode))
        return wellKnownSocket(target, out, size);
    else
        n = snprintf(out, size, "%s", target);
    return n > 0 && (size_t)n < size;
}

int connectShare(const char *target, char *path, size_t size) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (!socketFor(target, a.sun_path, sizeof a.sun_path)) {
        snprintf(path, size, "%s", target);
        errno = ENAMETOOLONG;
        return -1;
    }
    snprintf(path, size, "%s", a.sun_path);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, (sockaddr *)&a, sizeof a) == 0) return fd;
    int err = errno;
    if (fd >= 0) close(fd);
    errno = err;
    return -1;
}

// A service that turned us away has said why on the socket already, so
// the hello's own fate does not matter.
static int connectTo(const char *target) {
    char path[PATH_MAX];
    int fd = connectShare(target, path, sizeof path);
    if (fd < 0) {
        printf("> cannot attach to %s: %s\n", path, strerror(errno));
        return -1;
    }
    send(fd, "@attach\n", 8, MSG_NOSIGNAL);
    return fd;
}

int attachMain(const char *target) {
    int fd = connectTo(target);
    if (fd < 0) return -1;
    gTermFD = fd;
    gbAttached = true;
    reportLeftoverDownloads();  // downloads land here, as in a session of its own
    installSignals();
    runLoop();
    showHeldNotices(true);
    flushConsole();
    close(fd);
    gTermFD = -1;
    if (gSignal == SIGINT) gSignal = 0;  // ^C at the prompt detaches
    endBySignal();
    return attachedStatus();
}
