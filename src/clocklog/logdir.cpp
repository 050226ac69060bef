// Where the log goes (--log-dir); the current directory unless chosen.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "clocklog/clocklog.h"

static char dirName[4096];

bool setLogDir(const char *dir) {
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // Refused at start rather than found out at the first line.
    if (fd < 0 || faccessat(fd, ".", W_OK | X_OK, AT_EACCESS) != 0 || !realpath(dir, dirName)) {
        fprintf(stderr, "> log directory %s cannot be used (%s)\n", dir, strerror(errno));
        if (fd >= 0) close(fd);
        return false;
    }
    gLogDirFD = fd;
    return true;
}

// The directory the announcement names: the chosen one, else the current.
const char *logDirName() {
    if (gLogDirFD != AT_FDCWD) return dirName;
    if (!getcwd(dirName, 256)) dirName[0] = '\0';
    return dirName;
}
