// Opening and configuring the serial port: 115200 8N1, raw.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "port/port.h"

static void rawAttributes(termios *t) {
    memset(t, 0, sizeof *t);
    cfsetispeed(t, B115200);
    cfsetospeed(t, B115200);
    t->c_iflag = IGNPAR;
    t->c_oflag = 0;
    t->c_cflag = B115200 | CS8 | CLOCAL | CREAD;
    t->c_lflag = 0;
    t->c_cc[VMIN] = 1;
    t->c_cc[VTIME] = 0;
}

// The lock picocom and tio take too. Taken before anything of the port is
// touched.
static bool lockPort(int fd, const char *path) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK) return true;
    fprintf(stderr, "> serial port %s is in use by another program, not opened", path);
    printPortHolder(fd, stderr);
    fputc('\n', stderr);
    notePortInUse();
    return false;
}

static int openFailed(const char *path) {
    int err = errno;
    perror("open_port: Unable to open\n");
    explainOpenFailure(path, err);
    releasePortLock();
    return -1;
}

static int refused(int fd) {
    if (fd >= 0) close(fd);
    releasePortLock();
    return -1;
}

static char portPath[4096];
static bool inUse = false;

bool portInUse() { return inUse; }
void notePortInUse() { inUse = true; }
static dev_t portDevice;  // the one opened at start, the only one taken again

// The port opened, checked, locked and set up; -1 when open failed (errno),
// -2 when it was refused (said so).
// Everything that can be done before open is: bytes arriving between open
// and tcsetattr meet the device's old modes, which echo them back to the
// instrument as commands.
static int openConfigured(const char *path) {
    termios t;
    rawAttributes(&t);
    // O_NONBLOCK so open cannot wait for a carrier on a port without CLOCAL,
    // and kept: every read follows a wait for input, and a write to an
    // instrument that stopped reading must not block for ever (writePort).
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat st;
    if (!isSerialPort(fd, path) || !lockPort(fd, path) || fstat(fd, &st) != 0) {
        close(fd);
        return -2;
    }
    portDevice = st.st_rdev;
    ioctl(fd, TIOCEXCL);  // a later open by anyone but root fails with EBUSY
    fcntl(fd, F_SETOWN, getpid());
    tcflush(fd, TCIOFLUSH);  // what the old modes echoed and queued meanwhile
    tcsetattr(fd, TCSANOW, &t);
    gTermFD = fd;
    tcflush(fd, TCIOFLUSH);
    return fd;
}

// close waits until the output has gone, on a serial port up to 30 s; an
// instrument that stopped taking it must not hold the end that long.
static void letOutputGo(int fd) {
    int queued = 0;
    for (int i = 0; i < 50 && ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0; ++i)
        poll(nullptr, 0, 20);
    if (queued > 0) tcflush(fd, TCOFLUSH);
}

int openPort(const char *path) {
    noteOwnTerminals();
    if (!takePortLock(path)) return -1;
    snprintf(portPath, sizeof portPath, "%s", path);
    int fd = openConfigured(path);
    if (fd >= 0) return fd;
    return fd == -2 ? refused(-1) : openFailed(path);
}

// The line down long enough for the other end to notice, as when a cable
// is pulled, with the port ours all the while: B0 hangs a serial line up
// (DTR and RTS drop); to a pseudo-terminal it is only a speed its other side
// may read. Then 115200 8N1 raw again; what came meanwhile is kept, it may
// be readings.
static constexpr long LINE_DOWN_NS = 250000000;

static void holdLineDown(int fd) {
    termios t;
    rawAttributes(&t);
    cfsetospeed(&t, B0);
    tcsetattr(fd, TCSANOW, &t);
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIC, &lines);  // for a driver that ignores B0
    timespec down{0, LINE_DOWN_NS};
    nanosleep(&down, nullptr);
    rawAttributes(&t);
    tcsetattr(fd, TCSANOW, &t);
    ioctl(fd, TIOCMBIS, &lines);
    tcflush(fd, TCOFLUSH);  // what another's modes echoed
}

// A failed open: the device gone, or another's exclusive mode.
static PortTake openTrouble(int err, char *why, size_t size) {
    if (err == ENOENT || err == ENXIO || err == ENODEV || err == EIO || err == ENOTDIR)
        return PortTake::Gone;
    if (err == EBUSY) return PortTake::Held;
    snprintf(why, size, "%s", strerror(err));
    return PortTake::Failed;
}

static int openPath(const char *path, int flags) { return open(path, flags); }
int (*gOpenPortAgain)(const char *path, int flags) = openPath;

PortTake retakePort(char *why, size_t size) {
    why[0] = '\0';
    int fd = gOpenPortAgain(portPath, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return openTrouble(errno, why, size);
    struct stat st;
    // Another device at the name (an adapter plugged back as another) is not
    // the port this lock file and log are for.
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || st.st_rdev != portDevice) {
        close(fd);
        return PortTake::Gone;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        if (err == EWOULDBLOCK) portHolderInto(fd, why, size);
        else snprintf(why, size, "%s", strerror(err));
        close(fd);
        return err == EWOULDBLOCK ? PortTake::Held : PortTake::Failed;
    }
    ioctl(fd, TIOCEXCL);
    fcntl(fd, F_SETOWN, getpid());
    holdLineDown(fd);
    gTermFD = fd;
    return PortTake::Ours;
}

// The driver starts afresh only at the last close, which cures a frozen
// adapter; the port is opened again at once, so that no other program gets
// it meanwhile. The lock file stays ours throughout.
PortTake reopenPort(char *why, size_t size) {
    if (gTermFD >= 0) {
        letOutputGo(gTermFD);  // a frozen adapter takes none of it
        ioctl(gTermFD, TIOCNXCL);
        close(gTermFD);
        gTermFD = -1;
    }
    return retakePort(why, size);
}

void endLostPort() {
    printNotice("> serial device lost, shutting down\n");
    gbPortLost = true;
    gbRun = false;
}

void closePort() {
    if (gTermFD >= 0) {
        letOutputGo(gTermFD);
        ioctl(gTermFD, TIOCNXCL);  // the exclusive mode would outlast us on a held line
        close(gTermFD);
    }
    releasePortLock();
}
