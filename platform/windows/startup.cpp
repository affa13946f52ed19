// The process entry of netpurge.exe. There is no C runtime: the loader calls
// this stub directly, and the program's exit code goes to ExitProcess.
#include "platform/program_entry.h"

// Windows 95 and NT 4 start a process with a stack aligned to 4 bytes only;
// the stub realigns it for the code compiled with the usual assumptions.
extern "C" __attribute__((force_align_arg_pointer, noreturn)) void WinMainCRTStartup(void)
{
    ExitProcess((UINT)RunProgram());
}
