// Who is there: every console hears of the others coming and going, of
// the keyboard changing hands and of each line that went to the
// instrument. A notice about another stays within the bounds of the
// console's output, so a client that comes and goes in a loop fills no
// console's buffer beyond them, and the service never waits for one.
#include <cstdarg>
#include <cstdio>

#include "share/share.h"
#include "port/port.h"

void tellOthers(int about, const char *format, ...) {
    char text[NOTICE_MAX];
    va_list ap;
    va_start(ap, format);
    int n = noticeText(text, sizeof text, format, ap);
    va_end(ap);
    if (n <= 0) return;
    for (int i = 0; i < SHARE_CONNECTIONS; ++i)
        if (i != about && gClients[i].fd >= 0 && gClients[i].greeted)
            queueShared(i, FRAME_NOTICE, text, n);
}

void detached(int i) {
    const ShareClient &c = gClients[i];
    if (c.greeted) {
        printNotice("> %s (uid %u) detached\n", c.user, (unsigned)c.uid);
        tellOthers(i, "> %s (uid %u) detached\n", c.user, (unsigned)c.uid);
        if (keyboardHolder() == i)
            tellOthers(i, "> %s (uid %u) left the keyboard\n", c.user, (unsigned)c.uid);
    }
    dropClient(i);
}
