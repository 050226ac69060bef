// The UUCP lock file that classic serial programs honour: LCK..<device> in
// the lock directory, holding the owner's process id in ten columns. Taken
// before the port is opened, as those programs do, and removed at every end.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "share/share.h"
#include "terminal/terminal.h"

static char lockFile[PATH_MAX + 16];
static bool held = false;

const char *portLockFile() { return held ? lockFile : ""; }

void releasePortLock() {
    if (!held) return;
    unlink(lockFile);
    held = false;
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

// The holder's process id, 0 when the file gives none.
static long lockHolder(const char *file) {
    char text[32] = {};
    int fd = open(file, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return 0;
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0) return 0;
    char *end;
    long pid = strtol(text, &end, 10);
    return end != text && pid > 0 ? pid : 0;
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
    hintAttach(path);
}

bool takePortLockIn(const char *dir, const char *path) {
    struct stat st;
    char name[PATH_MAX];
    // Only a device gets a lock: anything else is refused once opened.
    if (stat(path, &st) != 0 || !S_ISCHR(st.st_mode) || !lockName(path, name, sizeof name))
        return true;
    snprintf(lockFile, sizeof lockFile, "%s/%s", dir, name);
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (create(lockFile)) {
            static bool registered = false;  // exit(), from wherever it comes
            if (!registered) registered = atexit(releasePortLock) == 0;
            held = true;
            return true;
        }
        if (errno != EEXIST) return true;  // a lock directory we may not write: flock still holds
        long pid = lockHolder(lockFile);
        // A process of that id that is us is a former one: ids come round.
        if (pid == 0 || (pid != getpid() && alive(pid))) {
            refuse(path, lockFile, pid);
            return false;
        }
        unlink(lockFile);  // stale: its process is gone
    }
    return true;
}

static const char *lockDirectory() {
    struct stat st;
    return stat("/run/lock", &st) == 0 && S_ISDIR(st.st_mode) ? "/run/lock" : "/var/lock";
}

bool takePortLock(const char *path) { return takePortLockIn(lockDirectory(), path); }
