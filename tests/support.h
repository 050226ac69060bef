// Test helpers: pseudo-terminal pairs playing the instrument, console capture,
// temporary working directories and polling with deadlines.
#pragma once
#include <string>

// A raw pseudo-terminal pair; the test holds master, the code under test slave.
struct Pty {
    int master = -1;
    int slave = -1;
    char name[128] = {};
};
Pty openPty();
void closePty(Pty &p);

// Reads from fd until `needle` has been seen or `ms` passed; returns all read.
std::string readUntil(int fd, const std::string &needle, int ms);
// Reads whatever arrives until the line has been quiet for `quietMs`.
std::string readQuiet(int fd, int quietMs);
void writeAll(int fd, const std::string &s);

// Standard output redirected into a file while a capture is active.
void captureStart();
std::string captureStop();

// A fresh temporary directory made the current one; restored by leave.
std::string enterTempDir();
void leaveTempDir();
std::string readFile(const std::string &path);
// Polls until the file holds `expected` or `ms` passed; returns its content.
std::string waitForFile(const std::string &path, const std::string &expected, int ms);
void writeFile(const std::string &path, const std::string &data);
// The names in a directory, dot-files too, sorted, each followed by a blank.
std::string filesIn(const std::string &dir);

// Runs a program with the given stdin/stdout/stderr descriptors (-1: /dev/null,
// SPAWN_CLOSED: standard input closed) in directory `cwd`; returns its pid.
// `beforeExec` runs in the child just before the program starts.
constexpr int SPAWN_CLOSED = -2;
int spawn(const char *const argv[], int in, int out, int err, const char *cwd,
          void (*beforeExec)() = nullptr);
// A copy of `program` that another user may run, for tests that drop root:
// the build may sit where only its owner can enter (a clone in /root, in a
// `mktemp -d` folder). The copy lives in a fresh folder under /tmp, mode 0755
// on both, with the emulator beside it for a cross build, and is checked by
// running it with --version after `becomeOther`. Returns its path, or ""
// when none can be made, with `why` saying why; removeCopy removes it.
std::string copyForOthers(const char *program, void (*becomeOther)(), std::string &why);
void removeCopy(const std::string &path);

// Waits for pid up to ms; returns the exit status, or -1 (killed) on time-out.
int waitExit(int pid, int ms);
// The same, but the raw wait status, so that an end by a signal shows.
int waitStatus(int pid, int ms);
// CPU seconds (user+sys) a running process has used so far.
double cpuSeconds(int pid);
