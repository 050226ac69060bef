// Opening and configuring the serial port: 115200 8N1, raw.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "share/share.h"
#include "terminal/terminal.h"

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
    hintAttach(path);
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
    if (!isSerialPort(fd, path) || !lockPort(fd, path)) {
        close(fd);
        return -2;
    }
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

// The driver sees a real close and open (a frozen adapter needs just that),
// with the line down long enough for the other end to notice, as when a
// cable is pulled; the lock file stays ours throughout, the port's flock is
// taken again.
static constexpr long LINE_DOWN_NS = 250000000;

bool reopenPort() {
    if (gTermFD >= 0) {
        letOutputGo(gTermFD);  // a frozen adapter takes none of it
        ioctl(gTermFD, TIOCNXCL);
        close(gTermFD);
        gTermFD = -1;
    }
    timespec down{0, LINE_DOWN_NS};
    nanosleep(&down, nullptr);
    return openConfigured(portPath) >= 0;
}

void closePort() {
    if (gTermFD >= 0) {
        letOutputGo(gTermFD);
        ioctl(gTermFD, TIOCNXCL);  // the exclusive mode would outlast us on a held line
        close(gTermFD);
    }
    releasePortLock();
}
