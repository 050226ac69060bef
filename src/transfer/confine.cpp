// Where a received file may go: beneath the current directory and nowhere
// else, whatever links the tree holds. A name the instrument sends is never
// trusted to stay put: its directory part is resolved beneath "." by the
// kernel (openat2 RESOLVE_BENEATH) or, where that is missing, walked one
// component at a time without following any link.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

#include "transfer/transfer.h"

// No control bytes (an escape sequence as a file name), no absolute path,
// no empty component and none beginning with "." (so neither "..", nor a
// dot-file such as .profile in a home directory, can be reached).
bool confinedName(const char *name) {
    if (name[0] == '\0' || name[0] == '/') return false;
    for (const unsigned char *p = (const unsigned char *)name; *p != '\0'; ++p)
        if (*p < 0x20 || *p == 0x7F) return false;
    for (const char *p = name;; ++p) {
        if (*p == '\0' || *p == '/' || *p == '.') return false;
        p = strchrnul(p, '/');
        if (*p == '\0') return true;
    }
}

static int walkWithoutLinks(int at, char *path) {
    int cur = dup(at);
    for (char *save = nullptr, *part = strtok_r(path, "/", &save); part && cur >= 0;
         part = strtok_r(nullptr, "/", &save)) {
        int next = openat(cur, part, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        int err = errno;
        struct stat st;
        // A link fails as ENOTDIR with O_DIRECTORY: tell it from a plain file.
        if (next < 0 && fstatat(cur, part, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
            err = ELOOP;
        close(cur);
        cur = next;
        errno = err;
    }
    return cur;
}

static int kernelOpenat2(int at, const char *path, open_how *how, size_t size) {
    return (int)syscall(SYS_openat2, at, path, how, size);
}
int (*gOpenat2)(int, const char *, open_how *, size_t) = kernelOpenat2;

static int openBeneath(int at, char *path) {
    open_how how{};
    how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    int fd = gOpenat2(at, path, &how, sizeof how);
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return fd;
    return walkWithoutLinks(at, path);
}

// Opens the directory part of a confined name ("a/b" of "a/b/c", "." of
// "c"); -1 with errno EXDEV or ELOOP when the path would leave "." or use a
// link the walk refuses, other values when it simply is not there.
int openConfinedDir(const char *name, const char **base) {
    const char *slash = strrchr(name, '/');
    *base = slash ? slash + 1 : name;
    int here = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (here < 0 || !slash) return here;
    char path[DOWNLOAD_NAME_SIZE];
    size_t len = (size_t)(slash - name);
    memcpy(path, name, len);
    path[len] = '\0';
    int fd = openBeneath(here, path);
    int err = errno;
    close(here);
    errno = err;
    return fd;
}
