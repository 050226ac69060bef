// The console and the loop: start-up, the event loop, instrument output,
// keyboard input and the command table, and where sharing joins them
// (wiring.cpp). The top of the stack: it may use every room.
#pragma once
#include <poll.h>
#include <sys/types.h>

#include "port/port.h"
#include "base/base.h"


struct CommandEntry {
    const char *name;
    int (*handler)(const char *line);
    const char *help;
};
extern const CommandEntry cmdlist[];

extern bool gbStdinOpen;  // false once standard input reached its end


// Command line (options.cpp). A new option: a field here, a row there.
struct Options {
    bool help;
    bool version;
    bool list;
    int plainCount;      // arguments that are no option
    const char *device;  // the plain argument when there is exactly one
    const char *logDir;  // --log-dir, or nullptr
    bool share;          // --share: consoles may attach
    const char *shareSocket;  // --share=SOCKET, or nullptr for the well-known place
    const char *attach;  // --attach PORT|SOCKET, or nullptr
    bool watch;          // --watch: the attached console only watches
    const char *status;  // --status PORT|SOCKET, or nullptr
    const char *send;    // --send LINE (with --attach): a script's errand, or nullptr
    const char *until;   // --until TEXT (with --send), or nullptr
    int seconds;         // --time SECONDS (with --send), 0 when not given
    const char *fetch;   // --fetch NAME (with --attach), or nullptr
    const char *put;     // --put FILE (with --attach), or nullptr
    int wait;            // --wait SECONDS with --attach, or -1
    char bad[96];        // the "> " line about a bad option
};
extern Options gOptions;
bool parseOptions(int argc, char **argv);  // false on a bad option
void reportBadOption();                    // its line and the usage, on stderr
void printOptionsHelp();



// Keyboard in the background of its terminal: not read (keyboard.cpp)
bool keyboardInForeground();

// Instrument output
void process_term(int fd);
void handleTermBytes(const char *buf, int len);
void drainHeldInput();


// Keyboard and commands
void process_stdin();
void runCommand(char *line);
int help(const char *line);
int cmdClear(const char *line);
int cmdExit(const char *line);



// systemd (servicestatus.cpp); without NOTIFY_SOCKET nothing at all
// READY=1 with the first status line; false under systemd without a log
// (a failed start). True and silent outside systemd.
bool serviceStarted(const char *device);
void tellService();   // every pass of the loop: keep-alive and status when due
int serviceWaitMs();  // until either is due, -1 outside systemd
void serviceStopping();

// Where sharing joins the session: the consoles of a sharing kestrode, or
// this kestrode attached as a console of another. wiring.cpp fills the
// table in before the loop runs; a plain session leaves it empty. The
// console's own files (display, keyboard, commands) and the loop reach
// sharing only through it.
struct SessionHooks {
    // The loop: more descriptors to wait on, what to do once they are ready
    // (portQuiet: the port had nothing this pass), the next time limit (-1:
    // none) and what is due by the clock.
    int (*pollFds)(pollfd *fds, int room);
    void (*serve)(const pollfd *fds, int count, bool portQuiet);
    int (*waitMs)();
    void (*timed)();
    // The port is a sharing kestrode's socket: that kestrode logs and
    // answers the instrument, this one shows and types; it reads the socket.
    bool remote;
    void (*readPort)(int fd);
    // The instrument's bytes before they are shown and sorted: the bytes to
    // show (`buf`, or fewer of them in `spare` when a console's transfer took
    // its dialogue's lines), their count in *len.
    const char *(*portBytes)(const char *buf, int *len, char *spare);
    bool (*offer)(const char *line);  // an "@DOWNLOAD," line a console asked for: it has it
    void (*ownDownload)(const char *line, bool starts);
    void (*restarted)();  // the instrument's banner came
    bool (*portBusy)();   // a console's transfer runs: no time line now
    // The keyboard: a typed line the session takes (true), or refuses while
    // a transfer runs (true, with a notice).
    bool (*typedLine)(char *line, int len);
    bool (*refuseTyped)(const char *line);
    // At every end, after the log; what systemd's status line says.
    void (*stop)();
    int (*consoles)();
    void (*transfer)(char *out, size_t size);
};
extern SessionHooks gSession;
constexpr int SESSION_FDS = 18;  // descriptors of the session's own beside the port and keyboard
// --share: the socket made (nullptr: at the port's well-known place) and the
// table filled in; false after a "> " line when the start must fail.
bool shareSession(const char *device, const char *socketPath);
void wireService();  // the table, for a socket that listens
void showWayIn(const char *device);  // after a refused open: how to attach, when a kestrode shares it
int attachMain(const char *target);  // kestrode --attach: exit status
int errandMain(const char *target);  // the same with --send, --fetch or --put
int lookMain(const char *target);    // kestrode --status: exit status

// Whole program
void runLoop();
int kestrodeMain(int argc, char **argv);
