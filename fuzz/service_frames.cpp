// What a service sends kestrode --attach and kestrode --status: frames of
// any type and length, arriving split anywhere, taken from a buffer as the
// two clients take them from their socket. Neither may crash or wait, and
// no control byte of the service's own words reaches the terminal: the
// look prints nothing but quoted text and line ends; the console shows no
// more ESC bytes than the instrument's own (OUTPUT) frames carried. A
// connection's end (whether the console waits for another or not) ends
// what the service sends on it.
//
// Input: a flag byte (bit 0: the look, else the console; bit 1: the
// console's time stamps), a byte seeding the sizes of the pieces, then the
// bytes the service sends.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "clocklog/clocklog.h"
#include "fuzz_check.h"
#include "share/share.h"
#include "terminal/terminal.h"

static constexpr int FRAME_LIMIT = 8192 - FRAME_HEAD;  // the console's longest frame

// ESC bytes in the instrument's frames the console takes before it ends.
static size_t instrumentEscapes(const std::string &in) {
    size_t n = 0;
    for (size_t at = 0; at + FRAME_HEAD <= in.size();) {
        size_t len = (unsigned char)in[at + 1] << 8 | (unsigned char)in[at + 2];
        if (len > FRAME_LIMIT || at + FRAME_HEAD + len > in.size()) break;
        if (in[at] == FRAME_OUTPUT)
            for (size_t k = 0; k < len; ++k) n += in[at + FRAME_HEAD + k] == '\x1b';
        if (in[at] == FRAME_END && len > 0) break;
        at += FRAME_HEAD + len;
    }
    return n;
}

static bool onlyQuoted(const std::string &out) {
    for (size_t i = 0; i < out.size(); ++i) {
        unsigned char c = out[i];
        bool lineEnd = c == '\n' || (c == '\r' && i + 1 < out.size() && out[i + 1] == '\n');
        if ((c < 0x20 || c == 0x7F) && !lineEnd) return false;
    }
    return true;
}

static size_t nextPiece(uint32_t &seed, size_t left) {
    seed = seed * 1103515245u + 12345u;
    size_t piece = 1 + (seed >> 16) % 600;  // frames split anywhere, several in one piece
    return piece < left ? piece : left;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2 || size > 65536) return 0;
    bool look = data[0] & 1;
    uint32_t seed = data[1];
    std::string in(reinterpret_cast<const char *>(data + 2), size - 2);

    char *text = nullptr;
    size_t textLen = 0;
    FILE *realStdout = stdout;
    stdout = open_memstream(&text, &textLen);
    FUZZ_CHECK(stdout != nullptr);
    int result = 1;
    if (look) {
        startStatusAnswer();
        for (size_t at = 0; at < in.size() && result == 1;) {
            size_t piece = nextPiece(seed, in.size() - at);
            result = takeStatusBytes("/run/kestrode/x.sock", in.data() + at, (int)piece);
            at += piece;
        }
    } else {
        gSession.remote = true;  // a console's display: nothing logged, nothing answered
        gbShowTime = data[0] & 2;
        gbFirstChar = true;
        gbMidLine = false;
        gbRun = true;
        startRejoin("x", "/nonexistent/x.sock", 0);  // a connection's end ends the input
        startServiceBytes(handleTermBytes);
        for (size_t at = 0; at < in.size() && gbRun && !rejoinWaiting();) {
            size_t piece = nextPiece(seed, in.size() - at);
            takeServiceBytes(in.data() + at, (int)piece);
            at += piece;
        }
        showHeldNotices(true);  // as the console does at its end
    }
    fclose(stdout);
    stdout = realStdout;
    std::string out(text, textLen);
    free(text);

    FUZZ_CHECK(result >= -1 && result <= 1);
    if (look) {
        FUZZ_CHECK(onlyQuoted(out));
    } else {
        size_t escapes = 0;
        for (char c : out) escapes += c == '\x1b';
        FUZZ_CHECK(escapes <= instrumentEscapes(in));
    }
    return 0;
}
