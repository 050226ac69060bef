// The instrument's life on the line: it boots when a host has opened and set
// up the device (earlier output would be flushed away by the host's set-up),
// prints its banner and status, then a reading every period, and a prompt
// after each answer. A reading or answer that follows an open prompt first
// ends the prompt's line, so every reading stays a line of its own.
#include <algorithm>
#include <cstdio>
#include <limits>

#include "sim.h"

static constexpr double NEVER = std::numeric_limits<double>::infinity();
static constexpr double SETUP_GRACE = 0.1;   // after the host's settings appear
static constexpr double SETUP_WAIT = 0.5;    // a host that never changes them
static constexpr double REBOOT_TIME = 1.0;
static constexpr double EMPTY_LINE_PROMPT = 0.15;  // unless more input follows

static double gConnectedAt = 0;
static double gBootAt = NEVER;
static bool gBooted = false;
static double gNextReading = NEVER;
static double gPromptDue = NEVER;
static bool gPromptOpen = false;
static long gMessages = 0;
// --mute-after: the readings stop once, as behind a frozen adapter, until the
// time is up or a host opens the device again.
static double gMuteFrom = NEVER;
static double gMuteUntil = NEVER;
static bool gMuteArmed = true;

void sendMessage(const std::string &text, double delay) {
    if (gOpt.noiseEvery > 0 && ++gMessages % gOpt.noiseEvery == 0) wireSend(noiseBurst(), delay);
    bool closePrompt = gPromptOpen && text.rfind("\r\n", 0) != 0;
    wireSend(closePrompt ? "\r\n" + text : text, delay);
    gPromptOpen = text.ends_with("$ ");
}

void answer(const std::vector<std::string> &lines) {
    std::string text;
    for (const std::string &l : lines) text += l + "\r\n";
    sendMessage(text + "$ ");
}

void promptSoon(double now) { gPromptDue = now + EMPTY_LINE_PROMPT; }

void promptCancel() { gPromptDue = NEVER; }

static std::string plural(size_t n, const char *word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

static std::string storageStatus() {
    std::vector<StoredFile> files = storageList();
    long long bytes = 0;
    for (const StoredFile &f : files) bytes += f.size;
    return "# storage: " + plural(files.size(), "file") + ", " + std::to_string(bytes) + " bytes";
}

static void boot(double now) {
    clockBoot();
    readingsReset();
    inputReset();
    gBooted = true;
    gBootAt = NEVER;
    gPromptDue = NEVER;
    answer({"# OLM-inside Air Monitor", "# firmware 3.2.1 (simulated), serial OLM-SIM-0001",
            "# sensors: particulates, temperature, humidity, CO2 ready", storageStatus(),
            "# clock not set, type help for commands"});
    gNextReading = gOpt.period > 0 ? now + gOpt.period : NEVER;
    if (gMuteArmed && gOpt.muteAfter >= 0) {
        gMuteArmed = false;
        gMuteFrom = now + gOpt.muteAfter;
        gMuteUntil = gMuteFrom + gOpt.muteFor;
    }
    note("booted");
}

void sessionStart(double now) {
    wireClear();
    inputReset();
    gConnectedAt = now;
    gBootAt = NEVER;
    gBooted = false;
    // An attached line may still hold a host that is in the middle of a line
    // from an earlier session: the banner must start a line of its own.
    gPromptOpen = attached();
    gPromptDue = NEVER;
    gNextReading = NEVER;
    gMuteFrom = gMuteUntil = NEVER;
    note("host opened %s", gDevicePath.c_str());
}

void sessionStop() {
    uploadAbort();
    downloadAbort();
    wireClear();
    gBooted = false;
    gBootAt = NEVER;
}

void sessionReboot(double now) {
    uploadAbort();
    downloadAbort();
    sendMessage("# rebooting\r\n");
    gBooted = false;
    gBootAt = now + REBOOT_TIME;
    gNextReading = NEVER;
}

bool sessionBooted() { return gBooted; }

// Before the first boot: watch for the host's settings, then boot shortly after.
static void awaitHost(double now, double *wake) {
    if (gBootAt == NEVER && (lineHostConfigured() || now - gConnectedAt >= SETUP_WAIT))
        gBootAt = now + SETUP_GRACE;
    *wake = std::min(*wake, gBootAt == NEVER ? now + 0.01 : gBootAt);
}

static void readingTick(double now, double *wake) {
    if (now >= gNextReading) {
        if (now >= gMuteFrom && now < gMuteUntil) {
            note("muted until %.1f s from now", gMuteUntil - now);
            gNextReading = gMuteUntil;
        } else if (!(gOpt.measureInUploads && uploadActive()) &&
                   (transferActive() || inputMidLine(now))) {
            gNextReading = now + std::min(gOpt.period, 0.2);  // after the host has spoken
        } else {
            sendMessage(readingLine() + "\r\n");
            gNextReading = std::max(gNextReading + gOpt.period, now + gOpt.period / 2);
        }
    }
    *wake = std::min(*wake, gNextReading);
}

void sessionTick(double now, double *wake) {
    if (!gBooted) {
        if (gBootAt == NEVER) awaitHost(now, wake);
        if (now >= gBootAt) boot(now);
        *wake = std::min(*wake, gBootAt);
        if (!gBooted) return;
    }
    uploadTick(now, wake);
    downloadTick(now, wake);
    if (now >= gPromptDue) {
        gPromptDue = NEVER;
        sendMessage("$ ");
    }
    *wake = std::min(*wake, gPromptDue);
    readingTick(now, wake);
}
