// Time: the monotonic clock the loop schedules by, and the instrument's own
// calendar clock, which starts at 2000-01-01 on every boot until it is set.
#include <time.h>

#include <cstdio>

#include "sim.h"

static constexpr long long BOOT_EPOCH = 946684800;  // 2000-01-01 00:00:00 UTC

static long long gClockBase = BOOT_EPOCH;  // calendar seconds at gClockMark
static double gClockMark = 0;              // monotonic seconds
static bool gClockSet = false;

double monoNow() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

void clockBoot() {
    gClockBase = BOOT_EPOCH;
    gClockMark = monoNow();
    gClockSet = false;
}

void clockSet(long long epochSeconds) {
    gClockBase = epochSeconds;
    gClockMark = monoNow();
    gClockSet = true;
}

long long clockNow() {
    return gClockBase + (long long)((monoNow() - gClockMark) * gOpt.clockRate);
}

bool clockWasSet() { return gClockSet; }

std::string clockText(long long epochSeconds) {
    time_t t = (time_t)epochSeconds;
    struct tm tmv;
    char text[64];
    if (!gmtime_r(&t, &tmv) || !strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tmv))
        snprintf(text, sizeof text, "%lld s", epochSeconds);
    return text;
}

std::string clockStamp(long long epochSeconds) {
    time_t t = (time_t)epochSeconds;
    struct tm tmv;
    char text[64];
    if (!gmtime_r(&t, &tmv) || !strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tmv))
        snprintf(text, sizeof text, "%lld", epochSeconds);
    return text;
}
