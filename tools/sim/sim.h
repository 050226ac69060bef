// kestrode-sim: a simulated air monitor behind a pseudo-terminal (or on a
// serial device, --attach), for demos, training and end-to-end tests of
// kestrode. One thread, one poll loop; the parts below meet only through
// these functions and the settings in gOpt.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

// Command-line settings, fixed once start-up has parsed them.
struct SimOptions {
    double period = 1.0;     // seconds between readings; 0 turns them off
    double clockRate = 1.0;  // the instrument's clock runs this many times as fast
    bool stamp = false;      // each reading begins with the instrument's clock
    std::string storage;     // folder of stored files; empty: a temporary one
    std::string link;        // symlink made to the device, or empty
    std::string attach;      // existing serial device to use, or empty
    std::string transcript;  // file receiving every byte sent, or empty
    long baud = 0;           // line speed imitated in each direction; 0: unpaced
    int nakEvery = 0;        // upload: reject every Nth frame received
    int corruptEvery = 0;    // download: damage every Nth frame sent
    int silentAfter = -1;    // a transfer falls silent after N frames
    int hangupAfter = -1;    // the line hangs up after N frames of a transfer
    int remarkEvery = 0;     // every Nth transfer reply carries "# " remarks
    int remarkLines = 1;     // how many remarks ride on such a reply
    int noiseEvery = 0;      // a burst of noise before every Nth message
    double muteAfter = -1;   // readings stop this long after the first boot,
    double muteFor = 60;     // for this long (a frozen adapter); once a run
    std::string finRemark;   // text after "@FIN" at the end of a download
    unsigned long seed = 0;  // 0: seeded from the clock
    pid_t exitWith = 0;      // stop once this process is gone
    bool stay = false;       // serve the next host after one leaves
    bool verbose = false;    // protocol events on standard error
    bool measureInUploads = false;  // readings go on while the host uploads
    char **run = nullptr;    // program run on the device (path appended)
};
extern SimOptions gOpt;

// options.cpp
bool parseOptions(int argc, char **argv, int *status);

// clock.cpp: monotonic time for the loop, and the instrument's own clock
double monoNow();
void clockBoot();
void clockSet(long long epochSeconds);
long long clockNow();
bool clockWasSet();
std::string clockText(long long epochSeconds);
std::string clockStamp(long long epochSeconds);  // 2026-12-08T04:18:16Z

// rng.cpp
void rngSeed(unsigned long seed);
unsigned long rngNext();
double rngUniform();  // [0, 1)

// line.cpp: the pseudo-terminal and whether a host holds it
extern int gMaster;
extern std::string gDevicePath;
bool lineOpen();
bool lineHostPresent();
bool lineHeldDown();  // the host set speed 0: hung up
bool lineHostConfigured();
void lineForgetHost();
void lineHangUp();
bool linkMake();
void linkRemove();

// attach.cpp: an existing serial device instead of our own pseudo-terminal
bool attached();
bool attachOpen();
bool attachPeerPresent();  // reopens a device that hung up

// transcript.cpp
bool transcriptOpen();
void transcriptAdd(const char *p, size_t n);

// wire.cpp: both directions of the line, paced to the baud rate
void wireSend(const std::string &bytes, double delay = 0);
void wireClear();
bool wireOutputIdle();
short wirePollEvents(double now);
double wireNextWake(double now);
bool wireService(short revents, double now);  // false once the host is gone
size_t wireTakeInput(char *dst, size_t cap, double now);

// storage.cpp
struct StoredFile {
    std::string name;
    long long size;
};
bool storageInit();
void storageCleanup();
bool storageNameOk(const std::string &name);
std::string storagePath(const std::string &name);
std::string storagePartPath(const std::string &name);
std::vector<StoredFile> storageList();
long long storageSize(const std::string &name);  // -1: no such file

// readings.cpp
void readingsReset();
std::string readingLine();

// session.cpp: boot, banner, readings and the prompt
void sessionStart(double now);
void sessionStop();
void sessionTick(double now, double *wake);
void sessionReboot(double now);
bool sessionBooted();
void sendMessage(const std::string &text, double delay = 0);
void answer(const std::vector<std::string> &lines);
void promptSoon(double now);
void promptCancel();

// input.cpp: received bytes into lines, handed to the shell or a transfer
void inputReset();
void inputBytes(const char *p, size_t n, double now);
bool inputMidLine(double now);

// shell.cpp
void shellLine(const std::string &line, double now);

// upload.cpp / download.cpp
void uploadStart(const std::string &args, double now);
bool uploadActive();
void uploadLine(const std::string &line, double now);
void uploadTick(double now, double *wake);
void uploadAbort();
void downloadStart(const std::string &args, double now);
bool downloadActive();
void downloadLine(const std::string &line, double now);
void downloadTick(double now, double *wake);
void downloadAbort();
bool transferActive();

// frames.cpp: the "@DAT" line
std::string frameEncode(const unsigned char *p, size_t n);
int frameDecode(const std::string &line, unsigned char *dst, size_t cap);  // -1: bad
void frameCorrupt(std::string &frame);

// faults.cpp
void faultsTransferStart();
bool faultNak(int framesReceived);
bool faultCorrupt(int framesSent);
bool faultSilent(int framesDone);
bool faultHangUp(int framesDone);
void transferReply(const std::string &text);
std::string noiseBurst();
extern bool gHangUpNow;

// child.cpp: the program run on the device, the watched process, signals
extern volatile int gSignalled;
void signalsInstall();
bool childStart();
bool childExited(int *status);
void childStop(int *status);
bool watchedGone(double now);

// log to standard error when asked for
void note(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
