// The Win32 registry functions of the simulated machine. Each one checks
// the arguments the platform checks itself and hands the rest to the
// machine's Registry.
#include "machine.h"

namespace {

constexpr REGSAM kMaximumAllowed = 0x02000000;  // MAXIMUM_ALLOWED

sim::win32::Registry& reg() { return sim::win32::machine().registry; }

// Every key reports an empty class and a last-write time of zero.
void no_class(LPSTR cls, LPDWORD cls_size) {
  if (!cls_size) return;
  if (cls && *cls_size > 0) cls[0] = '\0';
  *cls_size = 0;
}

void zero_time(PFILETIME time) {
  if (time) *time = FILETIME{0, 0};
}

}  // namespace

LONG WINAPI RegOpenKeyExA(HKEY key, LPCSTR subkey, DWORD /*options*/, REGSAM sam, PHKEY result) {
  return reg().open_key(key, subkey, sam, result, false, nullptr);
}

LONG WINAPI RegOpenKeyA(HKEY key, LPCSTR subkey, PHKEY result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  // The 16-bit form hands back the very handle it was given for an empty
  // sub-key, without a new handle to close.
  if (!subkey || !*subkey) {
    *result = key;
    return ERROR_SUCCESS;
  }
  return reg().open_key(key, subkey, kMaximumAllowed, result, false, nullptr);
}

LONG WINAPI RegCreateKeyExA(HKEY key, LPCSTR subkey, DWORD /*reserved*/, LPSTR /*cls*/, DWORD /*options*/,
                            REGSAM sam, LPSECURITY_ATTRIBUTES /*sa*/, PHKEY result, LPDWORD disposition) {
  return reg().open_key(key, subkey, sam, result, true, disposition);
}

LONG WINAPI RegCloseKey(HKEY key) { return reg().close_key(key); }

LONG WINAPI RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD name_size, LPDWORD reserved, LPSTR cls,
                          LPDWORD cls_size, PFILETIME last_write) {
  if (reserved) return ERROR_INVALID_PARAMETER;
  LONG rc = reg().enum_key(key, index, name, name_size);
  if (rc == ERROR_SUCCESS) {
    no_class(cls, cls_size);
    zero_time(last_write);
  }
  return rc;
}

LONG WINAPI RegEnumKeyA(HKEY key, DWORD index, LPSTR name, DWORD name_size) {
  return reg().enum_key(key, index, name, &name_size);
}

LONG WINAPI RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD name_size, LPDWORD reserved, LPDWORD type,
                          LPBYTE data, LPDWORD data_size) {
  if (reserved) return ERROR_INVALID_PARAMETER;
  return reg().enum_value(key, index, name, name_size, type, data, data_size);
}

LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD data_size) {
  if (reserved) return ERROR_INVALID_PARAMETER;
  return reg().query_value(key, name, type, data, data_size);
}

LONG WINAPI RegSetValueExA(HKEY key, LPCSTR name, DWORD /*reserved*/, DWORD type, const BYTE* data, DWORD size) {
  return reg().set_value(key, name, type, data, size);
}

LONG WINAPI RegDeleteKeyA(HKEY key, LPCSTR subkey) { return reg().delete_key(key, subkey); }

LONG WINAPI RegDeleteValueA(HKEY key, LPCSTR name) { return reg().delete_value(key, name); }

LONG WINAPI RegQueryInfoKeyA(HKEY key, LPSTR cls, LPDWORD cls_size, LPDWORD /*reserved*/, LPDWORD subkeys,
                             LPDWORD max_subkey_len, LPDWORD max_class_len, LPDWORD values,
                             LPDWORD max_value_name_len, LPDWORD max_value_len, LPDWORD security_descriptor_size,
                             PFILETIME last_write) {
  LONG rc = reg().query_info(key, subkeys, max_subkey_len, values, max_value_name_len, max_value_len);
  if (rc == ERROR_SUCCESS) {
    no_class(cls, cls_size);
    if (max_class_len) *max_class_len = 0;
    if (security_descriptor_size) *security_descriptor_size = 0;
    zero_time(last_write);
  }
  return rc;
}

LONG WINAPI RegSetKeySecurity(HKEY key, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR sd) {
  return reg().set_key_security(key, info, sd);
}
