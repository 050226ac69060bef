// The command line of kestrode-sim.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim.h"

SimOptions gOpt;

static const char USAGE[] =
    "usage: kestrode-sim [OPTIONS] [--run [--] PROGRAM [ARGS...]]\n"
    "\n"
    "A simulated air monitor on a pseudo-terminal. Prints the device path to\n"
    "open (with --run, starts PROGRAM with that path as its last argument and\n"
    "stops when PROGRAM ends). Without --run or --stay it stops when the host\n"
    "that opened the device closes it.\n"
    "\n"
    "  --attach DEVICE     play the instrument on an existing serial device\n"
    "                      instead (set to raw 115200 8N1): a real port, joined\n"
    "                      to the host's port by a null-modem cable, or the slave\n"
    "                      of a pseudo-terminal held by another program. Boots at\n"
    "                      once, so start it after the host has opened its port\n"
    "                      (or type reboot); stops when the line hangs up\n"
    "                      (with --stay: reopens the device when it is back)\n"
    "  --storage DIR       folder of the instrument's files (default: a temporary\n"
    "                      folder, removed at the end)\n"
    "  --link PATH         also make PATH a symlink to the device\n"
    "  --transcript FILE   write every byte sent to the host to FILE\n"
    "  --period SECONDS    time between readings, 0 for none (default 1)\n"
    "  --measure-in-uploads  readings go on while a file is sent to the monitor\n"
    "  --stamp             begin each reading with the instrument's clock\n"
    "                      (2026-12-08T04:18:16Z)\n"
    "  --clock-rate R      the instrument's clock runs R times as fast as real\n"
    "                      time (default 1), to follow a host's clock that is\n"
    "                      sped up for a test\n"
    "  --baud N            imitate an N baud 8N1 line: N/10 bytes/s each way\n"
    "  --seed N            fixed seed for readings, remarks and noise\n"
    "  --fin-remark TEXT   close downloads with \"@FIN TEXT\"\n"
    "  --run PROGRAM ...   run PROGRAM on the device; must come last\n"
    "  --exit-with PID     stop when process PID is gone\n"
    "  --stay              keep serving after a host closes the device\n"
    "  --verbose           report sessions and transfers on standard error\n"
    "\n"
    "Faults, counted within each transfer:\n"
    "  --nak-every N       upload: answer every Nth frame received with @NAK\n"
    "  --corrupt-every N   download: damage every Nth frame sent\n"
    "  --silent-after N    fall silent after N frames until the host gives up\n"
    "  --hangup-after N    hang up the line after N frames\n"
    "  --remark-every N    glue \"# \" remarks in front of every Nth reply,\n"
    "                      in the same write\n"
    "  --remark-lines K    remarks glued each time (default 1)\n"
    "  --noise-every N     a line of random bytes before every Nth message\n"
    "  --mute-after SECONDS  send no reading from SECONDS after the first boot\n"
    "  --mute-for SECONDS  for this long (default 60), or until the host opens\n"
    "                      the device again (a frozen adapter); once a run\n";

static bool wholeNumber(const char *text, long min, long max, long *out) {
    char *end = nullptr;
    long v = strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < min || v > max) return false;
    *out = v;
    return true;
}

static bool intOption(const char *value, long min, long max, int *out) {
    long v = 0;
    if (!wholeNumber(value, min, max, &v)) return false;
    *out = (int)v;
    return true;
}

static bool secondsOption(const char *value, double *out) {
    char *end = nullptr;
    double v = strtod(value, &end);
    if (end == value || *end != '\0' || !(v >= 0) || v > 86400) return false;
    *out = v;
    return true;
}

static bool rateOption(const char *value) {
    char *end = nullptr;
    double v = strtod(value, &end);
    if (end == value || *end != '\0' || !(v >= 1) || v > 1e7) return false;
    gOpt.clockRate = v;
    return true;
}

static bool textOption(std::string *dst, const char *value, bool mayBeEmpty) {
    *dst = value;
    return mayBeEmpty || *value != '\0';
}

static bool pidOption(const char *value) {
    long v = 0;
    if (!wholeNumber(value, 1, 0x7fffffff, &v)) return false;
    gOpt.exitWith = (pid_t)v;
    return true;
}

static bool seedOption(const char *value) {
    long v = 0;
    if (!wholeNumber(value, 1, 0x7fffffff, &v)) return false;
    gOpt.seed = (unsigned long)v;
    return true;
}

// One option with a value; false when the name is unknown or the value bad.
static bool valueOption(const char *name, const char *value) {
    if (!strcmp(name, "--storage")) return textOption(&gOpt.storage, value, false);
    if (!strcmp(name, "--link")) return textOption(&gOpt.link, value, false);
    if (!strcmp(name, "--attach")) return textOption(&gOpt.attach, value, false);
    if (!strcmp(name, "--transcript")) return textOption(&gOpt.transcript, value, false);
    if (!strcmp(name, "--fin-remark")) return textOption(&gOpt.finRemark, value, true);
    if (!strcmp(name, "--period")) return secondsOption(value, &gOpt.period);
    if (!strcmp(name, "--clock-rate")) return rateOption(value);
    if (!strcmp(name, "--mute-after")) return secondsOption(value, &gOpt.muteAfter);
    if (!strcmp(name, "--mute-for")) return secondsOption(value, &gOpt.muteFor);
    if (!strcmp(name, "--baud")) return wholeNumber(value, 10, 100000000, &gOpt.baud);
    if (!strcmp(name, "--seed")) return seedOption(value);
    if (!strcmp(name, "--exit-with")) return pidOption(value);
    if (!strcmp(name, "--nak-every")) return intOption(value, 1, 1000000, &gOpt.nakEvery);
    if (!strcmp(name, "--corrupt-every")) return intOption(value, 1, 1000000, &gOpt.corruptEvery);
    if (!strcmp(name, "--silent-after")) return intOption(value, 0, 1000000, &gOpt.silentAfter);
    if (!strcmp(name, "--hangup-after")) return intOption(value, 0, 1000000, &gOpt.hangupAfter);
    if (!strcmp(name, "--remark-every")) return intOption(value, 1, 1000000, &gOpt.remarkEvery);
    if (!strcmp(name, "--remark-lines")) return intOption(value, 1, 100, &gOpt.remarkLines);
    if (!strcmp(name, "--noise-every")) return intOption(value, 1, 1000000, &gOpt.noiseEvery);
    return false;
}

static bool flagOption(const char *name) {
    bool *flag = nullptr;
    if (!strcmp(name, "--stay")) flag = &gOpt.stay;
    if (!strcmp(name, "--verbose")) flag = &gOpt.verbose;
    if (!strcmp(name, "--measure-in-uploads")) flag = &gOpt.measureInUploads;
    if (!strcmp(name, "--stamp")) flag = &gOpt.stamp;
    if (flag) *flag = true;
    return flag != nullptr;
}

static int complain(const char *what, const char *arg) {
    fprintf(stderr, "kestrode-sim: %s: %s (see --help)\n", what, arg);
    return 2;
}

// Splits "--name=value" or takes the value from the next argument.
static bool takeValue(int argc, char **argv, int *i, std::string *name, const char **value) {
    const char *arg = argv[*i];
    const char *eq = strchr(arg, '=');
    if (eq) {
        *name = std::string(arg, eq - arg);
        *value = eq + 1;
        return true;
    }
    *name = arg;
    if (*i + 1 >= argc) return false;
    *value = argv[++*i];
    return true;
}

// False when the program should end at once with *status.
bool parseOptions(int argc, char **argv, int *status) {
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (!strcmp(arg, "--help") || !strcmp(arg, "-h")) {
            fputs(USAGE, stdout);
            *status = 0;
            return false;
        }
        if (!strcmp(arg, "--run")) {
            if (i + 1 < argc && !strcmp(argv[i + 1], "--")) ++i;
            if (i + 1 >= argc) {
                *status = complain("--run needs a program", arg);
                return false;
            }
            gOpt.run = argv + i + 1;
            return true;
        }
        if (flagOption(arg)) continue;
        std::string name;
        const char *value = nullptr;
        const char *problem = nullptr;
        if (strncmp(arg, "--", 2) != 0)
            problem = "unexpected argument";
        else if (!takeValue(argc, argv, &i, &name, &value))
            problem = "missing value";
        else if (!valueOption(name.c_str(), value))
            problem = "unknown option or bad value";
        if (problem) {
            *status = complain(problem, arg);
            return false;
        }
    }
    return true;
}
