// The feed of instrument lines the console runners write, and what a
// terminal must show and log of it.
#pragma once
#include <sys/types.h>

#include <string>

#include "common.h"

// Lines of 40 to 70 bytes with CR LF, like an air monitor's readings, to at
// least `bytes`; a sequence number up front, never "@" or "#".
std::string makeFeed(size_t bytes);

// What the terminal has shown: a pseudo-terminal read into memory, or a file.
struct Console {
    int fd = -1;
    std::string path;
    std::string shown;
    size_t size() {
        if (fd >= 0) pumpConsole(fd, shown);
        return fd >= 0 ? shown.size() : (size_t)fileSize(path);
    }
    std::string text(size_t from) {
        if (fd < 0) return readFileFrom(path, (off_t)from);
        pumpConsole(fd, shown);
        return from < shown.size() ? shown.substr(from) : std::string();
    }
};

// Sends numbered ready lines until one is on the console: the terminal has
// set up its port and serves it. Returns the console offset after that line.
long handshake(int master, Console &con);
// Until the console holds `want` bytes (false: the deadline came first).
bool waitShown(int master, Console &con, size_t want, double deadline);
// CPU time in seconds the scheduler has given all of pid's threads so far.
double cpuSoFar(pid_t pid);
// kestrode's log in dir ends with every line of the feed (its text, CR kept,
// then CR LF), each after a stamp of `stamp` bytes.
bool logMatches(const std::string &dir, const std::string &feedData, int stamp);
