// Upload: announces a local file to the instrument, then sends it in
// "@DAT" frames, each acknowledged, resending a rejected frame a few times.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "port/port.h"
#include "base/base.h"
#include "transfer/transfer.h"

static constexpr int REPLY_SIZE = 64;
static constexpr int HEADER_SIZE = 64;
static constexpr int REPLY_SECONDS = 5;
static constexpr unsigned long MAX_SENDINGS = 6;  // of one chunk

struct Upload {
    const char *name;
    int file;
    unsigned long size;
    unsigned long frames;  // sendings, resends included
    unsigned long total;   // file bytes sent, each chunk once
    unsigned long limit;   // `frames` may reach this for the current chunk
    char reply[REPLY_SIZE];
    bool done;  // the instrument took every byte
};

enum class Next { Chunk, Resend, End };

// The last blank-separated word, or null when the line names no file.
static const char *lastWord(const char *line) {
    const char *blank = strrchr(line, ' ');
    if (blank == nullptr || blank[1] == '\0') return nullptr;
    return blank + 1;
}

// Opens a regular file whose size the header can carry; -1 after a notice.
// O_NONBLOCK keeps a FIFO from stalling the open; regular files ignore it.
static int openUploadFile(const char *name, unsigned long *size) {
    int fd = open(name, O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        printf("> cannot open a file (%s)\n", name);
        return -1;
    }
    struct stat st;
    off_t end = -1;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        printf("> not a regular file, nothing sent (%s)\n", name);
    } else if ((end = lseek(fd, 0, SEEK_END)) < 0 || lseek(fd, 0, SEEK_SET) != 0) {
        printf("> cannot find the size of a file, nothing sent (%s)\n", name);
    } else if (end > INT32_MAX) {
        printf("> file is larger than %d bytes, nothing sent (%s)\n", INT32_MAX, name);
    } else {
        *size = (unsigned long)end;
        return fd;
    }
    close(fd);
    return -1;
}

static bool sendHeader(const Upload &u) {
    char header[HEADER_SIZE];
    int n = snprintf(header, sizeof header, "\r\n#UPLOAD %s %d\r\n", u.name, (int)u.size);
    if (n < 0 || n >= (int)sizeof header) {
        printf("> file name too long for the upload header, nothing sent (%s)\n", u.name);
        return false;
    }
    ssize_t w = writePort(header, n);
    (void)w;  // a lost header shows as no response
    return true;
}

static bool sendFrame(Upload &u, int frameLen, int chunkLen, bool first) {
    ssize_t w = writePort(mFrameEncodedBuffer, frameLen);
    if (w < frameLen) {
        if (gSignal)
            printf("\n> upload interrupted by a signal\n");
        else
            printf(">remote transfer failed (written size %lu)\n", (unsigned long)(w < 0 ? 0 : w));
        return false;
    }
    ++u.frames;
    if (first) u.total += chunkLen;
    if (u.frames % 10 == 0) {
        printf("\r%lu/%lu", u.total, u.size);
        fflush(stdout);
    }
    return true;
}

static Next awaitFrameReply(Upload &u) {
    if (readMessageTimeout(u.reply, sizeof u.reply, REPLY_SECONDS) < 0) {
        printf(gSignal ? "\n> upload interrupted by a signal\n" : "> read message failed\n");
        return Next::End;
    }
    if (startsWith(u.reply, "@ACK")) return Next::Chunk;
    if (startsWith(u.reply, "@FIN")) {
        u.done = u.total == u.size;
        if (u.done)
            printf("> uploading is successfully finished\n");
        else
            printf("> received FIN, while all data are not transfered\n");
        return Next::End;
    }
    if (startsWith(u.reply, "@NAK")) {
        printf("> NACK received\n");
        return u.frames < u.limit ? Next::Resend : Next::End;
    }
    printf("> unexpected message (%s) was received, finished it\n", u.reply);
    return Next::End;
}

// Sends one chunk until the instrument takes it; false ends the upload.
static bool sendChunk(Upload &u, int chunkLen) {
    int frameLen = encodeDataFrame(chunkLen);
    if (frameLen < 0) {
        printf("> encodeDataFrame error\n");
        return false;
    }
    u.limit = u.frames + MAX_SENDINGS;
    bool first = true;
    for (;;) {
        if (!sendFrame(u, frameLen, chunkLen, first)) return false;
        first = false;
        Next next = awaitFrameReply(u);
        if (next != Next::Resend) return next == Next::Chunk;
    }
}

// Reading stops at the size the header announced: a file that grows
// meanwhile must not send more than the instrument was told to take.
static void sendChunks(Upload &u) {
    while (u.total < u.size) {
        unsigned long left = u.size - u.total;
        ssize_t n = read(u.file, mFramePlainBuffer, left < (unsigned long)FRAME_CHUNK ? left : FRAME_CHUNK);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            printf("> reading a file failed after %lu of %lu bytes (%s: %s)\n", u.total, u.size,
                   u.name, strerror(errno));
            return;
        }
        if (n == 0 || !sendChunk(u, (int)n)) return;
    }
}

// Header, consent, frames; false when the instrument never answered, so
// there is no dialogue to close.
static bool runUpload(Upload &u) {
    if (readMessageTimeout(u.reply, sizeof u.reply, REPLY_SECONDS) < 0) {
        if (gSignal) {  // the instrument may be about to answer: close the dialogue
            printf("\n> upload interrupted by a signal\n");
            return true;
        }
        printf("> no response at the device\n");
        return false;
    }
    if (!startsWith(u.reply, "@ACK")) {
        printf("\n> unexpected message (%s)\n", u.reply);
        return true;
    }
    printf("\n> upload started\n");
    sendChunks(u);
    return true;
}

int openUpload(const char *line, UploadFile &f) {
    const char *name = lastWord(line);
    if (name == nullptr) return -1;
    snprintf(f.name, sizeof f.name, "%s", name);
    f.file = openUploadFile(f.name, &f.size);
    return f.file >= 0 ? 1 : 0;
}

bool sendUpload(UploadFile &f) {
    Upload u{};
    u.name = f.name;
    u.file = f.file;
    u.size = f.size;
    if (sendHeader(u) && runUpload(u)) sendControl("@FIN");
    close(f.file);
    f.file = -1;
    fflush(stdout);
    return u.done;
}

int cmdUpload(const char *line) {
    UploadFile f;
    int opened = openUpload(line, f);
    if (opened > 0) sendUpload(f);
    return opened < 0 ? -1 : 0;
}
