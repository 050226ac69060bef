#include "terminal/link.h"

int gTermFD = -1;
bool gbRun = true;
bool gbFirstChar = true;
volatile sig_atomic_t gSignal = 0;
dev_t gLogDev = 0;
ino_t gLogIno = 0;
