// @who: the consoles, since when, which only watch, and who holds the
// keyboard, as NOTICE frames to the console that asked.
#include <cstdio>

#include "share/share.h"
#include "port/port.h"

void queueWho(int i) {
    int count = consoleCount((uid_t)-1), holder = keyboardHolder();
    queueNotice(i, "> %d console%s attached:\n", count, count == 1 ? "" : "s");
    for (int k = 0; k < SHARE_CONNECTIONS; ++k) {
        const ShareClient &c = gClients[k];
        if (c.fd < 0 || !c.greeted) continue;
        struct tm tmv {};
        localtime_r(&c.attachedAt, &tmv);
        char when[32];
        strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tmv);
        queueNotice(i, ">   %s (uid %u) since %s%s%s%s\n", c.user, (unsigned)c.uid, when,
                    k == holder ? ", holds the keyboard" : "", c.watch ? ", watches only" : "",
                    k == i ? " (this console)" : "");
    }
    if (holder < 0) queueNotice(i, "> nobody holds the keyboard\n");
}
