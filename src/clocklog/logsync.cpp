// Putting the log on the disk: at most gLogSyncSeconds after a line was
// written, and only when one was, so an idle instrument costs no writes at
// all. A crash loses nothing either way (the lines are written at once); the
// sync bounds what a power cut can take.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "clocklog/clocklog.h"
#include "base/base.h"

int gLogSyncSeconds = 1;
int (*gSyncData)(int) = fdatasync;
int (*gSyncDir)(int) = fsync;

static bool dirty = false;  // lines written since the last good sync
static timespec due;
static long failedSyncs = 0;   // since the last good one
static char failingSince[16];  // "HH:MM:SS" of the first of them, or ""

const char *logNotOnDiskSince() { return failingSince; }

static void syncFailed(int err) {
    if (failedSyncs++ == 0) {
        time_t now = gClock(nullptr);
        struct tm tmv {};
        localtime_r(&now, &tmv);
        strftime(failingSince, sizeof failingSince, "%H:%M:%S", &tmv);
        printError("> log sync failed (%s), readings may be lost at a power cut\n", strerror(err));
    }
    // Tried again an interval on (with none, at the next line): a disk that
    // fails at once must not be asked again and again.
    due = monotonicNow();
    due.tv_sec += gLogSyncSeconds;
}

void syncLog() {
    if (!dirty) return;
    if (!gpLogFile) {
        dirty = false;
        return;
    }
    if (gSyncData(fileno(gpLogFile)) != 0) return syncFailed(errno);
    dirty = false;
    if (failedSyncs > 0)
        printNotice("> log sync works again, %ld syncs had failed\n", failedSyncs);
    failedSyncs = 0;
    failingSince[0] = '\0';
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
    if (!dirty || (gLogSyncSeconds == 0 && failedSyncs > 0)) return -1;
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
