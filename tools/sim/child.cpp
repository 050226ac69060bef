// The program run on the device (--run), the process watched by --exit-with,
// and the signals that end the simulator. The child is ended with the
// simulator, even if the simulator itself is killed.
#include <errno.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "sim.h"

volatile int gSignalled = 0;
static pid_t gChild = -1;
static double gLastWatch = 0;

// ^C on the terminal reaches the program run here too, which decides what
// it means (it may only stop a transfer); the simulator ends with it.
static void onSignal(int sig) {
    if (sig == SIGINT && gChild > 0) return;
    gSignalled = sig;
}

void signalsInstall() {
    struct sigaction sa{};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

static void execChild(pid_t parent) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);  // the simulator is already gone
    signal(SIGPIPE, SIG_DFL);
    std::vector<char *> argv;
    for (char **a = gOpt.run; *a; ++a) argv.push_back(*a);
    argv.push_back(const_cast<char *>(gDevicePath.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    fprintf(stderr, "kestrode-sim: cannot run %s: %s\n", argv[0], strerror(errno));
    _exit(127);
}

bool childStart() {
    pid_t parent = getpid();
    gChild = fork();
    if (gChild == 0) execChild(parent);
    if (gChild < 0) perror("kestrode-sim: fork");
    return gChild > 0;
}

static int exitStatus(int st) { return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st); }

bool childExited(int *status) {
    int st = 0;
    if (gChild <= 0 || waitpid(gChild, &st, WNOHANG) != gChild) return false;
    *status = exitStatus(st);
    gChild = -1;
    return true;
}

// Asks the child to end, then insists; always reaps it.
void childStop(int *status) {
    if (gChild <= 0) return;
    kill(gChild, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        if (childExited(status)) return;
        usleep(10000);
    }
    kill(gChild, SIGKILL);
    int st = 0;
    if (waitpid(gChild, &st, 0) == gChild) *status = exitStatus(st);
    gChild = -1;
}

// A process that has ended but not yet been reaped by its parent counts as gone.
static bool zombie(pid_t pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", (int)pid);
    FILE *f = fopen(path, "r");
    if (!f) return false;
    char state = 0;
    int n = fscanf(f, "%*d (%*[^)]) %c", &state);
    fclose(f);
    return n == 1 && state == 'Z';
}

bool watchedGone(double now) {
    if (gOpt.exitWith <= 0 || now - gLastWatch < 0.1) return false;
    gLastWatch = now;
    return (kill(gOpt.exitWith, 0) != 0 && errno == ESRCH) || zombie(gOpt.exitWith);
}
