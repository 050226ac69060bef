// Bytes from the host into lines. CR, LF and CR LF each end a line (the LF of
// a CR LF pair is dropped, so it does not end a second, empty line). A line
// goes to a running transfer, otherwise to the shell.
#include "sim.h"

static constexpr size_t LINE_LIMIT = 1024;

static std::string gLine;
static bool gOverlong = false;
static bool gAfterCR = false;
static double gLastByte = 0;  // when the host last sent a byte

// A host that stops mid-line (a burst of the instrument's own output echoed
// back by a port not yet raw, cut off once it is) must not stop the readings
// for ever: they wait for the line's end only while bytes keep coming.
static constexpr double MID_LINE_HOLD = 3.0;

void inputReset() {
    gLine.clear();
    gOverlong = false;
    gAfterCR = false;
}

bool inputMidLine(double now) { return !gLine.empty() && now - gLastByte < MID_LINE_HOLD; }

static void finishLine(double now) {
    std::string line;
    line.swap(gLine);
    bool overlong = gOverlong;
    gOverlong = false;
    if (!sessionBooted()) return;  // nobody listens while it boots
    if (uploadActive())
        uploadLine(line, now);
    else if (downloadActive())
        downloadLine(line, now);
    else if (overlong)
        answer({"# line too long, ignored"});
    else
        shellLine(line, now);
}

void inputBytes(const char *p, size_t n, double now) {
    if (n > 0) gLastByte = now;
    for (size_t i = 0; i < n; ++i) {
        char c = p[i];
        bool afterCR = gAfterCR;
        gAfterCR = c == '\r';
        if (c == '\n' && afterCR) continue;
        if (c == '\r' || c == '\n') {
            finishLine(now);
            continue;
        }
        promptCancel();  // more is coming: a prompt now would split it
        if (gLine.size() < LINE_LIMIT)
            gLine += c;
        else
            gOverlong = true;
    }
}
