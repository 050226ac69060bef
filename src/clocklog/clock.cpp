// The instrument's clock and the console timestamps.
#include "clocklog/clocklog.h"
#include "port/port.h"
#include "base/base.h"

time_t gSyncTime = 0;
bool gbShowTime = false;
bool setTime() {
    char msg[128];
    int len = snprintf(msg, sizeof msg, "settime %lu\r\n",
                       (unsigned long)gClock(nullptr));
    if (len > 0 && writePort(msg, len) == len) return true;
    printf("serial terminal write error\n");
    return false;
}

int cmdSetTime(const char *) {
    if (setTime()) {
        printf("# settime is successful\r\n");
        return 0;
    }
    printf("# settime failed\r\n");
    return -1;
}

// A host clock that stepped back since the last sync (a board that booted
// with a wrong date, then NTP) makes the sync due at once, not once the
// clock has caught up again.
void checkSyncTime() {
    time_t now = gClock(nullptr);
    if (now >= gSyncTime && now - gSyncTime < SYNC_INTERVAL) return;
    gSyncTime = now;
    setTime();
}

int cmdShowTime(const char *) {
    gbShowTime = !gbShowTime;
    if (gbShowTime)
        printf("# printing each line with the timestamp\r\n\n");
    else
        printf("# printing each line without the timestamp\r\n\n");
    return 0;
}

void printTime() {
    if (!gbShowTime) return;
    time_t now = gClock(nullptr);
    struct tm tmv;
    localtime_r(&now, &tmv);
    printf("%04d.%02d.%02d %02d:%02d:%02d ", tmv.tm_year + 1900, tmv.tm_mon + 1,
           tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
}
