// Download: asking the instrument for a file, and receiving the file it
// announces with '@DOWNLOAD,<name>,<size>' into the current directory.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "port/port.h"
#include "base/base.h"
#include "transfer/transfer.h"

static constexpr int REQUEST_SIZE = DOWNLOAD_REQUEST_SIZE;
static constexpr int FRAME_SECONDS = 10;
static constexpr int FIN_SECONDS = 10;
static constexpr int PREFIX_LEN = 10;  // "@DOWNLOAD,"
// A download ends after this many rejected frames, or lines that are no
// frame, in a row: an instrument stuck in either must not hold the terminal.
static constexpr int IN_A_ROW = 10;
static const char UNSAFE_NAME[] = "> download file name is unsafe, refused";

struct Download {
    char name[DOWNLOAD_NAME_SIZE];
    DownloadTarget target;
    int total;      // announced size
    int remaining;  // bytes still expected
    int frames;     // frames accepted
    int dropped;    // bytes sent beyond the announced size
    bool settled;   // the bytes are where they stay, and the user was told
    bool stored;    // and they are the whole file, under its name
};

int downloadRequest(const char *line, char *request, int size) {
    const char *blank = strchr(line, ' ');
    if (blank == nullptr) return -1;
    const char *name = blank + strspn(blank, " ");
    if (*name == '\0') return -1;
    int nameLen = (int)strcspn(name, " ");
    int n = snprintf(request, size, "#DOWNLOAD %.*s\r\n", nameLen, name);
    if (n >= 0 && n < size) return n;
    printf("> file name too long for the download request, nothing sent (%.*s)\n", nameLen, name);
    return 0;
}

int cmdDownload(const char *line) {
    char request[REQUEST_SIZE];
    int n = downloadRequest(line, request, sizeof request);
    if (n <= 0) return n;
    ssize_t w = writePort(request, n);
    (void)w;  // the instrument answers or it does not; nothing to retry
    return 0;
}

int waitFIN() {
    if (readMessageTimeout(mFrameEncodedBuffer, FRAME_ENCODED_SIZE, FIN_SECONDS) < 0) return 0;
    if (strncmp(mFrameEncodedBuffer, "@F", 2) != 0) return 0;
    if (strlen(mFrameEncodedBuffer) > 4) printf("# %s\n", mFrameEncodedBuffer + 4);
    return 1;
}

// Every refusal closes the dialogue before anything is created.
static bool refuse(const char *notice) {
    sendControl("@FIN");
    printf("%s\n", notice);
    return false;
}

static bool refuseNaming(const char *notice, const char *text, int len) {
    sendControl("@FIN");
    printf("%s (", notice);
    printQuoted(stdout, text, len);
    printf(")\n");
    return false;
}

// Splits the request into name and size; false after refusing it.
static bool parseRequest(const char *line, Download &d) {
    const char *name = line + PREFIX_LEN;
    const char *comma = strchr(name, ',');
    if (comma == nullptr) return refuse("> download file name is null");
    int nameLen = (int)(comma - name);
    if (nameLen >= DOWNLOAD_NAME_SIZE) return refuseNaming(UNSAFE_NAME, name, nameLen);
    memcpy(d.name, name, nameLen);
    d.name[nameLen] = '\0';
    if (!confinedName(d.name)) return refuseNaming(UNSAFE_NAME, name, nameLen);
    const char *sizeText = comma + 1;
    errno = 0;
    long long size = strtoll(sizeText, nullptr, 10);
    if (size == 0) return refuse("> download file size is zero");
    if (errno == ERANGE || size < 0 || size > INT32_MAX)
        return refuseNaming("> download file size is out of range", sizeText,
                            (int)strcspn(sizeText, "\r\n"));
    d.total = d.remaining = (int)size;
    return true;
}

static bool writeChunk(int fd, const unsigned char *p, int len) {
    errno = 0;
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        len -= (int)n;
    }
    return true;
}

static int received(const Download &d) { return d.total - d.remaining; }

// For a look from outside while the loop is held (kestrode --status).
static const Download *receiving = nullptr;

bool downloadProgress(int *done, int *total) {
    if (!receiving) return false;
    *done = received(*receiving);
    *total = receiving->total;
    return true;
}

static void reportKept(Download &d, const char *lead) {
    d.settled = true;
    fputs(lead, stdout);
    printf("> download incomplete (%s): %d of %d bytes received, kept in %s\n", d.name,
           received(d), d.total, keepPartial(d.target, d.name));
}

// The file is under its name before anyone is told it arrived, so whoever
// acts on the success line or on the closing "@FIN" finds it there.
static void storeComplete(Download &d) {
    if (!commitTarget(d.target)) {
        printf("\n> storing the received file failed (%s: %s)\n", d.name, strerror(errno));
        reportKept(d, "");
        return;
    }
    d.settled = d.stored = true;
    printf("\n> File transfer is successful\n");
    if (d.dropped > 0)
        printf("> %d bytes beyond the announced size were not written\n", d.dropped);
}

// Takes one decoded frame; false ends the download. Bytes beyond the
// announced size are not written: the file is never larger than announced.
static bool acceptFrame(Download &d, int len) {
    int keep = len < d.remaining ? len : d.remaining;
    if (!writeChunk(d.target.file, mFramePlainBuffer, keep)) {
        printf("> writing the received file failed (%s: %s)\n", d.name,
               errno != 0 ? strerror(errno) : "nothing written");
        // A frame written in part is not acknowledged, so not kept either.
        if (ftruncate(d.target.file, received(d)) != 0)
            printf("> the unacknowledged frame stays in the received file (%s)\n", strerror(errno));
        return false;
    }
    sendControl("@ACK");
    ++d.frames;
    d.remaining -= keep;
    d.dropped += len - keep;
    if (d.frames % 10 == 0) {
        printf("\r%d/%d", received(d), d.total);
        fflush(stdout);
    }
    if (d.remaining > 0) return true;
    storeComplete(d);
    waitFIN();
    return false;
}

static bool endsInARow(int *count, const char *what) {
    if (++*count < IN_A_ROW) return false;
    printf("> download ended: %d %s in a row\n", IN_A_ROW, what);
    return true;
}

static void receiveFrames(Download &d) {
    int rejected = 0, noFrame = 0;
    for (;;) {
        if (readMessageTimeout(mFrameEncodedBuffer, FRAME_ENCODED_SIZE, FRAME_SECONDS) < 0) {
            if (gSignal) printf("\n> download interrupted by a signal\n");
            return;
        }
        if (strncmp(mFrameEncodedBuffer, "@DAT", 4) == 0) {
            noFrame = 0;
            int len = decodeDataFrame();
            if (len == -1) {
                printf("> decodeDataFrame error\n");
                printf("> unknown message was arrived (%s)", mFrameEncodedBuffer);
                return;
            }
            // An empty frame ("@DAT00") checks out but brings nothing: taken,
            // an instrument stuck sending it would hold the terminal for ever.
            if (len == -2 || len == 0) {
                sendControl("@NAK");
                if (endsInARow(&rejected, "frames rejected")) return;
            } else {
                rejected = 0;
                if (!acceptFrame(d, len)) return;
            }
        } else if (strncmp(mFrameEncodedBuffer, "@FIN", 4) == 0) {
            printf("downloading is early finished");
            return;
        } else if (endsInARow(&noFrame, "lines that are no frame")) {
            return;
        }
    }
}

// Opens the target; false after refusing the download.
static bool openDownload(Download &d) {
    switch (openTarget(d.name, d.target)) {
    case TargetResult::Ready:
        return true;
    case TargetResult::Unsafe:
        return refuseNaming(UNSAFE_NAME, d.name, (int)strlen(d.name));
    case TargetResult::NotRegular:
        return refuseNaming("> download target is not a regular file, refused", d.name,
                            (int)strlen(d.name));
    case TargetResult::IsLog:
        return refuseNaming("> download target is the open log file, refused", d.name,
                            (int)strlen(d.name));
    case TargetResult::LogName:
        return refuseNaming("> download target is named as a log, refused", d.name,
                            (int)strlen(d.name));
    case TargetResult::Failed:
        break;
    }
    sendControl("@FIN");
    printf("> create a file, %s, failed\n", d.name);
    return false;
}

static void finishDownload(Download &d) {
    if (!d.settled) reportKept(d, "\n");
}

bool receiveDownload(const char *line) {
    Download d{};
    if (parseRequest(line, d) && openDownload(d)) {
        sendControl("@ACK");
        printf("> receiving a file\n");
        receiving = &d;
        receiveFrames(d);
        receiving = nullptr;
        sendControl("@FIN");
        finishDownload(d);
        closeTarget(d.target);
    }
    fflush(stdout);
    return d.stored;
}
