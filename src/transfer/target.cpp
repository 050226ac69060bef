// The received file on disk. Data goes to a temporary file beside the
// target and is renamed onto the name only once all of it has arrived and
// reached the disk, so a file the user already had is never truncated by a
// transfer that then fails; what did arrive is kept, never lost, and never
// put over a file that is there.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "base/base.h"
#include "transfer/transfer.h"

static const char PARTIAL[] = ".partial";
static constexpr int FREE_NAMES = 99;  // "<name>.partial.1" and on

static bool inLogDir(int dir) {
    struct stat a, b;
    return fstat(dir, &a) == 0 && fstatat(gLogDirFD, ".", &b, 0) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

// Another kestrode holds its open log under a flock (log.cpp); probed
// without blocking. Returns the descriptor that now holds that lock, so
// that no kestrode takes the file up as its log until it is released, or
// -1 when it is held or cannot be opened to tell (errno ENOENT: not there).
static int lockAsLog(int dir, const char *base) {
    int fd = openat(dir, base, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    // Where the file system has no locks, logs go without them (log.cpp).
    if (flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK) return fd;
    close(fd);
    errno = EBUSY;
    return -1;
}

// A log's name in the log folder, whether or not the file is there yet; a
// log's name elsewhere while another kestrode writes it.
static bool isALog(DownloadTarget &t, bool exists) {
    if (!isLogName(t.base)) return false;
    if (inLogDir(t.dir)) return true;
    if (!exists) return false;
    int fd = lockAsLog(t.dir, t.base);
    if (fd < 0) return true;
    close(fd);
    return false;
}

static TargetResult inspect(DownloadTarget &t) {
    struct stat st;
    if (fstatat(t.dir, t.base, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) return TargetResult::Failed;
        return isALog(t, false) ? TargetResult::LogName : TargetResult::Ready;
    }
    if (S_ISLNK(st.st_mode)) return TargetResult::Unsafe;
    if (!S_ISREG(st.st_mode)) return TargetResult::NotRegular;
    if (st.st_dev == gLogDev && st.st_ino == gLogIno) return TargetResult::IsLog;
    if (isALog(t, true)) return TargetResult::LogName;
    t.existed = true;
    t.mode = st.st_mode & 0777;  // never set-id bits on what the instrument sent
    return TargetResult::Ready;
}

// One download at a time; the dot keeps it out of any name that is accepted.
// One left by an earlier run of the same pid (after a power cut, pids come
// round again) holds acknowledged bytes: another name is taken, and the
// lock tells a running download's file from a left one.
static TargetResult createTemp(DownloadTarget &t) {
    for (int i = 0; i <= FREE_NAMES; ++i) {
        if (i == 0) snprintf(t.temp, sizeof t.temp, ".kestrode-%d.part", (int)getpid());
        else snprintf(t.temp, sizeof t.temp, ".kestrode-%d-%d.part", (int)getpid(), i);
        t.file = openat(t.dir, t.temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (t.file >= 0 || errno != EEXIST) break;
    }
    if (t.file < 0) return TargetResult::Failed;
    flock(t.file, LOCK_EX | LOCK_NB);
    if (t.existed) fchmod(t.file, t.mode);  // a re-download keeps the file's permissions
    return TargetResult::Ready;
}

TargetResult openTarget(const char *name, DownloadTarget &t) {
    t = DownloadTarget{};
    t.dir = t.file = -1;
    if (strlen(name) >= DOWNLOAD_NAME_SIZE) return TargetResult::Unsafe;
    t.dir = openConfinedDir(name, &t.base);
    t.dirLen = (int)(t.base - name);
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
    if (renameat(t.dir, t.temp, t.dir, to) != 0) return false;
    fsync(t.dir);  // the rename itself must survive a power cut too
    return true;
}

// A kestrode may have taken a log's name up as its log while the data came.
bool commitTarget(DownloadTarget &t) {
    if (!closeSynced(t)) return false;
    if (!isLogName(t.base)) return renameTemp(t, t.base);
    int held = lockAsLog(t.dir, t.base);
    if (held < 0 && errno != ENOENT) return false;
    bool renamed = renameTemp(t, t.base);
    if (held >= 0) close(held);
    return renamed;
}

// A rename that fails with EEXIST rather than replace what is there. Where
// the kernel, the file system or an emulator lacks the flag, a hard link
// gives the same promise.
static bool moveNoReplace(DownloadTarget &t, const char *to) {
    if (renameat2(t.dir, t.temp, t.dir, to, RENAME_NOREPLACE) != 0) {
        if (errno != EINVAL && errno != ENOSYS) return false;
        if (linkat(t.dir, t.temp, t.dir, to, 0) != 0) return false;
        unlinkat(t.dir, t.temp, 0);
    }
    fsync(t.dir);
    return true;
}

// t.kept = the name's directory part, then `last` and `suffix`; returns its
// last component, or null when it does not fit.
static const char *setKept(DownloadTarget &t, const char *name, const char *last,
                           const char *suffix) {
    int n = snprintf(t.kept, sizeof t.kept, "%.*s%s%s", t.dirLen, name, last, suffix);
    return n < (int)sizeof t.kept ? t.kept + t.dirLen : nullptr;
}

// "<name>.partial" may be replaced when it is absent or a regular file,
// which is what an earlier failed download leaves there.
static bool partialReplaceable(DownloadTarget &t, const char *last) {
    struct stat st;
    if (fstatat(t.dir, last, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
    return S_ISREG(st.st_mode);
}

static bool keepBeside(DownloadTarget &t, const char *name) {
    const char *last = setKept(t, name, t.base, PARTIAL);
    if (last && partialReplaceable(t, last) && renameTemp(t, last)) return true;
    char suffix[24];
    for (int i = 1; i <= FREE_NAMES; ++i) {
        snprintf(suffix, sizeof suffix, "%s.%d", PARTIAL, i);
        last = setKept(t, name, t.base, suffix);
        if (last && moveNoReplace(t, last)) return true;
        if (!last || errno != EEXIST) return false;
    }
    return false;
}

// Under the name when nothing is there now, else beside it, else the
// temporary file stays where it is.
const char *keepPartial(DownloadTarget &t, const char *name) {
    closeSynced(t);
    if (moveNoReplace(t, t.base) && setKept(t, name, t.base, "")) return t.kept;
    if (keepBeside(t, name)) return t.kept;
    setKept(t, name, t.temp, "");
    return t.kept;
}

void closeTarget(DownloadTarget &t) {
    if (t.file >= 0) close(t.file);
    if (t.dir >= 0) close(t.dir);
    t.file = t.dir = -1;
}
