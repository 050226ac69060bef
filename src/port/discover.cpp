// Finding the instrument's serial port among the ttyS entries.
#include <dirent.h>

#include <cstdio>
#include <cstring>

#include "port/port.h"

static char szDevNames[DEV_SLOTS][DEV_SLOT_SIZE];

// Fills the slots in directory order; returns how many were filled.
static int scanCandidates(const char *dir) {
    DIR *d = opendir(dir);
    if (!d) return 0;
    int count = 0;
    while (dirent *e = readdir(d)) {
        if (strncmp(e->d_name, "ttyS", 4) != 0) continue;
        if (count == DEV_SLOTS) break;
        // A name too long for its slot is skipped rather than cut: a cut
        // name would open some other device.
        int n = snprintf(szDevNames[count], DEV_SLOT_SIZE, "%s/%s", dir, e->d_name);
        if (n < 0 || n >= DEV_SLOT_SIZE) continue;
        ++count;
    }
    closedir(d);
    return count;
}

static const char *askUser(int count) {
    // Unbuffered, scanf takes only the answer; what is typed after it stays
    // for the keyboard reader, which reads the descriptor directly.
    setvbuf(stdin, nullptr, _IONBF, 0);
    for (int attempt = 0; attempt < 6; ++attempt) {
        for (int i = 0; i < count; ++i) printf("%d. %s\n", i + 1, szDevNames[i]);
        printf("\nWhich one is the device [1~%d]? : ", count);
        fflush(stdout);
        int answer = -1;
        if (scanf("%d", &answer) != 1) answer = -1;
        if (answer >= 1 && answer <= count) return szDevNames[answer - 1];
    }
    return nullptr;
}

const char *findDevNameIn(const char *dir) {
    int count = scanCandidates(dir);
    if (count == 0) return nullptr;
    if (count == 1) return szDevNames[0];
    return askUser(count);
}

const char *findDevName() { return findDevNameIn("/dev"); }
