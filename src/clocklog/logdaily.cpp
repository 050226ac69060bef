// A log file per local date (--log-daily): the move happens between lines,
// so no line is ever split between two files.
#include "clocklog/clocklog.h"

bool gbLogDaily = false;
time_t gLogLastTime = 0;

// A clock that steps back this far or less keeps the newer file, so lines
// never flap between two files around midnight; a longer step (a board
// that booted a year ahead, then NTP) is believed, and the lines go to
// their own date's file.
static constexpr time_t SMALL_STEP_BACK = 3600;

void moveLogIfNewDay() {
    time_t when = lineStartTime();
    bool steppedBack = when < gLogLastTime - SMALL_STEP_BACK;
    gLogLastTime = when;
    int day = localDay(when);
    if (day == gLogDay || (day < gLogDay && !steppedBack)) return;
    flushLog();
    // Tried once a day; when the new file cannot be opened the lines go on
    // into the old one rather than nowhere.
    FILE *next = openLogFor(when);
    if (!next) return;
    syncLog();
    if (gpLogFile) fclose(gpLogFile);
    gpLogFile = next;
    keepLogsIfNewDay();
}
