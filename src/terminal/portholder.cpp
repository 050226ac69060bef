// Which process holds a flock on the port: /proc/locks names it by its id
// and the file by device and inode; /proc/PID/comm gives its name.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "terminal/terminal.h"

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

// Its name as the kernel keeps it, which the process chose itself.
static void printCommand(long pid, FILE *to) {
    char path[32], comm[64];
    snprintf(path, sizeof path, "/proc/%ld/comm", pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    ssize_t n = read(fd, comm, sizeof comm);
    close(fd);
    if (n > 0 && comm[n - 1] == '\n') --n;
    if (n <= 0) return;
    fputs(", ", to);
    printQuoted(to, comm, (int)n);
}

void printPortHolder(int fd, FILE *to) {
    struct stat st;
    long pid = fstat(fd, &st) == 0 ? flockHolder(st) : 0;
    if (pid <= 0) return;
    fprintf(to, " (process %ld", pid);
    printCommand(pid, to);
    fputc(')', to);
}
