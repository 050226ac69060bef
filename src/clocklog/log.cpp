// The dated log of everything the instrument said.
#include <unistd.h>

#include "clocklog/clocklog.h"

FILE *gpLogFile = nullptr;

static FILE *openFirstFree(const char *stem, char *name, size_t nameSize) {
    snprintf(name, nameSize, "%s.log", stem);
    FILE *f = fopen(name, "ab");
    for (int i = 1; !f && i <= 99; ++i) {
        snprintf(name, nameSize, "%s(%d).log", stem, i);
        f = fopen(name, "ab");
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

void makeLog(const char *text) {
    if (!gpLogFile) return;
    fputs_unlocked(text, gpLogFile);
    fputs_unlocked("\r\n", gpLogFile);
}

// Called after every serial read: a kill or crash must not cost lines the
// instrument already sent, yet one write per read is enough.
void flushLog() {
    if (gpLogFile) fflush(gpLogFile);
}

void stopLog() {
    if (!gpLogFile) return;
    fclose(gpLogFile);
    gpLogFile = nullptr;
}
