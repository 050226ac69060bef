// The instrument-output line assembly of process_term with arbitrary bytes.
// The instrument's side is one end of a socket pair; the console (stdout) and
// the log are captured in memory and compared with a plain model of the echo,
// timestamp and line rules. The line buffer is static data with redzones
// under AddressSanitizer, so a byte stored past it ends the run.
//
// Input: a flag byte (bit 0: timestamps on), a byte seeding the sizes of the
// pieces the bytes arrive in, then the bytes. "@DOWNLOAD," is defused to
// "@DOWNLOAd," so that no download starts and no file is created.
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "clocklog/clocklog.h"
#include "fuzz_check.h"
#include "terminal/terminal.h"

static const time_t FIXED_NOW = 1796531896;  // 2026-12-06
static const char BANNER[] = "# OLM-inside Air Monitor";
static int instrument = -1;  // the test's end of the serial line
static char stamp[64];

static time_t fixedClock(time_t *t) {
    if (t) *t = FIXED_NOW;
    return FIXED_NOW;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) abort();
    gTermFD = sv[0];
    instrument = sv[1];
    gClock = fixedClock;
    struct tm tmv;
    localtime_r(&FIXED_NOW, &tmv);
    snprintf(stamp, sizeof stamp, "%04d.%02d.%02d %02d:%02d:%02d ", tmv.tm_year + 1900,
             tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
    return 0;
}

struct Expected {
    std::string console;
    std::string log;
    int banners = 0;
};

// The rules the program follows, byte by byte. A carriage return that finds
// all 256 bytes in use abandons the line, as any other byte past the limit.
static Expected model(const std::string &in, bool showTime) {
    Expected e;
    char line[256];
    int pos = 0;
    bool first = true;
    for (unsigned char c : in) {
        if (first) {
            first = false;
            if (showTime) e.console += stamp;
        }
        bool full = pos == 256;
        if (!full) line[pos++] = (char)c;
        if (line[0] != '@') e.console += (char)c;
        bool abandon = full || (c != '\r' && pos > 253);
        if (abandon) {
            first = true;
            pos = 0;
        } else if (c == '\n') {
            first = true;
            if (pos > 1) {
                std::string text(line, pos - 1);  // NULs included
                if (text.compare(0, sizeof BANNER - 1, BANNER) == 0)
                    ++e.banners;
                else
                    e.log += text + "\r\n";
            }
            pos = 0;
        }
    }
    return e;
}

static int countTimeLines(const std::string &s) {
    int n = 0;
    for (size_t at = s.find("settime "); at != std::string::npos; at = s.find("settime ", at + 1))
        ++n;
    return n;
}

static std::string drainInstrumentSide() {
    std::string out;
    char buf[4096];
    int avail = 0;
    while (ioctl(instrument, FIONREAD, &avail) == 0 && avail > 0) {
        ssize_t n = read(instrument, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, n);
    }
    return out;
}

static std::string readLog() {
    std::string s;
    char buf[4096];
    ssize_t n;
    off_t at = 0;
    while ((n = pread(fileno(gpLogFile), buf, sizeof buf, at)) > 0) {
        s.append(buf, n);
        at += n;
    }
    return s;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2 || size > 16384) return 0;
    bool showTime = data[0] & 1;
    uint32_t seed = data[1];
    std::string in(reinterpret_cast<const char *>(data + 2), size - 2);
    for (size_t at = in.find("@DOWNLOAD,"); at != std::string::npos; at = in.find("@DOWNLOAD,", at))
        in[at + 8] = 'd';
    in += '\n';  // ends or abandons the last line: the next input starts afresh

    char *console = nullptr;
    size_t consoleLen = 0;
    FILE *realStdout = stdout;
    stdout = open_memstream(&console, &consoleLen);
    gpLogFile = tmpfile();  // the log is written through its descriptor
    FUZZ_CHECK(gpLogFile != nullptr);
    gbShowTime = showTime;
    gbFirstChar = true;
    gSyncTime = FIXED_NOW;  // no hourly sync during the run: time lines come from banners only

    for (size_t at = 0; at < in.size();) {
        seed = seed * 1103515245u + 12345u;
        size_t piece = 1 + (seed >> 16) % 400;  // sometimes more than one read's worth
        if (piece > in.size() - at) piece = in.size() - at;
        FUZZ_CHECK(write(instrument, in.data() + at, piece) == (ssize_t)piece);
        at += piece;
        int avail = 0;
        while (ioctl(gTermFD, FIONREAD, &avail) == 0 && avail > 0) process_term(gTermFD);
    }

    flushLog();
    fclose(stdout);
    stdout = realStdout;
    std::string shown(console, consoleLen), logged = readLog();
    free(console);
    fclose(gpLogFile);
    gpLogFile = nullptr;
    std::string sentBack = drainInstrumentSide();

    // Log lines are at most 252 bytes of text, each followed by CR LF.
    for (size_t start = 0; start < logged.size();) {
        size_t lf = logged.find('\n', start);
        FUZZ_CHECK(lf != std::string::npos && lf > start && logged[lf - 1] == '\r');
        FUZZ_CHECK(lf - 1 - start <= 252);
        start = lf + 1;
    }
    Expected want = model(in, showTime);
    FUZZ_CHECK(shown == want.console);
    FUZZ_CHECK(logged == want.log);
    FUZZ_CHECK(countTimeLines(sentBack) == want.banners);
    FUZZ_CHECK(gbRun);
    return 0;
}
