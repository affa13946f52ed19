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

// The DLLs of bound_list.h's first column, and one slot per row.
enum BoundDll { kDll_advapi32, kDll_setupapi, kDll_ole32, kDll_kernel32, kDllCount };

const char *const kDllNames[kDllCount] = {"advapi32.dll", "setupapi.dll", "ole32.dll", "kernel32.dll"};

#define NP_BOUND_ENUM(dll, name) kFn_##name,
enum BoundFunction { NP_BOUND_FUNCTIONS(NP_BOUND_ENUM) kFnCount };
#undef NP_BOUND_ENUM

struct FunctionRow {
    BoundDll dll;
    const char *name;
};

#define NP_BOUND_ROW(dll, name) {kDll_##dll, #name},
const FunctionRow kFunctions[kFnCount] = {NP_BOUND_FUNCTIONS(NP_BOUND_ROW)};
#undef NP_BOUND_ROW

struct DllSlot {
    HMODULE module;
    bool tried;
};
DllSlot g_dlls[kDllCount];

struct ProcSlot {
    FARPROC proc;
    bool tried;
};
ProcSlot g_procs[kFnCount];

FARPROC Resolve(BoundFunction function)
{
    ProcSlot &slot = g_procs[function];
    if (!slot.tried) {
        DllSlot &d = g_dlls[kFunctions[function].dll];
        if (!d.tried) {
            d.module = LoadLibraryA(kDllNames[kFunctions[function].dll]);
            d.tried = true;
        }
        slot.proc = d.module != NULL ? GetProcAddress(d.module, kFunctions[function].name) : NULL;
        slot.tried = true;
    }
    return slot.proc;
}

// The typed pointer of a bound function, or NULL when it cannot be bound.
template <typename Function>
Function *Bind(BoundFunction function)
{
    return reinterpret_cast<Function *>(reinterpret_cast<void *>(Resolve(function)));
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

// Defines NpBound_NAME, a row of bound_list.h, with the parameters PARAMS
// and the argument list ARGS: it calls the bound function, or evaluates
// FAILURE when there is none. A name without a row has no kFn_ slot and
// does not compile; kDefined_NAME marks the row as defined.
#define NP_BOUND(result, name, params, args, failure)                 \
    extern "C" result WINAPI NpBound_##name params                    \
    {                                                                 \
        decltype(::name) *bound = Bind<decltype(::name)>(kFn_##name); \
        if (bound == NULL)                                            \
            return failure;                                           \
        return bound args;                                            \
    }                                                                 \
    constexpr bool kDefined_##name = true;

// The same for a function without a result: with its DLL missing nothing
// was allocated or initialised, so there is nothing to undo.
#define NP_BOUND_VOID(name, params, args)                             \
    extern "C" void WINAPI NpBound_##name params                      \
    {                                                                 \
        decltype(::name) *bound = Bind<decltype(::name)>(kFn_##name); \
        if (bound != NULL)                                            \
            bound args;                                               \
    }                                                                 \
    constexpr bool kDefined_##name = true;

NP_BOUND(SC_HANDLE, OpenSCManagerA, (LPCSTR machine, LPCSTR database, DWORD access), (machine, database, access),
         FailWithLastError<SC_HANDLE>(NULL))
NP_BOUND(BOOL, CloseServiceHandle, (SC_HANDLE handle), (handle), FailWithLastError<BOOL>(FALSE))
NP_BOUND(LONG, RegSetKeySecurity, (HKEY key, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR sd), (key, info, sd),
         (LONG)kUnbound)
NP_BOUND(LONG, RegGetKeySecurity, (HKEY key, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR sd, LPDWORD size),
         (key, info, sd, size), (LONG)kUnbound)
NP_BOUND(BOOL, OpenProcessToken, (HANDLE process, DWORD access, PHANDLE token), (process, access, token),
         FailWithLastError<BOOL>(FALSE))
NP_BOUND(BOOL, GetTokenInformation, (HANDLE token, TOKEN_INFORMATION_CLASS cls, LPVOID info, DWORD size, PDWORD needed),
         (token, cls, info, size, needed), FailWithLastError<BOOL>(FALSE))
NP_BOUND(DWORD, GetLengthSid, (PSID sid), (sid), FailWithLastError<DWORD>(0))
NP_BOUND(BOOL, InitializeAcl, (PACL acl, DWORD size, DWORD revision), (acl, size, revision),
         FailWithLastError<BOOL>(FALSE))
NP_BOUND(BOOL, AddAccessAllowedAce, (PACL acl, DWORD revision, DWORD mask, PSID sid), (acl, revision, mask, sid),
         FailWithLastError<BOOL>(FALSE))
NP_BOUND(BOOL, InitializeSecurityDescriptor, (PSECURITY_DESCRIPTOR sd, DWORD revision), (sd, revision),
         FailWithLastError<BOOL>(FALSE))
NP_BOUND(BOOL, SetSecurityDescriptorDacl, (PSECURITY_DESCRIPTOR sd, BOOL present, PACL dacl, BOOL defaulted),
         (sd, present, dacl, defaulted), FailWithLastError<BOOL>(FALSE))
NP_BOUND(BOOL, IsValidSecurityDescriptor, (PSECURITY_DESCRIPTOR sd), (sd), FailWithLastError<BOOL>(FALSE))

NP_BOUND(HDEVINFO, SetupDiGetClassDevsA, (CONST GUID * cls, PCSTR enumerator, HWND parent, DWORD flags),
         (cls, enumerator, parent, flags), FailWithLastError<HDEVINFO>(INVALID_HANDLE_VALUE))
NP_BOUND(BOOL, SetupDiEnumDeviceInfo, (HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data), (set, index, data),
         FailWithLastError<BOOL>(FALSE))
NP_BOUND(BOOL, SetupDiGetDeviceInstanceIdA, (HDEVINFO set, PSP_DEVINFO_DATA data, PSTR id, DWORD size, PDWORD needed),
         (set, data, id, size, needed), FailWithLastError<BOOL>(FALSE))
NP_BOUND(BOOL, SetupDiGetDeviceRegistryPropertyA,
         (HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property, PDWORD type, PBYTE buffer, DWORD size, PDWORD needed),
         (set, data, property, type, buffer, size, needed), FailWithLastError<BOOL>(FALSE))
NP_BOUND(BOOL, SetupDiRemoveDevice, (HDEVINFO set, PSP_DEVINFO_DATA data), (set, data), FailWithLastError<BOOL>(FALSE))
NP_BOUND(BOOL, SetupDiDestroyDeviceInfoList, (HDEVINFO set), (set), FailWithLastError<BOOL>(FALSE))

NP_BOUND(DWORD, GetLongPathNameA, (LPCSTR shortPath, LPSTR longPath, DWORD size), (shortPath, longPath, size),
         FailWithLastError<DWORD>(0))

NP_BOUND(HRESULT, CoInitialize, (LPVOID reserved), (reserved), HRESULT_FROM_WIN32(kUnbound))
NP_BOUND(HRESULT, CoCreateInstance, (REFCLSID cls, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID *object),
         (cls, outer, context, iid, object), (*object = NULL, HRESULT_FROM_WIN32(kUnbound)))

// The two COM functions without a result.
NP_BOUND_VOID(CoTaskMemFree, (LPVOID block), (block))
NP_BOUND_VOID(CoUninitialize, (void), ())

// Every row of bound_list.h is defined above.
#define NP_BOUND_DEFINED(dll, name) static_assert(kDefined_##name, #name " has no NP_BOUND definition");
NP_BOUND_FUNCTIONS(NP_BOUND_DEFINED)
#undef NP_BOUND_DEFINED
