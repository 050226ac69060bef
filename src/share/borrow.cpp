// An attached console's transfer. It asks the kestrode with its typed line;
// once the port is lent to it (a grant frame carrying one end of a socket
// pair that the kestrode made), the ordinary upload or download runs on that
// end, so this process, as its user, reads and writes the files in its own
// folder.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "share/share.h"
#include "port/port.h"
#include "transfer/transfer.h"

static constexpr int OFFER_SECONDS = 10;  // the instrument's offer, sent on by the kestrode

static void tellService(const char *line) {
    char buf[LINE_SIZE + 1];
    int n = snprintf(buf, sizeof buf, "%s\n", line);
    send(gTermFD, buf, n, MSG_NOSIGNAL);  // a service gone shows as the socket's end
}

// A file this console cannot read, or a line that names none, is told here
// and never leaves it.
bool borrowCommand(const char *line) {
    int ready;
    if (startsWith(line, "@upload")) {
        UploadFile file;
        ready = openUpload(line, file);
        if (ready > 0) close(file.file);
    } else {
        char request[DOWNLOAD_REQUEST_SIZE];
        ready = downloadRequest(line, request, sizeof request);
    }
    if (ready < 0) printf("> command error (%s)\n", line);
    if (ready > 0) tellService(line);
    return ready > 0;
}

// An instrument that restarted meanwhile has the service set its clock (the
// banner is taken here first: this console's own setTime would write to the
// session socket). Bytes the transfer's reader took past its last line are
// shown by the console once its read is done, as after a direct transfer.
static void afterLent() {
    if (takeBannerSeen()) tellService("@settime");
}

// The file is opened again now, with this process's rights, as the upload
// would open it in a session of its own.
static int outcome = -1;
void forgetBorrow() { outcome = -1; }
int borrowOutcome() { return outcome; }

void runGrant(const char *line, int fd) {
    int control = gTermFD;
    gTermFD = fd;
    bool worked = false;
    if (startsWith(line, "@upload")) {
        UploadFile file;
        if (openUpload(line, file) > 0) worked = sendUpload(file);
    } else {
        char offer[LINE_SIZE];
        if (readLineTerminalTimeout(offer, sizeof offer, OFFER_SECONDS) > 0)
            worked = receiveDownload(offer);
    }
    gTermFD = control;
    outcome = worked ? 1 : 0;
    tellService("@done");  // before the end closes: the kestrode takes it first
    close(fd);
    spendTransferInterrupt();
    afterLent();
}
