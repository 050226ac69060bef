// The serial link and the run flags every subsystem shares.
#pragma once

extern int gTermFD;       // open serial device, -1 until the port is set up
extern bool gbRun;        // the event loop runs while this is true
extern bool gbFirstChar;  // the next instrument byte starts a console line
