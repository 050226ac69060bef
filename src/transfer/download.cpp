// Download: asking the instrument for a file, and receiving the file it
// announces with '@DOWNLOAD,<name>,<size>' into the current directory.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "terminal/link.h"
#include "transfer/transfer.h"

static constexpr int REQUEST_SIZE = 64;
static constexpr int NAME_SIZE = 256;
static constexpr int FRAME_SECONDS = 10;
static constexpr int FIN_SECONDS = 10;
static constexpr int PREFIX_LEN = 10;  // "@DOWNLOAD,"
static const char UNSAFE_NAME[] = "> download file name is unsafe, refused";

struct Download {
    char name[NAME_SIZE];
    int file;
    int total;      // announced size
    int remaining;  // bytes still expected
    int frames;     // frames accepted
};

int cmdDownload(const char *line) {
    const char *blank = strchr(line, ' ');
    if (blank == nullptr) return -1;
    const char *name = blank + strspn(blank, " ");
    if (*name == '\0') return -1;
    int nameLen = (int)strcspn(name, " ");
    char request[REQUEST_SIZE];
    int n = snprintf(request, sizeof request, "#DOWNLOAD %.*s\r\n", nameLen, name);
    if (n < 0 || n >= (int)sizeof request) {
        printf("> file name too long for the download request, nothing sent (%.*s)\n", nameLen,
               name);
        return 0;
    }
    ssize_t w = write(gTermFD, request, n);
    (void)w;  // the instrument answers or it does not; nothing to retry
    return 0;
}

int waitFIN() {
    if (readMessageTimeout(mFrameEncodedBuffer, FRAME_ENCODED_SIZE, FIN_SECONDS) < 0) return 0;
    if (strncmp(mFrameEncodedBuffer, "@F", 2) != 0) return 0;
    if (strlen(mFrameEncodedBuffer) > 4) printf("# %s\n", mFrameEncodedBuffer + 4);
    return 1;
}

// Only names that stay below the current directory are written.
static bool safeName(const char *name) {
    if (name[0] == '\0' || name[0] == '/') return false;
    for (const char *p = name; *p != '\0';) {
        size_t n = strcspn(p, "/");
        if (n == 2 && p[0] == '.' && p[1] == '.') return false;
        p += n;
        if (*p == '/') ++p;
    }
    return true;
}

// Every refusal closes the dialogue before anything is created.
static bool refuse(const char *notice) {
    sendControl("@FIN");
    printf("%s\n", notice);
    return false;
}

static bool refuseNaming(const char *notice, const char *text, int len) {
    sendControl("@FIN");
    printf("%s (%.*s)\n", notice, len, text);
    return false;
}

// Splits the request into name and size; false after refusing it.
static bool parseRequest(const char *line, Download &d) {
    const char *name = line + PREFIX_LEN;
    const char *comma = strchr(name, ',');
    if (comma == nullptr) return refuse("> download file name is null");
    int nameLen = (int)(comma - name);
    if (nameLen >= NAME_SIZE) return refuseNaming(UNSAFE_NAME, name, nameLen);
    memcpy(d.name, name, nameLen);
    d.name[nameLen] = '\0';
    if (!safeName(d.name)) return refuseNaming(UNSAFE_NAME, name, nameLen);
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

// Takes one decoded frame; false ends the download.
static bool acceptFrame(Download &d, int len) {
    if (!writeChunk(d.file, mFramePlainBuffer, len)) {
        printf("> writing the received file failed (%s: %s)\n", d.name,
               errno != 0 ? strerror(errno) : "nothing written");
        return false;
    }
    sendControl("@ACK");
    ++d.frames;
    d.remaining -= len;
    if (d.frames % 10 == 0) {
        printf("\r%lld/%d", (long long)d.total - d.remaining, d.total);
        fflush(stdout);
    }
    if (d.remaining > 0) return true;
    printf("\n> File transfer is successful\n");
    waitFIN();
    return false;
}

static void receiveFrames(Download &d) {
    for (;;) {
        if (readMessageTimeout(mFrameEncodedBuffer, FRAME_ENCODED_SIZE, FRAME_SECONDS) < 0) return;
        if (strncmp(mFrameEncodedBuffer, "@DAT", 4) == 0) {
            int len = decodeDataFrame();
            if (len == -1) {
                printf("> decodeDataFrame error\n");
                printf("> unknown message was arrived (%s)", mFrameEncodedBuffer);
                return;
            }
            if (len == -2)
                sendControl("@NAK");
            else if (!acceptFrame(d, len))
                return;
        } else if (strncmp(mFrameEncodedBuffer, "@FIN", 4) == 0) {
            printf("downloading is early finished");
            return;
        }
    }
}

void receiveDownload(const char *line) {
    Download d{};
    if (parseRequest(line, d)) {
        // O_NONBLOCK: a FIFO of that name without a reader fails instead of
        // hanging the terminal; regular files ignore the flag.
        d.file = open(d.name, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK, 0644);
        if (d.file < 0) {
            sendControl("@FIN");
            printf("> create a file, %s, failed\n", d.name);
        } else {
            sendControl("@ACK");
            printf("> receiving a file\n");
            receiveFrames(d);
            sendControl("@FIN");
            close(d.file);
            if (d.remaining > 0)
                printf("\n> download incomplete (%s): %d of %d bytes received\n", d.name,
                       d.total - d.remaining, d.total);
        }
    }
    fflush(stdout);
}
