// kestrode-soak: the program as shipped, but its calendar clock (gClock,
// gClockSpec's CLOCK_REALTIME) runs SOAK_RATE times as fast as real time
// from SOAK_START (seconds since 1970), so that a month of midnights passes
// in minutes. The loop's own clock (CLOCK_MONOTONIC) stays real: its waits,
// the log's syncs, the silence watch and the watchdog keep their pace. Its
// log syncs are counted and said on standard error at the end.
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>

#include "clocklog/clocklog.h"
#include "terminal/terminal.h"

static double rate = 1;
static double start = 0;
static timespec origin;
static long syncs = 0;

static int soakClockSpec(clockid_t id, timespec *ts) {
    if (id != CLOCK_REALTIME) return clock_gettime(id, ts);
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    double elapsed = (double)(now.tv_sec - origin.tv_sec) + (now.tv_nsec - origin.tv_nsec) / 1e9;
    double at = start + elapsed * rate;
    ts->tv_sec = (time_t)std::floor(at);
    ts->tv_nsec = (long)((at - std::floor(at)) * 1e9);
    return 0;
}

static time_t soakClock(time_t *t) {
    timespec ts;
    soakClockSpec(CLOCK_REALTIME, &ts);
    if (t) *t = ts.tv_sec;
    return ts.tv_sec;
}

static int countedSync(int fd) {
    ++syncs;
    return fdatasync(fd);
}

static void sayCount() { fprintf(stderr, "kestrode-soak: %ld log syncs\n", syncs); }

int main(int argc, char **argv) {
    const char *from = getenv("SOAK_START"), *speed = getenv("SOAK_RATE");
    if (!from || !speed) {
        fprintf(stderr, "kestrode-soak: SOAK_START and SOAK_RATE are needed\n");
        return 2;
    }
    start = atof(from);
    rate = atof(speed);
    clock_gettime(CLOCK_MONOTONIC, &origin);
    gClock = soakClock;
    gClockSpec = soakClockSpec;
    gSyncData = countedSync;
    atexit(sayCount);
    return kestrodeMain(argc, argv);
}
