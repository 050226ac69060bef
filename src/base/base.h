// What every room shares: the serial link and the run flags, the clock,
// notices with their journal priorities, quoting, the terminating signals
// and the bounded waits, the log's identity.
// The bottom of the stack: it uses no other room.
#pragma once
#include <poll.h>
#include <signal.h>
#include <sys/types.h>

#include <cstdio>
#include <ctime>

constexpr int LINE_SIZE = 256;

extern int gTermFD;       // open serial device, -1 until the port is set up
extern bool gbRun;        // the event loop runs while this is true
extern bool gbFirstChar;  // the next instrument byte starts a console line
extern bool gbPortLost;   // the port went away (unplugged, hung up): why the session ended
// The port is a socket (an attached console's session, or the pair its
// transfer runs on): its end is no signal.
extern bool gbPortIsSocket;

// The instrument's start banner: it has just (re)started, its clock unset.
inline constexpr char INSTRUMENT_BANNER[] = "# OLM-inside Air Monitor";

// SIGINT, SIGTERM, SIGHUP or SIGPIPE that arrived, or 0. Set by the handler only;
// whatever is waiting stops, a transfer ends as a failed one, then the
// program shuts down and ends by that signal.
extern volatile sig_atomic_t gSignal;

// kestrode's own notice: shown at once at the start of a console line, held
// while an instrument line is half shown and shown right after it ends.
void printNotice(const char *format, ...) __attribute__((format(printf, 1, 2)));
// The same for a failure that costs readings: an error in the journal.
void printError(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Standard output is the journal (JOURNAL_STREAM names it): each line we
// start there begins with its priority, "<6>" and the like.
extern bool gbJournal;
constexpr char JOURNAL_INFO = '6', JOURNAL_WARNING = '4', JOURNAL_ERROR = '3';
void detectJournal();
void journalPrefix(char priority);  // nothing unless gbJournal

// Outside text (an instrument's file name, a device's strings) with its
// control bytes, below 0x20 and 0x7F, shown as \xNN.
void printQuoted(FILE *to, const char *text, int len);
void quoteInto(char *out, size_t size, const char *text, int len);  // cut to fit
// The same for a server's text, its line ends (LF, and CR before LF) kept.
void printQuotedText(FILE *to, const char *text, int len);
void quoteTextInto(char *out, size_t size, const char *text, int len);  // cut to fit

// Flushes the console. One that is gone (a pipe whose reader quit) ends the
// program as SIGPIPE does, also when SIGPIPE is ignored.
void flushConsole();

// poll with a time limit in seconds; the terminating signals get in only
// while it waits, so one that arrives never waits out the limit. -1 with
// EINTR once gSignal is set.
int waitInput(pollfd *fds, int count, int seconds);
int waitInputMs(pollfd *fds, int count, int ms);

// Work that goes on while a transfer holds the event loop (a sharing
// kestrode's consoles and looks): its descriptors, the time until it is
// next due (-1: never), and what to do once they are ready or it is due.
struct BusyWork {
    int (*pollFds)(pollfd *fds, int room);
    int (*waitMs)();
    void (*serve)(const pollfd *fds, int count);
};
extern BusyWork gBusyWork;
// Waits until the port has input, at most `seconds`, doing the busy work
// meanwhile: as waitInput on the port alone.
int waitPortInput(int seconds);

// systemd's watchdog (notify.cpp): a keep-alive when one is due, nothing
// otherwise. Cheap: any wait that may hold the loop for long calls it each
// time round, so only a program that stopped turning is restarted.
void keepServiceAlive();
int keepAliveWaitMs();  // until the next is due, -1 without a watchdog


// The open log file, which a download must never replace (0, 0 without one).
extern dev_t gLogDev;
extern ino_t gLogIno;
// The folder that holds the logs (AT_FDCWD: the current one), where no
// download may take a log's name: kestrode-YYYYMMDD.log, or with "(N)"
// before ".log", whatever the date and number.
extern int gLogDirFD;
bool isLogName(const char *name);
inline constexpr char LOG_STEM[] = "kestrode-";  // every log's name begins so

// Notices held while an instrument line is half shown (notice.cpp)
extern bool gbMidLine;  // the console shows part of an instrument line
bool noticesHeld();
// Shows the held notices once the line has ended, or at once on a fresh line.
void showHeldNotices(bool freshLine);

bool startsWith(const char *text, const char *word);  // text begins with word

// Signals: SIGINT, SIGTERM, SIGHUP, SIGPIPE end the program cleanly
void installSignals();
extern volatile sig_atomic_t gContinued;  // SIGCONT came; the keyboard clears it
void endBySignal();  // after shutdown: ends the process by the signal that came
void spendTransferInterrupt();  // after a transfer: ^C on a terminal ended only it

// systemd (notify.cpp): without NOTIFY_SOCKET nothing at all
bool startNotify();  // true under systemd: its socket open, the watchdog read
bool notifying();
void notify(const char *message, int len);  // one datagram of "KEY=value" lines

// Clock: seams for tests, ::time and clock_gettime by default.
extern time_t (*gClock)(time_t *);
extern int (*gClockSpec)(clockid_t, timespec *);  // the same, to the nanosecond
timespec monotonicNow();  // through gClockSpec: time between events, never stepped
long long msBetween(const timespec &a, const timespec &b);  // b - a
