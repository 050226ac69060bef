// --transcript: every byte the instrument puts on the line, in order, so a
// test can hold the host's log against what was really sent.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "sim.h"

static int gTranscript = -1;

bool transcriptOpen() {
    if (gOpt.transcript.empty()) return true;
    gTranscript = open(gOpt.transcript.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (gTranscript < 0) perror(("kestrode-sim: " + gOpt.transcript).c_str());
    return gTranscript >= 0;
}

void transcriptAdd(const char *p, size_t n) {
    while (gTranscript >= 0 && n > 0) {
        ssize_t w = write(gTranscript, p, n);
        if (w <= 0) return;
        p += w;
        n -= (size_t)w;
    }
}
