// Which process holds a flock on the port: /proc/locks names it by its id
// and the file by device and inode; /proc/PID/comm gives its name.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "port/port.h"

// 0 when no line names one (a holder in another pid namespace shows as 0).
static long flockHolder(const struct stat &st) {
    FILE *f = fopen("/proc/locks", "re");
    if (!f) return 0;
    char line[256];
    long pid = 0;
    while (pid == 0 && fgets(line, sizeof line, f)) {
        // "1: FLOCK  ADVISORY  WRITE 4242 00:19:3 0 EOF"; a waiter's line
        // has "->" where the type stands.
        char type[16];
        long id;
        unsigned maj, min;
        unsigned long ino;
        if (sscanf(line, "%*d: %15s %*s %*s %ld %x:%x:%lu", type, &id, &maj, &min, &ino) == 5 &&
            strcmp(type, "FLOCK") == 0 && maj == major(st.st_dev) && min == minor(st.st_dev) &&
            ino == st.st_ino)
            pid = id;
    }
    fclose(f);
    return pid;
}

// Its name as the kernel keeps it, which the process chose itself; "" when
// it cannot be read.
static void commandOf(long pid, char *out, size_t size) {
    char path[32], comm[64];
    out[0] = '\0';
    snprintf(path, sizeof path, "/proc/%ld/comm", pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    ssize_t n = read(fd, comm, sizeof comm);
    close(fd);
    if (n > 0 && comm[n - 1] == '\n') --n;
    if (n > 0) quoteInto(out, size, comm, (int)n);
}

void portHolderInto(int fd, char *out, size_t size) {
    struct stat st;
    long pid = fstat(fd, &st) == 0 ? flockHolder(st) : 0;
    out[0] = '\0';
    if (pid <= 0) return;
    char name[256];
    commandOf(pid, name, sizeof name);
    snprintf(out, size, " (process %ld%s%s)", pid, name[0] ? ", " : "", name);
}

void printPortHolder(int fd, FILE *to) {
    char text[300];
    portHolderInto(fd, text, sizeof text);
    fputs(text, to);
}
