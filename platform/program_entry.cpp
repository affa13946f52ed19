#include "platform/program_entry.h"

LPSTR CommandLineTail(LPSTR command_line)
{
    LPSTR p = command_line;
    if (*p == '"') {
        ++p;
        while (*p != '\0' && *p != '"')
            ++p;
        if (*p == '"')
            ++p;
    } else {
        while ((unsigned char)*p > ' ')
            ++p;
    }
    while (*p != '\0' && (unsigned char)*p <= ' ')
        ++p;
    return p;
}

int RunProgram(void)
{
    return WinMain(GetModuleHandleA(NULL), NULL, CommandLineTail(GetCommandLineA()), SW_SHOWDEFAULT);
}
