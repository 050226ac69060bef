#include "terminal/terminal.h"

int main(int argc, char **argv) { return kestrodeMain(argc, argv); }
