// The serial port: opening and configuring it, the checks, the lock file
// and the holder, the host's ports and the device menu, the bounded writes,
// the silence watch and the reopen.
// Uses base only.
#pragma once
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdio>
#include <ctime>

#include "base/base.h"

// Bytes came from the instrument: a silence watched for has ended.
void noteInstrumentBytes();

// Writes to the instrument. A port without room is waited for at most a few
// seconds at a time (then a notice), and not at all once a terminating
// signal came. Returns the bytes written, fewer than len when it gave up;
// -1 on a write error.
ssize_t writePort(const void *buf, size_t len);

constexpr int DEV_SLOTS = 9;
constexpr int DEV_SLOT_SIZE = 128;

// Device discovery
const char *findDevName();
const char *findDevNameIn(const char *dir);  // seam: scans dir instead of /dev

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
// After a refused open: another program holds the port (its lock file, its
// flock or its exclusive mode), which may be a kestrode that shares it.
bool portInUse();
void notePortInUse();
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
// Who may use a file of the port's group (the port, a kestrode's socket):
// "its group G may use it: join that group ...", without a line end.
void groupHint(const struct stat &st, char *out, size_t size);
// " (process N, NAME)" of whoever holds a flock on the port, or nothing.
void printPortHolder(int fd, FILE *to);
void portHolderInto(int fd, char *out, size_t size);  // the same, or ""
// The UUCP lock file LCK..<device> in the lock directory. Seam: takePortLockIn.
bool portName(const char *path, char *out, size_t size);  // "ttyUSB0", "pts_3"
bool takePortLock(const char *path);  // false (refusal printed) when another holds it
bool takePortLockIn(const char *dir, const char *path);
void releasePortLock();
const char *portLockFile();  // the lock file held, or ""

// A silent instrument (silence.cpp, --silence SECONDS; 0: not watched)
extern int gSilenceSeconds;
void startSilenceWatch();
void noteInstrumentLine();
time_t instrumentLastLine();  // wall time of its last line, 0 before the first
int silenceWaitMs();  // until the next step is due, -1 when none is
void checkSilence();  // the warning, then the port opened again
