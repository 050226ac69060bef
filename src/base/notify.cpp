// Telling systemd about the service: ready once it logs, a status line, a
// keep-alive for its watchdog, the stop. systemd documents the protocol as
// stable: one datagram of "KEY=value" lines to the socket NOTIFY_SOCKET
// names. It is spoken here directly, which costs a socket and a sendto and
// keeps the program free of any library. Without NOTIFY_SOCKET nothing is
// sent and nothing else changes.
#include <stddef.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "base/base.h"


static int sock = -1;
static sockaddr_un peer;
static socklen_t peerLen = 0;
static long long keepAliveMs = 0;  // half the watchdog's interval; 0: no watchdog
static timespec keepAliveDue;

static bool openNotifySocket() {
    const char *path = getenv("NOTIFY_SOCKET");
    size_t len = path ? strlen(path) : 0;
    if (len < 2 || len >= sizeof peer.sun_path || (path[0] != '/' && path[0] != '@')) return false;
    peer.sun_family = AF_UNIX;
    memcpy(peer.sun_path, path, len);
    if (path[0] == '@') peer.sun_path[0] = '\0';  // an abstract name
    peerLen = (socklen_t)(offsetof(sockaddr_un, sun_path) + len);
    // Non-blocking: a service manager that reads slowly costs a message, never a wait.
    sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    return sock >= 0;
}

// WATCHDOG_USEC, for this process only (WATCHDOG_PID, when set, names it).
static void readWatchdog() {
    const char *pid = getenv("WATCHDOG_PID");
    const char *usec = getenv("WATCHDOG_USEC");
    if (!usec || (pid && strtol(pid, nullptr, 10) != (long)getpid())) return;
    char *end = nullptr;
    long long v = strtoll(usec, &end, 10);
    if (end == usec || *end != '\0' || v <= 0) return;
    keepAliveMs = v / 2000 > 0 ? v / 2000 : 1;
    keepAliveDue = monotonicNow();
}

bool startNotify() {
    if (sock < 0 && !openNotifySocket()) return false;
    readWatchdog();
    return true;
}

bool notifying() { return sock >= 0; }

void notify(const char *message, int len) {
    if (sock >= 0) sendto(sock, message, len, MSG_NOSIGNAL, (const sockaddr *)&peer, peerLen);
}

// Cheap enough for any wait to call often: a clock read until one is due.
void keepServiceAlive() {
    if (keepAliveMs == 0 || msBetween(keepAliveDue, monotonicNow()) < 0) return;
    static const char ALIVE[] = "WATCHDOG=1";
    notify(ALIVE, sizeof ALIVE - 1);
    keepAliveDue = monotonicNow();
    keepAliveDue.tv_sec += keepAliveMs / 1000;
    keepAliveDue.tv_nsec += keepAliveMs % 1000 * 1000000;
    if (keepAliveDue.tv_nsec >= 1000000000) {
        keepAliveDue.tv_sec += 1;
        keepAliveDue.tv_nsec -= 1000000000;
    }
}

int keepAliveWaitMs() {
    if (keepAliveMs == 0) return -1;
    long long ms = msBetween(monotonicNow(), keepAliveDue);
    return ms < 0 ? 0 : (int)ms;
}
