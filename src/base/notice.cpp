// kestrode's own notices never split an instrument line. One that arises
// while the console shows part of a line waits until that line has ended;
// should the instrument fall silent in the middle of a line (a prompt, a
// stall), the event loop shows it on a fresh line after a second, and so
// does a notice that finds no more room to wait.
#include <cstdarg>
#include <cstdio>

#include "base/base.h"


static constexpr int HELD_SIZE = 512;

bool gbMidLine = false;
static char held[HELD_SIZE];
static int heldLen = 0;

// False when it does not fit beside those held already.
static bool hold(char priority, const char *format, va_list ap) {
    int prefix = gbJournal ? 3 : 0;
    int room = HELD_SIZE - heldLen - prefix;
    if (room <= 0) return false;
    int n = vsnprintf(held + heldLen + prefix, room, format, ap);
    if (n <= 0) return true;  // nothing to show
    if (n >= room) return false;
    if (prefix) {
        held[heldLen] = '<';
        held[heldLen + 1] = priority;
        held[heldLen + 2] = '>';
    }
    heldLen += prefix + n;
    return true;
}

// A notice is never dropped: one that does not fit shows those held at
// once on a fresh line, as the time limit would, and follows them.
static void vprintNotice(char priority, const char *format, va_list ap) {
    if (gbMidLine) {
        va_list again;
        va_copy(again, ap);
        bool kept = hold(priority, format, again);
        va_end(again);
        if (kept) return;
        showHeldNotices(true);
    }
    journalPrefix(priority);
    vprintf(format, ap);
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
