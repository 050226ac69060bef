// The dated log of everything the instrument said: choosing and opening it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "clocklog/clocklog.h"
#include "terminal/link.h"

FILE *gpLogFile = nullptr;

// Only a regular file is a log: a FIFO of that name would block start-up
// (O_NONBLOCK makes it fail or show itself instead), a device or socket
// would swallow the lines.
static FILE *openRegular(const char *name) {
    int fd = open(name, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    struct stat st;
    FILE *f = nullptr;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) f = fdopen(fd, "ab");
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

void startLog() {
    time_t now = gClock(nullptr);
    struct tm tmv;
    localtime_r(&now, &tmv);
    char stem[64];
    snprintf(stem, sizeof stem, "kestrode-%04d%02d%02d", tmv.tm_year + 1900,
             tmv.tm_mon + 1, tmv.tm_mday);
    char name[128];
    gpLogFile = openFirstFree(stem, name, sizeof name);
    if (!gpLogFile) {
        printf("creating log file %s failed\r\n", name);
        return;
    }
    char cwd[256];
    if (!getcwd(cwd, sizeof cwd)) cwd[0] = '\0';
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
