// Who is there: consoles hear of each other, the keyboard is taken over,
// a console may only watch. The instrument is the test itself, on a
// pseudo-terminal, so that what reaches it is seen byte for byte.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "harness.h"
#include "support.h"

namespace {
// What a console printed meanwhile, without waiting.
void readSome(Session &c) {
    pollfd p{c.out, POLLIN, 0};
    char buf[65536];
    ssize_t n = poll(&p, 1, 0) > 0 ? read(c.out, buf, sizeof buf) : 0;
    if (n > 0) c.console.append(buf, n);
}

// What the instrument received so far, without waiting.
std::string instrumentGot(const Pty &p) { return readQuiet(p.master, 300); }

struct Shared {
    Session r;
    Pty p;
    std::string service;
    Shared() {
        p = openPty();
        service = r.dir + "/service.out";
        r.pid = startSharing(r, p, "--share=" + socketIn(r), service);
        EXPECT_TRUE(fileShows(service, "Local logging file", 10000)) << readFile(service);
    }
    ~Shared() {
        if (r.pid > 0) kill(r.pid, SIGTERM);
        waitStatus(r.pid, 10000);
        r.pid = -1;
        closePty(p);
    }
};
}  // namespace

// Attach, attach to watch, a typed line, a take-over and a detach, each as
// the others hear it; the one it is about hears its own words, or nothing.
TEST(Presence, EveryConsoleHearsOfTheOthers) {
    Shared s;
    Session a, b, w;
    const std::string I = me();
    startAttached(a, socketIn(s.r));
    ASSERT_TRUE(attached(a)) << a.console;
    startAttached(b, socketIn(s.r));
    ASSERT_TRUE(attached(b)) << b.console;
    startWatcher(w, socketIn(s.r));
    ASSERT_TRUE(attached(w)) << w.console;
    EXPECT_TRUE(waitFor(a, "> " + I + " attached\n", 5000)) << a.console;
    EXPECT_TRUE(waitFor(a, "> " + I + " attached to watch\n", 5000)) << a.console;
    EXPECT_TRUE(waitFor(b, "> " + I + " attached to watch\n", 5000)) << b.console;
    EXPECT_TRUE(fileShows(s.service, "> " + I + " attached to watch\n", 5000));

    type(a, "date");
    EXPECT_EQ(readUntil(s.p.master, "date\r\n", 5000), "date\r\n");
    for (Session *other : {&b, &w}) {
        EXPECT_TRUE(waitFor(*other, "> " + I + " holds the keyboard\n", 5000)) << other->console;
        EXPECT_TRUE(waitFor(*other, "> " + I + ": date\n", 5000)) << other->console;
    }
    type(b, "@take");
    EXPECT_TRUE(waitFor(b, "> this console holds the keyboard now\n", 5000)) << b.console;
    for (Session *other : {&a, &w})
        EXPECT_TRUE(waitFor(*other, "> " + I + " took the keyboard from " + I + "\n", 5000)) << other->console;
    EXPECT_TRUE(fileShows(s.service, "> " + I + " took the keyboard from " + I + "\n", 5000));
    type(a, "ls");  // the former holder
    EXPECT_TRUE(waitFor(a, "> the keyboard is held by " + I + ", line not sent\n", 5000)) << a.console;
    type(b, "@take");
    EXPECT_TRUE(waitFor(b, "> this console holds the keyboard already\n", 5000)) << b.console;

    type(w, "@who");
    EXPECT_TRUE(waitFor(w, "> 3 consoles attached:\n", 5000)) << w.console;
    EXPECT_TRUE(waitFor(w, ", holds the keyboard\n", 5000)) << w.console;
    EXPECT_TRUE(waitFor(w, ", watches only (this console)\n", 5000)) << w.console;

    EXPECT_EQ(exitSession(b), 0);
    for (Session *other : {&a, &w}) {
        EXPECT_TRUE(waitFor(*other, "> " + I + " detached\n", 5000)) << other->console;
        EXPECT_TRUE(waitFor(*other, "> " + I + " left the keyboard\n", 5000)) << other->console;
    }
    type(w, "@who");
    EXPECT_TRUE(waitFor(w, "> 2 consoles attached:\n", 5000)) << w.console;
    EXPECT_TRUE(waitFor(w, "> nobody holds the keyboard\n", 5000)) << w.console;

    EXPECT_EQ(instrumentGot(s.p), "");  // "ls" never went
    EXPECT_EQ(count(a.console, ": date\n"), 0u) << a.console;  // not told of its own line
    EXPECT_EQ(count(a.console, " attached\n"), 1u) << a.console;  // b's; its own is its greeting
    EXPECT_EQ(count(b.console, " took the keyboard"), 0u) << b.console;
    EXPECT_EQ(exitSession(a), 0);
    EXPECT_EQ(exitSession(w), 0);
    // Looks are no consoles: never announced.
    Session c;
    startAttached(c, socketIn(s.r));
    ASSERT_TRUE(attached(c));
    EXPECT_EQ(status(socketIn(s.r)).first, 0);
    type(c, "@who");
    EXPECT_TRUE(waitFor(c, "> 1 console attached:\n", 5000)) << c.console;
    EXPECT_EQ(count(c.console, "attached\n"), 0u) << c.console;
    EXPECT_EQ(count(c.console, "detached\n"), 0u) << c.console;
}

// A console that only watches: every line that would reach the instrument
// or act on the port or the keyboard is refused in the console itself, and
// again by the service for a client that claims to watch and types anyway.
TEST(Presence, AWatchingConsoleNeverReachesTheInstrument) {
    Shared s;
    Session w;
    startWatcher(w, socketIn(s.r));
    ASSERT_TRUE(attached(w)) << w.console;
    const std::string refused = "> this console only watches (--watch), line not sent\n";
    const std::string lines[] = {"secret", "", "@settime", "@clear", "@upload x", "@download y", "@take"};
    for (const std::string &line : lines) {
        type(w, line);
        EXPECT_TRUE(waitFor(w, refused, 5000)) << line << "\n" << w.console;
    }
    type(w, "@showtime");  // its own display's: still works
    EXPECT_TRUE(waitFor(w, "# printing each line with the timestamp\r\n", 5000)) << w.console;
    type(w, "@who");
    EXPECT_TRUE(waitFor(w, "> 1 console attached:\n", 5000)) << w.console;
    EXPECT_EQ(field(status(socketIn(s.r)).second, "attached"),
              me().substr(0, me().size() - 1) + ", watches only)");

    int raw = rawClient(socketIn(s.r));  // it says it watches, then types
    ASSERT_GE(raw, 0);
    writeAll(raw, "@watch\nsecret\n@settime\n@take\n@who\n");
    std::string got = readUntil(raw, "> 2 consoles attached:\n", 5000);
    EXPECT_EQ(count(got, refused), 3u) << got;
    EXPECT_TRUE(fileShows(s.service, "> " + me() + " only watches, not sent: secret\n", 5000));
    EXPECT_TRUE(fileShows(s.service, "> " + me() + " only watches, not sent: @take\n", 5000));
    close(raw);
    EXPECT_EQ(instrumentGot(s.p), "");
    EXPECT_EQ(exitSession(w), 0);
}

// A client that attaches and detaches in a loop while a console is
// stopped: the service answers throughout, logs every reading, and the
// stopped console's buffer stays bounded: once it reads again its own
// questions are answered and the notices it missed are dropped, not kept.
TEST(Presence, ComingAndGoingInALoopFloodsNobody) {
    Shared s;
    Session a, stopped;
    startAttached(a, socketIn(s.r));
    startAttached(stopped, socketIn(s.r));
    ASSERT_TRUE(attached(a) && attached(stopped));
    kill(stopped.pid, SIGSTOP);
    const int loops = 8000;
    for (int k = 0; k < loops; ++k) {
        int raw = rawClient(socketIn(s.r));
        ASSERT_GE(raw, 0) << k;
        writeAll(raw, "@attach\n");
        readUntil(raw, "\n", 2000);  // its greeting
        close(raw);
        readSome(a);
        if (k % 2000 == 0) {
            writeAll(s.p.master, "T=" + std::to_string(k) + "\r\n");
            EXPECT_EQ(status(socketIn(s.r)).first, 0) << k;
        }
    }
    kill(stopped.pid, SIGCONT);
    for (Session *c : {&a, &stopped}) {
        type(*c, "@who");  // its own questions still find room
        EXPECT_TRUE(waitFor(*c, "> 2 consoles attached:\n", 20000)) << c->console.size() << c->console.substr(c->console.size() > 600 ? c->console.size() - 600 : 0);
    }
    EXPECT_LT(count(stopped.console, " attached\n"), (size_t)loops);  // bounded: many were dropped
    EXPECT_GT(count(a.console, " attached\n"), 0u);
    std::string log = readFile(logPath(s.r));
    for (int k = 0; k < loops; k += 2000) EXPECT_NE(log.find("T=" + std::to_string(k) + "\r"), std::string::npos);
}
