// A console's transfer. The console sends its "@upload" or "@download" line
// with one end of a socket pair; while the transfer runs, the port's bytes
// go to that socket and the socket's bytes to the port. So the console's
// own process reads and writes the file, with its user's rights, in its own
// folder: the service opens no path for anyone. Nobody else's line reaches
// the instrument meanwhile.
#include <errno.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "clocklog/clocklog.h"
#include "share/share.h"
#include "terminal/terminal.h"
#include "transfer/transfer.h"

enum class Relay { Idle, Awaited, Running };

static constexpr int OFFER_SECONDS = 10;  // for the instrument's "@DOWNLOAD," after the request
static constexpr int IDLE_SECONDS = 30;   // a console's transfer never waits this long
static const char FIN[] = "@FIN\r";       // the host's last word in both dialogues

static Relay state = Relay::Idle;
static int owner = -1;    // the console's slot, -1 once it is gone
static int relayFD = -1;  // the console's end of the pair
static bool lent = false; // the port's bytes go to the console, not to the log
static char name[DOWNLOAD_NAME_SIZE];  // asked for
static char shownName[sizeof name * 4];  // as a console may show it
static char what[DOWNLOAD_NAME_SIZE * 4 + 128];  // "download of NAME by USER (uid N)"
static char tail[sizeof FIN - 1];  // the last bytes the console sent
static timespec due;

static void setDue(int seconds) {
    due = monotonicNow();
    due.tv_sec += seconds;
}

static void closeRelay() {
    if (relayFD >= 0) close(relayFD);
    relayFD = -1;
}

static void reset() {
    closeRelay();
    state = Relay::Idle;
    owner = -1;
    lent = false;
}

// The journal and the consoles hear of it; the owner only of a failure.
static void tellAll(const char *text, bool owner_too) {
    printNotice("%s", text);
    for (int i = 0; i < SHARE_CLIENTS; ++i)
        if (gClients[i].fd >= 0 && (i != owner || owner_too)) queueNotice(i, "%s", text);
}

static void endRelay(const char *failure) {
    char text[sizeof what + 128];
    if (failure) {
        sendControl("@FIN");
        snprintf(text, sizeof text, "> the transfer failed: %s, %s; the instrument was told @FIN\n",
                 what, failure);
    } else {
        snprintf(text, sizeof text, "> the transfer is over: %s\n", what);
    }
    tellAll(text, failure != nullptr);
    reset();
}

static bool endsDialogue(const char *buf, int n) {
    int fresh = n < (int)sizeof tail ? n : (int)sizeof tail;
    memmove(tail, tail + fresh, sizeof tail - fresh);
    memcpy(tail + sizeof tail - fresh, buf + n - fresh, fresh);
    return memcmp(tail, FIN, sizeof tail) == 0;
}

// What the console sent, to the port: the count moved, 0 when its end is
// closed, -1 when nothing is there now.
static int forward() {
    char buf[LINE_SIZE];
    ssize_t n = recv(relayFD, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0) return errno == EAGAIN || errno == EINTR ? -1 : 0;
    if (n == 0) return 0;
    lent = true;  // an upload lends the port with its header
    setDue(IDLE_SECONDS);
    ssize_t w = writePort(buf, n);
    (void)w;  // a port that takes nothing says so itself
    if (endsDialogue(buf, (int)n)) endRelay(nullptr);
    return (int)n;
}

// Returns the last forward()'s result.
static int drain() {
    int n = -1;
    while (state == Relay::Running && (n = forward()) > 0) {
    }
    return n;
}

static void describe(int i, const char *kind) {
    quoteInto(shownName, sizeof shownName, name, (int)strlen(name));
    snprintf(what, sizeof what, "%s of %s by %s (uid %u)", kind, shownName, gClients[i].user,
             (unsigned)gClients[i].uid);
}

static void start() {
    char text[sizeof what + 32];
    state = Relay::Running;
    setDue(IDLE_SECONDS);
    snprintf(text, sizeof text, "> a transfer runs: %s\n", what);
    tellAll(text, false);
}

static bool go(const char *line) {
    char buf[LINE_SIZE + 2];
    int n = snprintf(buf, sizeof buf, "G%s\n", line);
    if (n >= (int)sizeof buf) n = (int)sizeof buf - 1;
    return send(relayFD, buf, n, MSG_DONTWAIT | MSG_NOSIGNAL) == n;
}

static void grantUpload(int i, const char *line) {
    const char *blank = strrchr(line, ' ');
    snprintf(name, sizeof name, "%s", blank ? blank + 1 : "");
    describe(i, "upload");
    if (!go("")) {
        reset();
        return;
    }
    start();
}

static void askInstrument(int i, const char *line) {
    char request[DOWNLOAD_REQUEST_SIZE];
    int n = downloadRequest(line, request, sizeof request);
    if (n <= 0) {
        queueNotice(i, "> command error (%s)\n", line);
        reset();
        return;
    }
    snprintf(name, sizeof name, "%.*s", n - 12, request + 10);  // "#DOWNLOAD " and CR LF
    describe(i, "download");
    ssize_t w = writePort(request, n);
    (void)w;  // no answer ends the wait below
    state = Relay::Awaited;
    setDue(OFFER_SECONDS);
}

static bool isSocket(int fd) {
    struct stat st;
    return fd >= 0 && fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
}

void requestTransfer(int i, const char *line) {
    ShareClient &c = gClients[i];
    int fd = c.passed;
    c.passed = -1;
    const char *word = strncmp(line, "@upload", 7) == 0 ? "@upload" : "@download";
    if (state != Relay::Idle) {
        queueNotice(i, "> a transfer runs (%s), %s not started\n", what, word);
    } else if (!isSocket(fd)) {
        queueNotice(i, "> %s through a shared session needs kestrode --attach, not started\n",
                    word);
    } else {
        relayFD = fd;
        owner = i;
        memset(tail, 0, sizeof tail);
        if (word[1] == 'u') grantUpload(i, line);
        else askInstrument(i, line);
        return;
    }
    if (fd >= 0) close(fd);
}

// The requester went before its file came: the instrument is refused, so
// that the file does not land in the service's folder instead.
bool relayOffer(const char *line) {
    if (state != Relay::Awaited) return false;
    const char *offered = line + 10;  // "@DOWNLOAD,"
    size_t len = strcspn(offered, ",");
    if (len != strlen(name) || strncmp(offered, name, len) != 0) return false;
    if (owner < 0 || !go(line)) {
        sendControl("@FIN");
        printNotice("> %s: its console is gone, the download was refused\n", what);
        reset();
        return true;
    }
    lent = true;
    start();
    return true;
}

bool relayPortBytes(const char *buf, int len) {
    if (state != Relay::Running || !lent) return false;
    ssize_t n = send(relayFD, buf, len, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n != len)
        endRelay(n < 0 && errno != EAGAIN ? "its console went away"
                                          : "its console took no more of it");
    return true;
}

int relayPortOwner() { return state == Relay::Running && lent ? owner : -1; }
bool relayRunning() { return state == Relay::Running; }

void relayDone(int i) {
    if (i != owner || state != Relay::Running) return;
    drain();
    if (state == Relay::Running) endRelay(nullptr);
}

void relayClientGone(int i) {
    if (i != owner) return;
    if (state == Relay::Running) {
        drain();
        if (state == Relay::Running) endRelay("its console went away");
    }
    closeRelay();
    owner = -1;
}

int relayPollFds(pollfd *fds, int room) {
    if (state != Relay::Running || relayFD < 0 || room < 1) return 0;
    fds[0] = {relayFD, POLLIN, 0};
    return 1;
}

// Its "@done" (an upload the instrument never answered ends without "@FIN")
// was sent before its end closed: taken first.
void serveRelay(const pollfd *fds, int count) {
    for (int k = 0; k < count; ++k) {
        if (fds[k].fd != relayFD || fds[k].revents == 0 || state != Relay::Running) continue;
        if (drain() != 0 || state != Relay::Running) return;
        if (owner >= 0) serveClient(owner);
        if (state == Relay::Running) endRelay("its console went away");
    }
}

int relayWaitMs() {
    if (state == Relay::Idle) return -1;
    long long ms = msBetween(monotonicNow(), due);
    return ms < 0 ? 0 : (int)ms;
}

void checkRelay() {
    if (relayWaitMs() != 0) return;
    if (state == Relay::Running) return endRelay("its console was silent for 30 s");
    if (owner >= 0)
        queueNotice(owner, "> the instrument sent no %s within %d s\n", shownName, OFFER_SECONDS);
    reset();
}

void stopRelay() {
    if (state == Relay::Running) endRelay("the kestrode stopped");
    reset();
}

void describeTransfer(char *out, size_t size) {
    if (state == Relay::Idle) snprintf(out, size, "none");
    else if (state == Relay::Awaited) snprintf(out, size, "%s, awaited from the instrument", what);
    else snprintf(out, size, "%s", what);
}

// Lines typed while a console's transfer runs would go into its dialogue.
bool refusedForTransfer(int i, const char *line) {
    if (state != Relay::Running) return false;
    if (i < 0) {
        printf("> a transfer runs (%s), line not sent\n", what);
        return true;
    }
    printNotice("> %s (uid %u) typed during a transfer, not sent: %s\n", gClients[i].user,
                (unsigned)gClients[i].uid, line);
    queueNotice(i, "> a transfer runs (%s), line not sent\n", what);
    return true;
}

// The instrument sends a file of its own accord: to the service's folder,
// while the consoles wait.
void tellOwnDownload(const char *line, bool starts) {
    if (gShareFD < 0) return;
    char quoted[DOWNLOAD_NAME_SIZE * 4];
    quoteInto(quoted, sizeof quoted, line + 10, (int)strcspn(line + 10, ","));
    for (int i = 0; i < SHARE_CLIENTS; ++i) {
        if (gClients[i].fd < 0) continue;
        if (starts) queueNotice(i, "> a transfer runs: download of %s by the kestrode\n", quoted);
        else queueNotice(i, "> the transfer is over: download of %s by the kestrode\n", quoted);
        flushClient(i);
    }
}
