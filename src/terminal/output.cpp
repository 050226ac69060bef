// Showing the instrument's output and sorting it into lines.
#include <errno.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "clocklog/clocklog.h"
#include "terminal/terminal.h"
#include "transfer/transfer.h"

static constexpr int LINE_LIMIT = 253;  // stored bytes a line may reach
static const char BANNER[] = "# OLM-inside Air Monitor";

static char line[LINE_SIZE];
static int pos = 0;
static unsigned char prev_ch = 0;

static void abandonLine() {
    fflush(stdout);
    gbFirstChar = true;
    pos = 0;
}

static void classify(const char *text) {
    if (strncmp(text, "@DOWNLOAD,", 10) == 0)
        receiveDownload(text);
    else if (strncmp(text, BANNER, sizeof BANNER - 1) == 0)
        setTime();
    else
        makeLog(text);
}

static void finishLine() {
    checkSyncTime();
    gbFirstChar = true;
    fflush(stdout);
    if (pos == 1) {
        pos = 0;
        return;
    }
    line[pos - 1] = '\0';
    pos = 0;
    classify(line);
}

static void echo(unsigned char c) {
    if (line[0] != '@') putc_unlocked(c, stdout);
}

static void handleByte(unsigned char c) {
    if (gbFirstChar) {
        gbFirstChar = false;
        printTime();
    }
    if (pos == LINE_SIZE) {  // only carriage returns get this far
        echo(c);
        prev_ch = c;
        abandonLine();
        return;
    }
    line[pos++] = (char)c;
    echo(c);
    if (c == ' ') {
        if (prev_ch == '#' || prev_ch == '$') fflush(stdout);
        prev_ch = c;
        if (pos > LINE_LIMIT) abandonLine();
        return;
    }
    prev_ch = c;
    if (c == '\r') return;
    if (pos > LINE_LIMIT)
        abandonLine();
    else if (c == '\n')
        finishLine();
}

void handleTermBytes(const char *buf, int len) {
    for (int i = 0; i < len; ++i) handleByte((unsigned char)buf[i]);
}

// Bytes a transfer's reader took past its last line are instrument output.
void drainHeldInput() {
    char buf[LINE_SIZE];
    int n;
    while ((n = takeHeldInput(buf, sizeof buf)) > 0) handleTermBytes(buf, n);
}

static bool deviceGone(ssize_t n) {
    return n == 0 || errno == EIO || errno == ENXIO || errno == ENODEV;
}

void process_term(int fd) {
    char buf[LINE_SIZE];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) {
        if (deviceGone(n)) {
            printf("> serial device lost, shutting down\n");
            gbRun = false;
        }
        return;
    }
    handleTermBytes(buf, (int)n);
    drainHeldInput();
}
