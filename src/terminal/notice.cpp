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

void printNotice(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    if (!gbMidLine) {
        vprintf(format, ap);
    } else {
        int room = HELD_SIZE - heldLen;
        int n = vsnprintf(held + heldLen, room, format, ap);
        if (n > 0 && n < room) heldLen += n;  // one that does not fit is dropped whole
    }
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
