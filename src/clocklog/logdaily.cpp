// A log file per local date (--log-daily): the move happens between lines,
// so no line is ever split between two files.
#include "clocklog/clocklog.h"

bool gbLogDaily = false;

void moveLogIfNewDay() {
    time_t when = lineStartTime();
    if (localDay(when) <= gLogDay) return;  // a clock stepped back keeps its file
    flushLog();
    // Tried once a day; when the new file cannot be opened the lines go on
    // into the old one rather than nowhere.
    FILE *next = openLogFor(when);
    if (!next) return;
    syncLog();
    if (gpLogFile) fclose(gpLogFile);
    gpLogFile = next;
}
