// The received file on disk. Data goes to a temporary file beside the
// target and is renamed onto the name only once all of it has arrived and
// reached the disk, so a file the user already had is never truncated by a
// transfer that then fails; what did arrive is kept, never lost.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "terminal/link.h"
#include "transfer/transfer.h"

static const char PARTIAL[] = ".partial";

static TargetResult inspect(DownloadTarget &t) {
    struct stat st;
    if (fstatat(t.dir, t.base, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? TargetResult::Ready : TargetResult::Failed;
    if (S_ISLNK(st.st_mode)) return TargetResult::Unsafe;
    if (!S_ISREG(st.st_mode)) return TargetResult::NotRegular;
    if (st.st_dev == gLogDev && st.st_ino == gLogIno) return TargetResult::IsLog;
    t.existed = true;
    t.mode = st.st_mode & 07777;
    return TargetResult::Ready;
}

// One download at a time; the dot keeps it out of any name that is accepted.
static TargetResult createTemp(DownloadTarget &t) {
    snprintf(t.temp, sizeof t.temp, ".kestrode-%d.part", (int)getpid());
    unlinkat(t.dir, t.temp, 0);  // left by a killed run of the same pid
    t.file = openat(t.dir, t.temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (t.file < 0) return TargetResult::Failed;
    if (t.existed) fchmod(t.file, t.mode);  // a re-download keeps the file's permissions
    return TargetResult::Ready;
}

TargetResult openTarget(const char *name, DownloadTarget &t) {
    t = DownloadTarget{};
    t.dir = t.file = -1;
    if (strlen(name) + sizeof PARTIAL > sizeof t.partial) return TargetResult::Unsafe;
    snprintf(t.partial, sizeof t.partial, "%s%s", name, PARTIAL);
    t.dir = openConfinedDir(name, &t.base);
    if (t.dir < 0) {
        bool escapes = errno == EXDEV || errno == ELOOP;
        return escapes ? TargetResult::Unsafe : TargetResult::Failed;
    }
    TargetResult r = inspect(t);
    if (r == TargetResult::Ready) r = createTemp(t);
    if (r != TargetResult::Ready) closeTarget(t);
    return r;
}

// True when the data reached the disk.
static bool closeSynced(DownloadTarget &t) {
    if (t.file < 0) return false;
    bool synced = fsync(t.file) == 0;
    close(t.file);
    t.file = -1;
    return synced;
}

static bool renameTemp(DownloadTarget &t, const char *to) {
    const char *slash = strrchr(to, '/');
    if (renameat(t.dir, t.temp, t.dir, slash ? slash + 1 : to) != 0) return false;
    fsync(t.dir);  // the rename itself must survive a power cut too
    return true;
}

bool commitTarget(DownloadTarget &t) { return closeSynced(t) && renameTemp(t, t.base); }

// Keeps what arrived: under the name when there was no file, else beside
// it. Returns the name it is kept under, or null (then nothing is left).
const char *keepPartial(DownloadTarget &t, const char *name) {
    closeSynced(t);
    const char *to = t.existed ? t.partial : name;
    if (renameTemp(t, to)) return to;
    unlinkat(t.dir, t.temp, 0);
    return nullptr;
}

void closeTarget(DownloadTarget &t) {
    if (t.file >= 0) close(t.file);
    if (t.dir >= 0) close(t.dir);
    t.file = t.dir = -1;
}
