// A transfer's wait for the instrument, which may hold the event loop for
// minutes (a day's readings at 115200): the busy work goes on meanwhile.
#include <errno.h>
#include <time.h>

#include "base/base.h"

BusyWork gBusyWork = {};

static constexpr int BUSY_FDS = 40;

static long long msLeft(const timespec &end) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (end.tv_sec - now.tv_sec) * 1000LL + (end.tv_nsec - now.tv_nsec) / 1000000;
}

int waitPortInput(int seconds) {
    timespec end;
    clock_gettime(CLOCK_MONOTONIC, &end);
    end.tv_sec += seconds;
    for (;;) {
        pollfd fds[1 + BUSY_FDS] = {{gTermFD, POLLIN, 0}};
        int count = 1 + (gBusyWork.pollFds ? gBusyWork.pollFds(fds + 1, BUSY_FDS) : 0);
        long long left = msLeft(end);
        int busy = gBusyWork.waitMs ? gBusyWork.waitMs() : -1;
        int limit = left < 0 ? 0 : (int)left;
        if (busy >= 0 && busy < limit) limit = busy;
        int r = waitInputMs(fds, count, limit);
        if (r < 0) return r;
        if (gBusyWork.serve) gBusyWork.serve(fds + 1, count - 1);
        if (fds[0].revents != 0) return 1;
        if (msLeft(end) <= 0) return 0;
    }
}
