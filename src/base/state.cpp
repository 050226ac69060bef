#include "base/base.h"

int gTermFD = -1;
bool gbRun = true;
bool gbFirstChar = true;
bool gbPortLost = false;
bool gbPortIsSocket = false;
volatile sig_atomic_t gSignal = 0;
