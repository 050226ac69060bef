// Collecting typed lines and sending them to the instrument.
#include <errno.h>
#include <unistd.h>

#include <cstdio>

#include "terminal/terminal.h"

static constexpr int TYPED_MAX = 252;
bool gbStdinOpen = true;

static void sendTyped(char *line, int pos) {
    line[pos - 1] = '\r';
    line[pos] = '\n';
    line[pos + 1] = '\0';
    if (write(gTermFD, line, pos + 1) < 0) printf("> terminal write failed\n");
}

static void endLine(char *line, int pos) {
    gbFirstChar = true;
    if (pos == 1) {
        if (write(gTermFD, "\r", 1) < 0) printf("> terminal write failed\n");
    } else if (line[0] == '@') {
        line[pos - 1] = '\0';
        runCommand(line);
        drainHeldInput();  // an upload may leave instrument output behind
    } else {
        sendTyped(line, pos);
    }
}

void process_stdin() {
    static char line[LINE_SIZE];
    static int pos = 0;
    char c;
    ssize_t n = read(0, &c, 1);
    if (n <= 0) {
        // At end of input (or with the terminal gone) stdin would be readable
        // forever; stop watching it and keep serving the instrument.
        if (n == 0 || (errno != EINTR && errno != EAGAIN)) gbStdinOpen = false;
        return;
    }
    bool lineEnd = c == '\r' || c == '\n';
    if (pos == TYPED_MAX && !lineEnd) return;
    line[pos++] = c;
    if (!lineEnd) return;
    int len = pos;
    pos = 0;
    endLine(line, len);
}
