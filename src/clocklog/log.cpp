// The dated log of everything the instrument said: choosing and opening it.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "clocklog/clocklog.h"
#include "base/base.h"

FILE *gpLogFile = nullptr;
int gLogDay = 0;
static int openError = 0;  // why the last name could not be opened
static char openPath[4096 + 128];  // the open log's full path
static bool madeNew = false;  // the name opened last was not there before
static char openedName[128];  // and that name

const char *logPath() { return gpLogFile ? openPath : ""; }

int localDay(time_t t) {
    struct tm tmv;
    localtime_r(&t, &tmv);
    return (tmv.tm_year + 1900) * 10000 + (tmv.tm_mon + 1) * 100 + tmv.tm_mday;
}

// Only a regular file is a log: a FIFO of that name would block start-up
// (O_NONBLOCK makes it fail or show itself instead), a device or socket
// would swallow the lines. One that another kestrode writes (it holds the
// lock) is passed over, so two instruments never share a log.
static FILE *openRegular(const char *name, struct stat &st) {
    madeNew = fstatat(gLogDirFD, name, &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT;
    int fd = openat(gLogDirFD, name, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        openError = errno;
        return nullptr;
    }
    FILE *f = nullptr;
    openError = EBUSY;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        openError = ENODEV;
    else if (flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK)
        f = fdopen(fd, "ab");  // a file system without locks still logs
    if (!f) {
        close(fd);
        return nullptr;
    }
    fcntl(fd, F_SETFL, O_APPEND);
    return f;
}

static FILE *openFirstFree(const char *stem, char *name, size_t nameSize, struct stat &st) {
    snprintf(name, nameSize, "%s.log", stem);
    FILE *f = openRegular(name, st);
    for (int i = 1; !f && i <= 99; ++i) {
        snprintf(name, nameSize, "%s(%d).log", stem, i);
        f = openRegular(name, st);
    }
    return f;
}

static void reportNoLog(const char *dir) {
    const char *why = openError == EBUSY   ? "every name is in use by another kestrode"
                      : openError == ENODEV ? "the last name is no regular file"
                                            : strerror(openError);
    printf("> no log file can be opened in %s: %s\n", dir, why);
}

FILE *openLogFor(time_t when) {
    gLogDay = localDay(when);
    gLogLastTime = when;
    char stem[64];
    snprintf(stem, sizeof stem, "%s%08d", LOG_STEM, gLogDay);
    char name[128];
    struct stat st;
    FILE *f = openFirstFree(stem, name, sizeof name, st);
    const char *dir = logDirName();
    if (!f) {
        printf("creating log file %s failed\r\n", name);
        reportNoLog(dir[0] ? dir : ".");
        return nullptr;
    }
    gLogDev = st.st_dev;
    gLogIno = st.st_ino;
    printf("Local logging file : %s\\%s\r\n", dir, name);
    const char *in = dir[0] ? dir : ".";
    snprintf(openPath, sizeof openPath, "%s/%s", strcmp(in, "/") == 0 ? "" : in, name);
    repairLogEnd(fileno(f), name);
    countEarlierLines(when, linesInLog(name));
    syncLogDir();
    snprintf(openedName, sizeof openedName, "%s", name);
    return f;
}

// Once the day before is closed (it no longer holds its lock): a day's
// file opened again removes nothing.
void keepLogsIfNewDay() {
    if (madeNew) keepNewestLogs(openedName);
    madeNew = false;
}

void startLog() {
    gpLogFile = openLogFor(gClock(nullptr));
    if (!gpLogFile) return;
    warnIfLogInMemory();
    keepLogsIfNewDay();
}

void stopLog() {
    if (!gpLogFile) return;
    flushLog();
    syncLog();
    fclose(gpLogFile);
    gpLogFile = nullptr;
    gLogDev = 0;
    gLogIno = 0;
}
