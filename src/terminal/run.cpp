// Start-up, the event loop and shutdown.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "clocklog/clocklog.h"
#include "terminal/terminal.h"
#include "transfer/transfer.h"

static const char USAGE[] =
    "usage: kestrode [OPTIONS] [DEVICE]\n"
    "\n"
    "Console terminal for the air monitor on serial port DEVICE (115200 8N1).\n"
    "Without DEVICE the /dev/ttyS* ports are offered in a menu.\n"
    "\n";
static const char COMMANDS_HEAD[] =
    "\n"
    "Typed lines go to the instrument with CR LF; local commands:\n";
static const char USAGE_TAIL[] =
    "\n"
    "Instrument lines are appended to kestrode-YYYYMMDD.log in the current\n"
    "directory (or DIR), named after the day kestrode started (or each day's).\n"
    "Exit status: 0 after a normal end, 255 when start-up fails.\n";

static void printHelp() {
    fputs(USAGE, stdout);
    printOptionsHelp();
    fputs(COMMANDS_HEAD, stdout);
    for (const CommandEntry *c = cmdlist; c->name; ++c) printf("  %-10s %s\n", c->name, c->help);
    fputs(USAGE_TAIL, stdout);
}

// A closed standard descriptor would be handed to the serial port by open,
// and the port then read as the keyboard or written as the console.
static void keepStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0) continue;
        int null = open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
}

static const char *chooseDevice() {
    const char *dev = nullptr;
    if (gOptions.plainCount == 1) return gOptions.device;
    if (gOptions.plainCount == 0) dev = findDevName();
    if (dev) printf("Serial device name: %s\n", dev);
    return dev;
}

// A notice held for a half-shown line waits a second for the rest of it.
static constexpr int NOTICE_SECONDS = 1;

// The nearer of two limits in ms, -1 standing for none.
static int sooner(int a, int b) { return b >= 0 && b < a ? b : a; }

// The log's sync is due at its time, busy or not; a silence only when the
// port has nothing to read and no console's transfer runs on it.
static bool portBusy() { return gSession.portBusy && gSession.portBusy(); }

static void timedWork(bool portReady) {
    tellService();
    syncLogIfDue();
    if (gSession.timed) gSession.timed();
    if (!portReady && !portBusy()) checkSilence();
}

static void servePass() {
    pollfd fds[2 + SESSION_FDS] = {{gTermFD, POLLIN, 0}, {0, POLLIN, 0}};
    flushConsole();
    bool holding = noticesHeld();
    // In the background of its terminal the keyboard is left alone (a read
    // would stop the program); SIGCONT at "fg" ends the wait, the shorter
    // limit catches a terminal handed over without one.
    bool keys = gbStdinOpen && keyboardInForeground();
    bool shortWait = holding || (gbStdinOpen && !keys);
    if (!keys) fds[1].fd = -1;
    int count = 2 + (gSession.pollFds ? gSession.pollFds(fds + 2, SESSION_FDS) : 0);
    int own = (shortWait ? NOTICE_SECONDS : 10) * 1000;
    int silence = portBusy() ? -1 : silenceWaitMs();  // not while a console's transfer runs
    int limit = sooner(sooner(own, logSyncWaitMs()), silence);
    if (gSession.waitMs) limit = sooner(limit, gSession.waitMs());
    limit = sooner(limit, serviceWaitMs());
    int r = waitInputMs(fds, count, limit);
    timedWork(r > 0 && fds[0].revents != 0);
    if (r < 0) {
        if (errno != EINTR) perror("> select failed\n");
        return;
    }
    if (holding && ((r == 0 && limit == own) || (r > 0 && fds[0].revents == 0)))
        showHeldNotices(true);
    if (r == 0) return;
    if (fds[0].revents != 0) process_term(gTermFD);
    if (gbRun && !gSignal && keys && fds[1].revents != 0) process_stdin();
    if (gSession.remote && !gbStdinOpen) gbRun = false;  // the end of input detaches
    if (gSession.serve) gSession.serve(fds + 2, count - 2, fds[0].revents == 0);
}

void runLoop() {
    while (gbRun && !gSignal) servePass();
}

int kestrodeMain(int argc, char **argv) {
    // Before anything is shown: under "stty tostop" a background start
    // (kestrode /dev/ttyS0 &) would be stopped by its own banner.
    signal(SIGTTOU, SIG_IGN);
    keepStandardDescriptors();
    detectJournal();
    // Fully buffered: the console is flushed before every wait for input,
    // not at every byte as a line-buffered terminal would.
    static char consoleBuffer[4096];
    setvbuf(stdout, consoleBuffer, _IOFBF, sizeof consoleBuffer);
    bool good = parseOptions(argc, argv);
    if (good && gOptions.list) return listSerialPorts();  // a plain list, for scripts too
    bool errand = gOptions.send || gOptions.fetch || gOptions.put;
    if (good && gOptions.attach && errand) return errandMain(gOptions.attach);  // for a script
    if (good && gOptions.attach) return attachMain(gOptions.attach);  // its first line: the service's
    if (good && gOptions.status) return lookMain(gOptions.status);  // no banner: a script reads it
    printf(" @@@ starting kestrode @@@ \n");
    // Shown before any refusal on stderr, so the lines keep their order
    // where both streams go to one place (a terminal, the journal).
    fflush(stdout);
    if (!good) {
        reportBadOption();
        return -1;
    }
    if (gOptions.help || gOptions.version) {
        if (gOptions.help) printHelp();
        else printf("kestrode %s\n", KESTRODE_VERSION);
        return 0;
    }
    if (gOptions.logDir && !setLogDir(gOptions.logDir)) return -1;  // before any port is touched
    const char *dev = chooseDevice();
    if (!dev) {
        printf("> missing device name \n");
        return -1;
    }
    fflush(stdout);  // the device's name comes before any open failure on stderr
    if (openPort(dev) < 0) {
        if (portInUse()) showWayIn(dev);  // where a kestrode shares it
        return -1;
    }
    if (gOptions.share && !shareSession(dev, gOptions.shareSocket)) {
        closePort();
        return -1;
    }
    installSignals();
    startLog();
    if (!serviceStarted(dev)) {  // systemd is told nothing: the start failed
        if (gSession.stop) gSession.stop();
        closePort();
        return -1;
    }
    reportLeftoverDownloads();
    startSilenceWatch();
    runLoop();
    serviceStopping();
    stopLog();
    showHeldNotices(true);
    if (gSession.stop) gSession.stop();  // after the log: a console told of the end finds every line there
    closePort();
    endBySignal();
    return 0;
}
