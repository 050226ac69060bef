// The timed line reader the transfer dialogues use. Bytes that arrive after
// the line it returns stay held here for the next line, so a burst holding
// several replies loses none of them.
#include <errno.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "port/port.h"
#include "base/base.h"
#include "transfer/transfer.h"

static constexpr int READ_CHUNK = 100;

static char held[READ_CHUNK];
static int heldPos = 0;
static int heldLen = 0;
// The rest of a line cut at the buffer's size is dropped up to its line end:
// kept, it would read as a line of its own (a long "@ACK ..." would end an
// upload as an unexpected message).
static bool dropTail = false;
static bool bannerSeen = false;

// Waits for input and refills the held buffer; false on time-out, failure
// or a terminating signal (which must end the transfer, not be waited out).
static bool fillHeld(int seconds) {
    if (gTermFD < 0) return false;
    flushConsole();  // remarks and progress show before the wait
    for (;;) {
        keepServiceAlive();  // a download of minutes holds the loop
        int r = waitPortInput(seconds);
        if (r < 0 && errno == EINTR && !gSignal) continue;
        if (r <= 0) return false;
        ssize_t n = read(gTermFD, held, sizeof held);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) {
            printf("> terminal read failed\n");
            return false;
        }
        noteInstrumentBytes();
        heldPos = 0;
        heldLen = (int)n;
        return true;
    }
}

static bool isLineEnd(char c) { return c == '\r' || c == '\n'; }

int readLineTerminalTimeout(char *buf, int size, int seconds) {
    int limit = size - 1;
    if (limit <= 0) {
        if (size > 0) buf[0] = '\0';
        return 0;
    }
    int len = 0;
    while (len < limit) {
        if (heldPos == heldLen && !fillHeld(seconds)) return -1;
        char c = held[heldPos++];
        if (dropTail) {
            dropTail = !isLineEnd(c);
            continue;
        }
        if (isLineEnd(c)) {
            if (len == 0) continue;  // line ends before any text
            // The LF of a CR LF belongs to this line, not to what follows
            // the transfer.
            if (c == '\r' && heldPos < heldLen && held[heldPos] == '\n') ++heldPos;
            break;
        }
        buf[len++] = c;
    }
    if (len == limit) dropTail = true;
    buf[len] = '\0';
    return len;
}

int readMessageTimeout(char *buf, int size, int seconds) {
    for (;;) {
        int len = readLineTerminalTimeout(buf, size, seconds);
        if (len <= 0 || buf[0] != '#') return len;
        if (strncmp(buf, INSTRUMENT_BANNER, sizeof INSTRUMENT_BANNER - 1) == 0) bannerSeen = true;
        printf("%s\n", buf);
        fflush(stdout);
    }
}

int takeHeldInput(char *dst, int cap) {
    while (dropTail && heldPos < heldLen) dropTail = !isLineEnd(held[heldPos++]);
    dropTail = false;  // what has not arrived yet is the terminal's to show
    int n = heldLen - heldPos;
    if (n > cap) n = cap;
    if (n <= 0) return 0;
    memcpy(dst, held + heldPos, n);
    heldPos += n;
    return n;
}

bool takeBannerSeen() {
    bool seen = bannerSeen;
    bannerSeen = false;
    return seen;
}
