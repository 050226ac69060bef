// Terminal run: start-up, the event loop, device discovery, instrument output,
// keyboard input and the command table.
#pragma once
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

// Serial port
int openPort(const char *path);  // configured descriptor, or -1

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

// Whole program
void runLoop();
int kestrodeMain(int argc, char **argv);
