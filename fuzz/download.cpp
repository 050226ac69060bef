// The download receiver against an instrument sending arbitrary lines. The
// first line of the input follows "@DOWNLOAD,"; the others are the lines the
// instrument sends after it, each ended with CR LF, then the line falls
// silent (end of input, so no wait lasts). The host's replies and the file
// it writes are compared with a model of the dialogue.
//
// Runs in a fresh temporary directory; "/" in the requested name becomes
// "_", so every file the receiver may create lies in that directory.
#include <dirent.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base64/base64.h"
#include "fuzz_check.h"
#include "base/base.h"
#include "transfer/transfer.h"

static char workDir[] = "/tmp/kestrode-fuzz-XXXXXX";

static void removeWorkDir() { rmdir(workDir); }

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (!mkdtemp(workDir) || chdir(workDir) != 0) abort();
    atexit(removeWorkDir);
    return 0;
}

static std::vector<std::string> filesHere() {
    std::vector<std::string> names;
    DIR *d = opendir(".");
    FUZZ_CHECK(d != nullptr);
    while (dirent *e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    closedir(d);
    return names;
}

static std::string readAll(int fd) {
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, n);
    return s;
}

// Payload of a frame line by the frame rules, or -1 (undecodable) / -2 (sum).
static int checkFrame(const std::string &line, std::string &payload) {
    size_t len = strnlen(line.c_str(), line.size());
    if (len < 6) return -1;
    unsigned char plain[FRAME_PLAIN_SIZE];
    size_t n = 0;
    if (base64_decode(plain, sizeof plain, &n, (const unsigned char *)line.c_str() + 6, len - 6) != 0)
        return -1;
    auto hex = [](unsigned char c) { return (unsigned char)(c <= '9' ? c - 48 : c - 55); };
    unsigned char sum = 0;
    for (size_t i = 0; i < n; ++i) sum = (unsigned char)(sum + plain[i]);
    unsigned char sent = (unsigned char)((hex(line[4]) << 4) | hex(line[5]));
    if (sum != sent) return -2;
    payload.assign((const char *)plain, n);
    return (int)n;
}

struct Dialogue {
    std::string replies;  // what the host sends after the request
    std::string file;     // what it writes
};

// The frame loop of an accepted download of `size` bytes.
static Dialogue model(long long size, const std::vector<std::string> &lines) {
    Dialogue d;
    d.replies = "@ACK\r";
    size_t next = 0;
    auto message = [&](std::string &out) {  // the next line that is not a remark
        while (next < lines.size()) {
            const std::string &l = lines[next++];
            if (l.c_str()[0] != '#') {
                out = l;
                return true;
            }
        }
        return false;
    };
    long long remaining = size;
    int rejected = 0, noFrame = 0;  // in a row; ten of either end the download
    std::string line;
    while (message(line)) {
        if (line.compare(0, 4, "@DAT") == 0) {
            noFrame = 0;
            std::string payload;
            int rc = checkFrame(line, payload);
            if (rc == -1) break;
            if (rc == -2 || rc == 0) {  // a frame that brings nothing is rejected too
                d.replies += "@NAK\r";
                if (++rejected == 10) break;
                continue;
            }
            rejected = 0;
            d.file += payload.substr(0, remaining);  // never more than announced
            d.replies += "@ACK\r";
            remaining -= (long long)payload.size() < remaining ? (long long)payload.size() : remaining;
            if (remaining == 0) {
                message(line);
                break;
            }
        } else if (line.compare(0, 4, "@FIN") == 0) {
            break;
        } else if (++noFrame == 10) {
            break;
        }
    }
    d.replies += "@FIN\r";
    return d;
}

// Lines split at CR and LF, as the reader returns them: no empty lines, and
// none longer than the frame buffer holds.
static std::vector<std::string> splitLines(const std::string &s) {
    std::vector<std::string> lines;
    std::string cur;
    for (char c : s) {
        if (c == '\r' || c == '\n') {
            if (!cur.empty()) lines.push_back(cur);
            cur.clear();
        } else if (cur.size() < FRAME_ENCODED_SIZE - 1) {
            cur += c;
        }
    }
    if (!cur.empty()) lines.push_back(cur);
    return lines;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<std::string> lines =
        splitLines(std::string(reinterpret_cast<const char *>(data), size));
    if (lines.empty()) return 0;
    std::string request = "@DOWNLOAD," + lines[0];
    lines.erase(lines.begin());
    for (char &c : request)
        if (c == '/') c = '_';
    if (strlen(request.c_str()) != request.size()) return 0;  // a line is a C string here

    int sv[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0);
    std::string sent;
    for (const std::string &l : lines) sent += l + "\r\n";
    FUZZ_CHECK(write(sv[1], sent.data(), sent.size()) == (ssize_t)sent.size());
    shutdown(sv[1], SHUT_WR);
    gTermFD = sv[0];

    FILE *realStdout = stdout;
    char *console = nullptr;
    size_t consoleLen = 0;
    stdout = open_memstream(&console, &consoleLen);
    receiveDownload(request.c_str());
    fclose(stdout);
    stdout = realStdout;
    free(console);

    char spill[256];
    while (takeHeldInput(spill, sizeof spill) > 0) {
    }
    shutdown(sv[0], SHUT_WR);
    std::string replies = readAll(sv[1]);
    close(sv[0]);
    close(sv[1]);
    gTermFD = -1;

    std::vector<std::string> files = filesHere();
    FUZZ_CHECK(files.size() <= 1);
    std::string name = request.substr(10, request.find(',', 10) - 10);
    std::string written;
    if (!files.empty()) {
        FUZZ_CHECK(files[0] == name);  // only the file asked for, by its own name
        FILE *f = fopen(files[0].c_str(), "rb");
        if (f) {
            char buf[4096];
            size_t n;
            while ((n = fread(buf, 1, sizeof buf, f)) > 0) written.append(buf, n);
            fclose(f);
        }
        FUZZ_CHECK(unlink(files[0].c_str()) == 0 || rmdir(files[0].c_str()) == 0);
    }

    if (replies.compare(0, 5, "@FIN\r") == 0) {  // refused: nothing more said or written
        FUZZ_CHECK(replies == "@FIN\r");
        FUZZ_CHECK(written.empty());
        return 0;
    }
    FUZZ_CHECK(replies.compare(0, 5, "@ACK\r") == 0);
    for (unsigned char c : name) FUZZ_CHECK(c >= 0x20 && c != 0x7F);  // accepted names are clean
    FUZZ_CHECK(name[0] != '.');
    FUZZ_CHECK(!files.empty());
    errno = 0;
    long long announced = strtoll(request.c_str() + 10 + name.size() + 1, nullptr, 10);
    FUZZ_CHECK(errno == 0 && announced > 0 && announced <= INT_MAX);
    Dialogue want = model(announced, lines);
    FUZZ_CHECK(replies == want.replies);
    FUZZ_CHECK(written == want.file);
    return 0;
}
