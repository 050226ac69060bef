// The port's bytes while a console's transfer runs, sorted line by line:
// the dialogue's lines (replies, frames, the closing "@FIN") go to the
// console, every other line to the log as ever. A line is the dialogue's
// when it begins with one of its four-letter words; an instrument line
// begins anything else, so it never waits here for more than its first byte.
// From the instrument's "@FIN" on, the rest is the log's alone.
#include <cstring>

#include "share/share.h"

static constexpr int WORD = 4;
static const char *const DIALOGUE[] = {"@ACK", "@NAK", "@FIN", "@DAT", "@DOW"};

static bool atStart = true;     // the next byte begins a line
static bool toConsole = false;  // where the current line (and its line end) goes
static char head[WORD];         // an "@" line's first bytes, until they tell
static int headLen = 0;
static bool closing = false;    // the instrument has said "@FIN"

// Per call: the console's bytes collect here and go in one send.
static char out[1024];
static int outLen = 0;
static char *kept = nullptr;
static int keptLen = 0;

void resetSplit() {
    atStart = true;
    toConsole = closing = false;
    headLen = 0;
}

static bool isLineEnd(char c) { return c == '\r' || c == '\n'; }

static void route(const char *p, int n) {
    if (!toConsole) {
        memcpy(kept + keptLen, p, n);
        keptLen += n;
        return;
    }
    if (outLen + n > (int)sizeof out) {
        relayToConsole(out, outLen);
        outLen = 0;
    }
    memcpy(out + outLen, p, n);
    outLen += n;
}

static bool isDialogue() {
    if (headLen < WORD) return false;
    for (const char *word : DIALOGUE)
        if (memcmp(head, word, WORD) == 0) return true;
    return false;
}

// The head has told (or a line end came first): where this line goes.
static void decide() {
    toConsole = isDialogue();
    if (toConsole && relayUpload()) relayProgress();  // a reply relayed
    if (toConsole && memcmp(head, "@FIN", WORD) == 0) closing = true;
    int n = headLen;
    headLen = 0;
    route(head, n);
}

static void takeByte(char c) {
    if (headLen > 0) {
        if (!isLineEnd(c)) {
            head[headLen++] = c;
            if (headLen == WORD) decide();
            return;
        }
        decide();
    } else if (atStart && !isLineEnd(c)) {
        atStart = false;
        if (c == '@' && !closing) {
            head[headLen++] = c;
            return;
        }
        toConsole = false;
    }
    route(&c, 1);
    // The dialogue's lines end at a CR too, as its reader takes them; an
    // instrument line only at its LF, as the log takes it.
    if (c == '\n' || (c == '\r' && toConsole)) atStart = true;
}

int relaySplit(const char *buf, int len, char *keep) {
    kept = keep;
    keptLen = outLen = 0;
    int i = 0;
    for (; i < len; ++i) {
        // Done with the dialogue: the rest is copied as it is.
        if (closing && atStart && !toConsole && headLen == 0) break;
        takeByte(buf[i]);
    }
    memcpy(kept + keptLen, buf + i, len - i);
    keptLen += len - i;
    relayToConsole(out, outLen);
    return keptLen;
}
