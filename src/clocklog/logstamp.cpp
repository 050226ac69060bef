// The time each logged line began, and its stamp in the log (--log-time).
#include <cstdio>
#include <cstdlib>

#include "clocklog/clocklog.h"

bool gbLogTime = false;

static timespec lineStart;

void markLineStart() {
    if (gbLogTime || gbLogDaily) gClockSpec(CLOCK_REALTIME, &lineStart);
}

time_t lineStartTime() { return lineStart.tv_sec; }

// "2026-12-07T17:55:28.506+01:00 ": the offset keeps stamps unambiguous
// across daylight-saving changes and hosts.
int formatLogStamp(char *out) {
    struct tm tmv;
    localtime_r(&lineStart.tv_sec, &tmv);
    long off = tmv.tm_gmtoff / 60;
    char sign = off < 0 ? '-' : '+';
    off = labs(off);
    return snprintf(out, LOG_STAMP_SIZE + 1, "%04d-%02d-%02dT%02d:%02d:%02d.%03ld%c%02ld:%02ld ",
                    tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min,
                    tmv.tm_sec, lineStart.tv_nsec / 1000000, sign, off / 60 % 100, off % 60);
}
