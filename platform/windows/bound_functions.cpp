// Run-time binding of the functions that Windows 95 lacks: the NT service
// control manager and security functions of advapi32, GetLongPathNameA of
// kernel32 (Windows 98 and 2000 on), the device installer (setupapi.dll) and
// COM (ole32.dll). Each function is looked up on its first
// call and the result, found or not, is kept for the life of the process.
// The DLLs stay loaded until the process ends.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <objbase.h>
#include <setupapi.h>

#include "platform/windows/bound_functions.h"

namespace {

enum BoundDll { kAdvapi32, kSetupapi, kOle32, kKernel32, kDllCount };

const char *const kDllNames[kDllCount] = {"advapi32.dll", "setupapi.dll", "ole32.dll", "kernel32.dll"};

struct DllSlot {
    HMODULE module;
    bool tried;
};
DllSlot g_dlls[kDllCount];

struct ProcSlot {
    FARPROC proc;
    bool tried;
};

FARPROC Resolve(ProcSlot &slot, BoundDll dll, const char *name)
{
    if (!slot.tried) {
        DllSlot &d = g_dlls[dll];
        if (!d.tried) {
            d.module = LoadLibraryA(kDllNames[dll]);
            d.tried = true;
        }
        slot.proc = d.module != NULL ? GetProcAddress(d.module, name) : NULL;
        slot.tried = true;
    }
    return slot.proc;
}

// The typed pointer of a bound function, or NULL when it cannot be bound.
template <typename Function>
Function *Bind(ProcSlot &slot, BoundDll dll, const char *name)
{
    return reinterpret_cast<Function *>(reinterpret_cast<void *>(Resolve(slot, dll, name)));
}

const DWORD kUnbound = ERROR_CALL_NOT_IMPLEMENTED;

// The three shapes of failure: a last-error code with a result, a returned
// error code (registry), a returned HRESULT (COM).
template <typename Result>
Result FailWithLastError(Result result)
{
    SetLastError(kUnbound);
    return result;
}

}  // namespace

// Defines NpBound_NAME with the parameters PARAMS and the argument list ARGS:
// it calls the bound function, or evaluates FAILURE when there is none.
#define NP_BOUND(dll, result, name, params, args, failure)                  \
    extern "C" result WINAPI NpBound_##name params                          \
    {                                                                       \
        static ProcSlot slot;                                               \
        decltype(::name) *bound = Bind<decltype(::name)>(slot, dll, #name); \
        if (bound == NULL)                                                  \
            return failure;                                                 \
        return bound args;                                                  \
    }

NP_BOUND(kAdvapi32, SC_HANDLE, OpenSCManagerA, (LPCSTR machine, LPCSTR database, DWORD access),
         (machine, database, access), FailWithLastError<SC_HANDLE>(NULL))
NP_BOUND(kAdvapi32, BOOL, CloseServiceHandle, (SC_HANDLE handle), (handle), FailWithLastError<BOOL>(FALSE))
NP_BOUND(kAdvapi32, LONG, RegSetKeySecurity, (HKEY key, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR sd),
         (key, info, sd), (LONG)kUnbound)
NP_BOUND(kAdvapi32, LONG, RegGetKeySecurity,
         (HKEY key, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR sd, LPDWORD size), (key, info, sd, size),
         (LONG)kUnbound)
NP_BOUND(kAdvapi32, BOOL, OpenProcessToken, (HANDLE process, DWORD access, PHANDLE token), (process, access, token),
         FailWithLastError<BOOL>(FALSE))
NP_BOUND(kAdvapi32, BOOL, GetTokenInformation,
         (HANDLE token, TOKEN_INFORMATION_CLASS cls, LPVOID info, DWORD size, PDWORD needed),
         (token, cls, info, size, needed), FailWithLastError<BOOL>(FALSE))
NP_BOUND(kAdvapi32, DWORD, GetLengthSid, (PSID sid), (sid), FailWithLastError<DWORD>(0))
NP_BOUND(kAdvapi32, BOOL, InitializeAcl, (PACL acl, DWORD size, DWORD revision), (acl, size, revision),
         FailWithLastError<BOOL>(FALSE))
NP_BOUND(kAdvapi32, BOOL, AddAccessAllowedAce, (PACL acl, DWORD revision, DWORD mask, PSID sid),
         (acl, revision, mask, sid), FailWithLastError<BOOL>(FALSE))
NP_BOUND(kAdvapi32, BOOL, InitializeSecurityDescriptor, (PSECURITY_DESCRIPTOR sd, DWORD revision), (sd, revision),
         FailWithLastError<BOOL>(FALSE))
NP_BOUND(kAdvapi32, BOOL, SetSecurityDescriptorDacl, (PSECURITY_DESCRIPTOR sd, BOOL present, PACL dacl, BOOL defaulted),
         (sd, present, dacl, defaulted), FailWithLastError<BOOL>(FALSE))
NP_BOUND(kAdvapi32, BOOL, IsValidSecurityDescriptor, (PSECURITY_DESCRIPTOR sd), (sd), FailWithLastError<BOOL>(FALSE))

NP_BOUND(kSetupapi, HDEVINFO, SetupDiGetClassDevsA, (CONST GUID * cls, PCSTR enumerator, HWND parent, DWORD flags),
         (cls, enumerator, parent, flags), FailWithLastError<HDEVINFO>(INVALID_HANDLE_VALUE))
NP_BOUND(kSetupapi, BOOL, SetupDiEnumDeviceInfo, (HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data), (set, index, data),
         FailWithLastError<BOOL>(FALSE))
NP_BOUND(kSetupapi, BOOL, SetupDiGetDeviceInstanceIdA,
         (HDEVINFO set, PSP_DEVINFO_DATA data, PSTR id, DWORD size, PDWORD needed), (set, data, id, size, needed),
         FailWithLastError<BOOL>(FALSE))
NP_BOUND(kSetupapi, BOOL, SetupDiGetDeviceRegistryPropertyA,
         (HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property, PDWORD type, PBYTE buffer, DWORD size, PDWORD needed),
         (set, data, property, type, buffer, size, needed), FailWithLastError<BOOL>(FALSE))
NP_BOUND(kSetupapi, BOOL, SetupDiRemoveDevice, (HDEVINFO set, PSP_DEVINFO_DATA data), (set, data),
         FailWithLastError<BOOL>(FALSE))
NP_BOUND(kSetupapi, BOOL, SetupDiDestroyDeviceInfoList, (HDEVINFO set), (set), FailWithLastError<BOOL>(FALSE))

NP_BOUND(kKernel32, DWORD, GetLongPathNameA, (LPCSTR shortPath, LPSTR longPath, DWORD size),
         (shortPath, longPath, size), FailWithLastError<DWORD>(0))

NP_BOUND(kOle32, HRESULT, CoInitialize, (LPVOID reserved), (reserved), HRESULT_FROM_WIN32(kUnbound))
NP_BOUND(kOle32, HRESULT, CoCreateInstance, (REFCLSID cls, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID *object),
         (cls, outer, context, iid, object), (*object = NULL, HRESULT_FROM_WIN32(kUnbound)))

// The two COM functions without a result: with ole32 missing nothing was
// allocated or initialised, so there is nothing to undo.
extern "C" void WINAPI NpBound_CoTaskMemFree(LPVOID block)
{
    static ProcSlot slot;
    decltype(::CoTaskMemFree) *bound = Bind<decltype(::CoTaskMemFree)>(slot, kOle32, "CoTaskMemFree");
    if (bound != NULL)
        bound(block);
}

extern "C" void WINAPI NpBound_CoUninitialize(void)
{
    static ProcSlot slot;
    decltype(::CoUninitialize) *bound = Bind<decltype(::CoUninitialize)>(slot, kOle32, "CoUninitialize");
    if (bound != NULL)
        bound();
}
