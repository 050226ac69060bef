// A console that only watches (kestrode --attach --watch): it never holds
// the keyboard, and what would reach the instrument or the port is refused
// in the console itself and again by the service, which trusts no client.
#include <cstdio>
#include <cstring>

#include "share/share.h"
#include "port/port.h"

bool gbWatchOnly = false;

// The "@" commands that act on the port or the keyboard; the rest are the
// console's own, or @who.
static bool acts(const char *line) {
    static const char *const acting[] = {"@settime", "@clear", "@upload", "@download", "@take"};
    if (line[0] != '@') return true;
    for (const char *name : acting)
        if (startsWith(line, name)) return true;
    return false;
}

bool watchRefuses(const char *line) {
    if (!gbWatchOnly || !acts(line)) return false;
    printNotice("> this console only watches (--watch), line not sent\n");
    return true;
}

bool forService(const char *line) {
    return line[0] != '@' || startsWith(line, "@settime") || startsWith(line, "@clear") ||
           startsWith(line, "@who") || startsWith(line, "@take");
}

bool refusedForWatch(int i, const char *line, const char *shown) {
    const ShareClient &c = gClients[i];
    if (!c.watch || !acts(line)) return false;
    printNotice("> %s (uid %u) only watches, not sent: %s\n", c.user, (unsigned)c.uid, shown);
    queueNotice(i, "> this console only watches (--watch), line not sent\n");
    return true;
}
