#include "base/base.h"

int gTermFD = -1;
bool gbRun = true;
bool gbFirstChar = true;
volatile sig_atomic_t gSignal = 0;
