// The --silence reopen against another program of the port's group, and a
// port gone at that moment. The test plays the instrument on a
// pseudo-terminal; kestrode's console goes to a file.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "harness.h"
#include "support.h"

namespace {
constexpr gid_t PORT_GROUP = 20;  // dialout on Debian; any group does
constexpr uid_t OTHER = 65534;    // nobody

// kestrode --silence 1 on `port`, in `r.host`, its console in r.dir/out.
int startWatching(const Session &r, const std::string &port) {
    std::vector<const char *> argv;
#ifdef KESTRODE_EMULATOR
    argv.push_back(KESTRODE_EMULATOR);
#endif
    argv.insert(argv.end(), {KESTRODE_BIN, "--silence", "1", port.c_str(), nullptr});
    int out = open((r.dir + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int pid = spawn(argv.data(), -1, out, out, r.host.c_str());
    close(out);
    return pid;
}

// Waits until kestrode's console shows `needle` `times` times, or either
// of two needles as often together.
bool said(const Session &r, const std::string &needle, size_t times, int ms,
          const std::string &orNeedle = "") {
    for (double end = nowSeconds() + ms / 1000.0; nowSeconds() < end; usleep(20000)) {
        std::string out = readFile(r.dir + "/out");
        if (count(out, needle) + (orNeedle.empty() ? 0 : count(out, orNeedle)) >= times)
            return true;
    }
    return false;
}

// Sends readings and waits until the log holds all sent so far.
void measure(const Session &r, int master, const std::string &name, int n, int gapMs,
             std::string &sent) {
    for (int k = 0; k < n; ++k) {
        std::string line = name + "=" + std::to_string(k);
        writeAll(master, line + "\r\n");
        sent += line + "\r\r\n";
        usleep(gapMs * 1000);
    }
    waitForFile(logPath(r), sent, 10000);
}

// Another program of the port's group, as another user: opens and flocks
// the port in a tight loop; once it has it, reads it for 3 s and lets go.
// Tells `report` 'T' when it took it, 'L' when it let go.
[[noreturn]] void compete(const char *port, int report, double until) {
    gid_t group = PORT_GROUP;
    if (setgroups(1, &group) != 0 || setgid(OTHER) != 0 || setuid(OTHER) != 0) _exit(126);
    int fd = -1;
    while (nowSeconds() < until) {
        if (fd < 0) fd = open(port, O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) continue;
        (void)!write(report, "T", 1);
        readQuiet(fd, 3000);
        close(fd);
        (void)!write(report, "L", 1);
        _exit(0);
    }
    _exit(1);
}

std::string lockOf(const Pty &p) {
    std::string name = std::string(p.name).substr(5);  // pts/4 gives pts_4
    name[3] = '_';
    return (std::filesystem::is_directory("/run/lock") ? "/run/lock/LCK.." : "/var/lock/LCK..") +
           name;
}

bool running(int pid) { return waitpid(pid, nullptr, WNOHANG) == 0; }
}  // namespace

// Three silences, each reopen raced by another program: whether it gets
// the port or not, kestrode never ends, keeps its lock file, and logs every
// reading sent after the other let go, also those sent before it has the
// port again.
TEST(Reopen, AnotherProgramOfTheGroupNeverTakesTheLogsReadings) {
    if (geteuid() != 0) GTEST_SKIP() << "only root gives the port to a group and runs another user";
    Session r;
    Pty p = openPty();
    ASSERT_EQ(chown(p.name, 0, PORT_GROUP), 0);
    ASSERT_EQ(chmod(p.name, 0660), 0);
    r.pid = startWatching(r, p.name);
    ASSERT_TRUE(said(r, "Local logging file", 1, 10000)) << readFile(r.dir + "/out");
    const std::string lock = lockOf(p);
    const std::string lockText = readFile(lock);
    EXPECT_EQ(atoi(lockText.c_str()), r.pid);
    std::string sent;
    int taken = 0;
    for (int round = 1; round <= 3; ++round) {
        measure(r, p.master, "PM2.5", 3, 50, sent);
        int report[2];
        ASSERT_EQ(pipe(report), 0);
        int other = fork();
        if (other == 0) compete(p.name, report[1], nowSeconds() + 8);
        close(report[1]);
        // Silent: warned after 1 s, reopened after 2 s.
        const std::string reopened = "> the instrument is still silent, its serial port was "
                                     "closed and opened again\n";
        const std::string lost = "> the serial port was taken by another program (process ";
        ASSERT_TRUE(said(r, reopened, round, 10000, lost)) << readFile(r.dir + "/out");
        std::string got = readQuiet(report[0], 200);
        if (got == "T") {
            ++taken;
            EXPECT_EQ(count(readFile(r.dir + "/out"), lost + std::to_string(other) + ", "), 1u);
            got += readUntil(report[0], "L", 5000);
            EXPECT_EQ(got, "TL");
        } else {
            EXPECT_EQ(count(readFile(r.dir + "/out"), reopened), (size_t)(round - taken));
            kill(other, SIGKILL);
        }
        EXPECT_EQ(waitExit(other, 10000), got == "TL" ? 0 : -1);
        close(report[0]);
        ASSERT_TRUE(running(r.pid)) << readFile(r.dir + "/out");
        EXPECT_EQ(readFile(lock), lockText) << "the lock file stays kestrode's";
        // Every 0.4 s for 4 s: before and after kestrode has the port again.
        measure(r, p.master, "T" + std::to_string(round), 10, 400, sent);
        EXPECT_EQ(readFile(logPath(r)), sent) << readFile(r.dir + "/out");
        EXPECT_TRUE(said(r, "> the serial port is open again after ", taken, 5000));
    }
    std::cout << "the other program took the port at " << taken << " of 3 reopens\n";
    ASSERT_TRUE(running(r.pid));
    kill(r.pid, SIGTERM);
    EXPECT_NE(waitStatus(r.pid, 10000), -1);
    r.pid = -1;
    EXPECT_FALSE(std::filesystem::exists(lock));
    closePty(p);
}

// A port whose name is gone when the silence reopens it (an adapter's
// by-id link, the adapter pulled) ends the session as a lost port does.
TEST(Reopen, APortGoneAtTheReopenIsALostPort) {
    Session r;
    Pty p = openPty();
    const std::string link = r.dir + "/adapter";
    ASSERT_EQ(symlink(p.name, link.c_str()), 0);
    r.pid = startWatching(r, link);
    ASSERT_TRUE(said(r, "Local logging file", 1, 10000)) << readFile(r.dir + "/out");
    std::string sent;
    measure(r, p.master, "PM2.5", 3, 50, sent);
    unlink(link.c_str());
    EXPECT_EQ(waitExit(r.pid, 10000), 0);
    r.pid = -1;
    std::string out = readFile(r.dir + "/out");
    EXPECT_NE(out.find("> serial device lost, shutting down\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("opened again"), std::string::npos) << out;
    EXPECT_EQ(readFile(logPath(r)), sent);
    EXPECT_FALSE(std::filesystem::exists(lockOf(p)));
    closePty(p);
}
