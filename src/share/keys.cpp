// One writer at a time: the first console to type holds the keyboard until
// it detaches, has typed nothing for KEYBOARD_IDLE seconds or another takes
// it (@take). A line from another is not sent; each line goes to the
// instrument in one write, so lines never interleave. The other consoles
// hear who holds it and whose line went to the instrument.
#include <termios.h>
#include <unistd.h>

#include <cstring>

#include "clocklog/clocklog.h"
#include "share/share.h"
#include "port/port.h"

static int holder = -1;
static time_t lastTyped = 0;

void keyboardLeft(int i) {
    if (holder == i) holder = -1;
}

static bool idleAt(time_t now) { return now < lastTyped || now - lastTyped >= KEYBOARD_IDLE; }

int keyboardHolder() { return holder >= 0 && !idleAt(gClock(nullptr)) ? holder : -1; }

void checkKeyboard() {
    if (holder < 0 || !idleAt(gClock(nullptr))) return;
    const ShareClient &h = gClients[holder];
    tellOthers(holder, "> %s (uid %u) left the keyboard\n", h.user, (unsigned)h.uid);
    holder = -1;
}

int keyboardWaitMs() {
    if (holder < 0) return -1;
    time_t now = gClock(nullptr);
    return idleAt(now) ? 0 : (int)(lastTyped + KEYBOARD_IDLE - now) * 1000;
}

static void hold(int i) {
    checkKeyboard();
    if (holder != i) {
        tellOthers(i, "> %s (uid %u) holds the keyboard\n", gClients[i].user,
                   (unsigned)gClients[i].uid);
    }
    holder = i;
    lastTyped = gClock(nullptr);
}

static bool heldByAnother(int i) {
    if (holder >= 0 && holder != i && !idleAt(gClock(nullptr))) return true;
    hold(i);
    return false;
}

void takeKeyboard(int i) {
    const ShareClient &c = gClients[i];
    int from = keyboardHolder();
    if (from == i) {
        lastTyped = gClock(nullptr);
        return queueNotice(i, "> this console holds the keyboard already\n");
    }
    if (from < 0) {
        hold(i);
    } else {
        const ShareClient &h = gClients[from];
        printNotice("> %s (uid %u) took the keyboard from %s (uid %u)\n", c.user, (unsigned)c.uid,
                    h.user, (unsigned)h.uid);
        tellOthers(i, "> %s (uid %u) took the keyboard from %s (uid %u)\n", c.user,
                   (unsigned)c.uid, h.user, (unsigned)h.uid);
        holder = i;
        lastTyped = gClock(nullptr);
    }
    queueNotice(i, "> this console holds the keyboard now\n");
}

// The commands that act on the port run here; every other one is the
// console's own and never comes this way from kestrode.
static void runForConsole(int i, const char *line, const char *shown) {
    if (startsWith(line, "@settime")) {
        queueNotice(i, setTime() ? "# settime is successful\r\n" : "# settime failed\r\n");
    } else if (startsWith(line, "@clear")) {
        // What the instrument sent and the log has not yet taken is the
        // log's: only what waits to go to the instrument is discarded.
        tcflush(gTermFD, TCOFLUSH);
        queueNotice(i, "> clearing command\r\n");
    } else if (startsWith(line, "@upload") || startsWith(line, "@download")) {
        requestTransfer(i, line);
    } else {
        queueNotice(i, "> invalid command (%s)\n", shown);
    }
}

static void send(int i, char *line, int len, const char *shown) {
    const ShareClient &c = gClients[i];
    line[len] = '\r';
    line[len + 1] = '\n';
    bool sent = (len == 0 ? writePort("\r", 1) : writePort(line, len + 2)) >= 0;
    line[len] = '\0';
    if (!sent) return queueNotice(i, "> terminal write failed\n");
    tellOthers(i, "> %s (uid %u): %s\n", c.user, (unsigned)c.uid, shown);
}

// Every byte of the line as it goes to the instrument, a NUL included,
// and none that could act on the terminal or the journal that shows it.
static char shown[LINE_SIZE * 4];

void takeTypedLine(int i, char *line, int len) {
    const ShareClient &c = gClients[i];
    if (strcmp(line, "@done") == 0) return relayDone(i);  // its transfer is over
    if (startsWith(line, "@who")) return queueWho(i);  // changes nothing, said nowhere
    quoteInto(shown, sizeof shown, line, len);
    if (refusedForWatch(i, line, shown)) return;
    if (startsWith(line, "@take")) {
        printNotice("> %s (uid %u) typed: %s\n", c.user, (unsigned)c.uid, shown);
        return takeKeyboard(i);
    }
    if (refusedForTransfer(i, shown)) return;
    if (heldByAnother(i)) {
        const ShareClient &h = gClients[holder];
        printNotice("> %s (uid %u) typed while %s (uid %u) holds the keyboard, not sent: %s\n",
                    c.user, (unsigned)c.uid, h.user, (unsigned)h.uid, shown);
        queueNotice(i, "> the keyboard is held by %s (uid %u), line not sent\n", h.user,
                    (unsigned)h.uid);
        return;
    }
    printNotice("> %s (uid %u) typed: %s\n", c.user, (unsigned)c.uid, shown);
    if (line[0] == '@')
        runForConsole(i, line, shown);
    else
        send(i, line, len, shown);
}
