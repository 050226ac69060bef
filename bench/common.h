// Shared plumbing of the bench runners: pseudo-terminals, starting a terminal
// program with a pseudo-terminal as its keyboard, and collecting its usage.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

struct PtyPair {
    int master = -1;
    std::string slavePath;
};

// A pseudo-terminal whose slave keeps its default (cooked) attributes, so a
// terminal program that opens it visibly switches it to raw mode.
PtyPair openPtyPair();

struct Child {
    pid_t pid = -1;
    int keyboard = -1;  // master side of the child's standard input
    int console = -1;   // master side of its standard output, or -1 for a file
};

// Starts argv in directory cwd: stdin a fresh pseudo-terminal (its controlling
// terminal); stdout a raw pseudo-terminal when consolePath is empty (as a
// user's console would be; bytes pass unchanged), else that file; stderr to
// errPath. extraEnv entries ("NAME=value") are set in the child only.
Child startTerminal(const std::vector<std::string> &argv, const std::string &cwd,
                    const std::string &consolePath, const std::string &errPath,
                    const std::vector<std::string> &extraEnv);

// Appends whatever the console pseudo-terminal holds to out (non-blocking fd).
void pumpConsole(int console, std::string &out);

struct Usage {
    double user = 0;    // seconds
    double sys = 0;
    long maxRssKb = 0;  // peak resident set
    int status = -1;    // exit status, 128+signal when killed
};

// Waits up to ms for the child; then SIGTERM, then SIGKILL. Reaps with wait4.
Usage finishChild(pid_t pid, int ms);

double nowSeconds();
void sleepMs(int ms);
bool waitRawMode(int master, int ms);  // slave switched to non-canonical, no echo
off_t fileSize(const std::string &path);
std::string readFileFrom(const std::string &path, off_t offset);
bool writeAll(int fd, const char *p, size_t n);
void drainInput(int fd);  // reads and discards whatever is pending (non-blocking fd)
std::string makeTempDir(const char *tag);
void removeTree(const std::string &dir);
[[noreturn]] void die(const char *what);
