// The local "@" commands and their dispatcher.
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "clocklog/clocklog.h"
#include "terminal/terminal.h"
#include "transfer/transfer.h"

const CommandEntry cmdlist[] = {
    {"@help", help, "list commands"},
    {"@upload", cmdUpload, "upload [local filename]"},
    {"@download", cmdDownload, "download [local filename]"},
    {"@exit", cmdExit, "exit this program"},
    {"@clear", cmdClear, "clear the terminal buffer"},
    {"@settime", cmdSetTime, "send the local time to the device"},
    {"@showtime", cmdShowTime, "toggle printing the current time for each line"},
    {nullptr, nullptr, nullptr},
};

void runCommand(char *line) {
    for (const CommandEntry *c = cmdlist; c->name; ++c) {
        if (strncmp(line, c->name, strlen(c->name)) != 0) continue;
        if (c->handler(line) < 0) printf("> command error (%s)\n", line);
        spendTransferInterrupt();  // only transfers wait inside a command
        return;
    }
    printf("> invalid command (%s)\n", line);
}

int help(const char *) {
    printf("> available commands are as follows: \n");
    for (const CommandEntry *c = cmdlist; c->name; ++c) printf("%s (%s)\n", c->name, c->help);
    return 0;
}

int cmdClear(const char *) {
    printf("> clearing command\r\n");
    tcflush(gTermFD, TCIOFLUSH);
    return 0;
}

int cmdExit(const char *) {
    showHeldNotices(true);
    gbRun = false;
    stopLog();
    if (gSession.stop) gSession.stop();  // after the log, as at every end
    closePort();
    exit(0);
}
