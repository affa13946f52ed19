// Windows target: the real platform headers, then the redirection of every
// function that Windows 95 does not export (or exports only as a stub) to the
// run-time bound glue of platform/windows. The logic keeps calling these
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
