// readLineTerminalTimeout fed through a pipe standing in for the serial
// device. Each line goes into a heap block of exactly `size` bytes, so
// AddressSanitizer catches a byte or terminator written past it.
//
// Input: one byte n, then n % 4 + 1 bytes giving the buffer sizes the calls
// use in turn (0 to 255), then the bytes the instrument sends.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_check.h"
#include "base/base.h"
#include "transfer/transfer.h"

static bool isLineEnd(char c) { return c == '\r' || c == '\n'; }

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The reader's own notices are not under test here.
    if (!freopen("/dev/null", "w", stdout)) abort();
    signal(SIGPIPE, SIG_IGN);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    size_t nsizes = data[0] % 4 + 1;
    if (size < 1 + nsizes) return 0;
    const uint8_t *sizes = data + 1;
    std::string sent(reinterpret_cast<const char *>(data + 1 + nsizes), size - 1 - nsizes);
    if (sent.size() > 60000) return 0;  // must fit the pipe before anyone reads

    int fds[2];
    FUZZ_CHECK(pipe(fds) == 0);
    FUZZ_CHECK(write(fds[1], sent.data(), sent.size()) == (ssize_t)sent.size());
    close(fds[1]);  // the end of the input reads as a failure: the last call returns -1
    gTermFD = fds[0];

    std::vector<std::pair<std::string, int>> got;  // each line with its room
    bool anyReads = false;
    for (size_t call = 0;; ++call) {
        int cap = sizes[call % nsizes];
        // For size 0, the end of a one-byte block: no byte may be written at all.
        char *block = static_cast<char *>(malloc(cap ? cap : 1));
        char *buf = cap ? block : block + 1;
        int rc = readLineTerminalTimeout(buf, cap, 1);
        if (cap <= 1) {  // no room for text: nothing is read
            FUZZ_CHECK(rc == 0);
            if (cap == 1) FUZZ_CHECK(buf[0] == '\0');
            free(block);
            if (call + 1 >= nsizes && !anyReads) break;  // every size is that small
            continue;
        }
        anyReads = true;
        if (rc < 0) {
            FUZZ_CHECK(rc == -1);
            free(block);
            break;
        }
        FUZZ_CHECK(rc >= 1 && rc <= cap - 1);  // no empty lines, never past the room
        FUZZ_CHECK(buf[rc] == '\0');
        for (int i = 0; i < rc; ++i) FUZZ_CHECK(!isLineEnd(buf[i]));
        got.emplace_back(std::string(buf, rc), cap - 1);
        free(block);
    }
    char spill[256];
    while (takeHeldInput(spill, sizeof spill) > 0) {
    }
    close(fds[0]);
    gTermFD = -1;
    if (!anyReads) return 0;

    // Every line sent comes back in order, cut to the room of its call (the
    // rest of a cut line is dropped); only a last line that never ended may
    // be missing, lost with the failing read.
    std::vector<std::string> lines(1);
    for (char c : sent) {
        if (!isLineEnd(c))
            lines.back() += c;
        else if (!lines.back().empty())
            lines.emplace_back();
    }
    bool lastEnded = lines.back().empty();
    if (lastEnded) lines.pop_back();
    FUZZ_CHECK(got.size() <= lines.size());
    for (size_t i = 0; i < got.size(); ++i)
        FUZZ_CHECK(got[i].first == lines[i].substr(0, got[i].second));
    size_t missing = lines.size() - got.size();
    FUZZ_CHECK(missing == 0 || (missing == 1 && !lastEnded));
    return 0;
}
