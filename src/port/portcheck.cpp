// Only a serial port is a port: not a file, not /dev/null, and not the
// terminal kestrode itself runs in, whose modes it would take over.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "port/port.h"

static dev_t ownTerminals[3];  // standard input, output and error
static int ownCount = 0;

void noteOwnTerminals() {
    ownCount = 0;
    for (int fd = 0; fd <= 2; ++fd) {
        struct stat st;
        if (isatty(fd) && fstat(fd, &st) == 0 && S_ISCHR(st.st_mode))
            ownTerminals[ownCount++] = st.st_rdev;
    }
}

static bool isOwnTerminal(dev_t rdev) {
    if (rdev == makedev(5, 0)) return true;  // /dev/tty: whichever is ours
    for (int i = 0; i < ownCount; ++i)
        if (ownTerminals[i] == rdev) return true;
    return false;
}

const char *fileKind(mode_t mode) {
    if (S_ISREG(mode)) return "a regular file";
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISLNK(mode)) return "a symbolic link";
    return "a device that is no terminal";
}

// Reading the attributes changes nothing; a device without them is no
// serial port.
bool isSerialPort(int fd, const char *path) {
    struct stat st;
    termios t;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || tcgetattr(fd, &t) != 0) {
        fprintf(stderr, "> %s is not a serial port (%s), not opened\n", path,
                fileKind(st.st_mode));
        return false;
    }
    // Only the controlling terminal itself answers with its session.
    if (isOwnTerminal(st.st_rdev) || tcgetsid(fd) >= 0) {
        fprintf(stderr, "> %s is the terminal kestrode runs in, not a serial port, not opened\n",
                path);
        return false;
    }
    return true;
}
