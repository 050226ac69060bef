// Keyboard lines, the command table and its error texts.
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include "clocklog/clocklog.h"
#include "support.h"
#include "terminal/terminal.h"

namespace {
int savedStdin = -1;

// Types `text` on standard input and runs process_stdin once per byte.
std::string type(const std::string &text) {
    int p[2];
    EXPECT_EQ(pipe(p), 0);
    writeAll(p[1], text);
    close(p[1]);
    savedStdin = dup(0);
    dup2(p[0], 0);
    close(p[0]);
    captureStart();
    for (size_t i = 0; i < text.size(); ++i) process_stdin();
    if (text.empty()) process_stdin();
    std::string out = captureStop();
    dup2(savedStdin, 0);
    close(savedStdin);
    return out;
}

Pty attach() {
    Pty pty = openPty();
    gTermFD = pty.slave;
    gbShowTime = false;
    return pty;
}
}  // namespace

TEST(Keyboard, LinesGoOutWithCrLf) {
    Pty pty = attach();
    type("ls\n");
    EXPECT_EQ(readQuiet(pty.master, 50), "ls\r\n");
    type("\n");
    EXPECT_EQ(readQuiet(pty.master, 50), "\r");
    type("date\r\n");  // CR ends the line, the LF then ends an empty one
    EXPECT_EQ(readQuiet(pty.master, 50), "date\r\n\r");
    std::string longLine(300, 'x');
    EXPECT_EQ(type(longLine + "\n"), "> typed line cut to 252 characters, 48 dropped\n");
    EXPECT_EQ(readQuiet(pty.master, 50), std::string(252, 'x') + "\r\n");
    closePty(pty);
}

TEST(Keyboard, LineEndStartsANewConsoleLine) {
    Pty pty = attach();
    gbFirstChar = false;
    type("ab");
    EXPECT_FALSE(gbFirstChar);
    type("\n");
    EXPECT_TRUE(gbFirstChar);
    closePty(pty);
}

TEST(Keyboard, CommandDispatchAndItsErrors) {
    Pty pty = attach();
    EXPECT_EQ(type("@HELP\n"), "> invalid command (@HELP)\n");
    EXPECT_EQ(type("@\n"), "> invalid command (@)\n");
    EXPECT_EQ(type("@upload\n"), "> command error (@upload)\n");
    EXPECT_EQ(type("@download   \n"), "> command error (@download   )\n");
    EXPECT_EQ(type("@showtimex\n"), "# printing each line with the timestamp\r\n\n");
    EXPECT_EQ(readQuiet(pty.master, 50), "");  // nothing reached the instrument
    std::string help = type("@help\n");
    EXPECT_EQ(help,
              "> available commands are as follows: \n"
              "@help (list commands)\n"
              "@upload (upload [local filename])\n"
              "@download (download [local filename])\n"
              "@exit (exit this program)\n"
              "@clear (clear the terminal buffer)\n"
              "@settime (send the local time to the device)\n"
              "@showtime (toggle printing the current time for each line)\n");
    closePty(pty);
}

TEST(Keyboard, ClearDiscardsPendingInstrumentInput) {
    Pty pty = attach();
    writeAll(pty.master, "stale bytes");
    usleep(20000);
    EXPECT_EQ(type("@clear\n"), "> clearing command\r\n");
    char c;
    termios t;
    tcgetattr(pty.slave, &t);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    tcsetattr(pty.slave, TCSANOW, &t);
    EXPECT_EQ(read(pty.slave, &c, 1), 0);
    closePty(pty);
}

TEST(Keyboard, ExitEndsTheProcessWithStatusZero) {
    EXPECT_EXIT(
        {
            attach();
            type("@exitnow\n");
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(Keyboard, WriteFailuresAreReported) {
    Pty pty = attach();
    close(pty.slave);  // the device is gone: every write fails
    pty.slave = -1;
    EXPECT_EQ(type("ls\n"), "> terminal write failed\n");
    EXPECT_EQ(type("@settime\n"),
              "serial terminal write error\n# settime failed\r\n> command error (@settime)\n");
    closePty(pty);
}

TEST(Keyboard, EndOfInputStopsWatchingStandardInput) {
    Pty pty = attach();
    gbStdinOpen = true;
    type("ls");
    EXPECT_TRUE(gbStdinOpen);
    type("");  // the pipe is closed: end of input
    EXPECT_FALSE(gbStdinOpen);
    // A script's last line needs no line end of its own.
    EXPECT_EQ(readQuiet(pty.master, 50), "ls\r\n");
    closePty(pty);
}
