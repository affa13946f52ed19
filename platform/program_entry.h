// The program's own entry, shared by both targets: the Windows start-up
// stub and the simulator's runner both call RunProgram.
#pragma once
#include "platform/win32.h"

// The command-line tail as a C runtime would pass it to WinMain: the program
// name is skipped (a quoted one up to its closing quote, an unquoted one up
// to the first blank), then blanks and control characters (codes up to 32).
LPSTR CommandLineTail(LPSTR command_line);

// Calls WinMain with the module handle and the tail of GetCommandLineA, and
// returns its result, the process exit code.
int RunProgram(void);
