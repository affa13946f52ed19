// Functions bound at run time (LoadLibraryA/GetProcAddress, resolved once
// per function). Each is declared with the exact type of the platform
// function it stands for, so a signature that drifts does not compile.
// When the DLL or the function is missing, the call fails the way the real
// function fails, with ERROR_CALL_NOT_IMPLEMENTED as its error: a handle
// function returns NULL (SetupDiGetClassDevsA INVALID_HANDLE_VALUE), a BOOL
// function FALSE, a registry function that code, a COM function the HRESULT
// of that code; the last error is set where the real function sets one.
// Include <windows.h>, <objbase.h> and <setupapi.h> before this header.
#pragma once

#define NP_BOUND_DECLARE(name) extern "C" decltype(::name) NpBound_##name

NP_BOUND_DECLARE(OpenSCManagerA);
NP_BOUND_DECLARE(CloseServiceHandle);
NP_BOUND_DECLARE(RegSetKeySecurity);
NP_BOUND_DECLARE(RegGetKeySecurity);
NP_BOUND_DECLARE(OpenProcessToken);
NP_BOUND_DECLARE(GetTokenInformation);
NP_BOUND_DECLARE(GetLengthSid);
NP_BOUND_DECLARE(InitializeAcl);
NP_BOUND_DECLARE(AddAccessAllowedAce);
NP_BOUND_DECLARE(InitializeSecurityDescriptor);
NP_BOUND_DECLARE(SetSecurityDescriptorDacl);
NP_BOUND_DECLARE(IsValidSecurityDescriptor);
NP_BOUND_DECLARE(SetupDiGetClassDevsA);
NP_BOUND_DECLARE(SetupDiEnumDeviceInfo);
NP_BOUND_DECLARE(SetupDiGetDeviceInstanceIdA);
NP_BOUND_DECLARE(SetupDiGetDeviceRegistryPropertyA);
NP_BOUND_DECLARE(SetupDiRemoveDevice);
NP_BOUND_DECLARE(SetupDiDestroyDeviceInfoList);
NP_BOUND_DECLARE(GetLongPathNameA);
NP_BOUND_DECLARE(CoInitialize);
NP_BOUND_DECLARE(CoCreateInstance);
NP_BOUND_DECLARE(CoTaskMemFree);
NP_BOUND_DECLARE(CoUninitialize);

#undef NP_BOUND_DECLARE
