// Putting the log on the disk: at most gLogSyncSeconds after a line was
// written, and only when one was, so an idle instrument costs no writes at
// all. A crash loses nothing either way (the lines are written at once); the
// sync bounds what a power cut can take.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "clocklog/clocklog.h"
#include "terminal/link.h"

int gLogSyncSeconds = 1;
int (*gSyncData)(int) = fdatasync;
int (*gSyncDir)(int) = fsync;

static bool dirty = false;
static timespec due;
static bool syncFailed = false;

void syncLog() {
    if (!dirty) return;
    dirty = false;
    if (!gpLogFile) return;
    if (gSyncData(fileno(gpLogFile)) == 0) {
        syncFailed = false;
    } else if (!syncFailed) {
        syncFailed = true;
        printError("> log sync failed (%s), readings may be lost at a power cut\n",
                   strerror(errno));
    }
}

void noteLogWritten() {
    if (gLogSyncSeconds == 0) {
        dirty = true;
        syncLog();
        return;
    }
    if (dirty) return;
    dirty = true;
    due = monotonicNow();
    due.tv_sec += gLogSyncSeconds;
}

int logSyncWaitMs() {
    if (!dirty) return -1;
    timespec now = monotonicNow();
    long long ms = (due.tv_sec - now.tv_sec) * 1000LL + (due.tv_nsec - now.tv_nsec + 999999) / 1000000;
    return ms < 0 ? 0 : (int)ms;
}

void syncLogIfDue() {
    if (logSyncWaitMs() == 0) syncLog();
}

// A new file's name must reach the disk too, or a cut can take the file
// with all that was synced into it.
void syncLogDir() {
    int fd = gLogDirFD == AT_FDCWD ? open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : gLogDirFD;
    if (fd < 0) return;
    gSyncDir(fd);
    if (fd != gLogDirFD) close(fd);
}
