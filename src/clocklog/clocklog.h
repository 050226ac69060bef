// Log file, the instrument's clock and console timestamps.
// Uses base and port (the clock is set through the port's writes).
#pragma once
#include <cstdio>
#include <ctime>

#include "base/base.h"  // gLogDirFD: where the log goes

// Log file
extern FILE *gpLogFile;
void startLog();
void makeLog(const char *text, int len);  // len bytes, NULs included
void stopLog();
void flushLog();
// For a look from outside (kestrode --status): the open log's full path
// ("" without one), the lines of today's file (earlier runs' too: counted
// when it is opened) and those lost to failed writes in this run.
const char *logPath();
long linesLoggedToday();
long linesNotLogged();
void countEarlierLines(time_t fileDay, long lines);  // a day's file opened holds these
// The lines a log file of the log folder holds, counted in its first
// LOG_COUNT_BYTES only, so that opening a huge file stays quick (logcount.cpp).
constexpr long LOG_COUNT_BYTES = 256L * 1024 * 1024;
long linesInLog(const char *name);

// Syncing the log (logsync.cpp): at most gLogSyncSeconds after a line was
// written (0: at once), never while nothing was written.
extern int gLogSyncSeconds;
extern int (*gSyncData)(int fd);  // seams for tests: fdatasync and fsync
extern int (*gSyncDir)(int fd);
void noteLogWritten();
int logSyncWaitMs();  // until the sync is due, -1 with nothing to sync
// Local "HH:MM:SS" of the first failed sync since the last good one, or "".
const char *logNotOnDiskSince();
void syncLogIfDue();
void syncLog();
void syncLogDir();
void repairLogEnd(int log, const char *name);  // a power cut's damage at its end
void warnIfLogInMemory();                      // tmpfs: a "> " line
// Seam for tests: statfs's f_type of the log directory (AT_FDCWD: ".").
extern long (*gFileSystemOf)(int dirFD);

// Log options, all off by default: bare lines in the current directory.
extern bool gbLogTime;   // each line begins with the time its first byte came
extern bool gbLogDaily;  // a new file for each local date
bool setLogDir(const char *dir);  // false, with a "> " line, when unusable
void markLineStart();             // an instrument line's first byte came now

// Inside the log
constexpr int LOG_STAMP_SIZE = 30;  // "2026-12-07T17:55:28.506+01:00 "
extern int gLogDay;                 // local date of the open log, as YYYYMMDD
extern time_t gLogLastTime;         // when the last line (or the log) began
int localDay(time_t when);
FILE *openLogFor(time_t when);  // opened and announced, or nullptr (announced too)
const char *logDirName();
time_t lineStartTime();
int formatLogStamp(char *out);
void moveLogIfNewDay();
// Retention (logkeep.cpp, --log-keep N with --log-daily; 0: every file kept)
extern int gLogKeep;
constexpr int MAX_LOG_KEEP = 100000;
long long dayFileKey(const char *name);  // its order, or -1 for no day file's name
void keepNewestLogs(const char *opened);  // after a new day's file was made
void keepLogsIfNewDay();  // that, when the log opened last was made new

// Clock
constexpr time_t SYNC_INTERVAL = 3600;
extern time_t gSyncTime;
extern bool gbShowTime;

bool setTime();
int cmdSetTime(const char *line);
void checkSyncTime();
int cmdShowTime(const char *line);
void printTime();
