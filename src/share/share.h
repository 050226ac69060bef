// Sharing a session: a kestrode that logs a port serves consoles attached
// on a Unix stream socket; `kestrode --attach` is such a console.
// Uses base, port, clocklog and transfer; the console and the loop reach it
// through their table of hooks (terminal/wiring.cpp), never the other way.
//
// Between the two, a stream of frames from the service (a type byte, a
// two-byte big-endian length, the payload): FRAME_OUTPUT carries the
// instrument's bytes as read, FRAME_NOTICE a "> " line for that console,
// FRAME_END the service's last word (a status byte, then its line). From
// the client, lines ended by a LF; the first says what it is: "@attach" a
// console (greeted, then its typed lines), "@watch" a console that only
// watches (kestrode --attach --watch), "@status" a look
// (kestrode --status: the report as NOTICE frames, an END of status 0, and
// it is let go). Any other first line is a console's first typed line.
// FRAME_GRANT lends the port to a console for the transfer it asked for:
// its payload is the request line, and it carries the console's end of a
// socket pair that the kestrode made. The kestrode takes no descriptor
// from a client.
#pragma once
#include <poll.h>
#include <stdarg.h>
#include <sys/types.h>
#include <time.h>

constexpr char FRAME_OUTPUT = 'O';
constexpr char FRAME_NOTICE = 'N';
constexpr char FRAME_END = 'E';
constexpr char FRAME_GRANT = 'G';
// Right after the greeting: the service's log file, named to a console
// that comes back after a restart. Older consoles ignore it.
constexpr char FRAME_LOG = 'L';
constexpr int FRAME_HEAD = 3;
constexpr int SHARE_CLIENTS = 8;        // consoles attached at once
constexpr int SHARE_PER_USER = SHARE_CLIENTS / 2;  // of them, one user's at most
// Connections at once: the consoles, and as many that have not yet said
// what they are (a look, a console on its way in).
constexpr int SHARE_CONNECTIONS = 2 * SHARE_CLIENTS;
constexpr int HELLO_SECONDS = 3;        // to say what it is, or be let go
constexpr int SHARE_RING = 64 * 1024;   // bytes a console may fall behind
constexpr int KEYBOARD_IDLE = 5 * 60;   // seconds until an idle holder lets go
constexpr int SHARE_UNREAD = 5 * 60;    // seconds a console may read nothing while bytes wait
// FRAME_END's status byte: why the service let the console go.
constexpr char END_STOPPED = 0;   // the service stops: it may come back
constexpr char END_REFUSED = 1;   // turned away (places full, a user's share): final
constexpr char END_PORT_LOST = 2; // the service lost its serial device
constexpr char END_UNREAD = 3;    // it read nothing for SHARE_UNREAD seconds
inline constexpr char SHARE_DIR[] = "/run/kestrode";

// The well-known socket of a port: /run/kestrode/NAME.sock, NAME as in its
// lock file. False when the path names no port.
bool wellKnownSocket(const char *port, char *out, size_t size);

// Service side
// Creates the socket (nullptr: the well-known place of `device`). A chosen
// place that cannot be had: false after a "> " line. At the well-known
// place any failure only turns sharing off ("> sharing is off: ..."): true,
// and the port is logged as without sharing.
bool startShare(const char *device, const char *socketPath);
bool sharing();  // the socket listens: consoles may attach
// Ends every console with the reason and removes the socket.
void stopShare();
// The listening socket and the consoles, after `fds`; returns how many. A
// console with bytes waiting for it ends the wait as soon as it has room.
int sharePollFds(pollfd *fds, int room);
void serveShare(const pollfd *fds, int count);
void shareOutput(const char *buf, int len);  // instrument bytes to every console
void flushShare(bool portQuiet);  // after every wait: false when the port had more
// What runs between a console and the instrument: "none", or such as
// "download of NAME by USER (uid N)".
void describeTransfer(char *out, size_t size);
int consoleCount(uid_t uid);  // the consoles of that user, never the looks; (uid_t)-1: all
// A console's transfer (relay.cpp): the port lent to the console that asked.
bool relayOffer(const char *line);  // an "@DOWNLOAD," line a console awaits: it has it
bool relayRunning();
// The port's bytes while a console's transfer runs: the dialogue's lines go
// to the console, the rest into `kept` for the log; returns how many were kept.
bool relaySplitting();
int relaySplit(const char *buf, int len, char *kept);
void relayInstrumentRestarted();  // its banner came: no dialogue survives that
// A typed line (console i, or -1 for this kestrode's keyboard) while a
// transfer runs: refused with a notice.
bool refusedForTransfer(int i, const char *shown);  // the line as the journal shows it
int shareWaitMs();  // until the next time limit of a transfer or a connection, -1 when none
void checkShare();
void tellOwnDownload(const char *line, bool starts);  // the consoles, of the service's own

// A direct open refused: how to attach instead, on stderr, when a kestrode
// shares the port at the well-known place (or, to a user who may not
// connect to it, the group to join).
void hintAttach(const char *device);

// Exit statuses of the clients (--attach, --status, the script forms), as
// sysexits.h has them: 0 worked, 1 failed (turned away, the instrument's
// part failed).
constexpr int EXIT_NOBODY = 69;       // no kestrode answers
constexpr int EXIT_BUSY = 75;         // the keyboard is another's, the port lent
constexpr int EXIT_NOT_ALLOWED = 77;  // the socket refuses this user
bool notAllowed(int err);             // EACCES, EPERM from connect
int unreachedStatus(int err);         // a failed connect's status
// Its "> not allowed ..." line, naming the group to join; `look`: --status.
void tellNotAllowed(const char *path, bool look);

// Client side
// The socket of a port (ttyUSB0, /dev/ttyUSB0) or the path itself,
// connected, or -1 with errno; `path` names what was tried. Never waits
// long: a full queue (EAGAIN) is tried for a few seconds.
int connectShare(const char *target, char *path, size_t size);
const char *connectFailure(int err);  // why it failed, for a "> " line
int statusMain(const char *target);  // kestrode --status: exit status
// The service's answer to a look, as it comes, printed with its control
// bytes quoted: 1 while more is to come, 0 at the report's end, -1 after a
// "> " line. startStatusAnswer before the first bytes of a connection.
void startStatusAnswer();
int takeStatusBytes(const char *path, const char *buf, int len);
// Connects as a console ("@attach", "@watch"); -1 after a "> " line,
// errno kept. `path` names what was tried. `once`: one try that never
// waits and says nothing, as the console that waits for its kestrode makes.
int attachTo(const char *target, char *path, size_t size, bool once = false);
void cannotAttach(const char *path, const char *why);  // its "> " line
int attachedStatus();  // 0 after the service's normal stop or a detach
// Riding through (rejoin.cpp): a console whose kestrode goes away waits for
// it and attaches again. `waitMs` in all for the whole run: -1 without
// end, 0 never. `port` names it as typed, `path` is its socket.
void startRejoin(const char *port, const char *path, long long waitMs);
bool nobodyAnswers(int err);  // a connect's errno that waiting may mend
void waitFromStart();  // the first attach found nobody
// The connection ended (status of its FRAME_END, -1 for none, after the
// reason was shown): true while the console waits, false when it ends.
bool serviceGone(int code);
bool rejoinQuiet();    // a try that ended before its greeting: say nothing
void rejoinAnswered();  // a connection's first frame came
bool rejoinWaiting();  // no kestrode now: typed lines go nowhere
void rejoinedLog(const char *file, int len);  // FRAME_LOG's payload
int rejoinWaitMs();    // until the next try, -1 when none is due
void checkRejoin();
// The service's frames: the instrument's bytes go to `display` (the
// console's own, as a direct session's), its notices are shown with control
// bytes quoted. startServiceBytes before the first bytes of a connection.
void startServiceBytes(void (*display)(const char *buf, int len));
void readAttached(int fd);
void takeServiceBytes(const char *buf, int len);  // the same from a buffer
void restartServiceBytes();  // a new connection, the display and status kept
void endAttached(int code);  // the console ends with this status
// Up to `seconds` for the service's first frame (its greeting or refusal)
// or the socket's end: 1, 0 when none came, -1 on a terminating signal.
int awaitFirstFrame(int fd, int seconds);
void sendAttachedLine(const char *line, int len);  // a typed line, without its end
bool borrowCommand(const char *line);  // "@upload", "@download" through the kestrode: asked
extern bool gbWatchOnly;  // kestrode --attach --watch: its hello is "@watch"
// A typed line of the attached console: refused here, after its notice, when
// the console only watches; one the service runs (a plain line, @settime,
// @clear, @who, @take).
bool watchRefuses(const char *line);
bool forService(const char *line);
void runGrant(const char *line, int fd);  // the port lent for it: fd is the way there
// kestrode --attach PORT --send LINE | --fetch NAME | --put FILE (script.cpp):
// one bounded errand for a script; its exit status. The instrument's answer
// goes to standard output, every notice to standard error.
struct ScriptErrand {
    const char *send;   // a line for the instrument, or nullptr
    const char *until;  // with send: the text that ends the answer, or nullptr
    int seconds;        // with send: how long the answer is awaited
    const char *fetch;  // a file of the instrument's, into the current folder
    const char *put;    // a file of this folder, to the instrument
};
int scriptMain(const char *target, const ScriptErrand &errand);
// The last lent transfer since forgetBorrow: -1 none yet, 1 it stored or
// sent the whole file, 0 it did not.
void forgetBorrow();
int borrowOutcome();
// A notice from the service, before it is shown: a script tells a refusal
// from it.
void watchServiceNotices(void (*seen)(const char *text, int len));

// Within share/
struct ShareClient {
    int fd = -1;         // -1: a free slot
    uid_t uid = 0;       // from the socket, not from the client's word
    char user[64] = {};  // its name, or the uid's digits
    int head = 0;        // its ring: where the oldest byte is
    int queued = 0;      // and how many wait
    char typed[256] = {};  // the line it is typing
    int typedLen = 0;
    int grantFD = -1;    // the end of a pair it is to be handed, with its grant
    int grantAt = 0;     // the bytes queued before that frame
    timespec since{};    // when it connected
    bool greeted = false;  // its first line made it a console
    bool attach = false;   // and that line was "@attach": kestrode --attach
    bool watch = false;    // or "@watch": it never holds the keyboard
    time_t attachedAt = 0;  // when it was greeted (the calendar's clock)
    timespec waiting{};    // since when bytes wait that it has not read
    int behind = 0;        // its output: shown, the line in progress finishing, or dropped
    long missed = 0;       // lines dropped for it since it fell behind
};
extern ShareClient gClients[SHARE_CONNECTIONS];
extern int gShareFD;  // the listening socket, -1 when not sharing
bool queueFrame(int i, char type, const char *data, int len);  // false: no room
// Output and notices about others stay below the room kept for the
// console's own notices, its grants and its last word.
bool queueShared(int i, char type, const char *data, int len);
bool queueLineEnd(int i, const char *data, int len);  // the line in progress, into its room
void outputTo(int i, const char *buf, int len, bool lineStart);  // instrument bytes (behind.cpp)
void caughtUp(int i, bool lineStart);  // after a flush: told what it missed, once it may be
void letGoUnread();                    // consoles that read nothing for SHARE_UNREAD
int unreadWaitMs();
bool shareAtLineStart();               // the instrument's bytes so far end a line
// Every other console is told (the journal is not): presence.cpp.
void tellOthers(int about, const char *format, ...) __attribute__((format(printf, 2, 3)));
void detached(int i);  // it went: the journal and the others told, its place freed
void queueWho(int i);  // @who's answer
void takeKeyboard(int i);  // @take
void checkKeyboard();  // an idle holder lets go, the others told
int keyboardWaitMs();
bool refusedForWatch(int i, const char *line, const char *shown);
bool queueGrant(int i, const char *line, int fd);  // fd goes with it; false: no room
constexpr int NOTICE_MAX = 512;  // a notice's text, cut there
int noticeText(char *text, int size, const char *format, va_list ap);  // its length
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
int relayPollFds(pollfd *fds, int room);
void serveRelay(const pollfd *fds, int count);
int relayWaitMs();
void checkRelay();
void stopRelay();
void describeRelay(char *out, size_t size);
void resetSplit();
void relayToConsole(const char *buf, int len);  // dialogue bytes (relaysplit.cpp)
void relayProgress();  // a reply relayed or a frame accepted
bool relayUpload();
bool transferBusy();  // a console's or the kestrode's own
void startBusyWaits();  // a transfer's waits serve the consoles and looks
void stopBusyWaits();
int keyboardHolder();  // its slot, or -1 when free or idle
void queueReport(int i);  // kestrode --status's lines
const char *sharedDevice();
const char *loggingSince();
void userName(uid_t uid, char *out, size_t size);
const char *shareGreeting(char *out, size_t size);
void queueLogName(int i);  // FRAME_LOG, after the greeting
