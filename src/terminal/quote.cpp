// Text that comes from outside (the instrument, a USB adapter's strings, a
// process's name) as a console shows it: control bytes written as \xNN, so
// that it cannot move the cursor, clear the screen or set the clipboard.
#include <cstdio>

#include "terminal/link.h"

void printQuoted(FILE *to, const char *text, int len) {
    for (int i = 0; i < len; ++i) {
        unsigned char c = (unsigned char)text[i];
        if (c < 0x20 || c == 0x7F)
            fprintf(to, "\\x%02X", c);
        else
            putc(c, to);
    }
}
