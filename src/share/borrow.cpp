// An attached console's transfer. It asks the kestrode with one end of a
// socket pair; once the port is lent to it, the ordinary upload or download
// runs on the other end, so this process, as its user, reads and writes the
// files in its own folder.
#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "share/share.h"
#include "terminal/terminal.h"
#include "transfer/transfer.h"

static constexpr int OFFER_SECONDS = 10;  // the line the kestrode lends the port with

static int relay = -1;
static bool upload = false;
static UploadFile file;

static void tellService(const char *line) {
    char buf[LINE_SIZE + 1];
    int n = snprintf(buf, sizeof buf, "%s\n", line);
    send(gTermFD, buf, n, MSG_NOSIGNAL);  // a service gone shows as the socket's end
}

// The line and the kestrode's end of the pair, in one message.
static bool ask(const char *line) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair) != 0) {
        printf("> cannot ask for a transfer: %s\n", strerror(errno));
        return false;
    }
    char text[LINE_SIZE + 1];
    int n = snprintf(text, sizeof text, "%s\n", line);
    iovec part{text, (size_t)n};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr m{};
    m.msg_iov = &part;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    cmsghdr *c = CMSG_FIRSTHDR(&m);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(c), &pair[1], sizeof(int));
    bool sent = sendmsg(gTermFD, &m, MSG_NOSIGNAL) == n;
    close(pair[1]);
    if (!sent) {
        close(pair[0]);
        return false;
    }
    relay = pair[0];
    return true;
}

void borrowCommand(const char *line) {
    bool up = strncmp(line, "@upload", 7) == 0;
    if (relay >= 0) {
        printf("> a transfer is asked for already, %s not started\n", up ? "@upload" : "@download");
        return;
    }
    int ready;
    if (up) {
        ready = openUpload(line, file);
    } else {
        char request[DOWNLOAD_REQUEST_SIZE];
        ready = downloadRequest(line, request, sizeof request);
    }
    if (ready < 0) printf("> command error (%s)\n", line);
    if (ready <= 0) return;
    upload = up;
    if (!ask(line) && up) close(file.file);
}

// Bytes the transfer's reader took past its last line are the instrument's
// output; an instrument that restarted meanwhile has the service set its
// clock (the banner is taken here first: this console's own setTime would
// write to the session socket).
static void afterLent() {
    if (takeBannerSeen()) tellService("@settime");
    drainHeldInput();
}

static void runLent() {
    int control = gTermFD;
    gTermFD = relay;
    if (upload) {
        sendUpload(file);
    } else {
        char line[LINE_SIZE];
        if (readLineTerminalTimeout(line, sizeof line, OFFER_SECONDS) > 0) receiveDownload(line);
    }
    gTermFD = control;
    tellService("@done");  // before the end closes: the kestrode takes it first
    close(relay);
    relay = -1;
    spendTransferInterrupt();
    afterLent();
}

int borrowPollFds(pollfd *fds, int room) {
    if (relay < 0 || room < 1) return 0;
    fds[0] = {relay, POLLIN, 0};
    return 1;
}

// "G" lends the port; the end without it is a refusal, told on the console.
void serveBorrowed(const pollfd *fds, int count) {
    for (int k = 0; k < count; ++k) {
        if (fds[k].fd != relay || relay < 0 || fds[k].revents == 0) continue;
        char go = 0;
        ssize_t n = recv(relay, &go, 1, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        if (n == 1 && go == 'G') return runLent();
        close(relay);
        relay = -1;
        if (upload) close(file.file);
    }
}
