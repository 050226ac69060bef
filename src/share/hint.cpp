// The way in: a direct open refused names the way to attach, to a user who
// may; a socket that refuses this user names the group to join, as the
// refused open of the port does.
#include <errno.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <climits>
#include <cstdio>

#include "share/share.h"
#include "port/port.h"

// The socket's group is the port's: its word on who may is the port's.
static void socketGroupHint(const char *path, char *out, size_t size) {
    struct stat st;
    if (stat(path, &st) == 0)
        groupHint(st, out, size);
    else
        snprintf(out, size, "ask the administrator for access");
}

// With the real uid, as the user would connect (access(2)).
void hintAttach(const char *device) {
    char path[sizeof(sockaddr_un::sun_path)];
    char name[PATH_MAX];
    struct stat st;
    if (!wellKnownSocket(device, path, sizeof path) || stat(path, &st) != 0 ||
        !S_ISSOCK(st.st_mode) || !portName(device, name, sizeof name))
        return;
    if (access(path, R_OK | W_OK) == 0) {
        fprintf(stderr, "> a kestrode shares it: kestrode --attach %s\n", name);
        return;
    }
    char hint[320];
    socketGroupHint(path, hint, sizeof hint);
    fprintf(stderr, "> a kestrode shares it, but this user may not attach: %s\n", hint);
}

bool notAllowed(int err) { return err == EACCES || err == EPERM; }

int unreachedStatus(int err) { return notAllowed(err) ? EXIT_NOT_ALLOWED : EXIT_NOBODY; }

void tellNotAllowed(const char *path, bool look) {
    char hint[320];
    socketGroupHint(path, hint, sizeof hint);
    if (look)
        printf("> not allowed to ask the kestrode on %s: %s\n", path, hint);
    else
        printf("> not allowed to attach to %s: %s\n", path, hint);
}
