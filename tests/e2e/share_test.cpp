// Sharing a session: consoles attached with --attach to a kestrode that
// logs with --share=SOCKET (the well-known place as root). The instrument is
// kestrode-sim, or the test itself on a pseudo-terminal.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "harness.h"
#include "support.h"


TEST(Share, ConsolesWatchAndOneAtATimeTypes) {
    Session r, a, b, c;
    startSession(r, {"--period", "0.2"}, {"--share=" + socketIn(r)});
    ASSERT_TRUE(waitForBoot(r)) << r.console;
    startAttached(a, socketIn(r));
    startAttached(b, socketIn(r));
    startAttached(c, socketIn(r));
    ASSERT_TRUE(attached(a) && attached(b) && attached(c)) << a.console << b.console;
    kill(c.pid, SIGINT);  // ^C at the prompt detaches
    EXPECT_EQ(waitEnd(c, 5000), 0) << c.console;
    EXPECT_EQ(a.console.rfind("> attached to the kestrode on /dev/pts/", 0), 0u) << a.console;
    EXPECT_TRUE(waitFor(a, "PM2.5=", 5000) && waitFor(b, "PM2.5=", 5000)) << b.console;

    type(a, "date");
    EXPECT_TRUE(waitFor(a, " UTC\r\n", 5000)) << a.console;
    EXPECT_TRUE(waitFor(b, " UTC\r\n", 5000)) << b.console;  // the watcher sees the answer
    type(b, "date");
    EXPECT_TRUE(waitFor(b, "> the keyboard is held by " + me() + ", line not sent\n", 5000));
    writeFile(b.host + "/up.bin", "a refusal leaves the console free to ask again");
    type(b, "@upload up.bin");
    EXPECT_TRUE(waitFor(b, "> the keyboard is held by " + me() + ", line not sent\n", 5000));
    EXPECT_TRUE(waitFor(r, "> " + me() + " typed: date\n", 5000)) << r.console;
    EXPECT_TRUE(waitFor(r, "> " + me() + " typed while " + me() + " holds the keyboard, not sent: date\n",
                        5000)) << r.console;

    const std::vector<std::pair<std::string, std::string>> commands{
        {"@settime", "# settime is successful\r\n"},
        {"@clear", "> clearing command\r\n"},
        {"@upload up.bin", "> cannot open a file (up.bin)\n"},  // its own folder has none
        {"@download", "> command error (@download)\n"},
        {"@help", "> available commands are as follows: \n"},
        {"@frob", "> invalid command (@frob)\n"},
        {"@showtime", "# printing each line with the timestamp\r\n"},
    };
    for (const auto &[line, answer] : commands) {
        type(a, line);
        EXPECT_TRUE(waitFor(a, answer, 5000)) << line << "\n" << a.console;
    }
    // The time stamps are that console's own.
    EXPECT_TRUE(waitFor(a, " PM2.5=", 5000)) << a.console;
    EXPECT_TRUE(waitFor(b, "PM2.5=", 5000)) << b.console;
    EXPECT_EQ(count(b.console, " PM2.5="), 0u) << b.console;

    // One leaves, the service logs on, and the keyboard is free for the other.
    EXPECT_EQ(exitSession(a), 0) << a.console;
    ASSERT_TRUE(waitFor(r, "> " + me() + " detached\n", 5000)) << r.console;
    EXPECT_TRUE(waitFor(r, "PM2.5=", 5000) && waitFor(r, "PM2.5=", 5000)) << r.console;
    type(b, "date");
    EXPECT_TRUE(waitFor(b, " UTC\r\n", 5000)) << b.console;
    type(b, "@upload up.bin");
    EXPECT_TRUE(waitFor(b, "> uploading is successfully finished\n", 10000)) << b.console;
    close(b.in);  // the end of its input detaches it too
    b.in = -1;
    EXPECT_EQ(waitEnd(b, 5000), 0) << b.console;
    EXPECT_TRUE(waitFor(r, "> " + me() + " detached\n", 5000)) << r.console;
    EXPECT_EQ(exitSession(r), 0);
    std::string log = readFile(logPath(r));
    EXPECT_GT(count(log, "PM2.5="), 0u);
    EXPECT_EQ(count(log, "uid"), 0u) << log;
}

// 10^5 lines while three consoles watch and one of them is stopped: the
// log holds every line, the watching ones see every line, the stopped one
// stays attached, sees whole lines only, and once it reads again is told
// how many it missed: they and what it saw are every line.
TEST(Share, AStoppedConsoleIsKeptAndToldWhatItMissed) {
    Session r;
    Pty p = openPty();
    const std::string service = r.dir + "/service.out";
    r.pid = startSharing(r, p, "--share=" + socketIn(r), service);
    ASSERT_TRUE(fileShows(service, "Local logging file", 10000)) << readFile(service);
    Session c[3];
    for (Session &one : c) {
        startAttached(one, socketIn(r));
        ASSERT_TRUE(attached(one)) << one.console;
    }
    kill(c[2].pid, SIGSTOP);
    std::string sent;
    char line[32];
    for (int i = 0; i < 100000; ++i) sent.append(line, snprintf(line, sizeof line, "line %06d\r\n", i));
    // In parts that the watching consoles see whole before the next, so that
    // on a busy machine only the stopped one falls behind.
    for (int part = 0; part < 10; ++part) {
        std::thread instrument([&] { writeAll(p.master, sent.substr(part * 130000, 130000)); });
        const std::string last = sent.substr(part * 130000 + 129987, 13);
        bool shown[2] = {};
        for (double end = nowSeconds() + 60; !(shown[0] && shown[1]) && nowSeconds() < end;)
            for (int k = 0; k < 2; ++k) shown[k] = shown[k] || waitFor(c[k], last, 10);
        instrument.join();
        ASSERT_TRUE(shown[0] && shown[1]) << part;
    }
    ASSERT_TRUE(fileShows(service, "line 099999\r\n", 10000));

    kill(c[2].pid, SIGCONT);
    const std::string told = " lines not shown here while this console was behind; the log has them\n";
    ASSERT_TRUE(waitFor(c[2], told, 20000)) << c[2].console.substr(0, 300);
    size_t at = c[2].console.rfind("\n> ", c[2].console.find(told)) + 3;
    long missed = std::stol(c[2].console.substr(at));
    std::string seen = c[2].console.substr(c[2].console.find('\n') + 1, at - 3 - c[2].console.find('\n'));
    size_t got = seen.size() / 13;
    EXPECT_EQ(got + (size_t)missed, 100000u) << got << " " << missed;
    for (size_t k = 0, last = 0; k < got; ++k) {  // whole lines, in order, no gap torn
        unsigned n = 0;
        ASSERT_EQ(sscanf(seen.c_str() + k * 13, "line %06u\r\n", &n), 1) << seen.substr(k * 13, 30);
        ASSERT_EQ(seen.compare(k * 13, 13, sent, n * 13, 13), 0) << k;
        ASSERT_TRUE(k == 0 || n > last) << k;
        last = n;
    }
    EXPECT_EQ(seen.size() % 13, 0u) << seen.substr(0, 40) << "|" << seen.substr(seen.size() - 40);
    EXPECT_TRUE(fileShows(service, "> " + me() + " caught up; " + std::to_string(missed) +
                                       " lines were not shown there while it was behind\n", 5000));

    kill(r.pid, SIGTERM);  // stopped with consoles attached
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(waitEnd(c[k], 10000), 0) << c[k].console.substr(c[k].console.size() - 200);
        EXPECT_NE(c[k].console.find(std::string("> the kestrode on ") + p.name + " stopped\n"),
                  std::string::npos);
        if (k < 2) {
            EXPECT_EQ(count(c[k].console, "line "), 100000u);
        }
    }
    waitStatus(r.pid, 10000);
    r.pid = -1;
    std::string logged;
    for (size_t at = 0; at < sent.size(); at += 13) logged += sent.substr(at, 12) + "\r\n";
    std::string log = readFile(logPath(r));
    size_t diff = std::mismatch(log.begin(), log.end(), logged.begin(), logged.end()).first - log.begin();
    EXPECT_EQ(diff, logged.size()) << log.size() << " " << log.substr(diff > 30 ? diff - 30 : 0, 60);
    // The service's own output differs only by its lines about the consoles.
    std::string shown, text = readFile(service);
    for (size_t at = 0, lf; at < text.size(); at = lf + 1) {
        lf = std::min(text.find('\n', at), text.size() - 1);
        if (text.compare(at, 2, "> ") != 0) shown.append(text, at, lf + 1 - at);
    }
    EXPECT_TRUE(shown.ends_with(sent));
    EXPECT_EQ(count(text, "\n> "), 5u) << text.substr(0, 1000);  // the way in, three attached, one caught up
    closePty(p);
}

// A taken place is refused; a dead socket of ours is taken over, made for
// the device's group only, and removed when the port hangs up.
TEST(Share, APlaceThatIsTakenIsRefused) {
    enum Place { FILE, LIVE, MISSING, DEAD };
    const std::pair<Place, const char *> cases[] = {
        {FILE, "> %s exists and is no socket of a stopped kestrode, not replaced\n"},
        {LIVE, "> %s exists and is no socket of a stopped kestrode, not replaced\n"},
        {MISSING, "> cannot share on %s: No such file or directory\n"},
        {DEAD, nullptr},
    };
    for (const auto &[what, text] : cases) {
        Session r, c;
        Pty p = openPty();
        const std::string path = r.dir + (what == MISSING ? "/none/k.sock" : "/k.sock");
        int held = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{AF_UNIX, {}};
        snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        if (what == FILE) writeFile(path, "keep");
        if (what == LIVE || what == DEAD) {
            EXPECT_EQ(bind(held, (sockaddr *)&a, sizeof a), 0);
        }
        if (what == LIVE) listen(held, 1);
        r.pid = startSharing(r, p, "--share=" + path, r.dir + "/service.out");
        if (text) {
            EXPECT_EQ(waitExit(r.pid, 10000), 255) << what;
            r.pid = -1;
            char line[512];
            snprintf(line, sizeof line, text, path.c_str());
            EXPECT_NE(readFile(r.dir + "/service.out").find(line), std::string::npos) << line;
            EXPECT_EQ(readFile(path), what == FILE ? "keep" : "");
        } else {  // once it listens in the dead one's place
            ASSERT_TRUE(fileShows(r.dir + "/service.out", "Local logging file", 10000));
            startAttached(c, path);
            ASSERT_TRUE(attached(c)) << c.console;
            struct stat st, dev;
            EXPECT_TRUE(stat(path.c_str(), &st) == 0 && stat(p.name, &dev) == 0);
            EXPECT_EQ(st.st_mode & 07777, 0660u);
            EXPECT_EQ(st.st_gid, dev.st_gid);
            close(p.master);  // the instrument's line hangs up
            p.master = -1;
            EXPECT_EQ(waitEnd(c, 10000), 1);
            EXPECT_TRUE(c.console.ends_with(std::string("> the kestrode on ") + p.name +
                                            " lost its serial device\n")) << c.console;
            EXPECT_EQ(waitExit(r.pid, 10000), 0);
            r.pid = -1;
            EXPECT_FALSE(std::filesystem::exists(path));
        }
        close(held);
        closePty(p);
    }
}

namespace {
gid_t extraGroup = (gid_t)-1;  // the console's one group besides nobody's, or none
void becomeNobody() {
    int n = extraGroup == (gid_t)-1 ? 0 : 1;
    if (setgroups(n, &extraGroup) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(126);
}
}  // namespace

// As root: the port's own place, the way there from a direct open, and the
// socket's rights, which let in the device's group only, as the port's do.
TEST(Share, TheWellKnownPlaceTheWayThereAndWhoMayAttach) {
    if (geteuid() != 0) GTEST_SKIP() << "only root makes /run/kestrode and attaches as others";
    bool hadFolder = std::filesystem::exists("/run/kestrode");
    Session r;
    Pty p = openPty();
    std::string name = std::string(p.name).substr(5);  // pts/4 gives pts_4
    name[3] = '_';
    const std::string path = "/run/kestrode/" + name + ".sock";
    r.pid = startSharing(r, p, "--share", r.dir + "/service.out");
    ASSERT_TRUE(fileShows(r.dir + "/service.out", "Local logging file", 10000));
    ASSERT_TRUE(std::filesystem::is_socket(path));
    int direct = startSharing(r, p, "--log-time", r.dir + "/direct.out");
    EXPECT_EQ(waitExit(direct, 10000), 255);
    EXPECT_NE(readFile(r.dir + "/direct.out").find("> a kestrode shares it: kestrode --attach " + name + "\n"),
              std::string::npos) << readFile(r.dir + "/direct.out");

    chmod(r.dir.c_str(), 0755);  // a copy other users may run (the clone may be out of reach)
    const std::string program = r.dir + "/kestrode";
    std::filesystem::copy_file(KESTRODE_BIN, program);
    chmod(program.c_str(), 0755);
    struct stat dev;
    ASSERT_EQ(stat(p.name, &dev), 0);
#ifndef KESTRODE_EMULATOR
    // A user who may open the port but not attach is told the group instead.
    chmod(p.name, 0666);
    extraGroup = (gid_t)-1;
    int outsider = startSharing(r, p, "--log-time", r.dir + "/outsider.out", {}, program.c_str(),
                                becomeNobody);
    EXPECT_EQ(waitExit(outsider, 10000), 255);
    EXPECT_NE(readFile(r.dir + "/outsider.out")
                  .find("> a kestrode shares it, but this user may not attach: " + joinHint(path)),
              std::string::npos) << readFile(r.dir + "/outsider.out");
    chmod(p.name, dev.st_mode & 07777);
#endif
    const std::string attachedLine = "> attached to the kestrode on ";
    const std::string join = joinHint(path);
    const struct {
        std::string target;
        bool nobody;
        gid_t group;
        std::string line;
        int status;
    } cases[] = {
        {name, false, 0, attachedLine, 0},
        {p.name, false, 0, attachedLine, 0},
        {name, true, (gid_t)-1, "> not allowed to attach to " + path + ": " + join, 77},
        {name, true, dev.st_gid, attachedLine, 0},
    };
    for (const auto &k : cases) {
#ifdef KESTRODE_EMULATOR
        if (k.nobody) continue;  // the emulator's wrapper lies in the clone
#endif
        Session c;
        extraGroup = k.group;
        startAttached(c, k.target, k.nobody ? becomeNobody : nullptr, program.c_str());
        EXPECT_TRUE(waitFor(c, k.line, 10000)) << k.target << "\n" << c.console;
        if (k.line == attachedLine) type(c, "@exit");
        EXPECT_EQ(waitEnd(c, 10000), k.status) << c.console;
    }
#ifndef KESTRODE_EMULATOR
    EXPECT_TRUE(fileShows(r.dir + "/service.out", "> nobody (uid 65534) attached\n", 5000) ||
                !getpwuid(65534));
#endif
    kill(r.pid, SIGTERM);
    waitStatus(r.pid, 10000);
    r.pid = -1;
    EXPECT_FALSE(std::filesystem::exists(path));
    if (!hadFolder) rmdir("/run/kestrode");
    closePty(p);
}

namespace {
// The service as an account outside the port's group, in a mount namespace
// of its own whose /run is empty but for the lock folder and, when `place`
// is set, that folder at /run/kestrode.
std::string place;
void outsideTheGroup() {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0 || mkdir("/run/lock", 0) != 0 ||
        chmod("/run/lock", 01777) != 0)
        _exit(125);
    if (!place.empty() && (mkdir("/run/kestrode", 0755) != 0 ||
                           mount(place.c_str(), "/run/kestrode", nullptr, MS_BIND, nullptr) != 0))
        _exit(125);
    becomeNobody();
}

bool mountsAllowed() {
    int pid = fork();
    if (pid == 0) {
        place.clear();
        outsideTheGroup();
        _exit(0);
    }
    return waitExit(pid, 10000) == 0;
}
}  // namespace

// The logging service asks for the well-known place; an account outside
// the port's group (a udev rule's own group, an ACL) cannot give the socket
// that group, and the place may be missing or closed: sharing is off, said
// in one line, and every reading is logged. A chosen place is still a
// start-up error.
TEST(Share, SharingThatCannotBeHadLeavesTheLogOn) {
#ifdef KESTRODE_EMULATOR
    GTEST_SKIP() << "the emulator's wrapper lies in the clone";
#endif
    if (geteuid() != 0) GTEST_SKIP() << "only root runs the service as an account outside the port's group";
    extraGroup = (gid_t)-1;
    std::string why;
    const std::string program = copyForOthers(KESTRODE_BIN, becomeNobody, why);
    ASSERT_FALSE(program.empty()) << why;
    enum Place { CHOSEN, MISSING, CLOSED, OPEN };
    const std::pair<Place, const char *> cases[] = {
        {CHOSEN, "> %s cannot be given the group %s of %s: Operation not permitted\n"},
        {MISSING, "> sharing is off: cannot share on %s: No such file or directory\n"},
        {CLOSED, "> sharing is off: cannot share on %s: Permission denied\n"},
        {OPEN, "> sharing is off: %s cannot be given the group %s of %s: Operation not permitted\n"},
    };
    const bool mounts = mountsAllowed();
    for (const auto &[what, text] : cases) {
        if (what != CHOSEN && !mounts) break;
        Session r;
        Pty p = openPty();
        struct stat dev;
        ASSERT_EQ(stat(p.name, &dev), 0);
        ASSERT_EQ(chmod(p.name, 0666), 0);  // the account may open it, but is not in its group
        group *g = getgrgid(dev.st_gid);
        const std::string groupName = g ? g->gr_name : std::to_string(dev.st_gid);
        chmod(r.dir.c_str(), 0755);
        ASSERT_EQ(chown(r.host.c_str(), 65534, 65534), 0);
        const std::string folder = r.dir + "/place";
        mkdir(folder.c_str(), 0755);
        if (what == CHOSEN || what == OPEN) {
            ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
        }
        place = what == MISSING ? "" : folder;
        std::string name = std::string(p.name).substr(5);  // pts/4 gives pts_4
        name[3] = '_';
        const std::string path = what == CHOSEN ? folder + "/k.sock" : "/run/kestrode/" + name + ".sock";
        const std::string service = r.dir + "/service.out";
        r.pid = startSharing(r, p, what == CHOSEN ? "--share=" + path : "--share", service, {},
                             program.c_str(), what == CHOSEN ? becomeNobody : outsideTheGroup);
        char line[512];
        snprintf(line, sizeof line, text, path.c_str(), groupName.c_str(), p.name);
        if (what == CHOSEN) {
            EXPECT_EQ(waitExit(r.pid, 10000), 255);
            r.pid = -1;
            EXPECT_NE(readFile(service).find(line), std::string::npos) << readFile(service);
            EXPECT_TRUE(listFolder(folder).empty());
            closePty(p);
            continue;
        }
        ASSERT_TRUE(fileShows(service, "Local logging file", 10000)) << what << readFile(service);
        std::string logged;
        for (int k = 0; k < 5; ++k) {
            writeAll(p.master, "PM2.5=" + std::to_string(k) + "\r\n");
            logged += "PM2.5=" + std::to_string(k) + "\r\r\n";
        }
        EXPECT_TRUE(fileShows(service, "PM2.5=4\r\n", 10000)) << readFile(service);
        EXPECT_EQ(readFile(logPath(r)), logged);
        int status = 0;
        EXPECT_EQ(waitpid(r.pid, &status, WNOHANG), 0);  // still logging
        kill(r.pid, SIGTERM);
        status = waitStatus(r.pid, 10000);
        r.pid = -1;
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
        const std::string out = readFile(service);
        EXPECT_EQ(out.find(std::string(" @@@ starting kestrode @@@ \n") + line + "Local logging file"),
                  0u) << what << "\n" << out;
        EXPECT_EQ(count(out, "\n>"), 1u) << out;
        EXPECT_TRUE(listFolder(folder).empty());  // nothing made, or removed again
        closePty(p);
    }
    removeCopy(program);
    if (!mounts) GTEST_SKIP() << "no mount namespace of its own may be made here: only a chosen place tried";
}


// A console's transfers run with its user's rights in its own folder (as
// root: the console is nobody); the service opens no path for it, keeps
// everyone else's lines out meanwhile, and tells the instrument "@FIN" when
// the console dies half-way. The instrument's own offer still lands in the
// service's folder.
TEST(Share, TransfersRunAsTheAttachedUserInItsFolder) {
    Session r, c, walled, watcher;
    const std::string down = randomBytes(3000, 5), up = randomBytes(2000, 6);
    writeFile(r.store + "/down.bin", down);
    writeFile(r.store + "/other.bin", up);
    writeFile(r.store + "/big.bin", randomBytes(96 * 1024, 7));
    startSession(r, {"--period", "0.2", "--baud", "115200"}, {"--share=" + socketIn(r)});
    ASSERT_TRUE(waitForBoot(r)) << r.console;
    bool other = geteuid() == 0;
#ifdef KESTRODE_EMULATOR
    other = false;  // the emulator's wrapper lies in the clone
#endif
    const bool walls = other || geteuid() != 0;  // root itself may read and write anything
    std::string program = KESTRODE_BIN, why;
    uid_t uid = geteuid();
    if (other) {
        struct stat sock;
        ASSERT_EQ(stat(socketIn(r).c_str(), &sock), 0);
        extraGroup = sock.st_gid;  // the port's group
        program = copyForOthers(KESTRODE_BIN, becomeNobody, why);
        ASSERT_FALSE(program.empty()) << why;
        uid = 65534;
        for (const std::string &d : {r.dir, c.dir, walled.dir}) chmod(d.c_str(), 0755);
        ASSERT_EQ(chown(c.host.c_str(), uid, 65534), 0);
    } else {
        chmod(walled.host.c_str(), 0555);
    }
    writeFile(c.host + "/up.bin", up);
    writeFile(c.host + "/secret.bin", "not for the instrument");
    chmod((c.host + "/secret.bin").c_str(), other ? 0600 : 0);  // root's, or nobody's at all
    if (other) {
        ASSERT_EQ(chown((c.host + "/up.bin").c_str(), uid, 65534), 0);
    }
    startAttached(watcher, socketIn(r));
    startAttached(c, socketIn(r), other ? becomeNobody : nullptr, program.c_str());
    ASSERT_TRUE(attached(c) && attached(watcher)) << c.console;
    passwd *pw = getpwuid(uid);
    const std::string who = std::string(pw ? pw->pw_name : std::to_string(uid)) + " (uid " +
                            std::to_string(uid) + ")";

    if (walls) {
        type(c, "@upload secret.bin");
        EXPECT_TRUE(waitFor(c, "> cannot open a file (secret.bin)\n", 5000)) << c.console;
    }
    type(c, "@upload up.bin");
    EXPECT_TRUE(waitFor(c, "> uploading is successfully finished\n", 20000)) << c.console;
    EXPECT_TRUE(waitFor(watcher, "> a transfer runs: upload of up.bin by " + who + "\n", 5000));
    EXPECT_TRUE(waitFor(watcher, "> the transfer is over: upload of up.bin by " + who + "\n", 5000));
    type(c, "@download down.bin");
    EXPECT_TRUE(waitFor(c, "> File transfer is successful\n", 20000)) << c.console;
    EXPECT_TRUE(waitFor(r, "> the transfer is over: download of down.bin by " + who + "\n", 5000))
        << r.console;
    type(c, "#DOWNLOAD other.bin");  // not asked by the console: the instrument's own
    EXPECT_TRUE(waitFor(c, "> a transfer runs: download of other.bin by the kestrode\n", 20000));
    EXPECT_TRUE(waitFor(r, "> File transfer is successful\n", 20000)) << r.console;
    // Its "@FIN" may still be on its way: the port is free once the consoles hear so.
    EXPECT_TRUE(waitFor(c, "> the transfer is over: download of other.bin by the kestrode\n", 20000));
    EXPECT_TRUE(readFile(r.store + "/up.bin") == up);
    EXPECT_FALSE(std::filesystem::exists(r.store + "/secret.bin"));
    EXPECT_TRUE(readFile(c.host + "/down.bin") == down);
    struct stat st{};
    EXPECT_EQ(stat((c.host + "/down.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, uid);
    EXPECT_TRUE(readFile(r.host + "/other.bin") == up);
    EXPECT_FALSE(std::filesystem::exists(c.host + "/other.bin"));

    // Nobody else's line gets into it; the console dies half-way.
    type(c, "@download big.bin");
    ASSERT_TRUE(waitFor(watcher, "> a transfer runs: download of big.bin by " + who + "\n", 20000));
    type(watcher, "date");
    EXPECT_TRUE(waitFor(watcher, "> a transfer runs (download of big.bin by " + who + "), line not sent\n", 5000));
    ASSERT_TRUE(waitFor(c, "/98304", 10000)) << c.console;  // frames are coming
    EXPECT_EQ(field(status(socketIn(r)).second, "transfer"), "download of big.bin by " + who);
    kill(c.pid, SIGKILL);
    EXPECT_TRUE(waitFor(r, "> the transfer failed: download of big.bin by " + who +
                               ", its console went away; the instrument was told @FIN\n", 10000))
        << r.console;
    EXPECT_TRUE(waitFor(r, "# download of big.bin ended by the host after ", 10000)) << r.console;
    EXPECT_TRUE(waitFor(r, "PM2.5=", 5000) && waitFor(r, "PM2.5=", 5000)) << r.console;
    std::vector<std::string> left = listFolder(c.host);
    EXPECT_EQ(left.size(), 4u);  // down.bin, secret.bin, up.bin and the cut-off download's bytes
    EXPECT_TRUE(left[0].starts_with(".kestrode-")) << left[0];

    // A folder its user may not write: nothing anywhere.
    if (!walls) return;
    startAttached(walled, socketIn(r), other ? becomeNobody : nullptr, program.c_str());
    ASSERT_TRUE(attached(walled)) << walled.console;
    type(walled, "@download down.bin");
    EXPECT_TRUE(waitFor(walled, "> create a file, down.bin, failed\n", 20000)) << walled.console;
    EXPECT_TRUE(listFolder(walled.host).empty());
    std::vector<std::string> service = listFolder(r.host);
    EXPECT_EQ(service.size(), 2u);  // the log and the instrument's own offer
    EXPECT_EQ(exitSession(r), 0);
}


// A look leaves no trace in the journal; a raw client's first line is typed.
// The lines logged today are the day's file's, an earlier run's included.
TEST(Share, StatusReportsTheLogItsLinesAndTheConsoles) {
    Session r, a;
    writeFile(logPath(r), "an earlier run\r\nof today\r\n");
    startSession(r, {"--period", "0"}, {"--share=" + socketIn(r)});
    ASSERT_TRUE(waitForBoot(r)) << r.console;
    startAttached(a, socketIn(r));
    ASSERT_TRUE(attached(a)) << a.console;
    type(a, "date");
    ASSERT_TRUE(waitFor(a, " UTC\r\n", 5000)) << a.console;

    auto [code, report] = status(socketIn(r));
    EXPECT_EQ(code, 0) << report;
    const std::string log = std::filesystem::canonical(logPath(r));
    EXPECT_EQ(report.rfind("kestrode on /dev/pts/", 0), 0u) << report;
    EXPECT_EQ(field(report, "log file"), log);
    EXPECT_EQ(readFile(log).rfind("an earlier run\r\nof today\r\n", 0), 0u);
    EXPECT_EQ(field(report, "lines logged today"), std::to_string(count(readFile(log), "\n")));
    EXPECT_EQ(field(report, "lines not logged"), "0");
    EXPECT_NE(field(report, "instrument's last line").find(" s ago)"), std::string::npos);
    const std::string holder = me().substr(0, me().size() - 1) + ", holds the keyboard)";
    EXPECT_EQ(field(report, "attached"), holder);
    EXPECT_EQ(field(report, "transfer"), "none");

    int raw = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{AF_UNIX, {}};
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socketIn(r).c_str());
    ASSERT_EQ(connect(raw, (sockaddr *)&addr, sizeof addr), 0);
    writeAll(raw, "date\n");
    EXPECT_TRUE(waitFor(r, "typed while " + me() + " holds the keyboard, not sent: date\n", 5000));
    std::tie(code, report) = status(socketIn(r));
    EXPECT_EQ(field(report, "attached"), holder + ", " + me());
    close(raw);
    ASSERT_TRUE(waitFor(r, "> " + me() + " detached\n", 5000)) << r.console;
    EXPECT_EQ(count(r.console, " attached\n"), 2u) << r.console;  // a and the raw one only
    EXPECT_EQ(count(r.console, " detached\n"), 1u) << r.console;

    const std::string none = r.dir + "/none.sock";
    EXPECT_EQ(status(none), std::make_pair(69, "> no kestrode answers on " + none +
                                                    ": No such file or directory\n"));
}

// However long the instrument's line stays half shown (its prompt), every
// typed line has its record on the service's output, and the record is the
// whole line that went to the instrument, NUL and control bytes quoted.
TEST(Share, EveryTypedLineIsRecordedWhole) {
    Session r;
    Pty p = openPty();
    const std::string service = r.dir + "/service.out";
    r.pid = startSharing(r, p, "--share=" + socketIn(r), service);
    ASSERT_TRUE(fileShows(service, "Local logging file", 10000)) << readFile(service);
    writeAll(p.master, "$ ");
    ASSERT_TRUE(fileShows(service, "\n$ ", 10000)) << readFile(service);
    static const char odd[] = "status\0; erase all\x1b]0;x\x07\r";
    const std::string oddLine(odd, sizeof odd - 1);
    std::string paste = "@attach\n", sent;
    for (int k = 0; k < 60; ++k) {
        paste += "pasted line " + std::to_string(k) + "\n";
        sent += "pasted line " + std::to_string(k) + "\r\n";
    }
    paste += oddLine + "\n";
    sent += oddLine + "\r\n";
    int raw = rawClient(socketIn(r));
    ASSERT_GE(raw, 0);
    writeAll(raw, paste);  // one paste, read by the service at once
    EXPECT_EQ(readUntil(p.master, oddLine + "\r\n", 10000), sent);
    const std::string record = "> " + me() + " typed: status\\x00; erase all\\x1B]0;x\\x07\\x0D\n";
    EXPECT_TRUE(fileShows(service, record, 10000)) << readFile(service);
    const std::string out = readFile(service);
    EXPECT_EQ(count(out, " typed: "), 61u) << out;
    for (int k = 0; k < 60; ++k)
        EXPECT_NE(out.find("> " + me() + " typed: pasted line " + std::to_string(k) + "\n"),
                  std::string::npos) << k;
    EXPECT_EQ(out.find_first_of(std::string("\x1b\x07\0", 3)), std::string::npos);
    close(raw);
    kill(r.pid, SIGTERM);
    waitStatus(r.pid, 10000);
    r.pid = -1;
    closePty(p);
}

namespace {
std::string frame(char type, const std::string &payload) {
    return std::string{type, (char)(payload.size() >> 8), (char)(payload.size() & 0xFF)} + payload;
}

// A server that is no kestrode at `path`: each client in turn gets the next
// answer once it has sent its first line, and is then left to end.
std::thread serveAnswers(const std::string &path, std::vector<std::string> answers) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{AF_UNIX, {}};
    snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    EXPECT_EQ(bind(fd, (sockaddr *)&a, sizeof a), 0);
    listen(fd, 4);
    return std::thread([fd, answers] {
        for (const std::string &answer : answers) {
            int c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
            readUntil(c, "\n", 10000);
            writeAll(c, answer);
            char rest[256];
            while (read(c, rest, sizeof rest) > 0) {}  // until it has gone
            close(c);
        }
        close(fd);
    });
}
}  // namespace

// The service's words (notices, its last line) are shown by --status and
// --attach with their control bytes quoted, line ends as they are; the
// instrument's own bytes are shown raw, as in a direct session. A server
// that never finishes a first frame is given up after 15 s.
TEST(Share, AServersTextIsShownQuoted) {
    Session r, c, half;
    const std::string path = r.dir + "/fake.sock";
    const std::string report = "kestrode on \x1b]0;owned\x07/dev/x (process 1)\r\n";
    const std::string logFile = "log file: /tmp/a\rb\x1b[2J\n";
    const std::string greeting = "> attached to the kestrode on \x1b[31mX (process 1, logging since now)\n";
    const std::string output = "T=1 \x1b[1mbold\x1b[0m\r\n";
    std::thread server = serveAnswers(
        path, {frame('N', report) + frame('N', logFile) + frame('E', std::string(1, '\0')),
               frame('E', "\x01> no room \x1b[5m here\n"),
               frame('N', greeting) + frame('O', output) + frame('N', "# settime is successful\r\n") +
                   frame('E', std::string(1, '\0') + "> the kestrode on X stopped\x07, detached\n"),
               frame('N', greeting).substr(0, 2)});
    EXPECT_EQ(status(path), std::make_pair(0, std::string("kestrode on \\x1B]0;owned\\x07/dev/x (process 1)\r\n"
                                                          "log file: /tmp/a\\x0Db\\x1B[2J\n")));
    EXPECT_EQ(status(path), std::make_pair(69, std::string("> no room \\x1B[5m here\n")));
    startAttached(c, path);
    EXPECT_EQ(waitEnd(c, 10000), 0) << c.console;
    EXPECT_EQ(c.console, "> attached to the kestrode on \\x1B[31mX (process 1, logging since now)\n" + output +
                             "# settime is successful\r\n> the kestrode on X stopped\\x07, detached\n");
    startAttached(half, path);
    EXPECT_EQ(waitEnd(half, 30000), 69);  // nobody answers
    EXPECT_EQ(half.console, "> cannot attach to " + path + ": no greeting within 15 s\n");
    server.join();
}

// A stopped kestrode (SIGSTOP) is not waited for: with its queue full a
// look and a console give up after a few seconds, saying why.
TEST(Share, AStoppedServiceIsNotWaitedFor) {
    Session r, c;
    Pty p = openPty();
    const std::string service = r.dir + "/service.out";
    r.pid = startSharing(r, p, "--share=" + socketIn(r), service);
    ASSERT_TRUE(fileShows(service, "Local logging file", 10000)) << readFile(service);
    kill(r.pid, SIGSTOP);
    std::vector<int> waiting;  // the queue filled with connections nobody takes
    for (int k = 0; k < 1000; ++k) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un a{AF_UNIX, {}};
        snprintf(a.sun_path, sizeof a.sun_path, "%s", socketIn(r).c_str());
        if (connect(fd, (sockaddr *)&a, sizeof a) != 0) {
            EXPECT_EQ(errno, EAGAIN);
            close(fd);
            break;
        }
        waiting.push_back(fd);
    }
    ASSERT_LT(waiting.size(), 1000u);
    startAttached(c, socketIn(r));
    EXPECT_EQ(status(socketIn(r)), std::make_pair(69, "> no kestrode answers on " + socketIn(r) +
                                                           ": its queue stayed full for 5 s\n"));
    EXPECT_EQ(waitEnd(c, 20000), 69);
    EXPECT_EQ(c.console, "> cannot attach to " + socketIn(r) + ": its queue stayed full for 5 s\n");
    for (int fd : waiting) close(fd);
    kill(r.pid, SIGCONT);
    kill(r.pid, SIGTERM);
    waitStatus(r.pid, 10000);
    r.pid = -1;
    closePty(p);
}
