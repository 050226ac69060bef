// The instrument's small command shell, and the two transfer requests.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim.h"

namespace {
struct Command {
    const char *name;
    void (*run)(const std::string &args, double now);
};
}  // namespace

static void cmdHelp(const std::string &, double) {
    answer({"help              this list", "ls                stored files and their sizes",
            "rm NAME           remove a stored file", "date              the monitor's clock",
            "settime SECONDS   set the clock (seconds since 1970, UTC)",
            "reboot            restart the monitor"});
}

static void cmdLs(const std::string &, double) {
    std::vector<StoredFile> files = storageList();
    std::vector<std::string> lines;
    long long bytes = 0;
    for (const StoredFile &f : files) {
        char text[128];
        snprintf(text, sizeof text, "%-24s %10lld", f.name.c_str(), f.size);
        lines.push_back(text);
        bytes += f.size;
    }
    std::string count = std::to_string(files.size()) + (files.size() == 1 ? " file" : " files");
    lines.push_back("# " + count + ", " + std::to_string(bytes) + " bytes");
    answer(lines);
}

static void cmdRm(const std::string &args, double) {
    if (args.empty()) return answer({"# usage: rm NAME"});
    if (storageSize(args) < 0 || unlink(storagePath(args).c_str()) != 0)
        return answer({"# no such file: " + args});
    answer({"# removed " + args});
}

static void cmdDate(const std::string &, double) {
    answer({clockText(clockNow()) + (clockWasSet() ? "" : " (clock not set)")});
}

static void cmdSettime(const std::string &args, double) {
    char *end = nullptr;
    long long v = args.empty() || args[0] == '-' ? -1 : strtoll(args.c_str(), &end, 10);
    if (v < 0 || *end != '\0' || v > 253402300799LL)  // up to the year 9999
        return answer({"# settime needs the seconds since 1970 (UTC)"});
    clockSet(v);
    answer({"# clock set to " + clockText(v)});
    note("clock set to %s", clockText(v).c_str());
}

static void cmdReboot(const std::string &, double now) { sessionReboot(now); }

static const Command COMMANDS[] = {
    {"help", cmdHelp},        {"ls", cmdLs},           {"rm", cmdRm},
    {"date", cmdDate},        {"settime", cmdSettime}, {"reboot", cmdReboot},
    {"#UPLOAD", uploadStart}, {"#DOWNLOAD", downloadStart},
};

static std::string trimmed(const std::string &s) {
    size_t a = s.find_first_not_of(" \t");
    if (a == std::string::npos) return "";
    size_t b = s.find_last_not_of(" \t");
    return s.substr(a, b - a + 1);
}

void shellLine(const std::string &raw, double now) {
    std::string line = trimmed(raw);
    if (line.empty()) return promptSoon(now);
    // Control lines left over from a dialogue that already ended.
    if (line == "@ACK" || line == "@NAK" || line == "@FIN") return note("ignored %s", line.c_str());
    size_t blank = line.find_first_of(" \t");
    std::string word = line.substr(0, blank);
    std::string args = blank == std::string::npos ? "" : trimmed(line.substr(blank));
    for (const Command &c : COMMANDS)
        if (word == c.name) return c.run(args, now);
    answer({"# unknown command: " + word + " (type help)"});
}
