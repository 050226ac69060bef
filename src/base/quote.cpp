// Text that comes from outside (the instrument, a USB adapter's strings, a
// process's name, a console's file name, a server's notice) as a console
// shows it: control bytes written as \xNN, so that it cannot move the
// cursor, clear the screen or set the clipboard. And how a line is told by
// its first word, as commands and replies are.
#include <cstdio>
#include <cstring>

#include "base/base.h"

static int quoteByte(char *out, unsigned char c) {
    if (c >= 0x20 && c != 0x7F) {
        out[0] = (char)c;
        return 1;
    }
    return snprintf(out, 5, "\\x%02X", c);
}

void printQuoted(FILE *to, const char *text, int len) {
    char one[5];
    for (int i = 0; i < len; ++i) fwrite(one, 1, quoteByte(one, (unsigned char)text[i]), to);
}

// A LF, and a CR right before one, end a line as the text's own.
static int quoteTextByte(char *out, const char *text, int len, int i) {
    bool lineEnd = text[i] == '\n' || (text[i] == '\r' && i + 1 < len && text[i + 1] == '\n');
    if (!lineEnd) return quoteByte(out, (unsigned char)text[i]);
    out[0] = text[i];
    return 1;
}

void printQuotedText(FILE *to, const char *text, int len) {
    char one[5];
    for (int i = 0; i < len; ++i) fwrite(one, 1, quoteTextByte(one, text, len, i), to);
}

static void quote(char *out, size_t size, const char *text, int len, bool lineEnds) {
    size_t at = 0;
    char one[5];
    for (int i = 0; i < len; ++i) {
        int n = lineEnds ? quoteTextByte(one, text, len, i)
                         : quoteByte(one, (unsigned char)text[i]);
        if (at + n >= size) break;
        for (int k = 0; k < n; ++k) out[at++] = one[k];
    }
    if (size > 0) out[at] = '\0';
}

void quoteInto(char *out, size_t size, const char *text, int len) {
    quote(out, size, text, len, false);
}

void quoteTextInto(char *out, size_t size, const char *text, int len) {
    quote(out, size, text, len, true);
}

bool startsWith(const char *text, const char *word) {
    return strncmp(text, word, strlen(word)) == 0;
}
