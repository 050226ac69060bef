// The clock every room reads, through seams a test can replace.
#include "base/base.h"

time_t (*gClock)(time_t *) = time;
int (*gClockSpec)(clockid_t, timespec *) = clock_gettime;

timespec monotonicNow() {
    timespec t;
    gClockSpec(CLOCK_MONOTONIC, &t);
    return t;
}

long long msBetween(const timespec &a, const timespec &b) {
    return (b.tv_sec - a.tv_sec) * 1000LL + (b.tv_nsec - a.tv_nsec) / 1000000;
}
