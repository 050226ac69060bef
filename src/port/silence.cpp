// A silent instrument is noticed (--silence): an instrument or a USB adapter
// can freeze without hanging up and leave a logger logging nothing for weeks.
// After SECONDS without a byte a warning names the last line's time; after
// as long again the port is closed and opened once more, which cures a
// frozen adapter; the first bytes after that say how long the gap was.
// Should another program take the port in that moment, it is tried again
// every few seconds until it is ours again; the lock file stays ours.
#include <time.h>

#include <cstdio>

#include "port/port.h"

int gSilenceSeconds = 0;

enum Stage { TALKING, WARNED, REOPENED, PORTLESS };
static Stage stage = TALKING;
static timespec lastByte;
static constexpr int RETRY_SECONDS = 3;
static timespec portLost, nextTry;  // PORTLESS: since when, and the next try
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
    if (stage == PORTLESS) {
        long long ms = msBetween(monotonicNow(), nextTry);
        return ms < 0 ? 0 : (int)ms;
    }
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

static void tryAgainLater() {
    nextTry = monotonicNow();
    nextTry.tv_sec += RETRY_SECONDS;
}

// Without the port: the reopen's outcome said once, the next try scheduled.
static void losePort(PortTake took, const char *why) {
    if (took == PortTake::Held)
        printError("> the serial port was taken by another program%s, trying again every %d s\n",
                   why, RETRY_SECONDS);
    else
        printError("> the serial port could not be opened again (%s), trying again every %d s\n",
                   why, RETRY_SECONDS);
    stage = PORTLESS;
    portLost = monotonicNow();
    tryAgainLater();
}

static void tryPortAgain() {
    char why[320];
    PortTake took = retakePort(why, sizeof why);
    if (took == PortTake::Gone) return endLostPort();
    if (took != PortTake::Ours) return tryAgainLater();
    printNotice("> the serial port is open again after %lld s without it\n",
                msBetween(portLost, monotonicNow()) / 1000);
    stage = REOPENED;
}

void checkSilence() {
    if (silenceWaitMs() != 0) return;
    if (stage == PORTLESS) return tryPortAgain();
    if (stage == TALKING) {
        warnSilent();
        stage = WARNED;
        return;
    }
    stage = REOPENED;
    char why[320];
    PortTake took = reopenPort(why, sizeof why);
    if (took == PortTake::Ours)
        printNotice("> the instrument is still silent, its serial port was closed and opened again\n");
    else if (took == PortTake::Gone)
        endLostPort();
    else
        losePort(took, why);
}
