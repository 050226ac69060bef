// A log directory in memory (tmpfs, ramfs: set up to spare an SD card) is
// emptied by every power cut; the user is told once, at start.
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/vfs.h>

#include "clocklog/clocklog.h"
#include "base/base.h"

static long fileSystemOf(int dirFD) {
    struct statfs fs;
    int r = dirFD == AT_FDCWD ? statfs(".", &fs) : fstatfs(dirFD, &fs);
    return r == 0 ? (long)fs.f_type : 0;
}

long (*gFileSystemOf)(int dirFD) = fileSystemOf;

void warnIfLogInMemory() {
    long type = gFileSystemOf(gLogDirFD);
    if (type != TMPFS_MAGIC && type != RAMFS_MAGIC) return;
    const char *dir = logDirName();
    printNotice("> the log directory %s is in memory: readings will not survive a power cut\n",
                dir[0] ? dir : ".");
}
