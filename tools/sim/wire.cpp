// Both directions of the line. Each message to the host is written with its
// own write calls; with --baud a byte is handed over only once it would have
// crossed a real wire (start bits and stop bits included: ten bits a byte),
// and bytes from the host reach the instrument at that pace too.
#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>

#include "sim.h"

namespace {
struct Chunk {
    std::string bytes;
    double at;  // when its first bit may go on the wire
};
struct Direction {
    std::deque<Chunk> queue;
    size_t done = 0;      // bytes of the front chunk already through
    size_t pending = 0;   // bytes in the queue not yet through
    double wireFree = 0;  // when the wire finishes the last byte through
};
Direction gOut, gIn;
constexpr size_t IN_LIMIT = 8192;  // held unread: the host then waits, as on a UART
constexpr double NEVER = std::numeric_limits<double>::infinity();
}  // namespace

static double bytesPerSecond() { return (double)gOpt.baud / 10.0; }

static double wireStart(const Direction &d) { return std::max(d.wireFree, d.queue.front().at); }

// Bytes of the front chunk that have crossed the wire by `now`.
static size_t through(const Direction &d, double now) {
    if (d.queue.empty()) return 0;
    size_t left = d.queue.front().bytes.size() - d.done;
    double start = gOpt.baud > 0 ? wireStart(d) : d.queue.front().at;
    if (now < start) return 0;
    if (gOpt.baud <= 0) return left;
    double n = std::floor((now - start) * bytesPerSecond() + 1e-9);
    return std::min(left, (size_t)n);
}

static void advance(Direction &d, size_t n) {
    if (gOpt.baud > 0) d.wireFree = wireStart(d) + (double)n / bytesPerSecond();
    d.done += n;
    d.pending -= n;
    if (d.done == d.queue.front().bytes.size()) {
        d.queue.pop_front();
        d.done = 0;
    }
}

// Next time worth looking: a millisecond's worth of bytes, or the chunk's rest.
static double wake(const Direction &d) {
    if (d.queue.empty()) return NEVER;
    if (gOpt.baud <= 0) return d.queue.front().at;
    double left = (double)(d.queue.front().bytes.size() - d.done);
    double batch = std::min(left, std::max(1.0, bytesPerSecond() / 1000));
    return wireStart(d) + batch / bytesPerSecond();
}

static void enqueue(Direction &d, std::string bytes, double at) {
    if (bytes.empty()) return;
    d.pending += bytes.size();
    d.queue.push_back(Chunk{std::move(bytes), at});
}

void wireSend(const std::string &bytes, double delay) { enqueue(gOut, bytes, monoNow() + delay); }

void wireClear() {
    gOut = Direction{};
    gIn = Direction{};
}

bool wireOutputIdle() { return gOut.queue.empty(); }

short wirePollEvents(double now) {
    short ev = 0;
    if (gIn.pending < IN_LIMIT) ev |= POLLIN;
    if (through(gOut, now) > 0) ev |= POLLOUT;
    return ev;
}

double wireNextWake(double now) {
    // Output already through waits for poll to report room; input through
    // is due at once.
    double out = through(gOut, now) > 0 ? NEVER : wake(gOut);
    double in = through(gIn, now) > 0 ? now : wake(gIn);
    return std::max(std::min(out, in), now);
}

static bool readHost(double now, bool hungUp) {
    char buf[4096];
    ssize_t n = read(gMaster, buf, sizeof buf);
    if (n > 0) {
        enqueue(gIn, std::string(buf, (size_t)n), now);
        return true;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return !hungUp;
    return false;  // EIO: nobody holds the device any more
}

static void writeHost(double now) {
    size_t n;
    while ((n = through(gOut, now)) > 0) {
        const Chunk &c = gOut.queue.front();
        ssize_t w = write(gMaster, c.bytes.data() + gOut.done, n);
        if (w <= 0) return;  // full: poll says when there is room
        transcriptAdd(c.bytes.data() + gOut.done, (size_t)w);
        advance(gOut, (size_t)w);
    }
}

bool wireService(short revents, double now) {
    if (revents & (POLLIN | POLLHUP | POLLERR)) {
        if (!readHost(now, (revents & (POLLHUP | POLLERR)) != 0)) return false;
    }
    writeHost(now);
    return true;
}

size_t wireTakeInput(char *dst, size_t cap, double now) {
    size_t got = 0;
    size_t n;
    while (got < cap && (n = through(gIn, now)) > 0) {
        n = std::min(n, cap - got);
        memcpy(dst + got, gIn.queue.front().bytes.data() + gIn.done, n);
        advance(gIn, n);
        got += n;
    }
    return got;
}
