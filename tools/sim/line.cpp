// The pseudo-terminal that stands in for the serial line. The simulator keeps
// only the master side. Having opened and closed the slave once, it can tell
// from the master whether a host holds the device: while nobody does, poll
// reports a hang-up; a host that holds it at speed 0 has hung up too. The
// slave's speed starts at an odd value, so a host that has applied its own
// settings can be told from one that has only opened it.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "sim.h"

int gMaster = -1;
std::string gDevicePath;

static constexpr speed_t UNSET_SPEED = B50;  // no host would choose it

// Raw mode at the marker speed, applied through a short-lived slave descriptor.
static bool markSlave(const char *path) {
    int slave = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) return false;
    termios t;
    memset(&t, 0, sizeof t);
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    cfsetispeed(&t, UNSET_SPEED);
    cfsetospeed(&t, UNSET_SPEED);
    bool ok = tcsetattr(slave, TCSANOW, &t) == 0;
    close(slave);
    return ok;
}

bool lineOpen() {
    if (attached()) return attachOpen();
    gMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (gMaster < 0 || grantpt(gMaster) != 0 || unlockpt(gMaster) != 0) {
        perror("kestrode-sim: pseudo-terminal");
        return false;
    }
    const char *name = ptsname(gMaster);
    if (!name || !markSlave(name)) {
        perror("kestrode-sim: pseudo-terminal slave");
        return false;
    }
    gDevicePath = name;
    fcntl(gMaster, F_SETFL, fcntl(gMaster, F_GETFL) | O_NONBLOCK);
    return true;
}

// A host that sets the speed to 0 hangs the line up as a modem would: it is
// gone until it sets another, though it keeps the device open.
bool lineHeldDown() {
    termios t;
    return !attached() && tcgetattr(gMaster, &t) == 0 && cfgetospeed(&t) == B0;
}

bool lineHostPresent() {
    if (attached()) return attachPeerPresent();
    if (lineHeldDown()) return false;
    pollfd p{gMaster, 0, 0};
    return poll(&p, 1, 0) == 0 || !(p.revents & (POLLHUP | POLLERR));
}

bool lineHostConfigured() {
    termios t;
    if (attached() || tcgetattr(gMaster, &t) != 0) return true;  // cannot tell: assume so
    return cfgetospeed(&t) != UNSET_SPEED;
}

// Back to the marker speed, so the next host's set-up shows again.
void lineForgetHost() {
    termios t;
    if (attached() || tcgetattr(gMaster, &t) != 0 || cfgetospeed(&t) == B0) return;
    cfsetispeed(&t, UNSET_SPEED);
    cfsetospeed(&t, UNSET_SPEED);
    tcsetattr(gMaster, TCSANOW, &t);
}

void lineHangUp() {
    if (gMaster >= 0) close(gMaster);
    gMaster = -1;
}

// Replaces an old symlink, never another kind of file.
bool linkMake() {
    if (gOpt.link.empty()) return true;
    struct stat st;
    if (lstat(gOpt.link.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            fprintf(stderr, "kestrode-sim: %s exists and is not a symlink\n", gOpt.link.c_str());
            return false;
        }
        unlink(gOpt.link.c_str());
    }
    if (symlink(gDevicePath.c_str(), gOpt.link.c_str()) != 0) {
        fprintf(stderr, "kestrode-sim: cannot make %s: %s\n", gOpt.link.c_str(), strerror(errno));
        return false;
    }
    return true;
}

// Removes the symlink only while it still points at this device.
void linkRemove() {
    if (gOpt.link.empty()) return;
    char target[256];
    ssize_t n = readlink(gOpt.link.c_str(), target, sizeof target - 1);
    if (n < 0) return;
    target[n] = '\0';
    if (gDevicePath == target) unlink(gOpt.link.c_str());
}
