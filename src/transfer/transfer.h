// File transfer: the timed message reader, "@DAT" framing, upload, download.
// Uses base, port and base64.
#pragma once
#include <cstddef>

constexpr int FRAME_CHUNK = 128;
constexpr int FRAME_PLAIN_SIZE = 132;
constexpr int FRAME_ENCODED_SIZE = 184;

extern unsigned char mFramePlainBuffer[FRAME_PLAIN_SIZE];
extern char mFrameEncodedBuffer[FRAME_ENCODED_SIZE];

// Message reader
int readLineTerminalTimeout(char *buf, int size, int seconds);
int readMessageTimeout(char *buf, int size, int seconds);
// Moves bytes the reader read past its last line into dst; returns the count.
int takeHeldInput(char *dst, int cap);
// True once after the reader showed the instrument's start banner: the
// restarted instrument's clock is to be set once the transfer is over.
bool takeBannerSeen();

// Framing
void makeByteToHex(unsigned char byte, char *two);
// Frames the chunk in mFramePlainBuffer into mFrameEncodedBuffer; returns its
// length, or -1 when it cannot be encoded.
int encodeDataFrame(int chunkLen);
// Decodes the frame line in mFrameEncodedBuffer into mFramePlainBuffer.
// Returns the payload length, -1 on a decoding error, -2 on a checksum mismatch.
int decodeDataFrame();
// Sends a control line, "@ACK", "@NAK" or "@FIN", and a CR in one write.
void sendControl(const char *word);

// Where a download lands (confine.cpp, target.cpp)
constexpr int DOWNLOAD_NAME_SIZE = 256;
struct DownloadTarget {
    int dir;          // the directory the file lands in
    const char *base; // the name's last component, within that directory
    int file;         // the temporary file being written
    char temp[32];    // its name, within `dir`
    int dirLen;       // length of the name's directory part, "/" included
    bool existed;     // a regular file of that name was there before
    unsigned mode;    // and its permissions
    char kept[DOWNLOAD_NAME_SIZE + 32];  // where a failed download's bytes are
};
inline constexpr char TEMP_PATTERN[] = ".kestrode-*.part";  // temp's names
// IsLog: the log this kestrode writes; LogName: another log (isALog).
enum class TargetResult { Ready, Unsafe, NotRegular, IsLog, LogName, Failed };
bool confinedName(const char *name);
int openConfinedDir(const char *name, const char **base);
// Seam for tests: the kernel's openat2 by default. Where it fails with ENOSYS
// or EPERM (a seccomp filter, an old kernel) the component walk is used.
struct open_how;
extern int (*gOpenat2)(int at, const char *path, open_how *how, size_t size);
TargetResult openTarget(const char *name, DownloadTarget &t);
bool commitTarget(DownloadTarget &t);
// Keeps what arrived of a failed download without replacing any file;
// returns the name (relative to ".") of the file that holds it.
const char *keepPartial(DownloadTarget &t, const char *name);
void closeTarget(DownloadTarget &t);
// Temporary files of downloads a power cut or a kill left here: "> " lines.
void reportLeftoverDownloads();

// Commands and the instrument-initiated receiver
int cmdUpload(const char *line);
int cmdDownload(const char *line);
// The two halves of "@upload", for a console that must first be lent the
// port: the file opened (1; 0 after a notice; -1 when the line names no
// file), then sent and closed.
struct UploadFile {
    char name[256];
    int file = -1;
    unsigned long size = 0;
};
int openUpload(const char *line, UploadFile &f);
bool sendUpload(UploadFile &f);  // true when the instrument took it whole
// "#DOWNLOAD NAME\r\n" for a typed "@download" line: its length, 0 after a
// notice, -1 when the line names no file.
constexpr int DOWNLOAD_REQUEST_SIZE = 64;
int downloadRequest(const char *line, char *request, int size);
bool receiveDownload(const char *line);  // true when the whole file is stored
int waitFIN();
// While a download receives: the bytes so far and the announced size.
bool downloadProgress(int *done, int *total);
