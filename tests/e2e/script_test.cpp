// A script's errands through a sharing kestrode (kestrode --attach PORT
// --send, --fetch, --put): no terminal, a bounded run, an exit status that
// says how it went, the instrument's answer alone on standard output.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "harness.h"
#include "support.h"

namespace {
struct Errand {
    int status;
    std::string out, err;
};

// kestrode ARGS as a script runs it: no input, both streams kept apart, in `cwd`.
Errand script(const std::vector<std::string> &args, const std::string &cwd,
           const char *program = KESTRODE_BIN, void (*beforeExec)() = nullptr) {
    std::vector<std::string> all;
#ifdef KESTRODE_EMULATOR
    all.push_back(KESTRODE_EMULATOR);
#endif
    all.push_back(program);
    all.insert(all.end(), args.begin(), args.end());
    std::vector<const char *> argv;
    for (const std::string &a : all) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return {-3, "", ""};
    int pid = spawn(argv.data(), SPAWN_CLOSED, out[1], err[1], cwd.c_str(), beforeExec);
    close(out[1]);
    close(err[1]);
    Errand r{waitExit(pid, 40000), "", ""};
    r.out = readQuiet(out[0], 50);
    r.err = readQuiet(err[0], 50);
    close(out[0]);
    close(err[0]);
    return r;
}

void becomeNobody() {
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(126);
}
}  // namespace

// Every errand and its status; each one is in the service's journal with
// its user, as a console's would be.
TEST(Script, AnErrandEndsWithAStatusThatSaysHowItWent) {
    Session r, holder, work;
    const std::string down = randomBytes(2000, 11), up = randomBytes(1500, 12);
    writeFile(r.store + "/down.bin", down);
    writeFile(work.host + "/up.bin", up);
    startSession(r, {"--period", "0.5"}, {"--share=" + socketIn(r)});
    ASSERT_TRUE(waitForBoot(r)) << r.console;
    EXPECT_NE(r.console.find("> consoles attach with: kestrode --attach " + socketIn(r) + "\n"),
              std::string::npos) << r.console;
    const std::string sock = socketIn(r), none = r.dir + "/none.sock";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out;  // in its standard output
        std::string err;  // in its standard error
    } cases[] = {
        {{"--attach", sock, "--send", "date", "--until", " UTC"}, 0, " UTC", "> attached to"},
        {{"--attach", sock, "--send", "date", "--until", "never said", "--time", "1"}, 1, " UTC",
         "> never said did not come within 1 s\n"},
        {{"--attach", sock, "--fetch", "down.bin"}, 0, "", "> File transfer is successful\n"},
        {{"--attach", sock, "--put", "up.bin"}, 0, "", "> uploading is successfully finished\n"},
        {{"--attach", sock, "--put", "absent.bin"}, 1, "", "> cannot open a file (absent.bin)\n"},
        {{"--attach", none, "--send", "date"}, 69, "",
         "> cannot attach to " + none + ": No such file or directory\n"},
        {{"--attach", none, "--fetch", "down.bin"}, 69, "", "> cannot attach to "},
        {{"--send", "date"}, 255, "", "> option --send needs --attach\n"},
        {{"--attach", sock, "--until", "x"}, 255, "", "> option --until needs --send\n"},
        {{"--attach", sock, "--fetch", "a", "--put", "b"}, 255, "",
         "> options --send, --fetch, --put and --watch go alone\n"},
        {{"--attach", "--watch", sock, "--send", "date"}, 255, "",
         "> options --send, --fetch, --put and --watch go alone\n"},
        {{"--attach", sock, "--send", "date", "--time", "0"}, 255, "",
         "> option needs a number of seconds: --time\n"},
        {{"--attach", sock, "--send", "a\nb"}, 255, "",
         "> option --send takes one line of at most 256 bytes\n"},
        {{"--attach", sock, "--put", std::string(300, 'x')}, 255, "",
         "> option --put takes one line of at most 256 bytes\n"},
    };
    for (const auto &k : cases) {
        std::string shown;
        for (const std::string &a : k.args) shown += a + " ";
        Errand got = script(k.args, work.host);
        EXPECT_EQ(got.status, k.status) << shown << "\n" << got.out << "\n" << got.err;
        EXPECT_NE(got.out.find(k.out), std::string::npos) << shown << "\n" << got.out;
        EXPECT_NE(got.err.find(k.err), std::string::npos) << shown << "\n" << got.err;
        EXPECT_EQ(got.out.find("> "), std::string::npos) << shown << "\n" << got.out;
        EXPECT_EQ(got.out.find('\r'), std::string::npos) << shown << "\n" << got.out;
    }
    // The answer ends where the text it waited for ends.
    Errand answer = script({"--attach", sock, "--send", "date", "--until", " UTC"}, work.host);
    EXPECT_TRUE(answer.out.ends_with(" UTC\n")) << answer.out;  // and nothing after it
    EXPECT_TRUE(readFile(work.host + "/down.bin") == down);
    EXPECT_TRUE(readFile(r.store + "/up.bin") == up);
    EXPECT_TRUE(waitFor(r, "> " + me() + " typed: date\n", 5000)) << r.console;
    EXPECT_TRUE(waitFor(r, "> the transfer is over: download of down.bin by " + me() + "\n", 5000));
    EXPECT_TRUE(waitFor(r, "> the transfer is over: upload of up.bin by " + me() + "\n", 5000));

    // Another console holds the keyboard: the errand is refused at once.
    startAttached(holder, sock);
    ASSERT_TRUE(attached(holder)) << holder.console;
    type(holder, "date");
    ASSERT_TRUE(waitFor(holder, " UTC\r\n", 5000)) << holder.console;
    for (const std::string what : {"--send", "--fetch"}) {
        Errand busy = script({"--attach", sock, what, what == "--send" ? "date" : "down.bin"}, work.host);
        EXPECT_EQ(busy.status, 75) << busy.err;
        EXPECT_NE(busy.err.find("> the keyboard is held by " + me() + ", line not sent\n"),
                  std::string::npos) << busy.err;
    }
    EXPECT_EQ(exitSession(holder), 0);
    EXPECT_EQ(exitSession(r), 0);
}

// A user outside the socket's group is told which group lets it in, with a
// status of its own; so is a direct open by a user who may not attach.
TEST(Script, AUserWhoMayNotAttachIsToldTheGroup) {
    if (geteuid() != 0) GTEST_SKIP() << "only root runs a client as another user";
#ifdef KESTRODE_EMULATOR
    GTEST_SKIP() << "the emulator's wrapper lies in the clone";
#endif
    Session r;
    startSession(r, {"--period", "0"}, {"--share=" + socketIn(r)});
    ASSERT_TRUE(waitForBoot(r)) << r.console;
    std::string why;
    const std::string program = copyForOthers(KESTRODE_BIN, becomeNobody, why);
    ASSERT_FALSE(program.empty()) << why;
    chmod(r.dir.c_str(), 0755);
    const std::string hint = joinHint(socketIn(r));
    const std::string sock = socketIn(r);
    const struct {
        std::vector<std::string> args;
        std::string line;
        bool onErr;
    } cases[] = {
        {{"--attach", sock, "--send", "date"}, "> not allowed to attach to " + sock + ": " + hint, true},
        {{"--attach", sock, "--fetch", "x.bin"}, "> not allowed to attach to " + sock + ": " + hint, true},
        {{"--attach", sock}, "> not allowed to attach to " + sock + ": " + hint, false},
        {{"--status", sock}, "> not allowed to ask the kestrode on " + sock + ": " + hint, false},
    };
    for (const auto &k : cases) {
        Errand got = script(k.args, "/", program.c_str(), becomeNobody);
        EXPECT_EQ(got.status, 77) << k.args[0] << " " << got.err << got.out;
        EXPECT_EQ(k.onErr ? got.err : got.out, k.line) << k.args[0];
    }
    removeCopy(program);
    EXPECT_EQ(exitSession(r), 0);
}
