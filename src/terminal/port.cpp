// Opening and configuring the serial port: 115200 8N1, raw.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

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

// The lock other serial terminals take too, so two programs never share a
// line and split its stream. Taken before anything of the port is touched.
static bool lockPort(int fd, const char *path) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK) return true;
    fprintf(stderr, "> serial port %s is in use by another program, not opened\n", path);
    return false;
}

int openPort(const char *path) {
    // O_NONBLOCK so open cannot wait for a carrier on a port without CLOCAL;
    // cleared again once CLOCAL is set so reads block as usual.
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        perror("open_port: Unable to open\n");
        return -1;
    }
    if (!lockPort(fd, path)) {
        close(fd);
        return -1;
    }
    fcntl(fd, F_SETOWN, getpid());
    termios t;
    rawAttributes(&t);
    tcflush(fd, TCIOFLUSH);
    tcsetattr(fd, TCSANOW, &t);
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    gTermFD = fd;
    tcflush(fd, TCIOFLUSH);
    return fd;
}
