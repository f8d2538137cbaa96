// Gives the terminal back its modes when a signal ends the program while they are changed (echo
// off for a password, the line editor's raw keys): Ctrl+C, Ctrl+\, a hang-up or a request to end
// then leaves the operator's terminal as it was. Main thread.
#pragma once

#include <termios.h>

// From now on SIGINT, SIGQUIT, SIGTERM and SIGHUP set `modes` on terminal `fd` again and end the
// program with 128 + the signal's number (SIGQUIT without a core dump).
void HoldTerminalModes(int fd, const termios& modes);
// The signals act as they did before HoldTerminalModes (the modes are the caller's to restore).
void ReleaseTerminalModes();
