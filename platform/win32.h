// The only Win32 header the uninstaller's logic includes.
// Windows build: the real platform headers, plus the glue that binds at run
// time what Windows 95 lacks. Host build: the same names, types, widths and
// constants, implemented by the simulated Windows machine in sim/win32.
#pragma once

#ifdef _WIN32
#include "win32_windows.h"
#else
#include "host/win32_host.h"
#endif
