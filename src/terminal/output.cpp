// Showing the instrument's output and sorting it into lines.
#include <errno.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "clocklog/clocklog.h"
#include "terminal/terminal.h"
#include "transfer/transfer.h"

static constexpr int LINE_LIMIT = 253;  // stored bytes a line may reach

static char line[LINE_SIZE];
static int pos = 0;

// Console and log are flushed once per read (flushOutput), which puts every
// line out before the program next waits for input.
static void flushOutput() {
    flushConsole();
    flushLog();
}

static void abandonLine() {
    gbFirstChar = true;
    pos = 0;
}

static void classify(const char *text, int len) {
    if (strncmp(text, "@DOWNLOAD,", 10) == 0) {
        if (gSession.offer && gSession.offer(text)) return;  // a console asked for it
        flushOutput();  // the receiver waits for input
        syncLog();
        if (gSession.ownDownload) gSession.ownDownload(text, true);
        receiveDownload(text);
        if (gSession.ownDownload) gSession.ownDownload(text, false);
        spendTransferInterrupt();
    }
    else if (strncmp(text, INSTRUMENT_BANNER, sizeof INSTRUMENT_BANNER - 1) == 0) {
        if (gSession.restarted) gSession.restarted();  // a console's dialogue died with it
        setTime();
    }
    else
        makeLog(text, len);
}

static void finishLine() {
    // The service keeps the clock, between dialogues: a time line in the
    // middle of a console's frames would tear one.
    if (!gSession.remote && !(gSession.portBusy && gSession.portBusy())) checkSyncTime();
    noteInstrumentLine();
    gbFirstChar = true;
    if (noticesHeld()) showHeldNotices(false);
    if (pos == 1) {
        pos = 0;
        return;
    }
    line[pos - 1] = '\0';
    int len = pos - 1;
    pos = 0;
    if (!gSession.remote) classify(line, len);  // only the service logs and answers
}

static void echo(unsigned char c) {
    if (line[0] == '@') return;
    putc_unlocked(c, stdout);
    gbMidLine = c != '\n';
}

static void handleByte(unsigned char c) {
    if (pos == 0) markLineStart();
    if (gbFirstChar) {
        gbFirstChar = false;
        bool shown = (pos == 0 ? c : (unsigned char)line[0]) != '@';
        if (!gbMidLine && (shown || gbShowTime)) journalPrefix(JOURNAL_INFO);
        printTime();
        if (gbShowTime) gbMidLine = true;
    }
    if (pos == LINE_SIZE) {  // only carriage returns get this far
        echo(c);
        abandonLine();
        return;
    }
    line[pos++] = (char)c;
    echo(c);
    if (c == '\r') return;  // never ends nor abandons a line
    if (pos > LINE_LIMIT)
        abandonLine();
    else if (c == '\n')
        finishLine();
}

// Stores and echoes the bytes before the next line feed in one go, as far
// as the line can take them without reaching its limit; returns how many.
static int takeRun(const char *buf, int len) {
    int room = LINE_LIMIT - pos;
    if (room <= 0 || gbFirstChar) return 0;
    int n = len < room ? len : room;
    const char *lf = (const char *)memchr(buf, '\n', n);
    if (lf) n = (int)(lf - buf);
    memcpy(line + pos, buf, n);
    if (line[0] != '@' && n > 0) {
        fwrite_unlocked(line + pos, 1, n, stdout);
        gbMidLine = true;
    }
    pos += n;
    return n;
}

static void showAndSort(const char *buf, int len) {
    int i = 0;
    while (i < len) {
        i += takeRun(buf + i, len - i);
        if (i < len) handleByte((unsigned char)buf[i++]);
    }
}

void handleTermBytes(const char *buf, int len) {
    if (!gSession.portBytes) {
        showAndSort(buf, len);
    } else {  // the consoles get them; a console's transfer takes its dialogue's lines
        char spare[LINE_SIZE];
        for (int at = 0; at < len; at += LINE_SIZE) {
            int part = len - at < LINE_SIZE ? len - at : LINE_SIZE;
            const char *shown = gSession.portBytes(buf + at, &part, spare);
            showAndSort(shown, part);
        }
    }
    flushOutput();  // also shows a "$ " or "# " prompt at once
}

// Runs after every transfer (and every serial read). Bytes the transfer's
// reader took past its last line are instrument output; an instrument that
// restarted meanwhile gets its clock set now.
void drainHeldInput() {
    if (takeBannerSeen()) setTime();
    char buf[LINE_SIZE];
    int n;
    while ((n = takeHeldInput(buf, sizeof buf)) > 0) handleTermBytes(buf, n);
}

static bool deviceGone(ssize_t n) {
    return n == 0 || errno == EIO || errno == ENXIO || errno == ENODEV || errno == EBADF;
}

void process_term(int fd) {
    if (gSession.readPort) return gSession.readPort(fd);
    char buf[LINE_SIZE];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) {
        if (deviceGone(n)) endLostPort();
        return;
    }
    noteInstrumentBytes();
    handleTermBytes(buf, (int)n);
    drainHeldInput();
}
