// Standard output that is the journal: systemd names the stream it hands a
// service in JOURNAL_STREAM ("device:inode"), and reads a leading "<N>" of
// each line there as its priority. So every line we start there carries
// one of our own; an instrument line that itself begins with "<0>" then stays
// whole, at informational priority, and is never broadcast as an emergency.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include "base/base.h"


bool gbJournal = false;

void detectJournal() {
    gbJournal = false;
    const char *stream = getenv("JOURNAL_STREAM");
    struct stat st;
    unsigned long long dev = 0, ino = 0;
    char rest;
    if (!stream || fstat(1, &st) != 0) return;
    if (sscanf(stream, "%llu:%llu%c", &dev, &ino, &rest) != 2) return;
    gbJournal = dev == (unsigned long long)st.st_dev && ino == (unsigned long long)st.st_ino;
}

void journalPrefix(char priority) {
    if (!gbJournal) return;
    putc_unlocked('<', stdout);
    putc_unlocked(priority, stdout);
    putc_unlocked('>', stdout);
}
