// One session of the built kestrode on the built kestrode-sim, as a user
// would have it: the test types on kestrode's standard input and reads its
// console. kestrode runs as the simulator's child (--run), in its own
// folder; the simulator keeps its files in another. The simulator's reports
// (--verbose) go to a file. A Session ends both processes and removes its
// folders when it goes out of scope, whatever the test's outcome.
#pragma once
#include <string>
#include <utility>
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
// The same with --watch: a console that only watches.
void startWatcher(Session &c, const std::string &target);
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

// Sharing a session.
struct Pty;
// The socket a test's service listens on, in the session's folder.
std::string socketIn(const Session &r);
// How the service names the user the tests run as: "NAME (uid N)".
std::string me();
// Waits for an attached console's greeting.
bool attached(Session &c);
// kestrode `option` (and `more`) on the pseudo-terminal's slave, in r.host; its
// output goes to the file `console`. It listens once it has announced its log.
// `program` and `beforeExec` as for startAttached.
int startSharing(const Session &r, const Pty &p, const std::string &option,
                 const std::string &console, const std::vector<std::string> &more = {},
                 const char *program = KESTRODE_BIN, void (*beforeExec)() = nullptr);
// A client of the socket that is no kestrode: it sends what the test says.
// -1 when it cannot connect.
int rawClient(const std::string &path);
// Polls the file until it holds `needle` or `ms` passed.
bool fileShows(const std::string &path, const std::string &needle, int ms);
// kestrode --status TARGET as a monitoring script runs it (no input at all):
// its exit status and what it printed.
std::pair<int, std::string> status(const std::string &target);
// What a user outside the group of `path` (a socket, a port) is told to do,
// with its line end.
std::string joinHint(const std::string &path);
// The value of "KEY: value" in a status report, or "(missing)".
std::string field(const std::string &report, const std::string &key);
