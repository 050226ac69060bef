// A silent instrument is noticed (--silence): an instrument or a USB adapter
// can freeze without hanging up and leave a logger logging nothing for weeks.
// After SECONDS without a byte a warning names the last line's time; after
// as long again the port is closed and opened once more, which cures a
// frozen adapter; the first bytes after that say how long the gap was.
#include <time.h>

#include <cstdio>

#include "clocklog/clocklog.h"
#include "terminal/terminal.h"

int gSilenceSeconds = 0;

enum Stage { TALKING, WARNED, REOPENED };
static Stage stage = TALKING;
static timespec lastByte;
static time_t lastLine = 0;

void startSilenceWatch() {
    stage = TALKING;
    lastByte = monotonicNow();
    lastLine = 0;
}

void noteInstrumentBytes() {
    if (gSilenceSeconds == 0) return;
    timespec now = monotonicNow();
    if (stage != TALKING)
        printNotice("> the instrument talks again after %lld s of silence\n",
                    msBetween(lastByte, now) / 1000);
    stage = TALKING;
    lastByte = now;
}

// Watched or not: kestrode --status shows it too.
void noteInstrumentLine() { lastLine = gClock(nullptr); }
time_t instrumentLastLine() { return lastLine; }

int silenceWaitMs() {
    if (gSilenceSeconds == 0 || stage == REOPENED) return -1;
    long long ms = (stage == TALKING ? 1 : 2) * 1000LL * gSilenceSeconds -
                   msBetween(lastByte, monotonicNow());
    return ms < 0 ? 0 : (int)ms;
}

static void warnSilent() {
    if (lastLine == 0) {
        printNotice("> no byte from the instrument for %d s, no line from it since kestrode started\n",
                    gSilenceSeconds);
        return;
    }
    struct tm tmv;
    localtime_r(&lastLine, &tmv);
    printNotice("> no byte from the instrument for %d s, its last line came at "
                "%04d-%02d-%02d %02d:%02d:%02d\n",
                gSilenceSeconds, tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour,
                tmv.tm_min, tmv.tm_sec);
}

void checkSilence() {
    if (silenceWaitMs() != 0) return;
    if (stage == TALKING) {
        warnSilent();
        stage = WARNED;
        return;
    }
    stage = REOPENED;
    if (reopenPort()) {
        printNotice("> the instrument is still silent, its serial port was closed and opened again\n");
    } else {
        printError("> the serial port could not be opened again, shutting down\n");
        gbRun = false;
    }
}
