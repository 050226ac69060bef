// A direct open of a port that a kestrode shares: the way in instead.
#include <sys/stat.h>
#include <sys/un.h>

#include <climits>
#include <cstdio>

#include "share/share.h"
#include "port/port.h"

void hintAttach(const char *device) {
    char path[sizeof(sockaddr_un::sun_path)];
    char name[PATH_MAX];
    struct stat st;
    if (!wellKnownSocket(device, path, sizeof path) || stat(path, &st) != 0 ||
        !S_ISSOCK(st.st_mode) || !portName(device, name, sizeof name))
        return;
    fprintf(stderr, "> a kestrode shares it: kestrode --attach %s\n", name);
}
