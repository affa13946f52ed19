// Windows 95/98 registry purge: removes, by editing the registry directly,
// the device class sub-keys, the "Enum\PCI" device and instance keys and the
// "Enum\Network" components bound to them that belong to supported devices.
// On Windows 2000 the class sweep hands the job to the Windows 2000 removal.
//
// Every sweep walks a key's entries by index from 0. After deleting the
// entry just read it reads the same index again, since the following
// entries have moved down; when the deletion failed and the entry is still
// there, it goes on to the next index instead, so a key that cannot be
// deleted never holds a sweep in place. A sub-key name that cannot be read,
// one too long for its buffer included, ends the sweep.
#include "netpurge.h"
#include "resource.h"

#define KEY_NAME_CHARS     512
#define VALUE_BYTES        512
#define BINDING_NAME_CHARS 128
#define PATH_CHARS         512

// Binding chains under "Enum\Network" are followed at most this deep; a
// component further down is left in place.
#define MAX_BINDING_DEPTH 16
#define DRIVER_TAIL_CHARS 4

// The components whose bindings are being followed, from the first one
// reached from an instance down to the current one.
struct BindingChain {
    int depth;
    CHAR names[MAX_BINDING_DEPTH][BINDING_NAME_CHARS];
};

// Reads a "Driver" value into a buffer of `capacity` bytes and gives its
// length: up to the first terminator, or the whole value when it fills the
// buffer without one. Nothing past the bytes read is ever looked at.
static int ReadDriverValue(HKEY key, LPCSTR name, LPSTR buffer, DWORD capacity, int *length)
{
    DWORD type = 0;
    DWORD size = capacity;
    DWORD n = 0;

    if (RegQueryValueExA(key, name, NULL, &type, (LPBYTE)buffer, &size) != ERROR_SUCCESS)
        return 0;
    while (n < size && buffer[n] != 0)
        n++;
    *length = (int)n;
    return 1;
}

// The index to read next after trying to delete the sub-key `name` read at
// `index`: the same one when the sub-key is gone, the next one when it is
// still there.
static DWORD NextIndexAfterDelete(HKEY key, DWORD index, LPCSTR name)
{
    CHAR current[KEY_NAME_CHARS];

    if (ReadSubKeyName(key, index, current, KEY_NAME_CHARS) == ERROR_SUCCESS && lstrcmpiA(current, name) == 0)
        return index + 1;
    return index;
}

// Whether the last four characters of a "Driver" value of `length`
// characters equal the whole class sub-key name. Only those four are
// copied and compared. A value shorter than four characters has no such
// tail and does not match.
static int DriverNamesClassSubKey(LPCSTR driver, int length, LPCSTR classSubKeyName)
{
    CHAR tail[DRIVER_TAIL_CHARS + 1];
    int i;

    if (length < DRIVER_TAIL_CHARS)
        return 0;
    for (i = 0; i < DRIVER_TAIL_CHARS; i++)
        tail[i] = driver[length - DRIVER_TAIL_CHARS + i];
    tail[DRIVER_TAIL_CHARS] = 0;
    return lstrcmpiA(tail, classSubKeyName) == 0;
}

static int ChainHolds(const BindingChain *chain, LPCSTR name)
{
    int i;

    for (i = 0; i < chain->depth; i++)
        if (lstrcmpiA(chain->names[i], name) == 0)
            return 1;
    return 0;
}

static int RemoveComponent(LPCSTR componentName, BindingChain *chain);

// Removes the component named by each value of an open "Bindings" key. The
// values stay, so the index always advances; the first value that cannot be
// read, one whose name or data does not fit its buffer included, ends the
// sweep. Value data is read and not used.
static void RemoveBoundComponents(HKEY bindings, BindingChain *chain)
{
    CHAR boundName[BINDING_NAME_CHARS];
    BYTE data[VALUE_BYTES];
    DWORD nameSize;
    DWORD dataSize;
    DWORD type;
    DWORD index;
    LONG rc;

    for (index = 0;; index++) {
        nameSize = BINDING_NAME_CHARS;
        dataSize = VALUE_BYTES;
        rc = RegEnumValueA(bindings, index, boundName, &nameSize, NULL, &type, data, &dataSize);
        if (rc != ERROR_SUCCESS)
            break;
        RemoveComponent(boundName, chain);
    }
}

static int RemoveComponent(LPCSTR componentName, BindingChain *chain)
{
    CHAR networkEnum[PATH_CHARS];
    CHAR bindingsName[BINDING_NAME_CHARS];
    CHAR bindingsPath[PATH_CHARS];
    CHAR componentPath[PATH_CHARS];
    HKEY bindings;
    int baseLength;
    int nameLength;

    if (LoadStringA(g_program.instance, IDS_ENUM_NETWORK, networkEnum, PATH_CHARS) == 0)
        return 0;
    if (LoadStringA(g_program.instance, IDS_BINDINGS, bindingsName, BINDING_NAME_CHARS) == 0)
        return 0;

    // A component already being visited further up is removed there, once
    // everything below it has been visited; past the depth bound nothing
    // more is followed.
    if (ChainHolds(chain, componentName) || chain->depth >= MAX_BINDING_DEPTH)
        return 1;

    // A name that is empty or begins or ends with a backslash would make the
    // path below name "Enum\Network" itself or a component type: not a
    // component.
    baseLength = lstrlenA(networkEnum);
    nameLength = lstrlenA(componentName);
    if (nameLength == 0 || componentName[0] == '\\' || componentName[nameLength - 1] == '\\')
        return 1;
    if (nameLength >= BINDING_NAME_CHARS || baseLength + 1 + nameLength + 1 + lstrlenA(bindingsName) >= PATH_CHARS)
        return 1;
    wsprintfA(bindingsPath, "%s\\%s\\%s", networkEnum, componentName, bindingsName);
    wsprintfA(componentPath, "%s\\%s", networkEnum, componentName);

    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, bindingsPath, 0, KEY_ALL_ACCESS, &bindings) != ERROR_SUCCESS)
        return 1;

    lstrcpynA(chain->names[chain->depth], componentName, BINDING_NAME_CHARS);
    chain->depth++;
    RemoveBoundComponents(bindings, chain);
    chain->depth--;
    RegCloseKey(bindings);

    RegDeleteKeyA(HKEY_LOCAL_MACHINE, componentPath);
    return 1;
}

int RemoveNetworkEnumEntry(LPCSTR componentName)
{
    BindingChain chain;

    chain.depth = 0;
    return RemoveComponent(componentName, &chain);
}

int RemoveInstanceBindings(HKEY instanceKey)
{
    CHAR bindingsName[BINDING_NAME_CHARS];
    BindingChain chain;
    HKEY bindings;

    if (LoadStringA(g_program.instance, IDS_BINDINGS, bindingsName, BINDING_NAME_CHARS) == 0)
        return 0;
    if (RegOpenKeyExA(instanceKey, bindingsName, 0, KEY_ALL_ACCESS, &bindings) != ERROR_SUCCESS)
        return 0;

    // Each bound component is removed as RemoveNetworkEnumEntry does, with
    // a chain that starts at it.
    chain.depth = 0;
    RemoveBoundComponents(bindings, &chain);
    RegCloseKey(bindings);
    return 1;
}

int MatchesModemDriverDesc(HKEY classKey, LPCSTR subKeyName)
{
    CHAR marker[VALUE_BYTES];

    if (!g_program.modemMode)
        return 0;
    if (LoadStringA(g_program.instance, IDS_MODEM_DRIVER_DESC, marker, VALUE_BYTES) == 0)
        return 0;
    return ClassSubKeyHasDescription(classKey, subKeyName, marker);
}

// Walks the instances of one supported device key. With the single-match
// flag set, removes the first instance whose "Driver" value names the class
// sub-key and returns 1; with it clear, removes every readable instance and
// returns 0.
static int PurgeDeviceInstances(HKEY deviceKey, LPCSTR driverValueName, LPCSTR classSubKeyName, int singleMatch)
{
    CHAR instanceName[KEY_NAME_CHARS];
    CHAR driver[VALUE_BYTES];
    HKEY instanceKey;
    DWORD index = 0;
    int driverLength = 0;

    for (;;) {
        if (ReadSubKeyName(deviceKey, index, instanceName, KEY_NAME_CHARS) != ERROR_SUCCESS)
            return 0;
        if (RegOpenKeyExA(deviceKey, instanceName, 0, KEY_ALL_ACCESS, &instanceKey) != ERROR_SUCCESS) {
            index++;
            continue;
        }
        if (!ReadDriverValue(instanceKey, driverValueName, driver, VALUE_BYTES, &driverLength) ||
            (singleMatch && !DriverNamesClassSubKey(driver, driverLength, classSubKeyName))) {
            RegCloseKey(instanceKey);
            index++;
            continue;
        }
        RemoveInstanceBindings(instanceKey);
        RegCloseKey(instanceKey);
        RegDeleteKeyA(deviceKey, instanceName);
        if (singleMatch)
            return 1;
        index = NextIndexAfterDelete(deviceKey, index, instanceName);
    }
}

int PurgePciEnumKeys(LPCSTR classSubKeyName, int singleMatch)
{
    CHAR deviceName[KEY_NAME_CHARS];
    CHAR driverValueName[KEY_NAME_CHARS];
    HKEY pci;
    HKEY deviceKey;
    DWORD index = 0;
    int found;

    if (!OpenMachineKey(IDS_ENUM_PCI, KEY_ALL_ACCESS, &pci))
        return 0;

    for (;;) {
        if (ReadSubKeyName(pci, index, deviceName, KEY_NAME_CHARS) != ERROR_SUCCESS)
            break;
        if (!MatchesHardwareIdPattern(deviceName) ||
            RegOpenKeyExA(pci, deviceName, 0, KEY_ALL_ACCESS, &deviceKey) != ERROR_SUCCESS) {
            index++;
            continue;
        }
        if (LoadStringA(g_program.instance, IDS_DRIVER_VALUE, driverValueName, KEY_NAME_CHARS) == 0) {
            RegCloseKey(deviceKey);
            index++;
            continue;
        }
        found = PurgeDeviceInstances(deviceKey, driverValueName, classSubKeyName, singleMatch);
        RegCloseKey(deviceKey);
        if (singleMatch) {
            if (found) {
                RegCloseKey(pci);
                return 1;
            }
            // A device key whose instances held no match stays.
            index++;
            continue;
        }
        RegDeleteKeyA(pci, deviceName);
        index = NextIndexAfterDelete(pci, index, deviceName);
    }
    RegCloseKey(pci);
    return 0;
}

int PurgeAllPciEnumKeys(void) { return PurgePciEnumKeys("", 0); }

int PurgeClassKeys9x(void)
{
    CHAR subKeyName[KEY_NAME_CHARS];
    HKEY classKey;
    DWORD index = 0;
    int count = 0;

    if (IsWindows2000())
        return RemoveWin2000Adapters();

    if (!OpenMachineKey(g_program.modemMode ? IDS_CLASS_MODEM : IDS_CLASS_NET, KEY_ALL_ACCESS, &classKey))
        return 0;

    for (;;) {
        if (ReadSubKeyName(classKey, index, subKeyName, KEY_NAME_CHARS) != ERROR_SUCCESS)
            break;
        if (PurgePciEnumKeys(subKeyName, 1) || MatchesModemDriverDesc(classKey, subKeyName)) {
            RegDeleteKeyA(classKey, subKeyName);
            count++;
            index = NextIndexAfterDelete(classKey, index, subKeyName);
        } else {
            index++;
        }
    }
    RegCloseKey(classKey);
    return count;
}
