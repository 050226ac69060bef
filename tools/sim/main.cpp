// kestrode-sim: start-up, the poll loop and a clean end (no partial files,
// no symlink, no child process left behind).
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>

#include "sim.h"

void note(const char *fmt, ...) {
    if (!gOpt.verbose) return;
    va_list ap;
    va_start(ap, fmt);
    fputs("kestrode-sim: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
}

// Only a plain run ends when its host leaves; --run, --exit-with and --stay wait.
static bool endsWithHost() { return !gOpt.stay && !gOpt.run && gOpt.exitWith <= 0; }

static void pollFor(pollfd *p, double seconds) {
    seconds = std::clamp(seconds, 0.0, 1.0);
    timespec ts{(time_t)seconds, (long)((seconds - std::floor(seconds)) * 1e9)};
    ppoll(p, p ? 1 : 0, &ts, nullptr);
}

// One pass with a host on the line; false once it has left.
static bool servePass() {
    double now = monoNow();
    double wake = now + 0.1;  // signals and the child are looked at this often
    sessionTick(now, &wake);
    if (gHangUpNow) return true;
    pollfd p{gMaster, wirePollEvents(now), 0};
    pollFor(&p, std::min(wake, wireNextWake(now)) - now);
    now = monoNow();
    if (!wireService(p.revents, now) || lineHeldDown()) return false;
    char buf[4096];
    size_t n;
    while (!gHangUpNow && (n = wireTakeInput(buf, sizeof buf, now)) > 0) inputBytes(buf, n, now);
    return true;
}

// The line goes dead, as when the instrument is switched off mid-transfer.
static int hangUp(int status) {
    note("hanging up");
    sessionStop();
    lineHangUp();
    while (gOpt.run && !gSignalled && !childExited(&status)) pollFor(nullptr, 0.02);
    return status;
}

static int serve() {
    bool connected = false;
    int status = 0;
    while (!gSignalled) {
        if (gOpt.run && childExited(&status)) break;
        if (watchedGone(monoNow())) break;
        if (gHangUpNow) return hangUp(status);
        if (!connected) {
            connected = lineHostPresent();
            if (connected) sessionStart(monoNow());
            else pollFor(nullptr, 0.02);
            continue;
        }
        if (servePass()) continue;
        note("host closed %s", gDevicePath.c_str());
        connected = false;
        sessionStop();
        lineForgetHost();
        if (endsWithHost()) break;
    }
    return status;
}

static void announce() {
    if (!gOpt.run) {
        printf("%s\n", gDevicePath.c_str());
        fflush(stdout);
    }
    fprintf(stderr, "kestrode-sim: air monitor on %s%s%s, files in %s\n", gDevicePath.c_str(),
            gOpt.link.empty() ? "" : " (", gOpt.link.empty() ? "" : (gOpt.link + ")").c_str(),
            gOpt.storage.c_str());
}

int main(int argc, char **argv) {
    int status = 0;
    if (!parseOptions(argc, argv, &status)) return status;
    rngSeed(gOpt.seed ? gOpt.seed : (unsigned long)time(nullptr) ^ (unsigned long)getpid() << 16);
    signalsInstall();
    if (!storageInit()) return 1;
    status = 1;
    if (transcriptOpen() && lineOpen() && linkMake()) {
        announce();
        if (!gOpt.run || childStart()) status = serve();
    }
    sessionStop();
    lineHangUp();
    childStop(&status);
    linkRemove();
    storageCleanup();
    return status;
}
