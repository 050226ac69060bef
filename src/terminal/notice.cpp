// kestrode's own notices never split an instrument line. One that arises
// while the console shows part of a line waits until that line has ended;
// should the instrument fall silent in the middle of a line (a prompt, a
// stall), the event loop shows it on a fresh line after a second.
#include <cstdarg>
#include <cstdio>

#include "terminal/terminal.h"

static constexpr int HELD_SIZE = 512;

bool gbMidLine = false;
static char held[HELD_SIZE];
static int heldLen = 0;

static void vprintNotice(char priority, const char *format, va_list ap) {
    if (!gbMidLine) {
        journalPrefix(priority);
        vprintf(format, ap);
        return;
    }
    int prefix = gbJournal ? 3 : 0;
    int room = HELD_SIZE - heldLen - prefix;
    if (room <= 0) return;
    int n = vsnprintf(held + heldLen + prefix, room, format, ap);
    if (n <= 0 || n >= room) return;  // one that does not fit is dropped whole
    if (prefix) {
        held[heldLen] = '<';
        held[heldLen + 1] = priority;
        held[heldLen + 2] = '>';
    }
    heldLen += prefix + n;
}

void printNotice(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    vprintNotice(JOURNAL_WARNING, format, ap);
    va_end(ap);
}

void printError(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    vprintNotice(JOURNAL_ERROR, format, ap);
    va_end(ap);
}

bool noticesHeld() { return heldLen > 0; }

void showHeldNotices(bool freshLine) {
    if (heldLen == 0 || (gbMidLine && !freshLine)) return;
    if (gbMidLine) {
        putchar('\n');
        gbFirstChar = true;  // the rest of the instrument's line starts a console line
    }
    fwrite(held, 1, heldLen, stdout);
    heldLen = 0;
    gbMidLine = false;
}
