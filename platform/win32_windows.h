// Windows target: the real platform headers, then the redirection of every
// function that Windows 95 does not export (or exports only as a stub), the
// rows of platform/windows/bound_list.h, to the run-time bound glue of
// platform/windows. The logic keeps calling these
// functions by their platform names; the program's import table keeps only
// what every served Windows version exports.
#pragma once
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <objbase.h>
#include <setupapi.h>
#include <netcfgx.h>
#include <devguid.h>

#include "platform/windows/bound_functions.h"

// Service control manager (the rights test): NT only.
#define OpenSCManagerA     NpBound_OpenSCManagerA
#define CloseServiceHandle NpBound_CloseServiceHandle
// Security of registry keys and of the process token: NT only.
#define RegSetKeySecurity            NpBound_RegSetKeySecurity
#define RegGetKeySecurity            NpBound_RegGetKeySecurity
#define OpenProcessToken             NpBound_OpenProcessToken
#define GetTokenInformation          NpBound_GetTokenInformation
#define GetLengthSid                 NpBound_GetLengthSid
#define InitializeAcl                NpBound_InitializeAcl
#define AddAccessAllowedAce          NpBound_AddAccessAllowedAce
#define InitializeSecurityDescriptor NpBound_InitializeSecurityDescriptor
#define SetSecurityDescriptorDacl    NpBound_SetSecurityDescriptorDacl
#define IsValidSecurityDescriptor    NpBound_IsValidSecurityDescriptor
// Device installer (setupapi.dll): not part of Windows 95.
#define SetupDiGetClassDevsA              NpBound_SetupDiGetClassDevsA
#define SetupDiEnumDeviceInfo             NpBound_SetupDiEnumDeviceInfo
#define SetupDiGetDeviceInstanceIdA       NpBound_SetupDiGetDeviceInstanceIdA
#define SetupDiGetDeviceRegistryPropertyA NpBound_SetupDiGetDeviceRegistryPropertyA
#define SetupDiRemoveDevice               NpBound_SetupDiRemoveDevice
#define SetupDiDestroyDeviceInfoList      NpBound_SetupDiDestroyDeviceInfoList
// Long names of a path: Windows 98 and Windows 2000 on, not 95 or NT 4.
#define GetLongPathNameA NpBound_GetLongPathNameA
// COM (ole32.dll): loaded only by the code that needs it.
#define CoInitialize     NpBound_CoInitialize
#define CoCreateInstance NpBound_CoCreateInstance
#define CoTaskMemFree    NpBound_CoTaskMemFree
#define CoUninitialize   NpBound_CoUninitialize

// The redirections above are the rows of bound_list.h: a #define without a
// row names an undeclared NpBound_ function, a row without its #define fails
// here.
namespace np_bound_check {
constexpr bool Same(const char *a, const char *b) { return *a == *b && (*a == '\0' || Same(a + 1, b + 1)); }
}  // namespace np_bound_check
#define NP_BOUND_TEXT(x)     #x
#define NP_BOUND_EXPANDED(x) NP_BOUND_TEXT(x)
#define NP_BOUND_REDIRECTED(dll, name)                                             \
    static_assert(np_bound_check::Same(NP_BOUND_EXPANDED(name), "NpBound_" #name), \
                  #name " is bound at run time but not redirected");
NP_BOUND_FUNCTIONS(NP_BOUND_REDIRECTED)
#undef NP_BOUND_REDIRECTED
#undef NP_BOUND_EXPANDED
#undef NP_BOUND_TEXT
