// Receiving a file from the host: "#UPLOAD name size", "@ACK", then frames,
// each answered "@ACK" (or "@NAK" when its checksum or Base64 is wrong) until
// the size is reached, which is answered "@FIN". The file is kept only when
// it is complete; the host's "@FIN" closes the dialogue either way.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "sim.h"

namespace {
enum class UpState { Idle, Receiving, Closing };
struct Upload {
    UpState state = UpState::Idle;
    std::string name;
    long long size = 0, received = 0;
    int fd = -1;
    int frames = 0;  // received, resends included
    bool silent = false;
    bool stored = false;
    std::string outcome;  // told once the dialogue is closed
    double deadline = 0;
};
Upload gUp;
constexpr double WAIT = 15;  // longer than any wait of the host's
constexpr long long MAX_SIZE = 1LL << 30;
}  // namespace

bool uploadActive() { return gUp.state != UpState::Idle; }

static void dropPartial() {
    if (gUp.fd >= 0) close(gUp.fd);
    gUp.fd = -1;
    if (!gUp.name.empty() && !gUp.stored) unlink(storagePartPath(gUp.name).c_str());
}

void uploadAbort() {
    if (!uploadActive()) return;
    dropPartial();
    gUp = Upload{};
}

static void finish(std::string outcome) {  // a copy: the state it may come from is reset
    dropPartial();
    note("upload of %s: %s", gUp.name.c_str(), outcome.c_str());
    gUp = Upload{};
    answer({outcome});
}

// Refusal: a remark, then "@NAK" for the header; the host closes with "@FIN".
static void refuse(const std::string &why) {
    gUp.state = UpState::Closing;
    gUp.outcome = why;
    sendMessage(why + "\r\n");
    transferReply("@NAK\r\n");
}

static bool parseHeader(const std::string &args, std::string *name, long long *size) {
    size_t blank = args.find_last_of(' ');
    if (blank == std::string::npos) return false;
    std::string digits = args.substr(blank + 1);
    *name = args.substr(0, blank);
    while (!name->empty() && name->back() == ' ') name->pop_back();
    size_t slash = name->find_last_of('/');  // the store is flat: keep the last part
    if (slash != std::string::npos) *name = name->substr(slash + 1);
    char *end = nullptr;
    *size = digits.empty() || digits[0] == '-' ? -1 : strtoll(digits.c_str(), &end, 10);
    return *size >= 0 && *end == '\0';
}

void uploadStart(const std::string &args, double now) {
    faultsTransferStart();
    promptCancel();
    gUp = Upload{};
    gUp.deadline = now + WAIT;
    std::string name;
    long long size = 0;
    if (!parseHeader(args, &name, &size)) return refuse("# upload refused: bad header");
    if (!storageNameOk(name)) return refuse("# upload refused: bad file name " + name);
    if (size > MAX_SIZE) return refuse("# upload refused: not enough room for " + name);
    gUp.name = name;
    gUp.size = size;
    gUp.fd = open(storagePartPath(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (gUp.fd < 0)
        return refuse("# upload refused: cannot store " + name + ": " + strerror(errno));
    gUp.state = UpState::Receiving;
    note("upload of %s, %lld bytes", name.c_str(), size);
    transferReply("@ACK\r\n");
}

static bool storeComplete() {
    bool closed = close(gUp.fd) == 0;
    gUp.fd = -1;
    gUp.stored = closed && rename(storagePartPath(gUp.name).c_str(),
                                  storagePath(gUp.name).c_str()) == 0;
    return gUp.stored;
}

static std::string shortfall() {
    return std::to_string(gUp.received) + " of " + std::to_string(gUp.size) +
           " bytes, nothing stored";
}

// A frame: kept and acknowledged, rejected, or the end of the file.
static void takeFrame(const std::string &line) {
    int done = gUp.frames++;
    if (gUp.silent) return;
    if (faultHangUp(done)) {
        gHangUpNow = true;
        return;
    }
    if (faultSilent(done)) {
        gUp.silent = true;
        return;
    }
    unsigned char data[256];
    int n = frameDecode(line, data, sizeof data);
    if (n < 0 || n > 128 || gUp.received + n > gUp.size || faultNak(gUp.frames))
        return transferReply("@NAK\r\n");
    if (write(gUp.fd, data, (size_t)n) != n) {
        gUp.state = UpState::Closing;
        gUp.outcome = "# upload of " + gUp.name + " failed: storage write error, " + shortfall();
        return transferReply("@FIN\r\n");
    }
    gUp.received += n;
    if (gUp.received < gUp.size) return transferReply("@ACK\r\n");
    gUp.state = UpState::Closing;
    bool ok = storeComplete();
    gUp.outcome = ok ? "# stored " + gUp.name + ", " + std::to_string(gUp.size) + " bytes"
                     : "# upload of " + gUp.name + " failed: cannot store it";
    transferReply(ok ? "@FIN\r\n" : "@FIN storage error\r\n");
}

// The host's "@FIN" in the middle: it gave up, or the file was empty.
static void hostEnded() {
    if (gUp.received == gUp.size && storeComplete())
        return finish("# stored " + gUp.name + ", " + std::to_string(gUp.size) + " bytes");
    finish("# upload of " + gUp.name + " ended by the host after " + shortfall());
}

void uploadLine(const std::string &line, double now) {
    gUp.deadline = now + WAIT;
    bool fin = line.rfind("@FIN", 0) == 0;
    if (gUp.state == UpState::Closing) {
        if (fin) finish(gUp.outcome);
    } else if (fin) {
        hostEnded();
    } else if (line.rfind("@DAT", 0) == 0) {
        takeFrame(line);
    }
}

void uploadTick(double now, double *wake) {
    if (!uploadActive()) return;
    if (now >= gUp.deadline) {
        std::string outcome = gUp.state == UpState::Closing && gUp.stored
                                  ? gUp.outcome
                                  : "# upload of " + gUp.name + " timed out after " + shortfall();
        return finish(outcome);
    }
    if (gUp.deadline < *wake) *wake = gUp.deadline;
}
