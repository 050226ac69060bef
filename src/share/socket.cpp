// The service's socket: at the port's well-known place or where the user
// chose. Only the device's group (and root) may connect, as only they may
// open the port; the socket goes at every end. The well-known place is what
// the logging service asks for: when it cannot be had, sharing is off and
// the port is logged all the same.
#include <errno.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "clocklog/clocklog.h"
#include "share/share.h"
#include "port/port.h"

int gShareFD = -1;
// Connections the kernel holds until they are taken in: a crowd of them
// must not leave a look waiting in connect().
static constexpr int SHARE_BACKLOG = 64;
static char socketPath[sizeof(sockaddr_un::sun_path)];
static char device[PATH_MAX];
static char since[32];  // when this kestrode began to log
static bool made = false;
static bool wellKnown = false;  // no socket there turns sharing off, not the run

bool wellKnownSocket(const char *port, char *out, size_t size) {
    char name[PATH_MAX];
    if (!portName(port, name, sizeof name)) return false;
    int n = snprintf(out, size, "%s/%s.sock", SHARE_DIR, name);
    return n > 0 && (size_t)n < size;
}

static sockaddr_un addressOf(const char *path) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof a.sun_path, "%s", path);
    return a;
}

static void removeSocket() {
    if (!made) return;
    unlink(socketPath);
    made = false;
}

// Why there is no socket, in one line; false. Each format is a whole "> "
// message: at the well-known place "sharing is off: " takes the place of
// its "> ".
static bool refuse(int fd, const char *format, ...) __attribute__((format(printf, 2, 3)));
static bool refuse(int fd, const char *format, ...) {
    if (fd >= 0) close(fd);
    removeSocket();
    journalPrefix(JOURNAL_WARNING);
    if (wellKnown) {
        fputs("> sharing is off: ", stdout);
        format += 2;
    }
    va_list ap;
    va_start(ap, format);
    vprintf(format, ap);
    va_end(ap);
    return false;
}

static bool cannotShare(const char *path, int fd) {
    return refuse(fd, "> cannot share on %s: %s\n", path, strerror(errno));
}

// Never waits: the full queue of a stopped kestrode answers at once, and
// it is live all the same.
static bool listening(const char *path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un a = addressOf(path);
    bool live = fd < 0 || connect(fd, (sockaddr *)&a, sizeof a) == 0 || errno != ECONNREFUSED;
    if (fd >= 0) close(fd);
    return live;
}

// Only a socket that a kestrode of this user left behind when it was
// killed is replaced; anything else there is someone's.
static bool clearWay(const char *path) {
    struct stat st;
    if (lstat(path, &st) != 0) return true;  // nothing there, or bind tells why
    if (S_ISSOCK(st.st_mode) && st.st_uid == geteuid() && !listening(path))
        return unlink(path) == 0 || errno == ENOENT;
    return refuse(-1, "> %s exists and is no socket of a stopped kestrode, not replaced\n", path);
}

static void groupName(gid_t gid, char *out, size_t size) {
    group gr, *found = nullptr;
    char buf[1024];
    if (getgrgid_r(gid, &gr, buf, sizeof buf, &found) == 0 && found)
        snprintf(out, size, "%s", gr.gr_name);
    else
        snprintf(out, size, "%u", (unsigned)gid);
}

// Born with the group already (the service runs in the port's group) it
// needs no chown, which the service's system call filter keeps from it. An
// account outside the port's group (a udev rule's own group, an ACL)
// cannot hand it on.
static bool giveGroup(const char *path, gid_t group, int fd) {
    struct stat st;
    if (lstat(path, &st) == 0 && st.st_gid == group) return true;
    if (chown(path, (uid_t)-1, group) == 0) return true;
    const char *why = strerror(errno);
    char name[64];
    groupName(group, name, sizeof name);
    return refuse(fd, "> %s cannot be given the group %s of %s: %s\n", path, name, device, why);
}

// Made with no rights at all, then given the device's group: nobody gets
// in before the rights are right.
static bool listenAt(const char *path, gid_t group) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return cannotShare(path, fd);
    sockaddr_un a = addressOf(path);
    mode_t old = umask(0177);
    int bound = bind(fd, (sockaddr *)&a, sizeof a);
    umask(old);
    if (bound != 0) return cannotShare(path, fd);
    made = true;
    if (!giveGroup(path, group, fd)) return false;
    if (chmod(path, 0660) != 0 || listen(fd, SHARE_BACKLOG) != 0) return cannotShare(path, fd);
    gShareFD = fd;
    return true;
}

static bool choosePath(const char *chosen) {
    int n;
    if (chosen) {
        n = snprintf(socketPath, sizeof socketPath, "%s", chosen);
    } else {
        mkdir(SHARE_DIR, 0755);  // only root may; the service has it made
        n = wellKnownSocket(device, socketPath, sizeof socketPath) ? 0 : -1;
    }
    if (n >= 0 && (size_t)n < sizeof socketPath) return true;
    errno = ENAMETOOLONG;
    return cannotShare(chosen ? chosen : device, -1);
}

static void noteStart(const char *dev) {
    snprintf(device, sizeof device, "%s", dev);
    time_t now = gClock(nullptr);
    struct tm tmv;
    localtime_r(&now, &tmv);
    strftime(since, sizeof since, "%Y-%m-%d %H:%M:%S", &tmv);
}

static bool listenFor(const char *chosen) {
    struct stat st;
    if (stat(device, &st) != 0) return cannotShare(device, -1);
    return choosePath(chosen) && clearWay(socketPath) && listenAt(socketPath, st.st_gid);
}

// The exact command, so that nobody has to work out the socket's name.
static void tellWayIn(const char *chosen) {
    char name[PATH_MAX];
    if (chosen)
        printNotice("> consoles attach with: kestrode --attach %s\n", chosen);
    else if (portName(device, name, sizeof name))
        printNotice("> consoles attach with: kestrode --attach %s\n", name);
}

bool startShare(const char *dev, const char *chosen) {
    wellKnown = chosen == nullptr;
    noteStart(dev);
    if (!listenFor(chosen)) return wellKnown;  // sharing is off, said
    tellWayIn(chosen);
    static bool registered = false;  // exit(), from wherever it comes
    if (!registered) registered = atexit(removeSocket) == 0;
    startBusyWaits();
    return true;
}

bool sharing() { return gShareFD >= 0; }
const char *sharedDevice() { return device; }
const char *loggingSince() { return since; }

const char *shareGreeting(char *out, size_t size) {
    snprintf(out, size, "> attached to the kestrode on %s (process %ld, logging since %s)\n",
             device, (long)getpid(), since);
    return out;
}

// A console that comes back after a restart is told where to read what it
// missed; the name is the open log's at this moment.
void queueLogName(int i) {
    const char *name = logPath();
    queueFrame(i, FRAME_LOG, name, (int)strlen(name));
}

void stopShare() {
    if (gShareFD < 0) return;
    stopRelay();
    char text[PATH_MAX + 64];
    if (gbPortLost)
        snprintf(text, sizeof text, "> the kestrode on %s lost its serial device\n", device);
    else
        snprintf(text, sizeof text, "> the kestrode on %s stopped\n", device);
    for (int i = 0; i < SHARE_CONNECTIONS; ++i) {
        if (gClients[i].fd < 0) continue;
        queueEnd(i, gbPortLost ? 2 : 0, text);  // either way a console waits for the next
        flushClient(i);
        dropClient(i);
    }
    close(gShareFD);
    gShareFD = -1;
    stopBusyWaits();
    removeSocket();
}
