// Keeping the newest N day files (--log-keep N, with --log-daily), the way
// a rotation keeps N: by count, never by age. A clock that comes up years
// ahead or behind would make an age rule delete every file at once; by
// count, each new day's file costs at most the one oldest, and the file
// being opened is never it. Only names --log-daily makes count, regular
// files of our own: an instrument's kestrode-1.log, a summary, a received
// file, a download's temporary, a link or another user's file never do.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "clocklog/clocklog.h"
#include "base/base.h"

int gLogKeep = 0;


static int digits(const char *p, int n) {
    int v = 0;
    for (int i = 0; i < n; ++i) {
        if (p[i] < '0' || p[i] > '9') return -1;
        v = v * 10 + (p[i] - '0');
    }
    return v;
}

// kestrode-YYYYMMDD.log or kestrode-YYYYMMDD(N).log, N 1 to 99, as
// openLogFor makes them: YYYYMMDD * 100 + N for their order, else -1.
long long dayFileKey(const char *name) {
    if (strncmp(name, LOG_STEM, sizeof LOG_STEM - 1) != 0) return -1;
    const char *p = name + sizeof LOG_STEM - 1;
    int date = digits(p, 8);
    int month = date / 100 % 100, day = date % 100;
    if (date < 0 || month < 1 || month > 12 || day < 1 || day > 31) return -1;
    p += 8;
    int number = 0;
    if (*p == '(') {
        int len = p[1] >= '1' && p[1] <= '9' ? (p[2] == ')' ? 1 : p[3] == ')' ? 2 : 0) : 0;
        if (len == 0 || (number = digits(p + 1, len)) < 1) return -1;
        p += len + 2;
    }
    if (strcmp(p, ".log") != 0) return -1;
    return (long long)date * 100 + number;
}

static bool ownDayFile(const struct stat &st) { return S_ISREG(st.st_mode) && st.st_uid == geteuid(); }

// Removed only while nobody writes it: every kestrode holds a lock on its
// log, this one on the file it has just opened too. False when it is kept
// for that; a failure of any other kind is said.
static bool removeDayFile(int dir, const char *name) {
    int fd = openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st, again;
    const char *why = nullptr;
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        close(fd);
        return false;
    }
    if (fd < 0 || fstat(fd, &st) != 0 || !ownDayFile(st))
        why = fd < 0 ? strerror(errno) : "no longer a day file of kestrode's";
    else if (fstatat(dir, name, &again, AT_SYMLINK_NOFOLLOW) != 0 || again.st_ino != st.st_ino ||
             again.st_dev != st.st_dev)
        why = "it was replaced meanwhile";
    else if (unlinkat(dir, name, 0) != 0)
        why = strerror(errno);
    if (fd >= 0) close(fd);
    if (why) printNotice("> log file %s could not be removed: %s\n", name, why);
    else printf("> log file %s removed, the newest %d are kept\n", name, gLogKeep);
    return true;
}

// The oldest day files, oldest first; a few, as one a kestrode still
// writes (its clock far behind) is passed over.
static constexpr int CANDIDATES = 4;
struct Candidate {
    long long key;
    char name[32];  // "kestrode-YYYYMMDD(NN).log" and its NUL
};
static Candidate oldest[CANDIDATES];
static int candidates = 0;

static void consider(long long key, const char *name) {
    int at = candidates;
    while (at > 0 && oldest[at - 1].key > key) --at;
    if (at == CANDIDATES) return;
    if (candidates < CANDIDATES) ++candidates;
    memmove(oldest + at + 1, oldest + at, (candidates - 1 - at) * sizeof oldest[0]);
    oldest[at].key = key;
    snprintf(oldest[at].name, sizeof oldest[at].name, "%.31s", name);  // 25 at most
}

// Counts the day files of ours in `dir` and keeps the oldest but `opened`.
// Read with getdents64 into a buffer of our own: nothing is allocated.
static int scanDayFiles(int dir, const char *opened) {
    alignas(dirent64) char buf[8192];
    int count = 0;
    candidates = 0;
    for (ssize_t n; (n = getdents64(dir, buf, sizeof buf)) > 0;) {
        for (ssize_t at = 0; at < n; at += ((dirent64 *)(buf + at))->d_reclen) {
            const char *name = ((dirent64 *)(buf + at))->d_name;
            long long key = dayFileKey(name);
            struct stat st;
            if (key < 0 || fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !ownDayFile(st))
                continue;
            ++count;
            if (strcmp(name, opened) != 0) consider(key, name);
        }
    }
    return count;
}

// After `opened` was made as a new day's file: when more than gLogKeep day
// files are there, the oldest other one goes, one at most.
void keepNewestLogs(const char *opened) {
    if (!gbLogDaily || gLogKeep <= 0) return;
    int dir = openat(gLogDirFD, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return;
    if (scanDayFiles(dir, opened) > gLogKeep)
        for (int i = 0; i < candidates && !removeDayFile(dir, oldest[i].name); ++i) {
        }
    close(dir);
}
