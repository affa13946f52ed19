// Functions bound at run time (LoadLibraryA/GetProcAddress, resolved once
// per function), one per row of bound_list.h. Each is declared with the exact type of the platform
// function it stands for, so a signature that drifts does not compile.
// When the DLL or the function is missing, the call fails the way the real
// function fails, with ERROR_CALL_NOT_IMPLEMENTED as its error: a handle
// function returns NULL (SetupDiGetClassDevsA INVALID_HANDLE_VALUE), a BOOL
// function FALSE, a registry function that code, a COM function the HRESULT
// of that code; the last error is set where the real function sets one.
// Include <windows.h>, <objbase.h> and <setupapi.h> before this header.
#pragma once

#include "platform/windows/bound_list.h"

#define NP_BOUND_DECLARE(dll, name) extern "C" decltype(::name) NpBound_##name;
NP_BOUND_FUNCTIONS(NP_BOUND_DECLARE)
#undef NP_BOUND_DECLARE
