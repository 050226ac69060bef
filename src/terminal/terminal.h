// Terminal run: start-up, the event loop, device discovery, instrument output,
// keyboard input and the command table.
#pragma once
#include <sys/types.h>

#include "terminal/link.h"

constexpr int DEV_SLOTS = 9;
constexpr int DEV_SLOT_SIZE = 128;
constexpr int LINE_SIZE = 256;

struct CommandEntry {
    const char *name;
    int (*handler)(const char *line);
    const char *help;
};
extern const CommandEntry cmdlist[];

extern bool gbStdinOpen;  // false once standard input reached its end

// Device discovery
const char *findDevName();
const char *findDevNameIn(const char *dir);  // seam: scans dir instead of /dev

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
    const char *status;  // --status PORT|SOCKET, or nullptr
    char bad[96];        // the "> " line about a bad option
};
extern Options gOptions;
bool parseOptions(int argc, char **argv);  // false on a bad option
void reportBadOption();                    // its line and the usage, on stderr
void printOptionsHelp();

// Serial ports of this host: UARTs the kernel knows, USB adapters and the like
constexpr int PORT_SLOTS = 32;
struct SerialPort {
    char path[272];   // /dev/ttyUSB0
    char byId[288];   // its /dev/serial/by-id name, or ""
    char about[96];   // the adapter's maker and product, or ""
};
// Fills `ports` in name order; returns how many. Seam: `root` holds dev/
// and sys/ ("" for the host's own).
int findSerialPortsIn(const char *root, SerialPort *ports, int slots);
int findSerialPorts(SerialPort *ports, int slots);
int listSerialPorts();  // --list: one port a line on stdout; exit status
int listSerialPortsIn(const char *root);  // the same from root's dev/ and sys/

// Serial port
int openPort(const char *path);  // configured descriptor, or -1
void closePort();                // lets the port go: exclusive mode, lock file
// Taking the port again (its path and device as openPort found them), the
// lock file kept: Ours, set up as at start after the line was held down a
// moment; Held by another program (`why`: " (process N, NAME)" when known);
// Gone; or Failed (`why`: the reason).
enum class PortTake { Ours, Held, Gone, Failed };
PortTake reopenPort(char *why, size_t size);  // closed first: a frozen adapter starts afresh
PortTake retakePort(char *why, size_t size);  // while gTermFD is -1
void endLostPort();  // "> serial device lost", and the session ends
extern int (*gOpenPortAgain)(const char *path, int flags);  // seam for tests: open
bool isSerialPort(int fd, const char *path);  // after open: refuses with a "> " line
const char *fileKind(mode_t mode);            // "a regular file", "a directory", ...
void noteOwnTerminals();                      // before open: the terminals we run in
void explainOpenFailure(const char *path, int err);  // the next step, on stderr
// " (process N, NAME)" of whoever holds a flock on the port, or nothing.
void printPortHolder(int fd, FILE *to);
void portHolderInto(int fd, char *out, size_t size);  // the same, or ""
// The UUCP lock file LCK..<device> in the lock directory. Seam: takePortLockIn.
bool portName(const char *path, char *out, size_t size);  // "ttyUSB0", "pts_3"
bool takePortLock(const char *path);  // false (refusal printed) when another holds it
bool takePortLockIn(const char *dir, const char *path);
void releasePortLock();
const char *portLockFile();  // the lock file held, or ""

// Keyboard in the background of its terminal: not read (keyboard.cpp)
bool keyboardInForeground();

// Instrument output
void process_term(int fd);
void handleTermBytes(const char *buf, int len);
void drainHeldInput();

// Notices held while an instrument line is half shown (notice.cpp)
extern bool gbMidLine;  // the console shows part of an instrument line
bool noticesHeld();
// Shows the held notices once the line has ended, or at once on a fresh line.
void showHeldNotices(bool freshLine);

// Keyboard and commands
void process_stdin();
void runCommand(char *line);
int help(const char *line);
int cmdClear(const char *line);
int cmdExit(const char *line);

// Signals: SIGINT, SIGTERM, SIGHUP, SIGPIPE end the program cleanly (link.h)
void installSignals();
void endBySignal();  // after shutdown: ends the process by the signal that came
void spendTransferInterrupt();  // after a transfer: ^C on a terminal ended only it

// A silent instrument (silence.cpp, --silence SECONDS; 0: not watched)
extern int gSilenceSeconds;
void startSilenceWatch();
void noteInstrumentLine();
time_t instrumentLastLine();  // wall time of its last line, 0 before the first
int silenceWaitMs();  // until the next step is due, -1 when none is
void checkSilence();  // the warning, then the port opened again

// systemd (notify.cpp, servicestatus.cpp); without NOTIFY_SOCKET nothing at all
bool startNotify();  // true under systemd: its socket open, the watchdog read
bool notifying();
void notify(const char *message, int len);  // one datagram of "KEY=value" lines
// READY=1 with the first status line; false under systemd without a log
// (a failed start). True and silent outside systemd.
bool serviceStarted(const char *device);
void tellService();   // every pass of the loop: keep-alive and status when due
int serviceWaitMs();  // until either is due, -1 outside systemd
void serviceStopping();

// Whole program
void runLoop();
int kestrodeMain(int argc, char **argv);
