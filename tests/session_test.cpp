// The built program where a session meets a shell pipeline that closes, an
// instrument that restarts in a transfer, and a log that fails while the
// instrument pauses in the middle of a line.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support.h"

namespace {
struct Live {
    Pty pty;
    int pid = -1;
    int out = -1;   // read end of the program's console
    int keys = -1;  // write end of its keyboard
    std::string dir;
};

Live startRun(void (*beforeExec)() = nullptr) {
    Live r;
    r.pty = openPty();
    char tmpl[] = "/tmp/kestrode-session-XXXXXX";
    r.dir = mkdtemp(tmpl);
    int o[2], k[2];
    EXPECT_EQ(pipe2(o, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(k, O_CLOEXEC), 0);
    const char *argv[] = {KESTRODE_BIN, r.pty.name, nullptr};
    r.pid = spawn(argv, k[0], o[1], -1, r.dir.c_str(), beforeExec);
    close(o[1]);
    close(k[0]);
    r.out = o[0];
    r.keys = k[1];
    EXPECT_NE(readUntil(r.out, ".log\r\n", 5000).find("Local logging file"), std::string::npos);
    return r;
}

void endRun(Live &r) {
    if (r.pid > 0) {
        kill(r.pid, SIGKILL);
        waitStatus(r.pid, 5000);
    }
    if (r.out >= 0) close(r.out);
    close(r.keys);
    closePty(r.pty);
}

std::string todaysLog(const Live &r) {
    char name[64];
    time_t now = time(nullptr);
    struct tm tmv;
    localtime_r(&now, &tmv);
    strftime(name, sizeof name, "/kestrode-%Y%m%d.log", &tmv);
    return readFile(r.dir + name);
}

bool diedBy(Live &r, int signo) {
    int status = waitStatus(r.pid, 5000);
    r.pid = -1;
    return status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == signo;
}

// The host's answer up to its next CR.
std::string reply(const Live &r) { return readUntil(r.pty.master, "\r", 5000); }

const std::string HELLO_FRAME = "@DAT14aGVsbG8=\r\n";  // "hello"
}  // namespace

TEST(Session, ClosedConsolePipeCostsNoLineNorTransfer) {
    // Idle, like `kestrode DEV | head -1`: the lines of the read that found
    // the console gone are logged, then the program ends by SIGPIPE.
    Live r = startRun();
    close(r.out);
    r.out = -1;
    writeAll(r.pty.master, "T=1\r\nT=2\r\n");
    EXPECT_TRUE(diedBy(r, SIGPIPE));
    EXPECT_EQ(todaysLog(r), "T=1\r\r\nT=2\r\r\n");
    endRun(r);

    // In a download: the frames acknowledged are kept, "@FIN" is sent.
    r = startRun();
    writeAll(r.pty.master, "T=0\r\n@DOWNLOAD,got.bin,2560\r\n");
    EXPECT_NE(readUntil(r.pty.master, "@ACK\r", 5000).find("@ACK\r"), std::string::npos);
    EXPECT_NE(readUntil(r.out, "> receiving a file\n", 5000).find("receiving"), std::string::npos);
    close(r.out);
    r.out = -1;
    std::string replies;
    for (int i = 0; i < 10; ++i) {  // the tenth shows progress, into the closed pipe
        writeAll(r.pty.master, HELLO_FRAME);
        replies += reply(r);
    }
    if (replies.find("@FIN") == std::string::npos) replies += reply(r);
    std::string tenAcks;
    for (int i = 0; i < 10; ++i) tenAcks += "@ACK\r";
    EXPECT_EQ(replies, tenAcks + "@FIN\r");
    EXPECT_TRUE(diedBy(r, SIGPIPE));
    std::string fifty;
    for (int i = 0; i < 10; ++i) fifty += "hello";
    EXPECT_EQ(readFile(r.dir + "/got.bin"), fifty);
    EXPECT_EQ(filesIn(r.dir).find(".part"), std::string::npos) << filesIn(r.dir);
    EXPECT_EQ(todaysLog(r), "T=0\r\r\n");
    endRun(r);
}

TEST(Session, BannerInATransferSetsTheClockOnceItEnds) {
    Live r = startRun();
    const std::string banner = "# OLM-inside Air Monitor\r\n";
    // A download: the first line end of the run syncs the clock as usual.
    writeAll(r.pty.master, "@DOWNLOAD,b.bin,300\r\n");
    EXPECT_EQ(readUntil(r.pty.master, "@ACK\r", 5000).rfind("settime ", 0), 0u);
    writeAll(r.pty.master, HELLO_FRAME);
    EXPECT_EQ(reply(r), "@ACK\r");
    writeAll(r.pty.master, banner + "@FIN\r\n");  // restarted, and gave up the transfer
    std::string after = readUntil(r.pty.master, "\r\n", 5000);
    EXPECT_EQ(after.rfind("@FIN\rsettime ", 0), 0u) << after;
    EXPECT_NE(readUntil(r.out, "# OLM-inside Air Monitor\n", 5000).find("Air Monitor"),
              std::string::npos);

    // An upload.
    writeFile(r.dir + "/up.bin", std::string(300, 'u'));
    writeAll(r.keys, "@upload up.bin\n");
    EXPECT_NE(readUntil(r.pty.master, "#UPLOAD up.bin 300\r\n", 5000).find("#UPLOAD"),
              std::string::npos);
    writeAll(r.pty.master, "@ACK\r\n");
    EXPECT_NE(readUntil(r.pty.master, "\n", 5000).find("@DAT"), std::string::npos);
    writeAll(r.pty.master, banner + "@FIN\r\n");
    after = readUntil(r.pty.master, "\r\n", 5000);
    EXPECT_EQ(after.rfind("@FIN\rsettime ", 0), 0u) << after;
    endRun(r);
}

namespace {
void logWritesFail() {
    signal(SIGXFSZ, SIG_IGN);
    rlimit none;
    getrlimit(RLIMIT_FSIZE, &none);
    none.rlim_cur = 0;
    setrlimit(RLIMIT_FSIZE, &none);
}
}  // namespace

TEST(Session, NoticeForALineThatStaysHalfShownTakesAFreshLine) {
    Live r = startRun(logWritesFail);
    // A prompt without a line end follows the line whose logging fails.
    writeAll(r.pty.master, "T=21.5\r\n$ ");
    std::string shown = readUntil(r.out, "again\n", 10000);
    EXPECT_EQ(shown, "T=21.5\r\n$ \n> log write failed (File too large), lines are lost until "
                     "it works again\n");
    writeAll(r.pty.master, "ls\r\n");
    EXPECT_EQ(readUntil(r.out, "\n", 5000), "ls\r\n");
    endRun(r);
}
