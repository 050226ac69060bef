// Reference floor for the console path: the least a terminal can cost when it
// waits with select, reads at most 256 bytes at a time and writes every read
// to the console and to a log before waiting again, doing nothing else.
//
//   bench-floor DEVICE [READ_SIZE]      (log: ./floor.log)
#include <fcntl.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: bench-floor DEVICE [READ_SIZE]\n");
        return 2;
    }
    int fd = open(argv[1], O_RDWR | O_NOCTTY);
    int log = open("floor.log", O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0 || log < 0) return 1;
    termios t;
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    size_t size = argc > 2 ? (size_t)atoi(argv[2]) : 256;
    static char buf[65536];
    if (size < 1 || size > sizeof buf) size = 256;
    for (;;) {
        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(fd, &rd);
        if (select(fd + 1, &rd, nullptr, nullptr, nullptr) < 0) return 1;
        ssize_t n = read(fd, buf, size);
        if (n <= 0) return 0;
        if (write(1, buf, (size_t)n) < 0 || write(log, buf, (size_t)n) < 0) return 1;
    }
}
