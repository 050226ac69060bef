// Upload and download dialogues, with a thread playing the instrument on the
// master side of a pseudo-terminal while the host side runs on the slave.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base64/base64.h"
#include "clocklog/clocklog.h"
#include "support.h"
#include "base/base.h"
#include "transfer/transfer.h"

namespace {

long nowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

std::string randomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto &c : s) c = static_cast<char>(gen() & 0xFF);
    return s;
}

unsigned char byteSum(const std::string &s) {
    unsigned char sum = 0;
    for (unsigned char c : s) sum = static_cast<unsigned char>(sum + c);
    return sum;
}

// The instrument's own framing, independent of the host's shared buffers.
std::string frameOf(const std::string &chunk) {
    unsigned char text[256];
    size_t n = 0;
    base64_encode(text, sizeof text, &n, reinterpret_cast<const unsigned char *>(chunk.data()),
                  chunk.size());
    char hex[3];
    snprintf(hex, sizeof hex, "%02X", byteSum(chunk));
    return "@DAT" + std::string(hex) + std::string(reinterpret_cast<char *>(text), n) + "\n";
}

// The payload of a frame line from the host; "?" when it does not check out.
std::string payloadOf(const std::string &line) {
    unsigned char out[256];
    size_t n = 0;
    if (line.compare(0, 4, "@DAT") != 0 || line.size() < 6) return "?";
    if (base64_decode(out, sizeof out, &n, reinterpret_cast<const unsigned char *>(line.data()) + 6,
                      line.size() - 6) != 0)
        return "?";
    std::string chunk(reinterpret_cast<char *>(out), n);
    char hex[3];
    snprintf(hex, sizeof hex, "%02X", byteSum(chunk));
    return line.compare(4, 2, hex) == 0 ? chunk : "?";
}

// The master side of the link, read line by line (CR or LF ends a line).
struct Instrument {
    int fd;
    std::string pending;

    // The next non-empty line the host sent, or "" after `ms` of silence.
    std::string line(int ms = 3000) {
        long end = nowMs() + ms;
        for (;;) {
            size_t start = pending.find_first_not_of("\r\n");
            if (start != std::string::npos) {
                size_t stop = pending.find_first_of("\r\n", start);
                if (stop != std::string::npos) {
                    std::string l = pending.substr(start, stop - start);
                    if (pending.compare(stop, 2, "\r\n") == 0) ++stop;
                    pending.erase(0, stop + 1);
                    return l;
                }
            }
            long left = end - nowMs();
            pollfd pfd{fd, POLLIN, 0};
            if (left <= 0 || poll(&pfd, 1, static_cast<int>(left)) <= 0) return "";
            char buf[4096];
            ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0) return "";
            pending.append(buf, n);
        }
    }
    void send(const std::string &s) { writeAll(fd, s); }
};

// What an instrument receiving an upload saw.
struct Received {
    std::vector<std::string> lines;  // header, frame payloads as "DAT:<n>", controls
    std::vector<std::string> chunks;  // decoded frames, resends included
};

// Receives an upload: answers the header with `consent` and the n-th frame
// (0-based, resends counted) with reply(n); stops at the host's "@FIN" or
// when the host falls silent.
Received receiveUpload(Instrument &ins, const std::string &consent,
                       const std::function<std::string(int)> &reply) {
    Received r;
    for (;;) {
        std::string l = ins.line();
        if (l.empty()) break;
        if (l.compare(0, 4, "@DAT") == 0) {
            r.chunks.push_back(payloadOf(l));
            r.lines.push_back("DAT:" + std::to_string(r.chunks.back().size()));
            ins.send(reply(static_cast<int>(r.chunks.size()) - 1));
            continue;
        }
        r.lines.push_back(l);
        if (l.compare(0, 7, "#UPLOAD") == 0) ins.send(consent);
        if (l == "@FIN") break;
    }
    return r;
}

// Sends a file as the instrument does after '@DOWNLOAD,...': waits for the
// host's answer, then sends each frame and waits for its reply. Returns the
// host's replies in order; stops early when the host answers "@FIN".
std::vector<std::string> sendDownload(Instrument &ins, const std::vector<std::string> &frames,
                                      const std::string &closing) {
    std::vector<std::string> replies;
    replies.push_back(ins.line());
    if (replies.back() != "@ACK") return replies;
    for (const std::string &f : frames) {
        ins.send(f);
        replies.push_back(ins.line());
        if (replies.back() != "@ACK" && replies.back() != "@NAK") return replies;
    }
    if (!closing.empty()) ins.send(closing);
    replies.push_back(ins.line());
    return replies;
}

std::vector<std::string> framesOf(const std::string &data, size_t chunk = FRAME_CHUNK) {
    std::vector<std::string> frames;
    for (size_t at = 0; at < data.size(); at += chunk) frames.push_back(frameOf(data.substr(at, chunk)));
    return frames;
}

std::string joined(const std::vector<std::string> &v) {
    std::string s;
    for (const auto &x : v) s += x + "|";
    return s;
}

// Waits until the console captured on descriptor 1 shows `text`; the host
// flushes it before every wait for the instrument.
bool consoleShows(const std::string &text, int ms = 3000) {
    long end = nowMs() + ms;
    for (;;) {
        std::string shown;
        char buf[4096];
        ssize_t n;
        while ((n = pread(1, buf, sizeof buf, (off_t)shown.size())) > 0) shown.append(buf, n);
        if (shown.find(text) != std::string::npos) return true;
        if (nowMs() >= end) return false;
        usleep(2000);
    }
}

class Transfer : public ::testing::Test {
protected:
    Pty pty;
    Instrument ins{-1, {}};
    std::string dir;

    void SetUp() override {
        char buf[64];
        while (takeHeldInput(buf, sizeof buf) > 0) {
        }
        pty = openPty();
        ASSERT_GE(pty.slave, 0);
        gTermFD = pty.slave;
        ins.fd = pty.master;
        dir = enterTempDir();
        umask(022);
    }
    void TearDown() override {
        leaveTempDir();
        closePty(pty);
        gTermFD = -1;
    }
    // Runs `host` with the console captured while `instrument` plays the
    // other side in a thread; returns the console text.
    std::string run(const std::function<void()> &host, const std::function<void()> &instrument) {
        captureStart();
        std::thread t(instrument);
        host();
        t.join();
        return captureStop();
    }
    // Whatever the host sends from now on, within a short quiet period.
    std::string moreFromHost() { return ins.pending + readQuiet(pty.master, 50); }
    std::string heldBytes() {
        std::string s;
        char buf[64];
        int n;
        while ((n = takeHeldInput(buf, sizeof buf)) > 0) s.append(buf, n);
        return s;
    }
};

// Where a received file may land, on both ways of resolving its folder: the
// kernel's openat2, and the component walk used where a seccomp filter (as
// systemd's DynamicUser brings) or an old kernel denies openat2.
int gOpenat2Calls = 0;
int deniedOpenat2(int, const char *, open_how *, size_t) {
    ++gOpenat2Calls;
    errno = ENOSYS;
    return -1;
}
enum class Resolve { Openat2, Walk };
class Confinement : public Transfer, public ::testing::WithParamInterface<Resolve> {
protected:
    void SetUp() override {
        Transfer::SetUp();
        gOpenat2Calls = 0;
        if (GetParam() == Resolve::Walk) gOpenat2 = deniedOpenat2;
        bool missing = syscall(SYS_openat2, -1, "", nullptr, 0) < 0 && errno == ENOSYS;
        if (GetParam() == Resolve::Openat2 && missing) {
            GTEST_SKIP() << "no openat2 here";
        }
    }
    void TearDown() override {
        if (GetParam() == Resolve::Walk) {
            EXPECT_GT(gOpenat2Calls, 0) << "the walk never ran";
        }
        gOpenat2 = real;
        Transfer::TearDown();
    }
    int (*real)(int, const char *, open_how *, size_t) = gOpenat2;
};
INSTANTIATE_TEST_SUITE_P(Resolve, Confinement, ::testing::Values(Resolve::Openat2, Resolve::Walk),
                         [](const auto &p) { return p.param == Resolve::Walk ? "Walk" : "Openat2"; });

const auto ackAll = [](int) { return std::string("@ACK\r\n"); };

}  // namespace

// ---------------------------------------------------------------- upload

TEST_F(Transfer, UploadSendsTheFileInAcknowledgedFrames) {
    std::string data = randomBytes(300, 1);
    writeFile("data.bin", data);
    Received r;
    int rc = -9;
    // The instrument closes after the last frame, knowing the size.
    std::string shown = run([&] { rc = cmdUpload("@upload data.bin"); }, [&] {
        r = receiveUpload(ins, "@ACK\r\n", [](int n) { return n < 2 ? "@ACK\r\n" : "@FIN\r\n"; });
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(joined(r.lines), "#UPLOAD data.bin 300|DAT:128|DAT:128|DAT:44|@FIN|");
    EXPECT_EQ(r.chunks[0] + r.chunks[1] + r.chunks[2], data);
    EXPECT_EQ(shown, "\n> upload started\n> uploading is successfully finished\n");
    EXPECT_EQ(moreFromHost(), "");

    // An instrument that acknowledges the last frame instead: the host ends
    // the dialogue at the end of the file, without a verdict.
    shown = run([&] { cmdUpload("@upload data.bin"); },
                [&] { r = receiveUpload(ins, "@ACK\r\n", ackAll); });
    EXPECT_EQ(joined(r.lines), "#UPLOAD data.bin 300|DAT:128|DAT:128|DAT:44|@FIN|");
    EXPECT_EQ(shown, "\n> upload started\n");

    // An empty file: a header with size 0, then straight to "@FIN".
    writeFile("empty.bin", "");
    shown = run([&] { cmdUpload("@upload empty.bin"); },
                [&] { r = receiveUpload(ins, "@ACK\r\n", ackAll); });
    EXPECT_EQ(joined(r.lines), "#UPLOAD empty.bin 0|@FIN|");
    EXPECT_EQ(shown, "\n> upload started\n");
}

TEST_F(Transfer, UploadSendsExactlyTheAnnouncedBytes) {
    std::string data = randomBytes(300, 40);
    Received r;
    // The file grows after its header went out: the growth stays at home.
    for (const char *closing : {"@ACK\r\n", "@FIN\r\n"}) {
        writeFile("grow.bin", data);
        std::string shown = run([&] { cmdUpload("@upload grow.bin"); }, [&] {
            std::string header = ins.line();
            std::ofstream("grow.bin", std::ios::app) << randomBytes(200, 41);
            ins.send("@ACK\r\n");
            r = receiveUpload(ins, "", [&](int n) { return n < 2 ? "@ACK\r\n" : closing; });
            r.lines.insert(r.lines.begin(), header);
        });
        EXPECT_EQ(joined(r.lines), "#UPLOAD grow.bin 300|DAT:128|DAT:128|DAT:44|@FIN|");
        ASSERT_EQ(r.chunks.size(), 3u);
        EXPECT_EQ(r.chunks[0] + r.chunks[1] + r.chunks[2], data);
        EXPECT_EQ(shown.find("not transfered"), std::string::npos) << shown;
    }
}

TEST_F(Transfer, UploadHeaderIsExactAndTheNameIsTheLastWord) {
    writeFile("b.txt", "xyz");
    std::string raw;
    run([&] { cmdUpload("@upload /tmp/a b.txt"); }, [&] {
        raw = readUntil(pty.master, "\r\n#UPLOAD b.txt 3\r\n", 2000);
        ins.send("@FIN\r\n");  // anything but "@ACK" ends it
    });
    EXPECT_EQ(raw, "\r\n#UPLOAD b.txt 3\r\n");
    EXPECT_EQ(moreFromHost(), "@FIN\r");

    EXPECT_EQ(cmdUpload("@upload"), -1);
    EXPECT_EQ(cmdUpload("@upload data.bin "), -1);
    std::string shown = run([&] { EXPECT_EQ(cmdUpload("@upload nofile.bin"), 0); }, [] {});
    EXPECT_EQ(shown, "> cannot open a file (nofile.bin)\n");
    EXPECT_EQ(moreFromHost(), "");
}

TEST_F(Transfer, UploadResendsRejectedFramesUpToSixTimes) {
    // 10 chunks; the second is rejected once, so the tenth sending carries
    // the ninth chunk and the progress shows 9 chunks' worth.
    std::string data = randomBytes(1280, 2);
    writeFile("ten.bin", data);
    Received r;
    std::string shown = run([&] { cmdUpload("@upload ten.bin"); }, [&] {
        r = receiveUpload(ins, "@ACK\r\n", [](int n) {
            return n == 1 ? "@NAK\r\n" : n == 10 ? "@FIN\r\n" : "@ACK\r\n";
        });
    });
    ASSERT_EQ(r.chunks.size(), 11u);
    EXPECT_EQ(r.chunks[1], r.chunks[2]);
    std::string sent = r.chunks[0];
    for (size_t i = 2; i < r.chunks.size(); ++i) sent += r.chunks[i];
    EXPECT_EQ(sent, data);
    EXPECT_EQ(shown,
              "\n> upload started\n> NACK received\n\r1152/1280> uploading is successfully "
              "finished\n");

    // Six rejections of one chunk: six sendings, then the host gives up.
    writeFile("small.bin", randomBytes(300, 3));
    shown = run([&] { cmdUpload("@upload small.bin"); }, [&] {
        r = receiveUpload(ins, "@ACK\r\n", [](int n) { return n == 0 ? "@ACK\r\n" : "@NAK\r\n"; });
    });
    EXPECT_EQ(joined(r.lines),
              "#UPLOAD small.bin 300|DAT:128|DAT:128|DAT:128|DAT:128|DAT:128|DAT:128|DAT:128|@FIN|");
    for (size_t i = 2; i < r.chunks.size(); ++i) EXPECT_EQ(r.chunks[i], r.chunks[1]);
    std::string nacks;
    for (int i = 0; i < 6; ++i) nacks += "> NACK received\n";
    EXPECT_EQ(shown, "\n> upload started\n" + nacks);
}

TEST_F(Transfer, UploadWithoutReplyToTheHeaderSendsNoFin) {
    writeFile("data.bin", "abc");
    std::string header;
    std::string shown = run([&] { cmdUpload("@upload data.bin"); },
                            [&] { header = ins.line(); });  // and then silence
    EXPECT_EQ(header, "#UPLOAD data.bin 3");
    EXPECT_EQ(shown, "> no response at the device\n");
    EXPECT_EQ(moreFromHost(), "");
}

TEST_F(Transfer, UploadEndsEveryFailedDialogueWithFin) {
    writeFile("data.bin", randomBytes(300, 4));
    Received r;
    // Refused at the header.
    std::string shown = run([&] { cmdUpload("@upload data.bin"); },
                            [&] { r = receiveUpload(ins, "@NAK busy\r\n", ackAll); });
    EXPECT_EQ(joined(r.lines), "#UPLOAD data.bin 300|@FIN|");
    EXPECT_EQ(shown, "\n> unexpected message (@NAK busy)\n");
    // A strange reply to a frame.
    shown = run([&] { cmdUpload("@upload data.bin"); },
                [&] { r = receiveUpload(ins, "@ACK\r\n", [](int) { return "ERR 5\r\n"; }); });
    EXPECT_EQ(joined(r.lines), "#UPLOAD data.bin 300|DAT:128|@FIN|");
    EXPECT_EQ(shown, "\n> upload started\n> unexpected message (ERR 5) was received, finished it\n");
    // The instrument closes early.
    shown = run([&] { cmdUpload("@upload data.bin"); },
                [&] { r = receiveUpload(ins, "@ACK\r\n", [](int) { return "@FIN\r\n"; }); });
    EXPECT_EQ(joined(r.lines), "#UPLOAD data.bin 300|DAT:128|@FIN|");
    EXPECT_EQ(shown, "\n> upload started\n> received FIN, while all data are not transfered\n");
    // The link fails while waiting for a reply.
    shown = run([&] { cmdUpload("@upload data.bin"); }, [&] {
        ins.line();
        ins.send("@ACK\r\n");
        ins.line();
        close(pty.master);
        pty.master = -1;
    });
    EXPECT_EQ(shown, "\n> upload started\n> terminal read failed\n> read message failed\n");
}

TEST_F(Transfer, UploadRefusesWhatItCannotSend) {
    mkdir("folder", 0755);
    mkfifo("pipe", 0644);
    std::string longName(50, 'n');  // the header would pass 63 characters
    writeFile(longName, "abc");
    writeFile("huge.bin", "");
    ASSERT_EQ(truncate("huge.bin", 2147483648LL), 0);  // sparse, one past the range
    std::string shown = run(
        [&] {
            EXPECT_EQ(cmdUpload("@upload folder"), 0);
            EXPECT_EQ(cmdUpload("@upload pipe"), 0);
            EXPECT_EQ(cmdUpload(("@upload " + longName).c_str()), 0);
            EXPECT_EQ(cmdUpload("@upload huge.bin"), 0);
        },
        [] {});
    EXPECT_EQ(shown,
              "> not a regular file, nothing sent (folder)\n"
              "> not a regular file, nothing sent (pipe)\n"
              "> file name too long for the upload header, nothing sent (" +
                  longName +
                  ")\n"
                  "> file is larger than 2147483647 bytes, nothing sent (huge.bin)\n");
    EXPECT_EQ(moreFromHost(), "");
    // 49 characters still fit: the header is exactly 63.
    std::string fits(49, 'f');
    writeFile(fits, "abc");
    std::string raw;
    run([&] { cmdUpload(("@upload " + fits).c_str()); }, [&] {
        raw = readUntil(pty.master, " 3\r\n", 2000);
        ins.send("@FIN\r\n");
    });
    EXPECT_EQ(raw, "\r\n#UPLOAD " + fits + " 3\r\n");
}

TEST_F(Transfer, UploadReportsAReadErrorBeforeItsFin) {
    // A regular file of the kernel's that reports a size but fails to read.
    const char *path = "/sys/class/net/lo/speed";
    char probe[8];
    int fd = open(path, O_RDONLY);
    bool fails = fd >= 0 && read(fd, probe, sizeof probe) < 0;
    if (fd >= 0) close(fd);
    if (!fails) GTEST_SKIP() << path << " reads fine here";
    Received r;
    std::string shown = run([&] { cmdUpload("@upload /sys/class/net/lo/speed"); },
                            [&] { r = receiveUpload(ins, "@ACK\r\n", ackAll); });
    EXPECT_EQ(joined(r.lines), "#UPLOAD /sys/class/net/lo/speed 4096|@FIN|");
    EXPECT_EQ(shown,
              "\n> upload started\n> reading a file failed after 0 of 4096 bytes "
              "(/sys/class/net/lo/speed: Invalid argument)\n");
}

TEST_F(Transfer, UploadCopesWithRemarksAndRepliesInOneBurst) {
    std::string data = randomBytes(200, 5);
    writeFile("data.bin", data);
    Received r;
    std::string shown = run([&] { cmdUpload("@upload data.bin"); }, [&] {
        r = receiveUpload(ins, "# free 1200 KB\r\n@ACK\r\n", [](int n) {
            return n == 0 ? "# stored\r\n@ACK\r\n# checking\r\n" : "\r\n@FIN\r\n";
        });
    });
    EXPECT_EQ(joined(r.lines), "#UPLOAD data.bin 200|DAT:128|DAT:72|@FIN|");
    EXPECT_EQ(shown,
              "# free 1200 KB\n\n> upload started\n# stored\n# checking\n"
              "> uploading is successfully finished\n");
    // A "@FIN" that follows the last "@ACK" in the same burst is not lost:
    // it is still there for the terminal once the upload is over.
    writeFile("one.bin", "abc");
    run([&] { cmdUpload("@upload one.bin"); },
        [&] { r = receiveUpload(ins, "@ACK\r\n", [](int) { return "@ACK\r\n@FIN\r\n"; }); });
    EXPECT_EQ(joined(r.lines), "#UPLOAD one.bin 3|DAT:3|@FIN|");
    EXPECT_EQ(heldBytes(), "@FIN\r\n");

    // Anything may follow "@ACK", even more than the reply buffer holds.
    std::string chatty = "@ACK ready, flash sector 12 erased and verified, " + std::string(40, '.');
    shown = run([&] { cmdUpload("@upload data.bin"); }, [&] {
        r = receiveUpload(ins, chatty + "\r\n", [&](int n) { return n < 1 ? chatty + "\r\n" : "@FIN\r\n"; });
    });
    EXPECT_EQ(joined(r.lines), "#UPLOAD data.bin 200|DAT:128|DAT:72|@FIN|");
    EXPECT_EQ(shown, "\n> upload started\n> uploading is successfully finished\n");
}

// -------------------------------------------------------------- download

TEST_F(Transfer, DownloadRequestNamesTheFirstWord) {
    EXPECT_EQ(cmdDownload("@download log.txt extra"), 0);
    EXPECT_EQ(readUntil(pty.master, "\n", 2000), "#DOWNLOAD log.txt\r\n");
    EXPECT_EQ(cmdDownload("@download   a.csv"), 0);
    EXPECT_EQ(readUntil(pty.master, "\n", 2000), "#DOWNLOAD a.csv\r\n");
    EXPECT_EQ(cmdDownload("@download"), -1);
    EXPECT_EQ(cmdDownload("@download   "), -1);
    std::string fits(51, 'f');  // "#DOWNLOAD " + 51 + CR LF = 63
    EXPECT_EQ(cmdDownload(("@download " + fits).c_str()), 0);
    EXPECT_EQ(readUntil(pty.master, "\n", 2000), "#DOWNLOAD " + fits + "\r\n");
    std::string shown = run([&] { cmdDownload(("@download " + fits + "g").c_str()); }, [] {});
    EXPECT_EQ(shown, "> file name too long for the download request, nothing sent (" + fits + "g)\n");
    EXPECT_EQ(moreFromHost(), "");
}

TEST_P(Confinement, DownloadReceivesTheAnnouncedFile) {
    std::string data = randomBytes(300, 6);
    std::vector<std::string> replies;
    std::string shown = run([&] { receiveDownload("@DOWNLOAD,data.csv,300\r"); }, [&] {
        replies = sendDownload(ins, framesOf(data), "@FIN OK\r\n");
    });
    EXPECT_EQ(joined(replies), "@ACK|@ACK|@ACK|@ACK|@FIN|");
    EXPECT_EQ(readFile("data.csv"), data);
    struct stat st;
    ASSERT_EQ(stat("data.csv", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(shown, "> receiving a file\n\n> File transfer is successful\n#  OK\n");

    // Into a sub-folder, over an existing file, with progress every 10 frames.
    mkdir("sub", 0755);
    writeFile("sub/data.log", std::string(5000, 'x'));
    chmod("sub/data.log", 06600);
    data = randomBytes(1300, 7);
    shown = run([&] { receiveDownload("@DOWNLOAD,sub/data.log, 1300"); }, [&] {
        replies = sendDownload(ins, framesOf(data), "@FIN\r\n");
    });
    EXPECT_EQ(replies.size(), 13u);
    EXPECT_EQ(replies.back(), "@FIN");
    EXPECT_EQ(readFile("sub/data.log"), data);
    ASSERT_EQ(stat("sub/data.log", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);  // the replaced file's permissions, no set-id bits
    EXPECT_EQ(shown, "> receiving a file\n\r1280/1300\n> File transfer is successful\n");
}

TEST_F(Transfer, DownloadAsksForAResendOnChecksumMismatch) {
    std::string data = randomBytes(200, 8);
    std::vector<std::string> frames = framesOf(data);
    std::string bad = frames[1];
    bad[5] = bad[5] == '0' ? '1' : '0';
    frames.insert(frames.begin() + 1, bad);
    std::vector<std::string> replies;
    std::string shown = run([&] { receiveDownload("@DOWNLOAD,d.bin,200"); },
                            [&] { replies = sendDownload(ins, frames, "@FIN\r\n"); });
    EXPECT_EQ(joined(replies), "@ACK|@ACK|@NAK|@ACK|@FIN|");
    EXPECT_EQ(readFile("d.bin"), data);
    EXPECT_EQ(shown, "> receiving a file\n\n> File transfer is successful\n");
}

TEST_P(Confinement, DownloadRefusesBadRequestsAndCreatesNothing) {
    // Names that would land outside the working directory, made unique so
    // that their absence afterwards means something.
    std::string absolute = dir + "/abs.csv";
    std::string escape = "../" + dir.substr(dir.rfind('/') + 1) + "-up.csv";
    struct Case {
        std::string line;
        std::string notice;
    } cases[] = {
        {"@DOWNLOAD,data.csv", "> download file name is null\n"},
        {"@DOWNLOAD,data.csv,0", "> download file size is zero\n"},
        {"@DOWNLOAD,data.csv,abc\r", "> download file size is zero\n"},
        {"@DOWNLOAD,data.csv,-5\r", "> download file size is out of range (-5)\n"},
        {"@DOWNLOAD,data.csv,2147483648", "> download file size is out of range (2147483648)\n"},
        {"@DOWNLOAD,data.csv,99999999999999999999",
         "> download file size is out of range (99999999999999999999)\n"},
        {"@DOWNLOAD," + absolute + ",10",
         "> download file name is unsafe, refused (" + absolute + ")\n"},
        {"@DOWNLOAD,,10", "> download file name is unsafe, refused ()\n"},
        {"@DOWNLOAD," + escape + ",10", "> download file name is unsafe, refused (" + escape + ")\n"},
        {"@DOWNLOAD,sub/../../x.csv,10",
         "> download file name is unsafe, refused (sub/../../x.csv)\n"},
        {"@DOWNLOAD,sub/..,10", "> download file name is unsafe, refused (sub/..)\n"},
        {"@DOWNLOAD,nodir/x.csv,10", "> create a file, nodir/x.csv, failed\n"},
        // Nobody reads this pipe: opening it must not hang the terminal.
        {"@DOWNLOAD,pipe.fifo,10", "> download target is not a regular file, refused (pipe.fifo)\n"},
        {"@DOWNLOAD,sub,10", "> download target is not a regular file, refused (sub)\n"},
        // Links out of the directory, as a folder and as the file itself.
        {"@DOWNLOAD,out/x.csv,10", "> download file name is unsafe, refused (out/x.csv)\n"},
        {"@DOWNLOAD,sub/out/x.csv,10", "> download file name is unsafe, refused (sub/out/x.csv)\n"},
        {"@DOWNLOAD,link.csv,10", "> download file name is unsafe, refused (link.csv)\n"},
        // Dot-files, control bytes, and the log under its own or another name.
        {"@DOWNLOAD,.profile,10", "> download file name is unsafe, refused (.profile)\n"},
        {"@DOWNLOAD,sub/.ssh/x,10", "> download file name is unsafe, refused (sub/.ssh/x)\n"},
        {"@DOWNLOAD,a\x1b[2Jb,10", "> download file name is unsafe, refused (a\\x1B[2Jb)\n"},
        {"@DOWNLOAD,tab\tname,10", "> download file name is unsafe, refused (tab\\x09name)\n"},
        {"@DOWNLOAD,del\x7f,10", "> download file name is unsafe, refused (del\\x7F)\n"},
        {"@DOWNLOAD,sub/,10", "> download file name is unsafe, refused (sub/)\n"},
        {"@DOWNLOAD,kestrode-20261206.log,10",
         "> download target is the open log file, refused (kestrode-20261206.log)\n"},
        {"@DOWNLOAD,sub/copy.log,10", "> download target is the open log file, refused (sub/copy.log)\n"},
    };
    mkdir("sub", 0755);
    mkfifo("pipe.fifo", 0644);
    char outside[] = "/tmp/kestrode-outside-XXXXXX";
    ASSERT_NE(mkdtemp(outside), nullptr);
    std::string target = std::string(outside) + "/target.csv";
    writeFile(target, "original");
    ASSERT_EQ(symlink(outside, "out"), 0);
    ASSERT_EQ(symlink(outside, "sub/out"), 0);
    ASSERT_EQ(symlink(target.c_str(), "link.csv"), 0);
    setenv("TZ", "UTC", 1);
    gClock = [](time_t *) -> time_t { return 1796530696; };  // 2026-12-06
    captureStart();
    startLog();
    captureStop();
    ASSERT_EQ(link("kestrode-20261206.log", "sub/copy.log"), 0);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        std::string reply;
        std::string shown =
            run([&] { receiveDownload(c.line.c_str()); }, [&] { reply = ins.line(); });
        EXPECT_EQ(reply, "@FIN");
        EXPECT_EQ(shown, c.notice);
        EXPECT_EQ(moreFromHost(), "");
    }
    stopLog();
    gClock = time;
    EXPECT_NE(access("data.csv", F_OK), 0);
    EXPECT_NE(access(absolute.c_str(), F_OK), 0);
    EXPECT_NE(access(escape.c_str(), F_OK), 0);
    EXPECT_EQ(readFile(target), "original");
    EXPECT_NE(access((std::string(outside) + "/x.csv").c_str(), F_OK), 0);
    EXPECT_EQ(readFile("kestrode-20261206.log"), "");
    EXPECT_EQ(filesIn("."), "kestrode-20261206.log link.csv out pipe.fifo sub ");
    EXPECT_EQ(filesIn("sub"), "copy.log out ");
    unlink(target.c_str());
    rmdir(outside);
}

TEST_F(Transfer, DownloadSaysWhenTheFileIsIncomplete) {
    std::string data = randomBytes(300, 9);
    std::vector<std::string> frames = framesOf(data);
    std::vector<std::string> replies;
    // The instrument closes after one frame.
    std::string shown = run([&] { receiveDownload("@DOWNLOAD,early.bin,300"); }, [&] {
        replies = sendDownload(ins, {frames[0]}, "@FIN\r\n");
    });
    EXPECT_EQ(joined(replies), "@ACK|@ACK|@FIN|");
    EXPECT_EQ(readFile("early.bin"), data.substr(0, 128));
    EXPECT_EQ(shown,
              "> receiving a file\ndownloading is early finished\n"
              "> download incomplete (early.bin): 128 of 300 bytes received, kept in early.bin\n");

    // A blank inside the Base64 text.
    std::string blank = frames[1];
    blank.insert(20, " ");
    shown = run([&] { receiveDownload("@DOWNLOAD,blank.bin,300"); }, [&] {
        replies = sendDownload(ins, {frames[0], blank}, "");
    });
    EXPECT_EQ(joined(replies), "@ACK|@ACK|@FIN|");
    blank.pop_back();  // shown without its line end
    EXPECT_EQ(shown,
              "> receiving a file\n> decodeDataFrame error\n> unknown message was arrived (" +
                  blank + ")\n> download incomplete (blank.bin): 128 of 300 bytes received, kept in blank.bin\n");

    // The link fails in the middle.
    shown = run([&] { receiveDownload("@DOWNLOAD,cut.bin,300"); }, [&] {
        ins.line();
        ins.send(frames[0]);
        ins.line();
        close(pty.master);
        pty.master = -1;
    });
    EXPECT_EQ(readFile("cut.bin"), data.substr(0, 128));
    EXPECT_EQ(shown,
              "> receiving a file\n> terminal read failed\n\n"
              "> download incomplete (cut.bin): 128 of 300 bytes received, kept in cut.bin\n");
}

TEST_F(Transfer, DownloadStopsAtAFailedWrite) {
    // Files may grow to 200 bytes: the second frame is written in part.
    signal(SIGXFSZ, SIG_IGN);
    rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit small{200, old.rlim_max};
    std::string data = randomBytes(300, 10);
    std::vector<std::string> replies;
    std::string shown = run([&] {
        setrlimit(RLIMIT_FSIZE, &small);
        receiveDownload("@DOWNLOAD,full.bin,300");
        setrlimit(RLIMIT_FSIZE, &old);
    }, [&] { replies = sendDownload(ins, framesOf(data), "@FIN\r\n"); });
    EXPECT_EQ(joined(replies), "@ACK|@ACK|@FIN|");  // no "@ACK" for the lost frame
    EXPECT_EQ(shown,
              "> receiving a file\n> writing the received file failed (full.bin: File too "
              "large)\n\n> download incomplete (full.bin): 128 of 300 bytes received, kept in "
              "full.bin\n");
    EXPECT_EQ(readFile("full.bin"), data.substr(0, 128));  // nothing of the torn frame
}

TEST_F(Transfer, DownloadCopesWithRemarksAndLinesInOneBurst) {
    std::string data = randomBytes(250, 11);
    std::vector<std::string> frames = framesOf(data);
    std::vector<std::string> replies;
    std::string shown = run([&] { receiveDownload("@DOWNLOAD,burst.bin,250"); }, [&] {
        replies.push_back(ins.line());
        ins.send("# sending\r\nnoise\r\n" + frames[0]);
        replies.push_back(ins.line());
        ins.send(frames[1] + "# done\r\n@FIN bye\r\nT=23.5\r\n");
        replies.push_back(ins.line());
        replies.push_back(ins.line());
    });
    EXPECT_EQ(joined(replies), "@ACK|@ACK|@ACK|@FIN|");
    EXPECT_EQ(readFile("burst.bin"), data);
    EXPECT_EQ(shown,
              "> receiving a file\n# sending\n\n> File transfer is successful\n# done\n#  bye\n");
    EXPECT_EQ(heldBytes(), "T=23.5\r\n");  // left for the terminal to show
}

TEST_F(Transfer, DownloadReplacesAFileOnlyOnceAllOfItArrived) {
    std::string old = randomBytes(500, 20), fresh = randomBytes(300, 21);
    std::vector<std::string> frames = framesOf(fresh);
    writeFile("keep.csv", old);
    writeFile("keep.csv.partial", "stale");
    // Ends early: the good copy stays whole, what arrived lies beside it.
    std::vector<std::string> replies;
    std::string shown = run([&] { receiveDownload("@DOWNLOAD,keep.csv,300"); },
                            [&] { replies = sendDownload(ins, {frames[0]}, "@FIN\r\n"); });
    EXPECT_EQ(readFile("keep.csv"), old);
    EXPECT_EQ(readFile("keep.csv.partial"), fresh.substr(0, 128));
    EXPECT_NE(shown.find("128 of 300 bytes received, kept in keep.csv.partial\n"),
              std::string::npos)
        << shown;
    // Nothing there before: what arrived stays under the name itself.
    shown = run([&] { receiveDownload("@DOWNLOAD,new.csv,300"); },
                [&] { replies = sendDownload(ins, {frames[0]}, "@FIN\r\n"); });
    EXPECT_EQ(readFile("new.csv"), fresh.substr(0, 128));
    EXPECT_NE(shown.find("128 of 300 bytes received, kept in new.csv\n"), std::string::npos)
        << shown;
    // Complete: replaced in one step.
    shown = run([&] { receiveDownload("@DOWNLOAD,keep.csv,300"); },
                [&] { replies = sendDownload(ins, frames, "@FIN\r\n"); });
    EXPECT_EQ(readFile("keep.csv"), fresh);
    EXPECT_EQ(filesIn("."), "keep.csv keep.csv.partial new.csv ");  // no temporary file
}

TEST_F(Transfer, DownloadIsUnderItsNameBeforeItIsReportedOrClosed) {
    std::string old = randomBytes(500, 30), data = randomBytes(300, 31);
    writeFile("stored.csv", old);
    std::string atSuccess, atFin;
    std::vector<std::string> replies;
    std::string shown = run([&] { receiveDownload("@DOWNLOAD,stored.csv,300"); }, [&] {
        replies.push_back(ins.line());
        for (const std::string &f : framesOf(data)) {
            ins.send(f);
            replies.push_back(ins.line());
        }
        if (consoleShows("> File transfer is successful\n")) atSuccess = readFile("stored.csv");
        ins.send("@FIN\r\n");
        replies.push_back(ins.line());
        atFin = readFile("stored.csv");
    });
    EXPECT_EQ(joined(replies), "@ACK|@ACK|@ACK|@ACK|@FIN|");
    EXPECT_TRUE(atSuccess == data);
    EXPECT_TRUE(atFin == data);
    EXPECT_EQ(shown, "> receiving a file\n\n> File transfer is successful\n");
    EXPECT_EQ(filesIn("."), "stored.csv ");
}

TEST_F(Transfer, FailedDownloadReplacesNothingAndNamesWhereItsBytesAre) {
    std::string old = randomBytes(500, 33), data = randomBytes(300, 34);
    std::vector<std::string> frames = framesOf(data);
    std::vector<std::string> replies;
    // NAME.partial is a folder and NAME.partial.1 an earlier file: both stay.
    writeFile("keep.csv", old);
    mkdir("keep.csv.partial", 0755);
    writeFile("keep.csv.partial.1", "earlier");
    std::string shown = run([&] { receiveDownload("@DOWNLOAD,keep.csv,300"); },
                            [&] { replies = sendDownload(ins, {frames[0]}, "@FIN\r\n"); });
    EXPECT_EQ(joined(replies), "@ACK|@ACK|@FIN|");
    EXPECT_NE(shown.find("> download incomplete (keep.csv): 128 of 300 bytes received, kept in "
                         "keep.csv.partial.2\n"),
              std::string::npos)
        << shown;
    EXPECT_EQ(readFile("keep.csv"), old);
    EXPECT_EQ(readFile("keep.csv.partial.1"), "earlier");
    EXPECT_EQ(readFile("keep.csv.partial.2"), data.substr(0, 128));
    EXPECT_EQ(filesIn("keep.csv.partial"), "");

    // The user saved a file of that name while the download ran.
    mkdir("sub", 0755);
    shown = run([&] { receiveDownload("@DOWNLOAD,sub/made.csv,300"); }, [&] {
        replies.assign(1, ins.line());
        ins.send(frames[0]);
        replies.push_back(ins.line());
        writeFile("sub/made.csv", "the user's");
        ins.send("@FIN\r\n");
        replies.push_back(ins.line());
    });
    EXPECT_EQ(joined(replies), "@ACK|@ACK|@FIN|");
    EXPECT_NE(shown.find("128 of 300 bytes received, kept in sub/made.csv.partial\n"),
              std::string::npos)
        << shown;
    EXPECT_EQ(readFile("sub/made.csv"), "the user's");
    EXPECT_EQ(readFile("sub/made.csv.partial"), data.substr(0, 128));
    EXPECT_EQ(filesIn("sub"), "made.csv made.csv.partial ");
}

// Logs of any day in the log folder, numbered or not, and a log another
// kestrode writes elsewhere (under its flock) are never replaced; names
// merely like a log's are files like any other.
TEST_F(Transfer, DownloadNeverReplacesALog) {
    mkdir("logs", 0755);
    mkdir("other", 0755);
    ASSERT_TRUE(setLogDir("logs"));
    writeFile("logs/kestrode-20261201.log", "an earlier day\r\n");
    writeFile("other/kestrode-20261206.log", "another's\r\n");
    int held = open("other/kestrode-20261206.log", O_WRONLY | O_CLOEXEC), another = -1;
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    std::string data = randomBytes(300, 40);
    for (const auto &c : std::initializer_list<std::pair<std::string, bool>>{
             {"logs/kestrode-20261201.log", true}, {"logs/kestrode-20261206(2).log", true},
             {"other/kestrode-20261206.log", true}, {"kestrode-20261201.log", false},
             {"logs/kestrode-2026.log", false}, {"logs/kestrode-20261206(x).log", false},
             {"other/kestrode-20261207.log", false}}) {
        const std::string &name = c.first;
        bool refused = c.second;
        SCOPED_TRACE(name);
        std::string before = readFile(name);
        std::vector<std::string> replies;
        bool late = name == "other/kestrode-20261207.log";
        std::string shown = run([&] { receiveDownload(("@DOWNLOAD," + name + ",300").c_str()); }, [&] {
            replies.assign(1, ins.line());
            for (const std::string &f : framesOf(data)) {
                if (replies.back() != "@ACK") break;
                // Another kestrode takes the free name up as its log meanwhile.
                if (late && replies.size() == 2) {
                    another = open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
                    flock(another, LOCK_EX);
                }
                ins.send(f);
                replies.push_back(ins.line());
            }
            if (replies.back() != "@ACK") return;
            ins.send("@FIN\r\n");
            replies.push_back(ins.line());
        });
        if (refused) {
            EXPECT_EQ(shown, "> download target is named as a log, refused (" + name + ")\n");
        }
        EXPECT_EQ(joined(replies), refused ? "@FIN|" : "@ACK|@ACK|@ACK|@ACK|@FIN|");
        EXPECT_TRUE(readFile(name) == (refused || late ? before : data));
    }
    EXPECT_EQ(filesIn("logs"), "kestrode-2026.log kestrode-20261201.log kestrode-20261206(x).log ");
    EXPECT_TRUE(readFile("other/kestrode-20261207.log.partial") == data);
    close(another);
    close(held);
    close(gLogDirFD);
    gLogDirFD = AT_FDCWD;
}

TEST_F(Transfer, ReadOnlyFolderLeavesTheBytesInTheTemporaryFileItNames) {
    // Root writes into any folder: the host side runs as nobody in a child.
    mkdir("ro", 0755);
    if (geteuid() == 0 && chown("ro", 65534, 65534) != 0) GTEST_SKIP() << "no user nobody";
    std::string data = randomBytes(300, 35);
    std::vector<std::string> frames = framesOf(data);
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        bool ready = chdir("ro") == 0 && (geteuid() != 0 || (setgroups(0, nullptr) == 0 &&
                                                             setgid(65534) == 0 &&
                                                             setuid(65534) == 0));
        if (!ready) _exit(77);
        dup2(out[1], 1);
        receiveDownload("@DOWNLOAD,r.bin,300");
        fflush(stdout);
        _exit(0);
    }
    close(out[1]);
    std::vector<std::string> replies{ins.line(5000)};
    if (replies[0].empty() && waitpid(pid, nullptr, 0) == pid) GTEST_SKIP() << "cannot drop root";
    for (size_t i = 0; i < frames.size(); ++i) {
        if (i == 1) chmod("ro", 0555);  // complete data, nowhere to rename it
        ins.send(frames[i]);
        replies.push_back(ins.line());
    }
    ins.send("@FIN\r\n");
    replies.push_back(ins.line());
    std::string shown = readQuiet(out[0], 2000);
    close(out[0]);
    int status = -1;
    waitpid(pid, &status, 0);
    chmod("ro", 0755);
    std::string temp = ".kestrode-" + std::to_string(pid) + ".part";
    EXPECT_EQ(joined(replies), "@ACK|@ACK|@ACK|@ACK|@FIN|");
    EXPECT_EQ(shown,
              "> receiving a file\n\n> storing the received file failed (r.bin: Permission "
              "denied)\n> download incomplete (r.bin): 300 of 300 bytes received, kept in " +
                  temp + "\n");
    EXPECT_EQ(filesIn("ro"), temp + " ");
    EXPECT_TRUE(readFile("ro/" + temp) == data);
    EXPECT_EQ(status, 0);
}

TEST_F(Transfer, DownloadEndsWhenTheInstrumentIsStuck) {
    std::string data = randomBytes(300, 22);
    std::string bad = framesOf(data)[0];
    bad[5] = bad[5] == '0' ? '1' : '0';
    // Every frame rejected: ten "@NAK", then the host closes.
    std::vector<std::string> replies;
    std::string shown = run([&] { receiveDownload("@DOWNLOAD,nak.bin,300"); }, [&] {
        replies = sendDownload(ins, std::vector<std::string>(12, bad), "");
    });
    std::string tenNaks;
    for (int i = 0; i < 10; ++i) tenNaks += "@NAK|";
    EXPECT_EQ(joined(replies), "@ACK|" + tenNaks + "@FIN|");
    EXPECT_NE(shown.find("> download ended: 10 frames rejected in a row\n"), std::string::npos);
    tcflush(pty.slave, TCIFLUSH);  // the frame the instrument sent before it saw "@FIN"
    heldBytes();
    // Frames that check out but bring nothing are rejected too: between good
    // ones they cost nothing, in a row they end the download.
    std::vector<std::string> some = framesOf(data);
    some.insert(some.begin() + 1, 3, "@DAT00\n");
    shown = run([&] { receiveDownload("@DOWNLOAD,empty.bin,300"); },
                [&] { replies = sendDownload(ins, some, "@FIN\r\n"); });
    EXPECT_EQ(joined(replies), "@ACK|@ACK|@NAK|@NAK|@NAK|@ACK|@ACK|@FIN|");
    EXPECT_TRUE(readFile("empty.bin") == data);
    shown = run([&] { receiveDownload("@DOWNLOAD,stuck.bin,300"); }, [&] {
        replies = sendDownload(ins, std::vector<std::string>(12, "@DAT00\r\n"), "");
    });
    EXPECT_EQ(joined(replies), "@ACK|" + tenNaks + "@FIN|");
    EXPECT_NE(shown.find("> download ended: 10 frames rejected in a row\n"), std::string::npos);
    tcflush(pty.slave, TCIFLUSH);
    heldBytes();
    // A run of lines that are no frame; a good frame between resets the count.
    std::string junk;
    for (int i = 0; i < 9; ++i) junk += "T=23." + std::to_string(i) + "\r\n";
    shown = run([&] { receiveDownload("@DOWNLOAD,junk.bin,300"); }, [&] {
        replies.assign(1, ins.line());
        ins.send(junk + framesOf(data)[0]);
        replies.push_back(ins.line());
        ins.send(junk + "# remarks are shown, not counted\r\n" + junk);
        replies.push_back(ins.line());
    });
    EXPECT_EQ(joined(replies), "@ACK|@ACK|@FIN|");
    EXPECT_NE(shown.find("> download ended: 10 lines that are no frame in a row\n"),
              std::string::npos)
        << shown;
    EXPECT_EQ(readFile("junk.bin"), data.substr(0, 128));
}

TEST_F(Transfer, DownloadNeverWritesMoreThanAnnounced) {
    std::string data = randomBytes(128, 23);
    std::vector<std::string> replies;
    std::string shown = run([&] { receiveDownload("@DOWNLOAD,ten.bin,10"); },
                            [&] { replies = sendDownload(ins, framesOf(data), "@FIN\r\n"); });
    EXPECT_EQ(joined(replies), "@ACK|@ACK|@FIN|");
    EXPECT_EQ(readFile("ten.bin"), data.substr(0, 10));
    EXPECT_EQ(shown,
              "> receiving a file\n\n> File transfer is successful\n"
              "> 118 bytes beyond the announced size were not written\n");
}

// ------------------------------------------------------------ round trip

TEST_F(Transfer, OneMebibyteSurvivesTheRoundTrip) {
    std::string data = randomBytes(1 << 20, 12);
    writeFile("original.bin", data);
    Received r;
    run([&] { cmdUpload("@upload original.bin"); }, [&] {
        r = receiveUpload(ins, "@ACK\r\n", [](int n) {
            return n == 8191 ? "@FIN\r\n" : "@ACK\r\n";
        });
    });
    std::string onInstrument;
    for (const auto &c : r.chunks) onInstrument += c;
    ASSERT_EQ(r.chunks.size(), 8192u);
    ASSERT_EQ(onInstrument.size(), data.size());
    EXPECT_TRUE(onInstrument == data);

    std::vector<std::string> replies;
    std::string shown = run([&] { receiveDownload("@DOWNLOAD,back.bin,1048576"); }, [&] {
        replies = sendDownload(ins, framesOf(onInstrument), "@FIN\r\n");
    });
    EXPECT_EQ(replies.size(), 8194u);
    EXPECT_EQ(replies.back(), "@FIN");
    std::string back = readFile("back.bin");
    EXPECT_EQ(back.size(), data.size());
    EXPECT_TRUE(back == data);
    const std::string verdict = "\r1048320/1048576\n> File transfer is successful\n";
    ASSERT_GE(shown.size(), verdict.size());
    EXPECT_EQ(shown.substr(shown.size() - verdict.size()), verdict);
}
