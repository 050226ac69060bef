// Where sharing joins the session, and the only file of the console and
// the loop that knows it: a sharing kestrode's consoles and looks, or this
// kestrode as a console of another (kestrode --attach).
#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "share/share.h"
#include "terminal/terminal.h"
#include "transfer/transfer.h"

SessionHooks gSession = {};

// The service: its consoles get the instrument's bytes, a console's
// transfer takes its dialogue's lines out first.
static const char *toConsoles(const char *buf, int *len, char *spare) {
    if (relaySplitting()) {
        *len = relaySplit(buf, *len, spare);
        buf = spare;
    }
    shareOutput(buf, *len);
    return buf;
}

static void serveConsoles(const pollfd *fds, int count, bool portQuiet) {
    serveShare(fds, count);
    flushShare(portQuiet);
}

static bool refuseTyped(const char *line) { return refusedForTransfer(-1, line); }
static int consoles() { return consoleCount((uid_t)-1); }

static_assert(SESSION_FDS >= 1 + SHARE_CONNECTIONS + 1, "the socket, its connections, a transfer");

void wireService() {
    gSession.pollFds = sharePollFds;
    gSession.serve = serveConsoles;
    gSession.waitMs = shareWaitMs;
    gSession.timed = checkShare;
    gSession.portBytes = toConsoles;
    gSession.offer = relayOffer;
    gSession.ownDownload = tellOwnDownload;
    gSession.restarted = relayInstrumentRestarted;
    gSession.portBusy = relayRunning;
    gSession.refuseTyped = refuseTyped;
    gSession.stop = stopShare;
    gSession.consoles = consoles;
    gSession.transfer = describeTransfer;
}

bool shareSession(const char *device, const char *socketPath) {
    if (!startShare(device, socketPath)) return false;
    if (sharing()) wireService();  // else sharing is off, said: the log goes on alone
    return true;
}

void showWayIn(const char *device) { hintAttach(device); }
int lookMain(const char *target) { return statusMain(target); }

// An attached console reads the service's frames; the instrument's bytes
// reach the same display a direct session uses, and what a transfer's
// reader took past its last line follows, as after a direct transfer.
static void readService(int fd) {
    readAttached(fd);
    drainHeldInput();
}

// @settime and @clear act on the port, @who and @take ask about or take the
// keyboard, so the service runs them; a transfer is asked of it; the rest of
// the "@" commands are this console's. A console that only watches refuses
// what would act; while it waits for its kestrode only its own commands run.
static bool typedToService(char *line, int len) {
    gbFirstChar = true;
    line[len - 1] = '\0';
    if (watchRefuses(line)) return true;
    bool service = forService(line);
    bool borrow = startsWith(line, "@upload") || startsWith(line, "@download");
    if ((service || borrow) && rejoinWaiting())
        printNotice("> not attached, line not sent\n");
    else if (service)
        sendAttachedLine(line, len - 1);
    else if (borrow)
        borrowCommand(line);
    else
        runCommand(line);
    return true;
}

static void wireAttached() {
    gSession.remote = true;
    gSession.readPort = readService;
    gSession.typedLine = typedToService;
    gSession.waitMs = rejoinWaitMs;
    gSession.timed = checkRejoin;
}

// The greeting, or the service's refusal, comes at once from a kestrode
// that runs; one that is stopped is not waited for. No kestrode at all is
// waited for at a terminal, by a script only as long as --wait says.
static constexpr int GREETING_SECONDS = 15;  // as said below

static long long waitLimitMs() {
    if (gOptions.wait >= 0) return gOptions.wait * 1000LL;
    return isatty(STDIN_FILENO) ? -1 : 0;
}

int attachMain(const char *target) {
    gbWatchOnly = gOptions.watch;
    char path[PATH_MAX];
    long long limit = waitLimitMs();
    int fd = attachTo(target, path, sizeof path);
    int err = errno;
    if (fd < 0 && (limit == 0 || !nobodyAnswers(err))) return unreachedStatus(err);
    startRejoin(target, path, limit);
    gTermFD = fd;
    wireAttached();
    startServiceBytes(handleTermBytes);
    reportLeftoverDownloads();  // downloads land here, as in a session of its own
    installSignals();
    int first = 1;
    if (fd < 0)
        waitFromStart();
    else
        first = awaitFirstFrame(fd, GREETING_SECONDS);
    if (first == 0) cannotAttach(path, "no greeting within 15 s");
    if (first > 0) runLoop();
    showHeldNotices(true);
    flushConsole();
    if (gTermFD >= 0) close(gTermFD);
    gTermFD = -1;
    if (gSignal == SIGINT) gSignal = 0;  // ^C at the prompt detaches
    endBySignal();
    return first == 0 ? EXIT_NOBODY : attachedStatus();
}

// A script's errand: bounded, no terminal needed, audited as a console.
static constexpr int ANSWER_SECONDS = 10;  // as --help says

int errandMain(const char *target) {
    ScriptErrand e{gOptions.send, gOptions.until,
                   gOptions.seconds > 0 ? gOptions.seconds : ANSWER_SECONDS, gOptions.fetch,
                   gOptions.put};
    gSession.remote = true;
    return scriptMain(target, e);
}
