// Placeholder while the terminal lands.
#include "terminal/terminal.h"
int kestrodeMain(int, char **) { return 0; }
