// The UUCP lock file that classic serial programs honour: LCK..<device> in
// the lock directory, holding the owner's process id in ten columns. Taken
// before the port is opened, as those programs do, and removed at every end.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "port/port.h"

static char lockFile[PATH_MAX + 16];
static bool held = false;

const char *portLockFile() { return held ? lockFile : ""; }

// The holder's process id as the file gives it, 0 when it gives none.
static long readHolder(int fd) {
    char text[32] = {};
    ssize_t n = pread(fd, text, sizeof text - 1, 0);
    if (n <= 0) return 0;
    char *end;
    long pid = strtol(text, &end, 10);
    return end != text && pid > 0 ? pid : 0;
}

// The lock file open for reading. Anyone may put something else at the
// name: a FIFO would block the open for ever, a device answer it. -1 with
// *mode set when the name holds no regular file, with *mode 0 and errno
// when it cannot be opened.
static int openLock(const char *file, mode_t *mode) {
    struct stat st;
    *mode = 0;
    if (lstat(file, &st) != 0) return -1;
    if (S_ISREG(st.st_mode)) {
        int fd = open(file, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0) return -1;
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) return fd;
        close(fd);  // swapped meanwhile
    }
    *mode = st.st_mode;
    return -1;
}

// Removed only while it is ours: another may have taken it over.
void releasePortLock() {
    if (!held) return;
    held = false;
    mode_t mode;
    int fd = openLock(lockFile, &mode);
    if (fd < 0) return;
    if (readHolder(fd) == getpid()) unlink(lockFile);
    close(fd);
}

// /dev/pts/3 is "pts_3", /dev/ttyUSB0 "ttyUSB0": the name after /dev/ with
// its slashes made underscores, as the other programs form it. A by-id link
// is followed first, so every name of one port gives one lock.
bool portName(const char *path, char *out, size_t size) {
    char real[PATH_MAX];
    if (!realpath(path, real)) return false;
    const char *name = strncmp(real, "/dev/", 5) == 0 ? real + 5 : strrchr(real, '/') + 1;
    int n = snprintf(out, size, "%s", name);
    if (n < 0 || (size_t)n >= size) return false;
    for (char *c = out; *c; ++c)
        if (*c == '/') *c = '_';
    return true;
}

static bool lockName(const char *path, char *out, size_t size) {
    if (size < 6 || !portName(path, out + 5, size - 5)) return false;
    memcpy(out, "LCK..", 5);
    return true;
}

static bool alive(long pid) { return kill((pid_t)pid, 0) == 0 || errno == EPERM; }

static bool create(const char *file) {
    int fd = open(file, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return false;
    char text[16];
    int n = snprintf(text, sizeof text, "%10ld\n", (long)getpid());
    bool ok = write(fd, text, n) == n;
    close(fd);
    if (!ok) unlink(file);
    return ok;
}

static void refuse(const char *path, const char *file, long pid) {
    fprintf(stderr, "> serial port %s is in use by another program, not opened", path);
    fprintf(stderr, " (lock file %s", file);
    if (pid > 0) fprintf(stderr, " of process %ld", pid);
    fputs(")\n", stderr);
    notePortInUse();
}

// A stale lock is replaced in one step, and only while the name still
// holds the very file that named the dead process: a kestrode replacing
// it at the same moment holds the file's flock, and once it is done the
// name holds another file. So of two that find one stale lock, one takes
// it and the other then finds it live.
static bool replaceStale(int fd, const char *dir, const char *name, long dead) {
    struct stat mine, now;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || fstat(fd, &mine) != 0 ||
        lstat(lockFile, &now) != 0 || mine.st_dev != now.st_dev || mine.st_ino != now.st_ino ||
        readHolder(fd) != dead)
        return false;
    char fresh[PATH_MAX + 32];
    snprintf(fresh, sizeof fresh, "%s/.%s.%ld", dir, name, (long)getpid());
    unlink(fresh);  // left by a killed run of the same pid
    if (!create(fresh)) return false;
    if (rename(fresh, lockFile) == 0) return true;
    unlink(fresh);
    return false;
}

enum class Lock { Taken, Refused, Again, Skipped };

static Lock refuseKind(const char *path, mode_t mode) {
    fprintf(stderr, "> serial port %s not opened: %s is %s, not a lock file\n", path, lockFile,
            fileKind(mode));
    return Lock::Refused;
}

static Lock tryLock(const char *dir, const char *name, const char *path) {
    if (create(lockFile)) return Lock::Taken;
    if (errno != EEXIST) return Lock::Skipped;  // a lock directory we may not write: flock still holds
    mode_t mode;
    int fd = openLock(lockFile, &mode);
    if (fd < 0 && mode != 0) return refuseKind(path, mode);
    if (fd < 0 && errno == ENOENT) return Lock::Again;  // removed meanwhile
    long pid = fd < 0 ? 0 : readHolder(fd);
    // A process of that id that is us is a former one: ids come round.
    bool stale = pid != 0 && (pid == getpid() || !alive(pid));
    Lock r = !stale ? Lock::Refused : replaceStale(fd, dir, name, pid) ? Lock::Taken : Lock::Again;
    if (fd >= 0) close(fd);
    if (r == Lock::Refused) refuse(path, lockFile, pid);
    return r;
}

// Again: a stale lock another is replacing right now; what it leaves is
// read once it is done.
static constexpr int ATTEMPTS = 50;
static constexpr useconds_t AGAIN_PAUSE = 20000;

bool takePortLockIn(const char *dir, const char *path) {
    struct stat st;
    char name[PATH_MAX];
    // Only a device gets a lock: anything else is refused once opened.
    if (stat(path, &st) != 0 || !S_ISCHR(st.st_mode) || !lockName(path, name, sizeof name))
        return true;
    snprintf(lockFile, sizeof lockFile, "%s/%s", dir, name);
    for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
        switch (tryLock(dir, name, path)) {
        case Lock::Taken: {
            static bool registered = false;  // exit(), from wherever it comes
            if (!registered) registered = atexit(releasePortLock) == 0;
            held = true;
            return true;
        }
        case Lock::Refused:
            return false;
        case Lock::Skipped:
            return true;
        case Lock::Again:
            usleep(AGAIN_PAUSE);
        }
    }
    return true;
}

static const char *lockDirectory() {
    struct stat st;
    return stat("/run/lock", &st) == 0 && S_ISDIR(st.st_mode) ? "/run/lock" : "/var/lock";
}

bool takePortLock(const char *path) { return takePortLockIn(lockDirectory(), path); }
