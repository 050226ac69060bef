// Fault injection for tests. Frame counts are per transfer, so every
// transfer of a run meets the same faults at the same places.
#include "sim.h"

bool gHangUpNow = false;
static int gReplies = 0;

static const char *const REMARKS[] = {
    "# battery 87%",      "# fan 2400 rpm",           "# sensor heater on",
    "# storage 61% free", "# particulate self-check passed",
};

void faultsTransferStart() { gReplies = 0; }

static bool everyNth(int every, int n) { return every > 0 && n > 0 && n % every == 0; }

bool faultNak(int framesReceived) { return everyNth(gOpt.nakEvery, framesReceived); }

bool faultCorrupt(int framesSent) { return everyNth(gOpt.corruptEvery, framesSent); }

bool faultSilent(int framesDone) { return gOpt.silentAfter >= 0 && framesDone >= gOpt.silentAfter; }

bool faultHangUp(int framesDone) { return gOpt.hangupAfter >= 0 && framesDone >= gOpt.hangupAfter; }

// A reply of a transfer; every Nth one carries remarks in front, in one write.
void transferReply(const std::string &text) {
    std::string glued;
    if (everyNth(gOpt.remarkEvery, ++gReplies))
        for (int i = 0; i < gOpt.remarkLines; ++i)
            glued += std::string(REMARKS[rngNext() % (sizeof REMARKS / sizeof *REMARKS)]) + "\r\n";
    sendMessage(glued + text);
}

// Random bytes ended by CR LF. The first is never "#" or "@", so the line is
// garbage to the host, never a remark or a control line.
std::string noiseBurst() {
    size_t n = 8 + rngNext() % 33;
    std::string noise;
    while (noise.size() < n) {
        char c = (char)(rngNext() & 0xFF);
        if (c == '\r' || c == '\n' || (noise.empty() && (c == '#' || c == '@'))) continue;
        noise += c;
    }
    return noise + "\r\n";
}
