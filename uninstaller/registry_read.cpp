// Registry reads that the Windows 95/98 purge and the Windows NT 4 removal
// share: sub-key names by index, keys under HKEY_LOCAL_MACHINE named by a
// string resource, and the "DriverDesc" of a device class sub-key.
#include "netpurge.h"

#define READ_VALUE_BYTES 512

static const CHAR kDriverDescValue[] = "DriverDesc";

LONG ReadSubKeyName(HKEY key, DWORD index, LPSTR name, DWORD capacity)
{
    DWORD size = capacity;
    return RegEnumKeyExA(key, index, name, &size, NULL, NULL, NULL, NULL);
}

int OpenMachineKey(UINT pathId, REGSAM access, HKEY *key)
{
    CHAR path[NETPURGE_TEXT_CHARS];

    if (LoadStringA(g_program.instance, pathId, path, NETPURGE_TEXT_CHARS) <= 0)
        return 0;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, key) == ERROR_SUCCESS;
}

// Reads a string value into a buffer of `capacity` bytes and terminates it.
// A value that does not fit with its terminator counts as unreadable.
static int ReadStringValue(HKEY key, LPCSTR name, LPSTR buffer, DWORD capacity)
{
    DWORD type = 0;
    DWORD size = capacity;

    if (RegQueryValueExA(key, name, NULL, &type, (LPBYTE)buffer, &size) != ERROR_SUCCESS)
        return 0;
    if (size < capacity)
        buffer[size] = 0;
    else if (buffer[capacity - 1] != 0)
        return 0;
    return 1;
}

int ClassSubKeyHasDescription(HKEY classKey, LPCSTR subKeyName, LPCSTR description)
{
    CHAR value[READ_VALUE_BYTES];
    HKEY subKey;
    int read;

    if (RegOpenKeyExA(classKey, subKeyName, 0, KEY_ALL_ACCESS, &subKey) != ERROR_SUCCESS)
        return 0;
    read = ReadStringValue(subKey, kDriverDescValue, value, READ_VALUE_BYTES);
    RegCloseKey(subKey);
    return read && lstrcmpiA(value, description) == 0;
}
