// The time each logged line began, and its stamp in the log (--log-time).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "clocklog/clocklog.h"

bool gbLogTime = false;

static timespec lineStart;
// A time the stamp cannot show (a year past 9999 or before 0000, as a
// garbage clock chip gives) gets this instead: the same length, so the
// columns stay, and plainly no time.
static const char UNKNOWN_STAMP[] = "????" "-??" "-??T??:??:??.???+??:?? ";
static_assert(sizeof UNKNOWN_STAMP - 1 == LOG_STAMP_SIZE);

void markLineStart() {
    if (gbLogTime || gbLogDaily) gClockSpec(CLOCK_REALTIME, &lineStart);
}

time_t lineStartTime() { return lineStart.tv_sec; }

// "2026-12-07T17:55:28.506+01:00 ": the offset keeps stamps unambiguous
// across daylight-saving changes and hosts. Always LOG_STAMP_SIZE bytes.
int formatLogStamp(char *out) {
    struct tm tmv;
    char stamp[64];
    int n = -1;
    if (localtime_r(&lineStart.tv_sec, &tmv) && tmv.tm_year >= -1900 &&
        tmv.tm_year <= 9999 - 1900) {
        long off = tmv.tm_gmtoff / 60;
        char sign = off < 0 ? '-' : '+';
        off = labs(off);
        n = snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03ld%c%02ld:%02ld ",
                     tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min,
                     tmv.tm_sec, labs(lineStart.tv_nsec / 1000000) % 1000, sign, off / 60 % 100,
                     off % 60);
    }
    memcpy(out, n == LOG_STAMP_SIZE ? stamp : UNKNOWN_STAMP, LOG_STAMP_SIZE);
    return LOG_STAMP_SIZE;
}
