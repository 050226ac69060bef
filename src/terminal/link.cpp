#include "terminal/link.h"

int gTermFD = -1;
bool gbRun = true;
bool gbFirstChar = true;
