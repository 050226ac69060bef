// The dated log of everything the instrument said: choosing and opening it.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "clocklog/clocklog.h"
#include "terminal/link.h"

FILE *gpLogFile = nullptr;
static int openError = 0;  // why the last name could not be opened

// Only a regular file is a log: a FIFO of that name would block start-up
// (O_NONBLOCK makes it fail or show itself instead), a device or socket
// would swallow the lines. One that another kestrode writes (it holds the
// lock) is passed over, so two instruments never share a log.
static FILE *openRegular(const char *name) {
    int fd = open(name, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        openError = errno;
        return nullptr;
    }
    struct stat st;
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
    gLogDev = st.st_dev;
    gLogIno = st.st_ino;
    return f;
}

static FILE *openFirstFree(const char *stem, char *name, size_t nameSize) {
    snprintf(name, nameSize, "%s.log", stem);
    FILE *f = openRegular(name);
    for (int i = 1; !f && i <= 99; ++i) {
        snprintf(name, nameSize, "%s(%d).log", stem, i);
        f = openRegular(name);
    }
    return f;
}

static void reportNoLog(const char *dir) {
    const char *why = openError == EBUSY   ? "every name is in use by another kestrode"
                      : openError == ENODEV ? "the last name is no regular file"
                                            : strerror(openError);
    printf("> no log file can be opened in %s: %s\n", dir, why);
}

void startLog() {
    time_t now = gClock(nullptr);
    struct tm tmv;
    localtime_r(&now, &tmv);
    char stem[64];
    snprintf(stem, sizeof stem, "kestrode-%04d%02d%02d", tmv.tm_year + 1900,
             tmv.tm_mon + 1, tmv.tm_mday);
    char name[128];
    gpLogFile = openFirstFree(stem, name, sizeof name);
    char cwd[256];
    if (!getcwd(cwd, sizeof cwd)) cwd[0] = '\0';
    if (!gpLogFile) {
        printf("creating log file %s failed\r\n", name);
        reportNoLog(cwd[0] ? cwd : ".");
        return;
    }
    printf("Local logging file : %s\\%s\r\n", cwd, name);
}

void stopLog() {
    if (!gpLogFile) return;
    flushLog();
    fclose(gpLogFile);
    gpLogFile = nullptr;
    gLogDev = 0;
    gLogIno = 0;
}
