// --attach: the instrument on a serial device that already exists (a real
// port, or the slave of a pseudo-terminal that another program holds)
// instead of a pseudo-terminal of its own. The far end cannot be watched as
// on our own pseudo-terminal, so a host counts as present and set up from
// the start; only a hang-up (the far end of a pseudo-terminal closed) ends it.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
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

bool attachOpen() {
    const char *path = gOpt.attach.c_str();
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "kestrode-sim: %s: %s\n", path, strerror(errno));
        return false;
    }
    // The lock serial terminals take: never play the instrument on the port
    // the host itself has open.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        fprintf(stderr, "kestrode-sim: %s is in use by another program\n", path);
        close(fd);
        return false;
    }
    if (!isatty(fd) || !instrumentLine(fd)) {
        fprintf(stderr, "kestrode-sim: %s is not a serial device\n", path);
        close(fd);
        return false;
    }
    tcflush(fd, TCIFLUSH);  // whatever the line picked up before we came
    gMaster = fd;
    gDevicePath = gOpt.attach;
    return true;
}
