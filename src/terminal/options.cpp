// The command line: options the usual way (getopt_long), then the device.
// A new option is one row in LONG_OPTIONS, one case in takeOption, one field
// of Options and one line of OPTIONS_HELP.
#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "clocklog/clocklog.h"
#include "terminal/terminal.h"

Options gOptions;

static const char SHORT_OPTIONS[] = ":hVl";  // leading ':': a missing value is told apart
enum { LOG_TIME = 256, LOG_DAILY, LOG_DIR, LOG_SYNC, LOG_KEEP, SILENCE, SHARE, ATTACH, STATUS,
       SEND, UNTIL, TIME, FETCH, PUT, WATCH, WAIT };  // long options only
static const option LONG_OPTIONS[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"list", no_argument, nullptr, 'l'},
    {"log-time", no_argument, nullptr, LOG_TIME},
    {"log-daily", no_argument, nullptr, LOG_DAILY},
    {"log-dir", required_argument, nullptr, LOG_DIR},
    {"log-sync", required_argument, nullptr, LOG_SYNC},
    {"log-keep", required_argument, nullptr, LOG_KEEP},
    {"silence", required_argument, nullptr, SILENCE},
    {"share", optional_argument, nullptr, SHARE},
    {"attach", required_argument, nullptr, ATTACH},
    {"status", required_argument, nullptr, STATUS},
    {"send", required_argument, nullptr, SEND},
    {"until", required_argument, nullptr, UNTIL},
    {"time", required_argument, nullptr, TIME},
    {"fetch", required_argument, nullptr, FETCH},
    {"put", required_argument, nullptr, PUT},
    {"watch", no_argument, nullptr, WATCH},
    {"wait", required_argument, nullptr, WAIT},
    {nullptr, 0, nullptr, 0},
};

static const char USAGE_LINE[] =
    "usage: kestrode [--log-time] [--log-daily [--log-keep N]] [--log-dir DIR]\n"
    "                [--log-sync SECONDS] [--silence SECONDS] [--share[=SOCKET]] [--] [DEVICE]\n"
    "       kestrode --attach [--watch] PORT|SOCKET [--wait SECONDS] | --status PORT|SOCKET\n"
    "       kestrode --attach PORT|SOCKET --send LINE [--until TEXT] [--time SECONDS]\n"
    "       kestrode --attach PORT|SOCKET --fetch NAME | --put FILE\n"
    "       kestrode -l|--list | -h|--help | -V|--version\n";
static const char OPTIONS_HELP[] =
    "  --log-time     begin every logged line with its local date and time\n"
    "                 (2026-12-07T17:55:28.506+01:00)\n"
    "  --log-daily    a new log file for each local date\n"
    "  --log-keep N   with --log-daily: keep the newest N day files; each new\n"
    "                 day's file removes the oldest one beyond N\n"
    "  --log-dir DIR  write the log in DIR instead of the current directory\n"
    "  --log-sync SECONDS\n"
    "                 put logged lines on the disk at most SECONDS after they\n"
    "                 came, only when some did (default 1; 0: every line)\n"
    "  --silence SECONDS\n"
    "                 warn after SECONDS without a byte from the instrument,\n"
    "                 reopen the port after as long again\n"
    "  --share[=SOCKET]\n"
    "                 let consoles attach (kestrode --attach) while this one logs:\n"
    "                 at /run/kestrode/NAME.sock, or at SOCKET\n"
    "  --attach PORT|SOCKET\n"
    "                 be a console of the kestrode that shares PORT (ttyUSB0,\n"
    "                 /dev/ttyUSB0) or listens on SOCKET; waits for it to come\n"
    "                 back when it goes away\n"
    "  --wait SECONDS with --attach: wait at most SECONDS in all for the kestrode\n"
    "                 (without a terminal, not at all by default)\n"
    "  --watch        with --attach: only watch, never type to the instrument\n"
    "  --status PORT|SOCKET\n"
    "                 report on that kestrode: its log, lines logged today,\n"
    "                 the instrument's last line, who is attached; exit status\n"
    "                 0 when it answers, 69 when none does, 77 when not allowed\n"
    "  --send LINE    with --attach, for a script: send LINE to the instrument,\n"
    "                 print its answer until TEXT (--until) or for SECONDS\n"
    "                 (--time, default 10), then end\n"
    "  --until TEXT   with --send: the answer ends once TEXT came (status 1\n"
    "                 when it did not come in time)\n"
    "  --time SECONDS with --send: how long the answer is awaited\n"
    "  --fetch NAME   with --attach: download the instrument's file NAME into\n"
    "                 the current folder, then end\n"
    "  --put FILE     with --attach: upload FILE to the instrument, then end\n"
    "  -l, --list     list the serial ports of this host and exit\n"
    "  -h, --help     show this help and exit\n"
    "  -V, --version  show the version and exit\n"
    "  --             end of options: what follows is the device\n";

// A number of seconds, at most a day; false when it is anything else.
static bool seconds(int min, int *out) {
    char *end = nullptr;
    long v = strtol(optarg, &end, 10);
    if (end == optarg || *end != '\0' || v < min || v > 86400) return false;
    *out = (int)v;
    return true;
}

// A count of day files to keep.
static bool files(int *out) {
    char *end = nullptr;
    long v = strtol(optarg, &end, 10);
    if (end == optarg || *end != '\0' || v < 1 || v > MAX_LOG_KEEP) return false;
    *out = (int)v;
    return true;
}

static bool takeOption(int c) {
    switch (c) {
    case 'h': gOptions.help = true; return true;
    case 'V': gOptions.version = true; return true;
    case 'l': gOptions.list = true; return true;
    case LOG_TIME: gbLogTime = true; return true;
    case LOG_DAILY: gbLogDaily = true; return true;
    case LOG_DIR: gOptions.logDir = optarg; return true;
    case LOG_SYNC: return seconds(0, &gLogSyncSeconds);
    case LOG_KEEP: return files(&gLogKeep);
    case SILENCE: return seconds(0, &gSilenceSeconds);
    case SHARE:
        gOptions.share = true;
        gOptions.shareSocket = optarg;
        return true;
    case ATTACH: gOptions.attach = optarg; return true;
    case STATUS: gOptions.status = optarg; return true;
    case SEND: gOptions.send = optarg; return true;
    case UNTIL: gOptions.until = optarg; return true;
    case TIME: return seconds(1, &gOptions.seconds);
    case FETCH: gOptions.fetch = optarg; return true;
    case PUT: gOptions.put = optarg; return true;
    case WATCH: gOptions.watch = true; return true;
    case WAIT: return seconds(0, &gOptions.wait);
    default: return false;
    }
}

// The option as typed: "--name" (without any "=value") or "-x".
static void noteBad(const char *format, const char *arg, int shortOpt) {
    char name[48];
    if (shortOpt > 0 && shortOpt < LOG_TIME)  // a long-only option's code is no letter
        snprintf(name, sizeof name, "-%c", shortOpt);
    else
        snprintf(name, sizeof name, "%.*s", (int)strcspn(arg, "="), arg);
    snprintf(gOptions.bad, sizeof gOptions.bad, format, name);
}

// A long option given a value it does not take ("--help=3"): getopt_long
// tells it only by the option's code, which would name "-h", an option the
// user did not type.
static bool valueNotTaken(const char *arg) {
    if (optopt == 0 || strncmp(arg, "--", 2) != 0) return false;
    size_t len = strcspn(arg + 2, "=");
    if (arg[2 + len] != '=') return false;
    for (const option *o = LONG_OPTIONS; o->name; ++o)
        if (o->has_arg == no_argument && o->val == optopt && strncmp(o->name, arg + 2, len) == 0)
            return true;
    return false;
}

// What goes to the instrument or the service, or is looked for in the
// answer, is one line: never cut short.
static bool oneLine(const char *option, const char *value) {
    if (!value || (strlen(value) <= (size_t)LINE_SIZE && !strpbrk(value, "\r\n"))) return true;
    snprintf(gOptions.bad, sizeof gOptions.bad, "> option %s takes one line of at most %d bytes\n",
             option, LINE_SIZE);
    return false;
}

// A script's errand: one of --send, --fetch, --put, only with --attach and
// never from a console that only watches; --until and --time only with --send.
static bool errandFits() {
    const char *need = nullptr, *what = nullptr;
    int errands = !!gOptions.send + !!gOptions.fetch + !!gOptions.put;
    if (errands > 1 || (errands && gOptions.watch)) {
        snprintf(gOptions.bad, sizeof gOptions.bad, "> options --send, --fetch, --put and --watch go alone\n");
        return false;
    }
    if (gOptions.until || gOptions.seconds > 0) {
        what = gOptions.until ? "--until" : "--time";
        need = gOptions.send ? nullptr : "--send";
    }
    if (!need && errands > 0 && !gOptions.attach) {
        what = gOptions.send ? "--send" : gOptions.fetch ? "--fetch" : "--put";
        need = "--attach";
    }
    if (!need)
        return oneLine("--send", gOptions.send) && oneLine("--until", gOptions.until) &&
               oneLine("--fetch", gOptions.fetch) && oneLine("--put", gOptions.put);
    snprintf(gOptions.bad, sizeof gOptions.bad, "> option %s needs %s\n", what, need);
    return false;
}

bool parseOptions(int argc, char **argv) {
    gOptions = Options{};
    gOptions.wait = -1;
    gbLogTime = gbLogDaily = false;
    gLogSyncSeconds = 1;
    gLogKeep = 0;
    gSilenceSeconds = 0;
    opterr = 0;  // the messages are ours, on the "> " form
    optind = 1;
    int c;
    while ((c = getopt_long(argc, argv, SHORT_OPTIONS, LONG_OPTIONS, nullptr)) != -1) {
        if (c == ATTACH && strcmp(optarg, "--watch") == 0) {  // "--attach --watch PORT"
            gOptions.watch = true;
            optarg = optind < argc ? argv[optind++] : nullptr;
            if (!optarg) {
                noteBad("> option needs a value: %s\n", "--attach", 0);
                return false;
            }
        }
        if (takeOption(c)) continue;
        // A long option is named by the word getopt_long just passed; a short
        // one by its letter, as it may stand in a cluster ("-lb").
        const char *arg = argv[optind - 1];
        if (c == LOG_KEEP)
            noteBad("> option needs a number of files: %s\n", "--log-keep", 0);
        else if (c == LOG_SYNC || c == SILENCE || c == TIME || c == WAIT)  // its value may be the word passed
            noteBad("> option needs a number of seconds: %s\n",
                    c == LOG_SYNC ? "--log-sync" : c == SILENCE ? "--silence" : c == TIME ? "--time" : "--wait", 0);
        else if (valueNotTaken(arg))
            noteBad("> option %s takes no value\n", arg, 0);
        else
            noteBad(c == ':' ? "> option needs a value: %s\n" : "> unknown option %s\n", arg,
                    optopt);
        return false;
    }
    if (gLogKeep > 0 && !gbLogDaily) {  // without day files there is nothing to count
        snprintf(gOptions.bad, sizeof gOptions.bad, "> option --log-keep needs --log-daily\n");
        return false;
    }
    if (!errandFits()) return false;
    if (gOptions.watch && !gOptions.attach) {  // only a console can watch
        snprintf(gOptions.bad, sizeof gOptions.bad, "> option --watch needs --attach\n");
        return false;
    }
    if (gOptions.wait >= 0 && !gOptions.attach) {  // only a console waits for its kestrode
        snprintf(gOptions.bad, sizeof gOptions.bad, "> option --wait needs --attach\n");
        return false;
    }
    gOptions.plainCount = argc - optind;
    gOptions.device = gOptions.plainCount == 1 ? argv[optind] : nullptr;
    return true;
}

void reportBadOption() {
    fputs(gOptions.bad, stderr);
    fputs(USAGE_LINE, stderr);
}

void printOptionsHelp() {
    fputs("Options:\n", stdout);
    fputs(OPTIONS_HELP, stdout);
}
