// A download's temporary file that a power cut or a kill left behind holds
// bytes the instrument had already been told were received: it is named at
// start, never deleted. One that a running download holds (locked) is not.
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "base/base.h"
#include "transfer/transfer.h"

// Anyone who may write the folder may plant a name: it is shown quoted.
static void reportIfLeft(int dir, const char *name) {
    int fd = openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0) {
        char shown[NAME_MAX * 4 + 1];
        quoteInto(shown, sizeof shown, name, (int)strlen(name));
        printNotice("> %s holds %lld bytes of a download that was cut off, kept\n", shown,
                    (long long)st.st_size);
    }
    close(fd);
}

void reportLeftoverDownloads() {
    DIR *d = opendir(".");
    if (!d) return;
    while (dirent *e = readdir(d))
        if (fnmatch(TEMP_PATTERN, e->d_name, FNM_PERIOD) == 0) reportIfLeft(dirfd(d), e->d_name);
    closedir(d);
}
