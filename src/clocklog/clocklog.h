// Log file, the instrument's clock and console timestamps.
#pragma once
#include <cstdio>
#include <ctime>

// Log file
extern FILE *gpLogFile;
void startLog();
void makeLog(const char *text, int len);  // len bytes, NULs included
void stopLog();
void flushLog();

// Clock
constexpr time_t SYNC_INTERVAL = 3600;
extern time_t gSyncTime;
extern bool gbShowTime;
extern time_t (*gClock)(time_t *);  // seam for tests; ::time by default

bool setTime();
int cmdSetTime(const char *line);
void checkSyncTime();
int cmdShowTime(const char *line);
void printTime();
