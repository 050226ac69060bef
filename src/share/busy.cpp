// While a transfer runs (a console's, or the kestrode's own download of a
// file the instrument sends of its own accord) no other line reaches the
// instrument. The kestrode's own holds the event loop, a day's file for
// many minutes; its waits go on serving the looks and the consoles, so a
// monitoring script never takes a busy logger for a dead one.
#include <cstdio>
#include <cstring>

#include "share/share.h"
#include "port/port.h"
#include "transfer/transfer.h"

static bool own = false;  // the kestrode's own transfer holds the loop
static char ownWhat[DOWNLOAD_NAME_SIZE * 4 + 64] = "a transfer of the kestrode's own";

bool transferBusy() { return relayRunning() || own; }

void describeTransfer(char *out, size_t size) {
    int done = 0, total = 0;
    if (!own)
        describeRelay(out, size);
    else if (downloadProgress(&done, &total))
        snprintf(out, size, "%s, %d of %d bytes", ownWhat, done, total);
    else
        snprintf(out, size, "%s", ownWhat);
}

// Lines typed meanwhile would go into the dialogue.
bool refusedForTransfer(int i, const char *shown) {
    if (!transferBusy()) return false;
    char what[sizeof ownWhat + 64];
    describeTransfer(what, sizeof what);
    if (i < 0) {
        printf("> a transfer runs (%s), line not sent\n", what);
        return true;
    }
    printNotice("> %s (uid %u) typed during a transfer, not sent: %s\n", gClients[i].user,
                (unsigned)gClients[i].uid, shown);
    queueNotice(i, "> a transfer runs (%s), line not sent\n", what);
    return true;
}

void tellOwnDownload(const char *line, bool starts) {
    char quoted[DOWNLOAD_NAME_SIZE * 4];
    quoteInto(quoted, sizeof quoted, line + 10, (int)strcspn(line + 10, ","));
    snprintf(ownWhat, sizeof ownWhat, "download of %s by the kestrode", quoted);
    own = starts;
    if (gShareFD < 0) return;
    for (int i = 0; i < SHARE_CONNECTIONS; ++i) {
        if (gClients[i].fd < 0 || !gClients[i].greeted) continue;
        if (starts) queueNotice(i, "> a transfer runs: %s\n", ownWhat);
        else queueNotice(i, "> the transfer is over: %s\n", ownWhat);
        flushClient(i);
    }
    if (!starts) snprintf(ownWhat, sizeof ownWhat, "a transfer of the kestrode's own");
}

// Inside a transfer's wait: the kestrode's own, whatever started it.
static void serveBusy(const pollfd *fds, int count) {
    bool was = own;
    own = true;
    checkShare();
    serveShare(fds, count);
    flushShare(true);
    own = was;
}

void startBusyWaits() { gBusyWork = {sharePollFds, shareWaitMs, serveBusy}; }
void stopBusyWaits() { gBusyWork = {}; }
