// --attach: the instrument on a serial device that already exists (a real
// port, or the slave of a pseudo-terminal that another program holds)
// instead of a pseudo-terminal of its own. The far end cannot be watched as
// on our own pseudo-terminal, so a host counts as present and set up from
// the start; only a hang-up (the far end of a pseudo-terminal closed, an
// adapter pulled) ends it.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "sim.h"

bool attached() { return !gOpt.attach.empty(); }

// Raw 115200 8N1 without flow control, as the instrument's own UART.
static bool instrumentLine(int fd) {
    termios t;
    if (tcgetattr(fd, &t) != 0) return false;
    cfmakeraw(&t);
    t.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS | HUPCL);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

// A descriptor of the device set up as the instrument's line, or -1; quiet
// when waiting for the device to come back.
static int openLine(const char *path, bool quiet) {
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (!quiet) fprintf(stderr, "kestrode-sim: %s: %s\n", path, strerror(errno));
        return -1;
    }
    // The lock serial terminals take: never play the instrument on the port
    // the host itself has open.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        if (!quiet) fprintf(stderr, "kestrode-sim: %s is in use by another program\n", path);
        close(fd);
        return -1;
    }
    if (!isatty(fd) || !instrumentLine(fd)) {
        if (!quiet) fprintf(stderr, "kestrode-sim: %s is not a serial device\n", path);
        close(fd);
        return -1;
    }
    tcflush(fd, TCIFLUSH);  // whatever the line picked up before we came
    return fd;
}

bool attachOpen() {
    gMaster = openLine(gOpt.attach.c_str(), false);
    gDevicePath = gOpt.attach;
    return gMaster >= 0;
}

static bool hungUp(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR));
}

// The pseudo-terminal whose far end closed, 0 for none. Its number goes to
// whichever program opens a terminal next: that one is not our peer.
static dev_t gGonePty = 0;
// Whether its node went away since: while it stays, its far end is still
// open and the number still ours.
static bool gGoneVanished = false;

static bool isPtySlave(dev_t d) { return major(d) >= 136 && major(d) <= 143; }

static void letGo() {
    struct stat st;
    if (fstat(gMaster, &st) == 0 && S_ISCHR(st.st_mode) && isPtySlave(st.st_rdev)) {
        gGonePty = st.st_rdev;
        gGoneVanished = false;
    }
    close(gMaster);
    gMaster = -1;
}

static bool comeBack() {
    const char *path = gOpt.attach.c_str();
    struct stat st;
    if (stat(path, &st) != 0) {
        gGoneVanished = gGonePty != 0;
        return false;
    }
    if (S_ISCHR(st.st_mode) && gGonePty != 0 && st.st_rdev == gGonePty && gGoneVanished)
        return false;
    gMaster = openLine(path, true);
    if (gMaster >= 0 && hungUp(gMaster)) letGo();
    return gMaster >= 0;
}

// A hung-up descriptor stays dead (the far end of a pseudo-terminal closed,
// an adapter pulled), so the device is let go and opened afresh a few times
// a second until a live one is there (a replugged adapter, a new
// pseudo-terminal behind a symbolic link), rather than starting a session on
// the dead line again and again.
bool attachPeerPresent() {
    static constexpr double RETRY_SECONDS = 0.25;
    static double nextTry = 0;
    if (gMaster >= 0 && !hungUp(gMaster)) return true;
    if (gMaster >= 0) {
        note("waiting for %s to come back", gDevicePath.c_str());
        letGo();
    }
    double now = monoNow();
    if (now < nextTry) return false;
    nextTry = now + RETRY_SECONDS;
    return comeBack();
}
