// A console's transfer. The console asks with its "@upload" or "@download"
// line; the kestrode makes a socket pair and hands the console one end with
// its go-ahead, so no descriptor a client sends is ever the way to the
// instrument. While the transfer runs, the dialogue's lines from the
// instrument go to that end (relaysplit.cpp) and what the console sends
// there goes to the port, a little each pass; every other instrument line
// is logged and shown as ever. The console's own process reads and writes
// the file with its user's rights in its own folder: the kestrode opens no
// path for anyone. Nobody else's line reaches the instrument meanwhile.
#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "clocklog/clocklog.h"
#include "share/share.h"
#include "port/port.h"
#include "transfer/transfer.h"

enum class Relay { Idle, Awaited, Running };

static constexpr int OFFER_SECONDS = 10;  // for the instrument's "@DOWNLOAD," after the request
// No reply relayed (upload) or frame accepted (download) for the dialogue's
// own time limit, and 2 s more so that a console's own time-out speaks
// first: the transfer has failed, whatever the console still sends.
static constexpr int UPLOAD_STALL = 5 + 2;
static constexpr int DOWNLOAD_STALL = 10 + 2;
static const char FIN[] = "@FIN\r";  // the host's last word in both dialogues
static const char ACK[] = "@ACK\r";  // a frame accepted
static constexpr int TAIL = sizeof FIN - 1;

static Relay state = Relay::Idle;
static bool upload = false;
static int owner = -1;     // the console's slot, -1 once it is gone
static int pairFD = -1;    // the kestrode's end of the pair
static bool lent = false;  // the dialogue has begun: its lines go to the console
static bool consoleDone = false;  // it said "@done"
static bool finished = false;     // the host's "@FIN" is on its way to the port
static bool midLine = false;      // the console's last byte to the port ended no line
static char name[DOWNLOAD_NAME_SIZE];  // asked for
static char shownName[sizeof name * 4];  // as a console may show it
static char what[DOWNLOAD_NAME_SIZE * 4 + 128];  // "download of NAME by USER (uid N)"
static char tail[TAIL];  // the console's last bytes to the port
static char toPort[LINE_SIZE];
static int toPortAt = 0, toPortLen = 0;
static timespec due;

static void setDue(int seconds) {
    due = monotonicNow();
    due.tv_sec += seconds;
}

static void closePair() {
    if (pairFD >= 0) close(pairFD);
    pairFD = -1;
}

static void reset() {
    closePair();
    state = Relay::Idle;
    owner = -1;
    lent = consoleDone = finished = midLine = false;
    toPortAt = toPortLen = 0;
    resetSplit();
}

bool relayUpload() { return upload; }

// The journal and the consoles hear of it; the owner only of a failure.
static void tellAll(const char *text, bool ownerToo) {
    printNotice("%s", text);
    for (int i = 0; i < SHARE_CONNECTIONS; ++i)
        if (gClients[i].fd >= 0 && gClients[i].greeted && (i != owner || ownerToo))
            queueNotice(i, "%s", text);
}

// A failed dialogue is closed for the instrument, on a line of its own.
static void endRelay(const char *failure) {
    char text[sizeof what + 128];
    if (failure && lent) {
        ssize_t w = midLine ? writePort("\r\n", 2) : 0;
        (void)w;  // the "@FIN" below says as much as it can
        sendControl("@FIN");
    }
    if (failure)
        snprintf(text, sizeof text, "> the transfer failed: %s, %s%s\n", what, failure,
                 lent ? "; the instrument was told @FIN" : "");
    else
        snprintf(text, sizeof text, "> the transfer is over: %s\n", what);
    tellAll(text, failure != nullptr);
    reset();
}

void relayProgress() { setDue(upload ? UPLOAD_STALL : DOWNLOAD_STALL); }

static void describe(int i, const char *kind) {
    quoteInto(shownName, sizeof shownName, name, (int)strlen(name));
    snprintf(what, sizeof what, "%s of %s by %s (uid %u)", kind, shownName, gClients[i].user,
             (unsigned)gClients[i].uid);
}

static void start() {
    char text[sizeof what + 32];
    state = Relay::Running;
    relayProgress();
    snprintf(text, sizeof text, "> a transfer runs: %s\n", what);
    tellAll(text, false);
}

// The pair is ours; its other end goes to the console with the grant.
static bool grant(int i, const char *line) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair) != 0) return false;
    if (!queueGrant(i, line, pair[1])) {
        close(pair[0]);
        close(pair[1]);
        return false;
    }
    flushClient(i);
    pairFD = pair[0];
    owner = i;
    return true;
}

static void grantUpload(int i, const char *line) {
    const char *blank = strrchr(line, ' ');
    snprintf(name, sizeof name, "%s", blank ? blank + 1 : "");
    upload = true;
    describe(i, "upload");
    if (!grant(i, line)) {
        queueNotice(i, "> @upload not started: this console is too far behind\n");
        return reset();
    }
    start();
}

static void askInstrument(int i, const char *line) {
    char request[DOWNLOAD_REQUEST_SIZE];
    int n = downloadRequest(line, request, sizeof request);
    if (n <= 0) {
        queueNotice(i, "> command error (%s)\n", line);
        return;
    }
    snprintf(name, sizeof name, "%.*s", n - 12, request + 10);  // "#DOWNLOAD " and CR LF
    upload = false;
    describe(i, "download");
    ssize_t w = writePort(request, n);
    (void)w;  // no answer ends the wait below
    state = Relay::Awaited;
    owner = i;
    setDue(OFFER_SECONDS);
}

void requestTransfer(int i, const char *line) {
    const char *word = strncmp(line, "@upload", 7) == 0 ? "@upload" : "@download";
    if (state != Relay::Idle)
        queueNotice(i, "> a transfer runs (%s), %s not started\n", what, word);
    else if (gTermFD < 0)  // taken by another program at a reopen, tried again meanwhile
        queueNotice(i, "> the serial port is not open now, %s not started\n", word);
    else if (!gClients[i].attach)
        queueNotice(i, "> %s through a shared session needs kestrode --attach, not started\n",
                    word);
    else if (word[1] == 'u')
        grantUpload(i, line);
    else
        askInstrument(i, line);
}

// The requester went before its file came: the instrument is refused, so
// that the file does not land in the service's folder instead.
bool relayOffer(const char *line) {
    if (state != Relay::Awaited) return false;
    const char *offered = line + 10;  // "@DOWNLOAD,"
    size_t len = strcspn(offered, ",");
    if (len != strlen(name) || strncmp(offered, name, len) != 0) return false;
    char request[DOWNLOAD_NAME_SIZE + 16];
    snprintf(request, sizeof request, "@download %s", name);
    char offer[LINE_SIZE + 1];
    int n = snprintf(offer, sizeof offer, "%s\n", line);
    if (n >= (int)sizeof offer) n = (int)sizeof offer - 1;
    if (owner < 0 || !grant(owner, request) ||
        send(pairFD, offer, n, MSG_DONTWAIT | MSG_NOSIGNAL) != n) {
        sendControl("@FIN");
        printNotice("> %s: its console is gone, the download was refused\n", what);
        reset();
        return true;
    }
    lent = true;
    start();
    return true;
}

bool relayRunning() { return state == Relay::Running; }
bool relaySplitting() { return state == Relay::Running && lent; }

void relayToConsole(const char *buf, int len) {
    if (len <= 0 || state != Relay::Running) return;
    ssize_t n = send(pairFD, buf, len, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n != len)
        endRelay(n < 0 && errno != EAGAIN ? "its console went away"
                                          : "its console took no more of it");
}

void relayInstrumentRestarted() {
    if (state == Relay::Running) endRelay("the instrument restarted");
}

// Takes the console's bytes as far as its "@FIN": nothing of its after that
// reaches the instrument. A download's frame is accepted with "@ACK".
static int scanFromConsole(const char *buf, int n) {
    for (int k = 0; k < n; ++k) {
        memmove(tail, tail + 1, TAIL - 1);
        tail[TAIL - 1] = buf[k];
        midLine = buf[k] != '\r' && buf[k] != '\n';
        if (!upload && memcmp(tail, ACK, TAIL) == 0) relayProgress();
        if (memcmp(tail, FIN, TAIL) == 0) {
            finished = true;
            return k + 1;
        }
    }
    return n;
}

// As much as the port takes now: the loop never waits for a console.
static void writeToPort() {
    while (toPortAt < toPortLen) {
        ssize_t n = write(gTermFD, toPort + toPortAt, toPortLen - toPortAt);
        if (n > 0) {
            toPortAt += (int)n;
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        return endRelay("the serial port took none of it");
    }
    toPortAt = toPortLen = 0;
    if (finished || consoleDone) endRelay(nullptr);
}

// One read a pass at most, and only once the last one has gone to the port;
// false when nothing was there.
static bool readFromConsole() {
    ssize_t n = recv(pairFD, toPort, sizeof toPort, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return false;
    if (n <= 0) {
        if (owner >= 0 && !consoleDone) serveClient(owner);  // its "@done" may wait there
        if (state == Relay::Running) endRelay(consoleDone ? nullptr : "its console went away");
        return false;
    }
    lent = true;  // an upload's dialogue begins with the console's header
    toPortAt = 0;
    toPortLen = scanFromConsole(toPort, (int)n);
    writeToPort();
    return true;
}

// The console's transfer is over: what it sent before it said so goes to
// the port first (a few reads at most), then the next line it sends finds
// the port free.
void relayDone(int i) {
    if (i != owner || state != Relay::Running) return;
    consoleDone = true;
    for (int k = 0; k < 8 && state == Relay::Running && toPortAt == toPortLen; ++k)
        if (!readFromConsole()) break;
    if (state == Relay::Running && toPortAt == toPortLen) endRelay(nullptr);
}

void relayClientGone(int i) {
    if (i != owner) return;
    if (state == Relay::Running) endRelay(consoleDone ? nullptr : "its console went away");
    owner = -1;
}

int relayPollFds(pollfd *fds, int room) {
    if (state != Relay::Running || room < 1) return 0;
    if (toPortAt < toPortLen)
        fds[0] = {gTermFD, POLLOUT, 0};
    else
        fds[0] = {pairFD, POLLIN, 0};
    return 1;
}

void serveRelay(const pollfd *fds, int count) {
    for (int k = 0; k < count && state == Relay::Running; ++k) {
        if (fds[k].revents == 0) continue;
        if (fds[k].fd == pairFD && (fds[k].events & POLLIN)) readFromConsole();
        else if (fds[k].fd == gTermFD && (fds[k].events & POLLOUT)) writeToPort();
    }
}

int relayWaitMs() {
    if (state == Relay::Idle) return -1;
    long long ms = msBetween(monotonicNow(), due);
    return ms < 0 ? 0 : (int)ms;
}

void checkRelay() {
    if (relayWaitMs() != 0) return;
    if (state == Relay::Running) {
        char why[64];
        snprintf(why, sizeof why, "it made no progress for %d s",
                 upload ? UPLOAD_STALL : DOWNLOAD_STALL);
        return endRelay(why);
    }
    if (owner >= 0)
        queueNotice(owner, "> the instrument sent no %s within %d s\n", shownName, OFFER_SECONDS);
    reset();
}

void stopRelay() {
    if (state == Relay::Running) endRelay("the kestrode stopped");
    reset();
}

void describeRelay(char *out, size_t size) {
    if (state == Relay::Idle) snprintf(out, size, "none");
    else if (state == Relay::Awaited) snprintf(out, size, "%s, awaited from the instrument", what);
    else snprintf(out, size, "%s", what);
}
