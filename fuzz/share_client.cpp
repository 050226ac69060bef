// What clients send a sharing kestrode: first lines, typed lines, transfer
// requests and the bytes of a granted transfer, from three clients at once,
// in any order and split anywhere, with the instrument's bytes between.
// The port is /dev/null; the clients' ends are socket pairs read after every
// step (descriptors that come with a grant are taken and closed, as a
// client that runs no transfer would). Properties: no crash, no wait, and
// after the clients are gone, no descriptor left open.
//
// Input: records of a head byte (low two bits: 0-2 a client, 3 the port;
// bit 2: the client's granted pair rather than its socket), a length byte,
// then that many bytes. "@DOWNLOAD," from the port is defused to
// "@DOWNLOAd," so that no download of the service's own creates a file.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "clocklog/clocklog.h"
#include "fuzz_check.h"
#include "share/share.h"
#include "terminal/terminal.h"

static constexpr int CLIENTS = 3;
static int peer[CLIENTS];     // the clients' ends of their connections
static int granted[CLIENTS];  // the pair's end a grant handed each, or -1

static int openDescriptors() {
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    if (!d) return -1;
    while (readdir(d)) ++n;
    closedir(d);
    return n;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (!freopen("/dev/null", "w", stdout)) abort();
    gTermFD = open("/dev/null", O_RDWR | O_CLOEXEC);
    gShareFD = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path + 1, sizeof a.sun_path - 1, "kestrode-fuzz-%d", (int)getpid());
    if (gShareFD < 0 || bind(gShareFD, (sockaddr *)&a, sizeof a) != 0 || listen(gShareFD, 4) != 0)
        abort();
    startBusyWaits();
    wireService();  // the port's bytes through the consoles, as a sharing kestrode has them
    return 0;
}

static void connectClients() {
    for (int i = 0; i < CLIENTS; ++i) {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv) != 0) abort();
        gClients[i].fd = sv[0];
        gClients[i].uid = 1000 + i;
        gClients[i].since = monotonicNow();
        peer[i] = sv[1];
        granted[i] = -1;
    }
}

// What the service sent a client: read, and a descriptor taken.
static void drain(int i) {
    char buf[4096];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
    for (;;) {
        iovec part{buf, sizeof buf};
        msghdr m{};
        m.msg_iov = &part;
        m.msg_iovlen = 1;
        m.msg_control = control;
        m.msg_controllen = sizeof control;
        if (recvmsg(peer[i], &m, MSG_DONTWAIT | MSG_CMSG_CLOEXEC) <= 0) return;
        for (cmsghdr *c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
            int count = (int)((c->cmsg_len - CMSG_LEN(0)) / sizeof(int));
            for (int k = 0; k < count; ++k) {
                if (granted[i] >= 0) close(granted[i]);
                memcpy(&granted[i], CMSG_DATA(c) + k * sizeof(int), sizeof(int));
            }
        }
    }
}

// One pass of the service's loop over its clients, without waiting.
static void servePass() {
    pollfd fds[1 + SHARE_CONNECTIONS + 1];
    int n = sharePollFds(fds, 1 + SHARE_CONNECTIONS + 1);
    poll(fds, n, 0);
    serveShare(fds, n);
    flushShare(true);
    checkShare();
    for (int i = 0; i < CLIENTS; ++i) drain(i);
}

static void portBytes(const uint8_t *p, size_t len) {
    char buf[LINE_SIZE];
    size_t n = len < sizeof buf ? len : sizeof buf;
    memcpy(buf, p, n);
    for (char *at = buf; (at = (char *)memmem(at, buf + n - at, "@DOWNLOAD,", 10)); at += 10)
        at[9] = 'd';
    handleTermBytes(buf, (int)n);
}

static void hangUp() {
    for (int i = 0; i < CLIENTS; ++i) {
        close(peer[i]);
        if (granted[i] >= 0) close(granted[i]);
    }
    for (int pass = 0; pass < 4; ++pass) servePass();
    for (int i = 0; i < SHARE_CONNECTIONS; ++i)
        if (gClients[i].fd >= 0) dropClient(i);
    stopRelay();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    int before = openDescriptors();
    connectClients();
    for (size_t at = 0; at + 2 <= size;) {
        int who = data[at] & 3, toPair = data[at] & 4;
        size_t len = data[at + 1];
        at += 2;
        if (len > size - at) len = size - at;
        if (who == 3) {
            portBytes(data + at, len);
        } else {
            int fd = toPair && granted[who] >= 0 ? granted[who] : peer[who];
            ssize_t w = send(fd, data + at, len, MSG_DONTWAIT | MSG_NOSIGNAL);
            (void)w;  // a full socket is a client that sends too much: the service keeps up or not
        }
        at += len;
        servePass();
    }
    hangUp();
    FUZZ_CHECK(openDescriptors() == before);
    return 0;
}
