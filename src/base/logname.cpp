// The log's identity, which a download must never take: its folder, the
// file open as the log, and the names of logs.
#include <fcntl.h>

#include <cstring>

#include "base/base.h"

int gLogDirFD = AT_FDCWD;
dev_t gLogDev = 0;
ino_t gLogIno = 0;

bool isLogName(const char *name) {
    if (strncmp(name, LOG_STEM, sizeof LOG_STEM - 1) != 0) return false;
    const char *p = name + sizeof LOG_STEM - 1;
    size_t date = strspn(p, "0123456789");
    if (date < 8) return false;
    p += date;
    if (*p == '(') {
        size_t number = strspn(p + 1, "0123456789");
        if (number == 0 || p[1 + number] != ')') return false;
        p += number + 2;
    }
    return strcmp(p, ".log") == 0;
}
