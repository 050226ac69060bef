// Writing to the instrument. The port is non-blocking, so an instrument (or
// adapter) that stopped taking bytes costs a bounded wait, during which the
// terminating signals get in as they do while waiting for input.
#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "port/port.h"
#include "base/base.h"

static constexpr int WRITE_SECONDS = 5;  // without room for a single byte

ssize_t writePort(const void *buf, size_t len) {
    const char *p = (const char *)buf;
    size_t done = 0;
    while (done < len) {
        // An attached console's port is a socket: the end of it is no signal.
        ssize_t n = gbPortIsSocket ? send(gTermFD, p + done, len - done, MSG_NOSIGNAL)
                               : write(gTermFD, p + done, len - done);
        if (n > 0) {
            done += (size_t)n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return -1;
        pollfd pfd{gTermFD, POLLOUT, 0};
        int r = waitInput(&pfd, 1, WRITE_SECONDS);
        if (r < 0 && errno == EINTR && !gSignal) continue;  // SIGCONT
        if (r > 0) continue;
        if (r == 0)
            printNotice("> serial port took no output for %d s, %zu of %zu bytes not sent\n",
                        WRITE_SECONDS, len - done, len);
        break;
    }
    return (ssize_t)done;
}
