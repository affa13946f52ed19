// npbindcheck.exe: exercises the run-time bound functions through the same
// redirections the uninstaller's logic uses, and reports each result that is
// not what the platform's own function would give. Run by the Wine checks
// twice: "bound" with every DLL present (where each row of bound_list.h must
// be exported by its DLL), "unbound" with setupapi.dll and
// ole32.dll made unloadable, where every call must fail the documented way.
// Prints one line per failed check; the exit code is the number of failures.
#include "platform/program_entry.h"

namespace {

int g_failures;

void Say(LPCSTR text)
{
    DWORD written;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, (DWORD)lstrlenA(text), &written, NULL);
}

void Check(bool ok, LPCSTR what)
{
    if (!ok) {
        ++g_failures;
        Say("FAILED: ");
        Say(what);
        Say("\r\n");
    }
}

const GUID kNetClass = {0x4D36E972, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const GUID kNoSuchClass = {0x01234567, 0x89AB, 0xCDEF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};

// Every row of bound_list.h is exported by the DLL the row names, under
// that name (the glue looks it up there and nowhere else).
struct ExportRow {
    LPCSTR dll;
    LPCSTR name;
};

#define NP_BOUND_EXPORT(dll, name) {#dll ".dll", #name},
const ExportRow kExports[] = {NP_BOUND_FUNCTIONS(NP_BOUND_EXPORT)};
#undef NP_BOUND_EXPORT

void CheckExports(void)
{
    for (const ExportRow &row : kExports) {
        HMODULE module = LoadLibraryA(row.dll);
        if (module == NULL || GetProcAddress(module, row.name) == NULL) {
            ++g_failures;
            Say("FAILED: ");
            Say(row.dll);
            Say(" exports ");
            Say(row.name);
            Say("\r\n");
        }
    }
}

void CheckBound(void)
{
    CheckExports();
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    Check(manager != NULL, "OpenSCManagerA gives a handle");
    if (manager != NULL)
        Check(CloseServiceHandle(manager) != FALSE, "CloseServiceHandle closes it");

    HANDLE token = NULL;
    Check(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) != FALSE, "OpenProcessToken");
    DWORD needed = 0;
    Check(GetTokenInformation(token, TokenUser, NULL, 0, &needed) == FALSE && needed > 0,
          "GetTokenInformation reports the size of TokenUser");
    CloseHandle(token);

    SECURITY_DESCRIPTOR sd;
    Check(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) != FALSE, "InitializeSecurityDescriptor");
    Check(SetSecurityDescriptorDacl(&sd, TRUE, NULL, FALSE) != FALSE, "SetSecurityDescriptorDacl");
    Check(IsValidSecurityDescriptor(&sd) != FALSE, "IsValidSecurityDescriptor");
    DWORD size = 0;
    Check(RegGetKeySecurity(HKEY_LOCAL_MACHINE, DACL_SECURITY_INFORMATION, NULL, &size) == ERROR_INSUFFICIENT_BUFFER &&
              size > 0,
          "RegGetKeySecurity reports the size of a key's descriptor");

    HDEVINFO set = SetupDiGetClassDevsA(&kNetClass, NULL, NULL, DIGCF_PRESENT);
    Check(set != INVALID_HANDLE_VALUE, "SetupDiGetClassDevsA gives a device list");
    if (set != INVALID_HANDLE_VALUE)
        Check(SetupDiDestroyDeviceInfoList(set) != FALSE, "SetupDiDestroyDeviceInfoList");

    CHAR longName[MAX_PATH];
    DWORD length = GetLongPathNameA("C:\\", longName, MAX_PATH);
    Check(length > 0 && length < MAX_PATH, "GetLongPathNameA gives the long form of C:\\");

    HRESULT hr = CoInitialize(NULL);
    Check(SUCCEEDED(hr), "CoInitialize");
    void *object = &object;
    Check(FAILED(CoCreateInstance(kNoSuchClass, NULL, CLSCTX_INPROC_SERVER, kNoSuchClass, &object)) && object == NULL,
          "CoCreateInstance of an unknown class fails and clears the pointer");
    if (SUCCEEDED(hr))
        CoUninitialize();
}

void CheckUnbound(void)
{
    SetLastError(0);
    Check(SetupDiGetClassDevsA(&kNetClass, NULL, NULL, DIGCF_PRESENT) == INVALID_HANDLE_VALUE &&
              GetLastError() == ERROR_CALL_NOT_IMPLEMENTED,
          "SetupDiGetClassDevsA fails with ERROR_CALL_NOT_IMPLEMENTED");
    SP_DEVINFO_DATA data;
    data.cbSize = sizeof(data);
    SetLastError(0);
    Check(SetupDiEnumDeviceInfo(NULL, 0, &data) == FALSE && GetLastError() == ERROR_CALL_NOT_IMPLEMENTED,
          "SetupDiEnumDeviceInfo fails");
    Check(SetupDiRemoveDevice(NULL, &data) == FALSE, "SetupDiRemoveDevice fails");
    Check(SetupDiDestroyDeviceInfoList(NULL) == FALSE, "SetupDiDestroyDeviceInfoList fails");

    Check(CoInitialize(NULL) == HRESULT_FROM_WIN32(ERROR_CALL_NOT_IMPLEMENTED), "CoInitialize fails");
    void *object = &object;
    Check(FAILED(CoCreateInstance(kNetClass, NULL, CLSCTX_INPROC_SERVER, kNetClass, &object)) && object == NULL,
          "CoCreateInstance fails and clears the pointer");
    CoTaskMemFree(NULL);
    CoUninitialize();
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR tail, int)
{
    if (lstrcmpiA(tail, "bound") == 0)
        CheckBound();
    else if (lstrcmpiA(tail, "unbound") == 0)
        CheckUnbound();
    else
        Check(false, "usage: npbindcheck bound|unbound");
    return g_failures;
}
