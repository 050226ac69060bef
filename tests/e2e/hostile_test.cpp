// Clients of the shared socket that misbehave, by mistake or on purpose:
// none may cost the log a reading, damage one or stop the service
// answering. The instrument is the test itself, on a pseudo-terminal.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "harness.h"
#include "support.h"

namespace {
// The instrument: "T=N" readings every `period` seconds (paced byte by byte
// at 9600 baud when `slow`), and the upload dialogue: "@ACK" to the header
// and to each frame, "@FIN" with the next reading in the same write to the
// last; "@ACK" every half second while `nag`.
struct Instrument {
    Pty p;
    double period = 0.2;
    bool slow = false;
    std::atomic<bool> nag{false};
    std::atomic<bool> stop{false};
    std::atomic<int> frames{0};   // of the upload running
    std::atomic<int> sentCount{0};
    std::atomic<int> fins{0};     // the host's "@FIN" lines
    std::mutex lock;
    std::string readings;         // every reading as sent
    std::thread thread;
};

void send(Instrument &in, const std::string &text) {
    if (!in.slow) return writeAll(in.p.master, text);
    for (char c : text) {
        writeAll(in.p.master, std::string(1, c));
        usleep(1000);  // 9600 baud
    }
}

std::string reading(Instrument &in) {
    std::string r = "T=" + std::to_string(in.sentCount++) + " PM2.5=" + std::to_string(in.sentCount * 7 % 100) + "\r\n";
    std::lock_guard<std::mutex> g(in.lock);
    in.readings += r;
    return r;
}

void answer(Instrument &in, const std::string &line, int &expected) {
    if (line == "@FIN") ++in.fins;
    if (line.rfind("#UPLOAD ", 0) == 0) {
        expected = (std::stoi(line.substr(line.rfind(' ') + 1)) + 127) / 128;
        in.frames = 0;
        send(in, "@ACK\r\n");
    } else if (line.rfind("@DAT", 0) == 0 && expected > 0) {
        if (++in.frames < expected) return send(in, "@ACK\r\n");
        expected = -1;
        send(in, "@FIN\r\n" + reading(in));  // a reading in the same read as the "@FIN"
    }
}

void play(Instrument &in) {
    double next = nowSeconds() + in.period, nagAt = nowSeconds();
    std::string line;
    int expected = -1;
    while (!in.stop) {
        pollfd p{in.p.master, POLLIN, 0};
        char buf[4096];
        ssize_t n = poll(&p, 1, 10) > 0 ? read(in.p.master, buf, sizeof buf) : 0;
        for (ssize_t k = 0; k < n; ++k) {
            if (buf[k] != '\r' && buf[k] != '\n') {
                if (line.size() < 256) line += buf[k];
            } else if (!line.empty()) {
                answer(in, line, expected);
                line.clear();
            }
        }
        if (nowSeconds() >= next) {
            send(in, reading(in));
            next += in.period;
        }
        if (in.nag && nowSeconds() >= nagAt) {
            send(in, "@ACK\r\n");
            nagAt = nowSeconds() + 0.5;
        }
    }
}

// A service with --share on the instrument's pseudo-terminal, once it
// listens (it has set the port up by then), and the instrument talking.
void startService(Session &r, Instrument &in) {
    in.p = openPty();
    r.pid = startSharing(r, in.p, "--share=" + socketIn(r), r.dir + "/service.out");
    ASSERT_TRUE(fileShows(r.dir + "/service.out", "Local logging file", 10000));
    in.thread = std::thread(play, std::ref(in));
}

// The instrument falls silent; the service has logged all it said once
// its last reading is there.
std::string stopAndLog(Session &r, Instrument &in) {
    in.stop = true;
    in.thread.join();
    size_t at = in.readings.rfind("T=");
    std::string last = at == std::string::npos ? "" : in.readings.substr(at);
    if (!last.empty()) last.insert(last.size() - 1, "\r");  // the CR stays, then CR LF
    fileShows(logPath(r), last, 5000);
    return readFile(logPath(r));
}

// What the log must hold: every reading, its CR kept, then CR LF.
std::string logged(const std::string &readings) {
    std::string out;
    for (size_t at = 0, lf; (lf = readings.find('\n', at)) != std::string::npos; at = lf + 1)
        out += readings.substr(at, lf - at) + "\r\n";
    return out;
}

// Only the readings of a log that also holds other lines.
std::string readingsIn(const std::string &log) {
    std::string out;
    for (size_t at = 0, lf; (lf = log.find('\n', at)) != std::string::npos; at = lf + 1)
        if (log.compare(at, 2, "T=") == 0) out += log.substr(at, lf + 1 - at);
    return out;
}

// The log as expected, or where it first differs.
::testing::AssertionResult same(const std::string &log, const std::string &expected) {
    size_t at = std::mismatch(log.begin(), log.end(), expected.begin(), expected.end()).first - log.begin();
    if (log == expected) return ::testing::AssertionSuccess();
    size_t from = at > 40 ? at - 40 : 0;
    return ::testing::AssertionFailure() << "log of " << log.size() << " bytes, expected " << expected.size()
                                         << "; from byte " << from << ": [" << log.substr(from, 80)
                                         << "] instead of [" << expected.substr(from, 80) << "]";
}


// A raw client's transfer request: the pair's end that comes with the
// grant frame, or -1.
int askGrant(int sock, const std::string &line) {
    writeAll(sock, line + "\n");
    std::string frames;
    int granted = -1;
    for (double end = nowSeconds() + 10; nowSeconds() < end;) {
        pollfd p{sock, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char buf[4096];
        iovec part{buf, sizeof buf};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
        msghdr m{};
        m.msg_iov = &part;
        m.msg_iovlen = 1;
        m.msg_control = control;
        m.msg_controllen = sizeof control;
        ssize_t n = recvmsg(sock, &m, MSG_CMSG_CLOEXEC);
        if (n <= 0) return -1;
        if (cmsghdr *c = CMSG_FIRSTHDR(&m)) memcpy(&granted, CMSG_DATA(c), sizeof(int));
        frames.append(buf, n);
        for (size_t at = 0; at + 3 <= frames.size();) {
            size_t len = (unsigned char)frames[at + 1] << 8 | (unsigned char)frames[at + 2];
            if (frames[at] == 'G' && granted >= 0) return granted;
            at += 3 + len;
        }
    }
    return -1;
}
}  // namespace

// A client that passes its own connection as the transfer's way to the
// instrument, then leaves: the service takes no descriptor from a client,
// and logs every reading.
TEST(Hostile, ASelfLoopIsRefusedAndEveryReadingLogged) {
    Session r;
    Instrument in;
    startService(r, in);
    int sock = rawClient(socketIn(r));
    ASSERT_GE(sock, 0);
    writeAll(sock, "@attach\n");
    const char line[] = "@upload x\n";
    iovec part{(void *)line, sizeof line - 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr m{};
    m.msg_iov = &part;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    cmsghdr *c = CMSG_FIRSTHDR(&m);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(c), &sock, sizeof(int));
    ASSERT_EQ(sendmsg(sock, &m, 0), (ssize_t)sizeof line - 1);
    close(sock);
    sleep(5);
    auto [code, report] = status(socketIn(r));
    EXPECT_EQ(code, 0) << report;
    EXPECT_EQ(field(report, "transfer"), "none");
    std::string log = stopAndLog(r, in);
    EXPECT_GE(in.sentCount, 20);
    EXPECT_TRUE(same(log, logged(in.readings)));
    EXPECT_EQ(count(readFile(r.dir + "/service.out"), "typed during a transfer"), 0u);
}

// A console that keeps its upload alive with a CR every 20 s, never sending
// a frame: the readings go to the log all the while, and the transfer ends
// as failed once the instrument has answered nothing for its time limit.
TEST(Hostile, AnUploadThatNeverProgressesCostsNoReading) {
    Session r;
    Instrument in;
    in.period = 0.5;
    startService(r, in);
    int sock = rawClient(socketIn(r));
    ASSERT_GE(sock, 0);
    writeAll(sock, "@attach\n");
    int pair = askGrant(sock, "@upload x");
    ASSERT_GE(pair, 0);
    for (int i = 0; i < 3; ++i) {
        send(pair, "\r", 1, MSG_NOSIGNAL);
        sleep(20);
    }
    const std::string service = readFile(r.dir + "/service.out");
    EXPECT_NE(service.find("> the transfer failed: upload of x by " + me() +
                           ", it made no progress for 7 s; the instrument was told @FIN\n"),
              std::string::npos) << service;
    std::string log = stopAndLog(r, in);
    EXPECT_GE(in.sentCount, 100);
    EXPECT_TRUE(same(log, logged(in.readings)));
    close(pair);
    close(sock);
}

// A real console's upload: the reading that comes in the same read as the
// instrument's closing "@FIN" is logged; a console stopped half-way costs
// no reading either, and its transfer ends for it.
TEST(Hostile, UploadsLeaveEveryReadingInTheLog) {
    Session r, c;
    Instrument in;
    in.period = 0.1;
    startService(r, in);
    writeFile(c.host + "/up.bin", randomBytes(30000, 3));
    startAttached(c, socketIn(r));
    ASSERT_TRUE(attached(c)) << c.console;

    type(c, "@upload up.bin");
    EXPECT_TRUE(waitFor(c, "> uploading is successfully finished\n", 30000)) << c.console;
    in.frames = 0;
    type(c, "@upload up.bin");
    for (double end = nowSeconds() + 20; in.frames < 40 && nowSeconds() < end;) usleep(10000);
    kill(c.pid, SIGSTOP);
    const std::string failed = "> the transfer failed: upload of up.bin by " + me() +
                               ", it made no progress for 7 s; the instrument was told @FIN\n";
    EXPECT_TRUE(fileShows(r.dir + "/service.out", failed, 15000));
    kill(c.pid, SIGCONT);
    sleep(1);
    std::string log = stopAndLog(r, in);
    EXPECT_TRUE(same(log, logged(in.readings)));
    EXPECT_EQ(in.fins, 2);  // the console's own at its end, the service's for the stopped one
}

// A console that floods its end of the transfer: the port is read, the log
// written and looks answered all the while.
TEST(Hostile, AFloodingConsoleHoldsNothing) {
    Session r;
    Instrument in;
    startService(r, in);
    in.nag = true;  // replies keep the upload going
    int sock = rawClient(socketIn(r));
    ASSERT_GE(sock, 0);
    writeAll(sock, "@attach\n");
    int pair = askGrant(sock, "@upload x");
    ASSERT_GE(pair, 0);
    std::atomic<bool> flooding{true};
    std::thread flood([&] {
        std::string junk(65536, 'x');
        while (flooding) {
            pollfd p{pair, POLLOUT, 0};
            if (poll(&p, 1, 100) > 0) send(pair, junk.data(), junk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        }
    });
    for (int i = 0; i < 10; ++i) {
        sleep(2);
        auto [code, report] = status(socketIn(r));
        EXPECT_EQ(code, 0) << i << report;
        EXPECT_EQ(field(report, "transfer"), "upload of x by " + me()) << i;
    }
    flooding = false;
    flood.join();
    close(pair);
    in.nag = false;
    std::string log = stopAndLog(r, in);
    EXPECT_TRUE(same(readingsIn(log), logged(in.readings)));
    close(sock);
}

// @clear 1,000 times in 10 s from a console, on a 9600-baud instrument:
// what the instrument sent and the log had not yet taken stays whole.
TEST(Hostile, ClearFromAConsoleDamagesNoReading) {
    Session r;
    Instrument in;
    in.slow = true;
    in.period = 0.05;
    startService(r, in);
    int sock = rawClient(socketIn(r));
    ASSERT_GE(sock, 0);
    writeAll(sock, "@attach\n");
    std::thread drain([&] { readQuiet(sock, 2000); });
    for (int i = 0; i < 1000; ++i) {
        writeAll(sock, "@clear\n");
        usleep(10000);
    }
    std::string log = stopAndLog(r, in);
    drain.join();
    EXPECT_GE(in.sentCount, 50);
    EXPECT_TRUE(same(log, logged(in.readings)));
    close(sock);
}

// Connections that never say what they are hold no place for long, and
// never keep a console or a look out; one user's consoles take at most half
// the places.
TEST(Hostile, PlacesCannotBeHoarded) {
    Session r;
    Instrument in;
    in.period = 1;
    startService(r, in);
    std::vector<int> silent;
    for (int i = 0; i < 108; ++i) {
        int fd = rawClient(socketIn(r));
        if (fd >= 0) silent.push_back(fd);
    }
    EXPECT_GE(silent.size(), 8u);
    auto [code, report] = status(socketIn(r));
    EXPECT_EQ(code, 0) << report;
    EXPECT_NE(field(report, "connected, not yet attached"), "(missing)") << report;
    Session c[5];
    for (int k = 0; k < 4; ++k) {
        startAttached(c[k], socketIn(r));
        EXPECT_TRUE(attached(c[k])) << k << c[k].console;
    }
    startAttached(c[4], socketIn(r));
    std::string name = me().substr(0, me().find(" (uid"));
    EXPECT_TRUE(waitFor(c[4], "> the kestrode serves 4 consoles of " + name + " already, not attached\n", 10000))
        << c[4].console;
    EXPECT_EQ(waitEnd(c[4], 5000), 1);
    std::tie(code, report) = status(socketIn(r));
    EXPECT_EQ(code, 0) << report;
    EXPECT_EQ(count(field(report, "attached"), "(uid "), 4u) << report;
    for (int fd : silent) close(fd);
    stopAndLog(r, in);
}

// Reads the session's console for `ms`.
static void pumpFor(Session &r, int ms) { waitFor(r, std::string(1, '\0'), ms); }

// While the instrument sends a file of its own accord (18 s at 115200 baud),
// the service still answers every look, with the download's progress.
TEST(Hostile, LooksAreAnsweredDuringTheServicesOwnDownload) {
    Session r;
    writeFile(r.store + "/day.bin", randomBytes(150000, 9));
    startSession(r, {"--period", "0.5", "--baud", "115200"}, {"--share=" + socketIn(r)});
    ASSERT_TRUE(waitForBoot(r)) << r.console;
    type(r, "#DOWNLOAD day.bin");
    ASSERT_TRUE(waitFor(r, "> receiving a file\n", 10000)) << r.console;
    int looks = 0;
    for (; looks < 30 && r.console.find("> File transfer is successful") == std::string::npos; ++looks) {
        double asked = nowSeconds();
        auto [code, report] = status(socketIn(r));
        EXPECT_EQ(code, 0) << report;
        if (r.console.find("successful") == std::string::npos && code == 0) {
            EXPECT_EQ(field(report, "transfer").rfind("download of day.bin by the kestrode, ", 0), 0u)
                << report;
        }
        pumpFor(r, std::max(0, (int)((asked + 1 - nowSeconds()) * 1000)));  // one a second
    }
    EXPECT_GE(looks, 10);
    EXPECT_TRUE(waitFor(r, "> File transfer is successful\n", 30000)) << r.console;
    EXPECT_EQ(exitSession(r), 0);
}

// An instrument that measures while it stores a console's upload: the
// upload succeeds, and the log holds every reading it sent.
TEST(Hostile, AnUploadBesideReadingsLosesNone) {
    Session r, c;
    const std::string transcript = r.dir + "/sent";
    startSession(r, {"--period", "0.05", "--baud", "115200", "--measure-in-uploads", "--transcript",
                     transcript},
                 {"--share=" + socketIn(r)});
    ASSERT_TRUE(waitForBoot(r)) << r.console;
    writeFile(c.host + "/up.bin", randomBytes(20000, 4));
    startAttached(c, socketIn(r));
    ASSERT_TRUE(attached(c)) << c.console;
    type(c, "@upload up.bin");
    EXPECT_TRUE(waitFor(c, "> uploading is successfully finished\n", 30000)) << c.console;
    EXPECT_EQ(exitSession(r), 0);
    EXPECT_TRUE(readFile(r.store + "/up.bin") == readFile(c.host + "/up.bin"));
    std::string sent = readFile(transcript), expected;
    for (size_t at = 0, lf; (lf = sent.find('\n', at)) != std::string::npos; at = lf + 1)
        if (sent.compare(at, 6, "PM2.5=") == 0) expected += sent.substr(at, lf - at) + "\r\n";
    std::string log = readFile(logPath(r)), readings;
    for (size_t at = 0, lf; (lf = log.find('\n', at)) != std::string::npos; at = lf + 1)
        if (log.compare(at, 6, "PM2.5=") == 0) readings += log.substr(at, lf + 1 - at);
    EXPECT_GE(count(expected, "\n"), 20u);
    EXPECT_TRUE(same(readings, expected));
}
