// The end of a log that a power cut left damaged, mended before the first
// new line is appended. The log only ever receives whole lines, so a run of
// NUL bytes after the last line end is a block whose size reached the disk
// before its data, nothing the instrument said; a last line without its line
// end is a torn one. Left alone, the next line would be glued onto either.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "clocklog/clocklog.h"
#include "base/base.h"

static constexpr int CHUNK = 4096;

// Just past the last byte that is not NUL; -1 when the file cannot be read.
static off_t endOfText(int fd, off_t size) {
    char buf[CHUNK];
    for (off_t end = size; end > 0;) {
        off_t from = end > CHUNK ? end - CHUNK : 0;
        if (pread(fd, buf, end - from, from) != end - from) return -1;
        for (off_t i = end - from; i > 0; --i)
            if (buf[i - 1] != '\0') return from + i;
        end = from;
    }
    return 0;
}

static bool cutNulTail(int log, off_t size, off_t end) {
    if (end == size || ftruncate(log, end) != 0) return false;
    printNotice("> %lld NUL bytes at the end of the log (a power cut) were cut off\n",
                (long long)(size - end));
    return true;
}

static bool endTornLine(int log, int in, off_t end) {
    char last;
    if (end == 0 || pread(in, &last, 1, end - 1) != 1 || last == '\n') return false;
    if (write(log, "\r\n", 2) != 2) return false;
    printNotice("> the log's last line was torn (a power cut), ended with a line end\n");
    return true;
}

// `log` is the open log (append only), `name` its name in the log directory.
// The name may be a link to another disk: what it opens is mended only when
// it is the very file open as the log.
void repairLogEnd(int log, const char *name) {
    struct stat st, again;
    if (fstat(log, &st) != 0 || st.st_size == 0) return;
    int in = openat(gLogDirFD, name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (in < 0) return;  // unreadable for us: appended to as it is
    if (fstat(in, &again) == 0 && again.st_dev == st.st_dev && again.st_ino == st.st_ino) {
        off_t end = endOfText(in, st.st_size);
        bool cut = end >= 0 && cutNulTail(log, st.st_size, end);
        bool ended = end >= 0 && endTornLine(log, in, end);
        if (cut || ended) gSyncData(log);
    }
    close(in);
}
