// One session of the built kestrode on the built kestrode-sim, as a user
// would have it: the test types on kestrode's standard input and reads its
// console. kestrode runs as the simulator's child (--run), in its own
// folder; the simulator keeps its files in another. The simulator's reports
// (--verbose) go to a file. A Session ends both processes and removes its
// folders when it goes out of scope, whatever the test's outcome.
#pragma once
#include <string>
#include <vector>

struct Session {
    std::string dir;      // temporary folder holding the two below
    std::string host;     // kestrode's working folder: its log, downloads
    std::string store;    // the instrument's files
    int pid = -1;         // the simulator; kestrode is its child
    int in = -1;          // kestrode's standard input
    int out = -1;         // kestrode's standard output
    std::string console;  // everything kestrode printed so far
    size_t seen = 0;      // console up to here was matched by earlier waits
    int status = -2;      // exit status once reaped

    Session();
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
};

// Starts the simulator with these options (and --verbose, --seed 1) and
// kestrode on its device; both end if the test process dies.
// `kestrodeOptions` go before the device; `program` is run instead of kestrode.
void startSession(Session &r, const std::vector<std::string> &simOptions,
                  const std::vector<std::string> &kestrodeOptions = {},
                  const char *program = KESTRODE_BIN);
// Runs `kestrode ARGS...` to its end (ms at most) with its output in `out`;
// its exit status, -1 when it had to be killed.
int runKestrode(const std::vector<std::string> &args, std::string &out, int ms);
// Starts `kestrode --attach TARGET` as a console of its own in `c`, typed
// on and read like a session; `beforeExec` runs in the child before it.
void startAttached(Session &c, const std::string &target, void (*beforeExec)() = nullptr,
                   const char *program = KESTRODE_BIN);
// Sends a typed line (a LF is added).
void type(Session &r, const std::string &line);
// Waits for `needle` in the console after what earlier waits matched; on
// success the next wait starts after it.
bool waitFor(Session &r, const std::string &needle, int ms);
// Waits until the instrument has booted and answered both time lines that
// kestrode sends around its banner, so that nothing of that is still on its
// way when a test starts a transfer.
bool waitForBoot(Session &r);
// Reads the console until the session ends or `ms` pass; the exit status
// (the simulator returns kestrode's), or -1 after killing both.
int waitEnd(Session &r, int ms);
// Types "@exit" and waits for the end.
int exitSession(Session &r);
// How often `needle` occurs in `text`.
size_t count(const std::string &text, const std::string &needle);
// The simulator's reports so far.
std::string simReport(const Session &r);
// Random bytes, the same for the same seed.
std::string randomBytes(size_t n, unsigned seed);
// Names in a folder, sorted, "." and ".." left out.
std::vector<std::string> listFolder(const std::string &dir);
// Today's log name in the host folder.
std::string logPath(const Session &r);
// Seconds on a monotonic clock.
double nowSeconds();
