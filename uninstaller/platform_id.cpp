// Which platform is running, and which devices are ours.
#include "netpurge.h"
#include "resource.h"
#include "supported_devices.h"

#define VERSION_RECORD_SIZE 148
#define PATTERN_CHARS       512

// Fills a fresh version record. A failed query leaves platform id and major
// version 0, which belongs to no platform class.
static void QueryVersion(OSVERSIONINFOA *info)
{
    info->dwOSVersionInfoSize = VERSION_RECORD_SIZE;
    info->dwMajorVersion = 0;
    info->dwPlatformId = 0;
    if (!GetVersionExA(info)) {
        info->dwMajorVersion = 0;
        info->dwPlatformId = 0;
    }
}

int IsWindows9x(void)
{
    OSVERSIONINFOA info;
    QueryVersion(&info);
    return info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS;
}

int IsWindowsNT4(void)
{
    OSVERSIONINFOA info;
    QueryVersion(&info);
    return info.dwPlatformId == VER_PLATFORM_WIN32_NT && info.dwMajorVersion == 4;
}

int IsWindows2000(void)
{
    OSVERSIONINFOA info;
    QueryVersion(&info);
    return info.dwPlatformId == VER_PLATFORM_WIN32_NT && info.dwMajorVersion == 5;
}

int IsSupportedAdapterId(int vendor, int device)
{
    OSVERSIONINFOA info;
    QueryVersion(&info);
    if (vendor != SUPPORTED_VENDOR)
        return 0;
#define SUPPORTED_DEVICE_CASE(id, nt_only) \
    if (device == (id))                    \
        return (nt_only) ? info.dwPlatformId == VER_PLATFORM_WIN32_NT : 1;
    SUPPORTED_DEVICES(SUPPORTED_DEVICE_CASE)
#undef SUPPORTED_DEVICE_CASE
    return 0;
}

static int HexDigitValue(CHAR c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int ParseHexField(LPCSTR text, int count)
{
    DWORD value = 0;
    int i;
    if (count <= 0)
        return 0;
    for (i = 0; i < count; i++) {
        int digit = HexDigitValue(text[i]);
        if (digit < 0)
            return 0;  // also stops at the terminating zero
        value = (value << 4) + (DWORD)digit;
    }
    return (int)value;
}

// Compares name and pattern over the pattern's length (a prefix match), or,
// with bothWays, over the length of the shorter of the two.
static int MatchesPattern(LPCSTR name, UINT patternId, BOOL bothWays)
{
    CHAR pattern[PATTERN_CHARS];
    CHAR copy[PATTERN_CHARS];
    int patternLength;
    int nameLength;
    if (LoadStringA(g_program.instance, patternId, pattern, PATTERN_CHARS) <= 0)
        return -1;
    lstrcpynA(copy, name, PATTERN_CHARS);
    patternLength = lstrlenA(pattern);
    nameLength = lstrlenA(copy);
    if (nameLength > patternLength)
        copy[patternLength] = '\0';
    else if (bothWays && nameLength < patternLength)
        pattern[nameLength] = '\0';
    return lstrcmpiA(copy, pattern) == 0;
}

int MatchesHardwareIdPattern(LPCSTR name)
{
    int result;
    // Key names on the served platforms are far shorter; a longer one is not ours.
    if (lstrlenA(name) > PATTERN_CHARS - 1)
        return 0;
    if (!g_program.modemMode)
        return MatchesPattern(name, IDS_PATTERN_ADAPTER, FALSE) == 1;
    result = MatchesPattern(name, IDS_PATTERN_MODEM_1, TRUE);
    if (result != 0)
        return result == 1;
    return MatchesPattern(name, IDS_PATTERN_MODEM_2, TRUE) == 1;
}
