// The one list of the functions bound at run time: the Win32 functions that
// Windows 95 lacks (or exports only as a stub). Each row names the DLL that
// exports the function and the function. From this list come the
// declarations of the NpBound_ glue (bound_functions.h), the slots and
// names it resolves (bound_functions.cpp), the export check of
// npbindcheck.exe (bind_check.cpp), and the compile-time check that
// platform/win32_windows.h redirects every row and nothing else.
// Adding a function: a row here, its #define in platform/win32_windows.h and
// its failure shape (NP_BOUND) in bound_functions.cpp; a missing piece
// does not compile or link.
#pragma once

#define NP_BOUND_FUNCTIONS(X)                         \
    /* Service control manager: NT only. */           \
    X(advapi32, OpenSCManagerA)                       \
    X(advapi32, CloseServiceHandle)                   \
    /* Security of keys and the token: NT only. */    \
    X(advapi32, RegSetKeySecurity)                    \
    X(advapi32, RegGetKeySecurity)                    \
    X(advapi32, OpenProcessToken)                     \
    X(advapi32, GetTokenInformation)                  \
    X(advapi32, GetLengthSid)                         \
    X(advapi32, InitializeAcl)                        \
    X(advapi32, AddAccessAllowedAce)                  \
    X(advapi32, InitializeSecurityDescriptor)         \
    X(advapi32, SetSecurityDescriptorDacl)            \
    X(advapi32, IsValidSecurityDescriptor)            \
    /* Device installer: not part of Windows 95. */   \
    X(setupapi, SetupDiGetClassDevsA)                 \
    X(setupapi, SetupDiEnumDeviceInfo)                \
    X(setupapi, SetupDiGetDeviceInstanceIdA)          \
    X(setupapi, SetupDiGetDeviceRegistryPropertyA)    \
    X(setupapi, SetupDiRemoveDevice)                  \
    X(setupapi, SetupDiDestroyDeviceInfoList)         \
    /* Windows 98 and 2000 on, not 95 or NT 4. */     \
    X(kernel32, GetLongPathNameA)                     \
    /* COM: loaded only by the code that needs it. */ \
    X(ole32, CoInitialize)                            \
    X(ole32, CoCreateInstance)                        \
    X(ole32, CoTaskMemFree)                           \
    X(ole32, CoUninitialize)
