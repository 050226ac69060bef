// An attached console rides through its kestrode's restarts: the service
// stopped, killed, or its port gone, and a new one started on the same
// socket. The test plays the instrument on a pseudo-terminal; one console
// types on a terminal (a pseudo-terminal), one is a script's (a pipe).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "harness.h"
#include "support.h"

namespace {
// kestrode ARGS with its output on a pipe that `c` reads; its input is
// `keyboard` (a pseudo-terminal's slave) or a pipe that `c` types on.
void startConsole(Session &c, const std::vector<std::string> &args, int keyboard = -1) {
    std::vector<const char *> argv;
#ifdef KESTRODE_EMULATOR
    argv.push_back(KESTRODE_EMULATOR);
#endif
    argv.push_back(KESTRODE_BIN);
    for (const std::string &a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    int in[2] = {-1, -1}, out[2];
    if (keyboard < 0 && pipe2(in, O_CLOEXEC) != 0) return;
    if (pipe2(out, O_CLOEXEC) != 0) return;
    c.pid = spawn(argv.data(), keyboard < 0 ? in[0] : keyboard, out[1], out[1], c.host.c_str());
    close(out[1]);
    c.out = out[0];
    if (keyboard >= 0) return;
    close(in[0]);
    c.in = in[1];
}

enum Gone { STOPPED, KILLED, PORT_LOST };
}  // namespace

TEST(RideThrough, ConsolesAttachAgainAfterEachRestart) {
    Session r, term, script;
    Pty p = openPty(), keys = openPty();
    const std::string sock = socketIn(r), service = r.dir + "/service.out";
    r.pid = startSharing(r, p, "--share=" + sock, service);
    ASSERT_TRUE(fileShows(service, "Local logging file", 10000)) << readFile(service);
    startConsole(term, {"--attach", sock}, keys.slave);
    term.in = keys.master;  // typed on its terminal
    keys.master = -1;
    startConsole(script, {"--attach", sock, "--wait", "600"});
    ASSERT_TRUE(attached(term) && attached(script)) << term.console << script.console;
    type(term, "@showtime");  // the console's own state outlives the service
    ASSERT_TRUE(waitFor(term, "# printing each line with the timestamp", 5000)) << term.console;

    const std::string waiting = "> waiting for the kestrode on " + sock + "; @exit or ^C leaves\n";
    const struct {
        Gone how;
        std::string why;
    } cases[] = {
        {STOPPED, std::string("> the kestrode on ") + p.name + " stopped\n"},
        {KILLED, "> the connection to the kestrode was lost\n"},
        {PORT_LOST, " lost its serial device\n"},
    };
    int n = 0;
    for (const auto &k : cases) {
        const std::string reading = "RIDE=" + std::to_string(++n);
        if (k.how == PORT_LOST) {
            closePty(p);  // the adapter pulled: the service ends by itself
            p = openPty();  // and a new one serves the one plugged back
        } else {
            kill(r.pid, k.how == STOPPED ? SIGTERM : SIGKILL);
        }
        waitExit(r.pid, 10000);
        for (Session *c : {&term, &script}) {
            EXPECT_TRUE(waitFor(*c, k.why, 10000)) << n << c->console;
            EXPECT_TRUE(waitFor(*c, waiting, 10000)) << n << c->console;
        }
        type(term, "date");
        EXPECT_TRUE(waitFor(term, "> not attached, line not sent\n", 5000)) << term.console;
        r.pid = startSharing(r, p, "--share=" + sock, service);
        for (Session *c : {&term, &script}) {
            EXPECT_TRUE(attached(*c)) << n << c->console;
            EXPECT_TRUE(waitFor(*c, "> attached again after ", 10000)) << n << c->console;
            EXPECT_TRUE(waitFor(*c, " s; the log has what came meanwhile (" + logPath(r) + ")\n", 1000))
                << c->console;
        }
        ASSERT_TRUE(fileShows(service, "> " + me() + " attached\n", 10000)) << readFile(service);
        writeAll(p.master, reading + "\r\n");
        EXPECT_TRUE(waitFor(term, " " + reading + "\r\n", 10000)) << term.console;  // stamped
        EXPECT_TRUE(waitFor(script, reading + "\r\n", 10000)) << script.console;
    }

    // Waiting, either leaves at once: @exit, ^C.
    kill(r.pid, SIGTERM);
    waitExit(r.pid, 10000);
    r.pid = -1;
    ASSERT_TRUE(waitFor(term, waiting, 10000) && waitFor(script, waiting, 10000));
    type(term, "@exit");
    EXPECT_EQ(waitEnd(term, 10000), 0) << term.console;
    kill(script.pid, SIGINT);
    EXPECT_EQ(waitEnd(script, 10000), 0) << script.console;
    EXPECT_EQ(count(term.console, "> gave up"), 0u);
    closePty(p);
    closePty(keys);
}

// Nobody there: a script's console ends at once, or after --wait; one at a
// terminal waits until told to leave.
TEST(RideThrough, NobodyAnswersAtTheStart) {
    Session r;
    const std::string sock = socketIn(r);
    const std::string cannot = "> cannot attach to " + sock + ": No such file or directory\n";
    const std::string waiting = "> waiting for the kestrode on " + sock + "; @exit or ^C leaves\n";
    const struct {
        std::vector<std::string> args;
        bool terminal;
        std::string said;
        int status;
        double atLeast;  // seconds it must wait; never how fast it is
    } cases[] = {
        {{"--attach", sock}, false, cannot, 69, 0},
        {{"--attach", sock, "--wait", "2"}, false,
         cannot + waiting + "> gave up waiting for the kestrode on " + sock + " after 2 s\n", 69, 2},
        {{"--attach", sock, "--wait", "0"}, true, cannot, 69, 0},
        {{"--attach", sock}, true, cannot + waiting + "> not attached, line not sent\n", 0, 0},
        {{"--wait", "2", "ttyS0"}, false, "", 255, 0},  // only a console waits
        // A device's path while its adapter is out: still its well-known place.
        {{"--attach", "/dev/kestrode-out"}, false,
         "> cannot attach to /run/kestrode/kestrode-out.sock: No such file or directory\n", 69, 0},
    };
    for (const auto &k : cases) {
        Session c;
        Pty keys = openPty();
        double start = nowSeconds();
        startConsole(c, k.args, k.terminal ? keys.slave : -1);
        if (k.terminal) {
            c.in = keys.master;
            keys.master = -1;
        }
        if (k.status == 0) {  // it waits: a line is refused, @exit leaves
            ASSERT_TRUE(waitFor(c, waiting, 10000)) << c.console;
            type(c, "ls");
            ASSERT_TRUE(waitFor(c, "line not sent\n", 10000)) << c.console;
            type(c, "@exit");
        }
        EXPECT_EQ(waitEnd(c, 20000), k.status) << k.args[1] << "\n" << c.console;
        EXPECT_GE(nowSeconds() - start, k.atLeast);
        if (k.status != 255)
            EXPECT_EQ(c.console, k.said);
        else
            EXPECT_NE(c.console.find("> option --wait needs --attach\n"), std::string::npos) << c.console;
        closePty(keys);
    }
}

// A kestrode that reads nothing (stopped) never holds a console: once its
// socket is full a typed line is refused at once, the console's own
// commands still work, and the service takes lines again once it goes on.
TEST(RideThrough, AStoppedKestrodeNeverHoldsTheKeyboard) {
    Session r, c;
    Pty p = openPty();
    const std::string sock = socketIn(r), service = r.dir + "/service.out";
    r.pid = startSharing(r, p, "--share=" + sock, service);
    ASSERT_TRUE(fileShows(service, "Local logging file", 10000)) << readFile(service);
    startConsole(c, {"--attach", sock});
    ASSERT_TRUE(attached(c)) << c.console;
    kill(r.pid, SIGSTOP);
    fcntl(c.in, F_SETFL, fcntl(c.in, F_GETFL) | O_NONBLOCK);  // a held console must not hold the test
    const std::string line = "status " + std::string(90, 'x') + "\n", refused =
        "> the kestrode reads nothing now, line not sent\n";
    double end = nowSeconds() + 20;
    while (nowSeconds() < end && c.console.find(refused) == std::string::npos) {
        if (write(c.in, line.data(), line.size()) < 0) usleep(10000);
        c.console += readQuiet(c.out, 0);
    }
    EXPECT_NE(c.console.find(refused), std::string::npos) << c.console.substr(0, 300);
    fcntl(c.in, F_SETFL, fcntl(c.in, F_GETFL) & ~O_NONBLOCK);
    type(c, "@showtime");  // its own command, behind what it refused
    EXPECT_TRUE(waitFor(c, "# printing each line with the timestamp", 10000));
    kill(r.pid, SIGCONT);
    writeAll(p.master, "AFTER=1\r\n");
    EXPECT_TRUE(waitFor(c, " AFTER=1\r\n", 10000)) << c.console.substr(c.console.size() - 300);
    kill(r.pid, SIGTERM);
    waitExit(r.pid, 10000);
    kill(c.pid, SIGTERM);
    waitEnd(c, 10000);
    closePty(p);
}
