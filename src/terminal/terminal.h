// Terminal run: start-up, the event loop, device discovery, instrument output,
// keyboard input and the command table.
#pragma once
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
    const char *status;  // --status PORT|SOCKET, or nullptr
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

// Whole program
void runLoop();
int kestrodeMain(int argc, char **argv);
