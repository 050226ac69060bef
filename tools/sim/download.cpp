// Sending a file to the host: "#DOWNLOAD name" is answered
// "@DOWNLOAD,name,size"; after the host's "@ACK" the file follows in frames
// of 128 bytes, each sent again on "@NAK", then "@FIN" (with a remark when
// asked for); the host's "@FIN" closes the dialogue.
#include <algorithm>
#include <fstream>
#include <sstream>

#include "sim.h"

namespace {
enum class DlState { Idle, Starting, Sending, Closing };
struct Download {
    DlState state = DlState::Idle;
    std::string name, data;
    size_t acked = 0;       // bytes the host has acknowledged
    int chunks = 0;         // frames acknowledged
    int sendings = 0;       // frames sent, resends included
    int chunkSendings = 0;  // of the frame in flight
    bool silent = false;
    std::string outcome;
    double deadline = 0;
};
Download gDl;
constexpr double WAIT = 15;  // longer than any wait of the host's
constexpr size_t CHUNK = 128;
constexpr int MAX_SENDINGS = 10;  // of one frame, then the instrument gives up
}  // namespace

bool downloadActive() { return gDl.state != DlState::Idle; }

bool transferActive() { return uploadActive() || downloadActive(); }

void downloadAbort() { gDl = Download{}; }

static void finish(std::string outcome) {  // a copy: the state it may come from is reset
    note("download of %s: %s", gDl.name.c_str(), outcome.c_str());
    gDl = Download{};
    answer({outcome});
}

static std::string progress() {
    return std::to_string(gDl.acked) + " of " + std::to_string(gDl.data.size()) + " bytes";
}

static bool readStored(const std::string &name, std::string *data) {
    std::ifstream f(storagePath(name), std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    *data = ss.str();
    return f.good() || f.eof();
}

void downloadStart(const std::string &args, double now) {
    faultsTransferStart();
    promptCancel();
    std::string name = args.substr(0, args.find(' '));
    gDl = Download{};
    if (storageSize(name) < 0) return answer({"# no such file: " + name});
    if (!readStored(name, &gDl.data)) return answer({"# cannot read " + name});
    gDl.name = name;
    gDl.state = DlState::Starting;
    gDl.deadline = now + WAIT;
    note("download of %s, %zu bytes", name.c_str(), gDl.data.size());
    transferReply("@DOWNLOAD," + name + "," + std::to_string(gDl.data.size()) + "\r\n");
}

static void sendFrame() {
    ++gDl.sendings;
    ++gDl.chunkSendings;
    size_t n = std::min(CHUNK, gDl.data.size() - gDl.acked);
    std::string frame = frameEncode((const unsigned char *)gDl.data.data() + gDl.acked, n);
    if (faultCorrupt(gDl.sendings)) frameCorrupt(frame);
    transferReply(frame);
}

static void closeDialogue(const std::string &fin, const std::string &outcome) {
    gDl.state = DlState::Closing;
    gDl.outcome = outcome;
    transferReply(fin + "\r\n");
}

// The next frame, or the end once everything is acknowledged.
static void sendNext() {
    if (gDl.acked == gDl.data.size()) {
        std::string fin = gOpt.finRemark.empty() ? "@FIN" : "@FIN " + gOpt.finRemark;
        std::string sent = "# sent " + gDl.name + ", " + std::to_string(gDl.acked) + " bytes";
        return closeDialogue(fin, sent);
    }
    if (faultHangUp(gDl.chunks)) {
        gHangUpNow = true;
        return;
    }
    if (faultSilent(gDl.chunks)) {
        gDl.silent = true;
        return;
    }
    gDl.chunkSendings = 0;
    sendFrame();
}

static void frameReply(const std::string &line) {
    if (line.rfind("@ACK", 0) == 0) {
        gDl.acked += std::min(CHUNK, gDl.data.size() - gDl.acked);
        ++gDl.chunks;
        return sendNext();
    }
    if (line.rfind("@NAK", 0) != 0) return;
    note("download of %s: frame %d rejected by the host", gDl.name.c_str(), gDl.chunks + 1);
    if (gDl.chunkSendings < MAX_SENDINGS) return sendFrame();
    closeDialogue("@FIN too many errors",
                  "# download of " + gDl.name + " given up after " + progress());
}

void downloadLine(const std::string &line, double now) {
    gDl.deadline = now + WAIT;
    bool fin = line.rfind("@FIN", 0) == 0;
    if (gDl.state == DlState::Closing) {
        if (fin) finish(gDl.outcome);
    } else if (fin) {
        finish(gDl.state == DlState::Starting
                   ? "# download of " + gDl.name + " not taken by the host"
                   : "# download of " + gDl.name + " ended by the host after " + progress());
    } else if (gDl.silent) {
        return;
    } else if (gDl.state == DlState::Starting) {
        if (line.rfind("@ACK", 0) == 0) {
            gDl.state = DlState::Sending;
            sendNext();
        }
    } else {
        frameReply(line);
    }
}

void downloadTick(double now, double *wake) {
    if (!downloadActive()) return;
    if (now >= gDl.deadline) {
        std::string outcome = gDl.state == DlState::Closing && gDl.acked == gDl.data.size()
                                  ? gDl.outcome
                                  : "# download of " + gDl.name + " timed out after " + progress();
        return finish(outcome);
    }
    if (gDl.deadline < *wake) *wake = gDl.deadline;
}
