// After "open_port: Unable to open": one line with the path, the reason and
// what to do about it.
#include <errno.h>
#include <grp.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "port/port.h"

void groupHint(const struct stat &st, char *out, size_t size) {
    const group *g = getgrgid(st.st_gid);
    if ((st.st_mode & 060) == 060 && st.st_gid != 0 && g)
        snprintf(out, size, "its group %s may use it: join that group (sudo usermod -aG %s $USER)"
                 " and log in again", g->gr_name, g->gr_name);
    else
        snprintf(out, size, "no group may use it: ask the administrator for access");
}

static void permissionHint(const struct stat &st) {
    char hint[300];
    groupHint(st, hint, sizeof hint);
    fprintf(stderr, "%s\n", hint);
}

static void portsHint() {
    static SerialPort ports[PORT_SLOTS];
    int count = findSerialPorts(ports, PORT_SLOTS);
    if (count == 0) {
        fputs("no serial port found on this host\n", stderr);
        return;
    }
    fputs("serial ports here:", stderr);
    for (int i = 0; i < count; ++i) fprintf(stderr, " %s", ports[i].path);
    fputc('\n', stderr);
}

void explainOpenFailure(const char *path, int err) {
    struct stat st;
    bool exists = stat(path, &st) == 0;
    fprintf(stderr, "> %s: %s; ", path, strerror(err));
    if (exists && !S_ISCHR(st.st_mode))
        fprintf(stderr, "%s is no serial port: kestrode --list shows them\n", fileKind(st.st_mode));
    else if (err == EACCES && exists)
        permissionHint(st);
    else if (err == ENOENT)
        portsHint();
    else if (err == EBUSY) {
        fputs("another program holds it exclusively: end that one first\n", stderr);
        notePortInUse();
    } else {
        fputs("kestrode --list shows the serial ports\n", stderr);
    }
}
