// Sharing a session: a kestrode that logs a port serves consoles attached
// on a Unix stream socket; `kestrode --attach` is such a console.
//
// Between the two, a stream of frames from the service (a type byte, a
// two-byte big-endian length, the payload): FRAME_OUTPUT carries the
// instrument's bytes as read, FRAME_NOTICE a "> " line for that console,
// FRAME_END the service's last word (a status byte, then its line). From
// the client, lines ended by a LF; the first says what it is: "@attach" a
// console (greeted, then its typed lines), "@status" a look
// (kestrode --status: the report as NOTICE frames, an END of status 0, and
// it is let go). Any other first line is a console's first typed line.
#pragma once
#include <poll.h>
#include <sys/types.h>

constexpr char FRAME_OUTPUT = 'O';
constexpr char FRAME_NOTICE = 'N';
constexpr char FRAME_END = 'E';
constexpr int FRAME_HEAD = 3;
constexpr int SHARE_CLIENTS = 8;        // consoles attached at once
constexpr int SHARE_RING = 64 * 1024;   // bytes a console may fall behind
constexpr int KEYBOARD_IDLE = 5 * 60;   // seconds until an idle holder lets go
inline constexpr char SHARE_DIR[] = "/run/kestrode";

// The well-known socket of a port: /run/kestrode/NAME.sock, NAME as in its
// lock file. False when the path names no port.
bool wellKnownSocket(const char *port, char *out, size_t size);

// Service side
// Creates the socket (nullptr: the well-known place of `device`); false
// after a "> " line.
bool startShare(const char *device, const char *socketPath);
// Ends every console with the reason and removes the socket.
void stopShare();
void noteDeviceLost();  // the reason the consoles will be given
// The listening socket and the consoles, after `fds`; returns how many. A
// console with bytes waiting for it ends the wait as soon as it has room.
int sharePollFds(pollfd *fds, int room);
void serveShare(const pollfd *fds, int count);
void shareOutput(const char *buf, int len);  // instrument bytes to every console
void flushShare(bool portQuiet);  // after every wait: false when the port had more
// What runs between a console and the instrument: "none", or such as
// "download of NAME by USER (uid N)".
void describeTransfer(char *out, size_t size);
int attachedConsoles();  // the consoles, never the looks
// A console's transfer (relay.cpp): the port lent to the console that asked.
bool relayOffer(const char *line);  // an "@DOWNLOAD," line a console awaits: it has it
bool relayPortBytes(const char *buf, int len);  // true when the port's bytes went to it
bool relayRunning();
// A typed line (console i, or -1 for this kestrode's keyboard) while a
// console's transfer runs: refused with a notice.
bool refusedForTransfer(int i, const char *line);
int relayWaitMs();  // until its next time limit, -1 when none
void checkRelay();
void tellOwnDownload(const char *line, bool starts);  // the consoles, of the service's own

// A direct open refused: how to attach instead, on stderr, when a kestrode
// shares the port at the well-known place.
void hintAttach(const char *device);

// Client side
// The socket of a port (ttyUSB0, /dev/ttyUSB0) or the path itself,
// connected, or -1 with errno; `path` names what was tried.
int connectShare(const char *target, char *path, size_t size);
int statusMain(const char *target);  // kestrode --status: exit status
extern bool gbAttached;              // this kestrode is an attached console
int attachMain(const char *target);  // exit status
int attachedStatus();  // 0 after the service's normal stop or a detach
void readAttached(int fd);           // the service's frames, as process_term
void sendAttachedLine(char *line, int len);  // a typed line with its line end
void borrowCommand(const char *line);  // "@upload", "@download" through the kestrode
int borrowPollFds(pollfd *fds, int room);
void serveBorrowed(const pollfd *fds, int count);

// Within share/
struct ShareClient {
    int fd = -1;         // -1: a free slot
    uid_t uid = 0;       // from the socket, not from the client's word
    char user[64] = {};  // its name, or the uid's digits
    int head = 0;        // its ring: where the oldest byte is
    int queued = 0;      // and how many wait
    char typed[256] = {};  // the line it is typing
    int typedLen = 0;
    int passed = -1;     // a descriptor it sent, for its transfer
    bool greeted = false;  // its first line made it a console
};
extern ShareClient gClients[SHARE_CLIENTS];
extern int gShareFD;  // the listening socket, -1 when not sharing
bool queueFrame(int i, char type, const char *data, int len);  // false: no room
void queueNotice(int i, const char *format, ...) __attribute__((format(printf, 2, 3)));
void queueEnd(int i, int status, const char *text);
bool flushClient(int i);  // false: it has gone
void dropClient(int i);   // closes it and frees its slot
void takeTypedLine(int i, char *line, int len);  // without its LF, NUL-terminated
void keyboardLeft(int i);
void serveClient(int i);  // what it sent
void requestTransfer(int i, const char *line);  // "@upload NAME", "@download NAME"
void relayDone(int i);
void relayClientGone(int i);
int relayPortOwner();  // the console the port's bytes go to, or -1
int relayPollFds(pollfd *fds, int room);
void serveRelay(const pollfd *fds, int count);
void stopRelay();
int keyboardHolder();  // its slot, or -1 when free or idle
void queueReport(int i);  // kestrode --status's lines
const char *sharedDevice();
const char *loggingSince();
void userName(uid_t uid, char *out, size_t size);
const char *shareGreeting(char *out, size_t size);
