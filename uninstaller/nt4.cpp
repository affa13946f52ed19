// Windows NT 4 removal: deletes, by editing the registry directly, the modem
// class sub-keys whose driver description is the one the program looks for
// (each with its root-enumerated device instance), the Unimodem entries
// whose names begin with that description, and finally the whole
// root-enumerated device key of the modem.
//
// The NT family deletes only a key without sub-keys, so DeleteKeyTree empties
// each key depth-first first. The root-enumerated keys are writable by SYSTEM
// alone; for them the current user is given full control over each key just
// before it is opened. That access list replaces the key's own, so the key's
// previous list is kept and written back whenever the key is not deleted in
// the end: a key left behind stays readable as before.
#include "netpurge.h"
#include "resource.h"

#define NT4_NAME_CHARS  512
#define NT4_VALUE_BYTES 512
// The registry's own limit on the depth of a key tree.
#define NT4_MAX_TREE_DEPTH 512
// Every standard and specific right: what the granted entry allows.
#define NT4_FULL_CONTROL 0x1FFFFF
// KEY_READ together with WRITE_DAC: enough to replace the access list.
#define NT4_GRANT_ACCESS (KEY_READ | WRITE_DAC)

static void FreeBlock(LPVOID block)
{
    if (block != NULL)
        HeapFree(GetProcessHeap(), 0, block);
}

DWORD GetCurrentUserSid(PSID *sidCopy)
{
    HANDLE token;
    TOKEN_USER *user = NULL;
    PSID copy;
    DWORD needed = 0;
    DWORD length;
    DWORD error = 0;
    DWORD i;

    *sidCopy = NULL;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        error = GetLastError();
        return error != 0 ? error : ERROR_ACCESS_DENIED;
    }
    // The first call, with no buffer, only reports the size needed.
    if (!GetTokenInformation(token, TokenUser, NULL, 0, &needed)) {
        error = GetLastError();
        if (error == ERROR_INSUFFICIENT_BUFFER)
            error = 0;
    }
    if (error == 0 && needed == 0)
        error = ERROR_INVALID_PARAMETER;
    if (error == 0) {
        user = (TOKEN_USER *)HeapAlloc(GetProcessHeap(), 0, needed);
        if (user == NULL)
            error = ERROR_NOT_ENOUGH_MEMORY;
    }
    if (error == 0 && !GetTokenInformation(token, TokenUser, user, needed, &needed)) {
        error = GetLastError();
        if (error == 0)
            error = ERROR_INVALID_PARAMETER;
    }
    if (error == 0) {
        length = GetLengthSid(user->User.Sid);
        copy = length != 0 ? HeapAlloc(GetProcessHeap(), 0, length) : NULL;
        if (copy == NULL) {
            error = ERROR_NOT_ENOUGH_MEMORY;
        } else {
            for (i = 0; i < length; i++)
                ((BYTE *)copy)[i] = ((const BYTE *)user->User.Sid)[i];
            *sidCopy = copy;
        }
    }
    // The token and its information go on every path; only the SID copy,
    // handed out on success, outlives the call.
    FreeBlock(user);
    CloseHandle(token);
    return error;
}

// Reads the whole security descriptor of an open key into a heap block
// sized for it. Returns the block, or NULL when it cannot be read.
static PSECURITY_DESCRIPTOR ReadKeyDacl(HKEY key)
{
    PSECURITY_DESCRIPTOR saved;
    DWORD size = 0;

    if (RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, NULL, &size) != ERROR_INSUFFICIENT_BUFFER || size == 0)
        return NULL;
    saved = HeapAlloc(GetProcessHeap(), 0, size);
    if (saved == NULL)
        return NULL;
    if (RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, saved, &size) != ERROR_SUCCESS) {
        FreeBlock(saved);
        return NULL;
    }
    return saved;
}

int GrantKeyFullAccess(HKEY parent, LPCSTR name, PSECURITY_DESCRIPTOR *previous)
{
    SECURITY_DESCRIPTOR descriptor;
    PSID sid = NULL;
    PACL acl = NULL;
    PSECURITY_DESCRIPTOR saved = NULL;
    HKEY key = NULL;
    DWORD aclSize;
    int granted = 0;

    if (previous != NULL)
        *previous = NULL;
    if (GetCurrentUserSid(&sid) != 0 || sid == NULL)
        return 0;

    // One access-allowed entry: 8 bytes of list header, 8 bytes of entry
    // header and mask, then the SID.
    aclSize = GetLengthSid(sid) + 16;
    acl = (PACL)HeapAlloc(GetProcessHeap(), 0, aclSize);
    if (acl != NULL && InitializeAcl(acl, aclSize, ACL_REVISION) &&
        AddAccessAllowedAce(acl, ACL_REVISION, NT4_FULL_CONTROL, sid) &&
        InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
        SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE) && IsValidSecurityDescriptor(&descriptor) &&
        RegOpenKeyExA(parent, name, 0, NT4_GRANT_ACCESS, &key) == ERROR_SUCCESS) {
        // The list about to be replaced is kept for the caller, who puts it
        // back if the key stays; a list that cannot be kept is not replaced.
        if (previous != NULL)
            saved = ReadKeyDacl(key);
        if ((previous == NULL || saved != NULL) &&
            RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &descriptor) == ERROR_SUCCESS) {
            granted = 1;
            if (previous != NULL) {
                *previous = saved;
                saved = NULL;
            }
        }
    }
    if (key != NULL)
        RegCloseKey(key);
    FreeBlock(saved);
    FreeBlock(acl);
    FreeBlock(sid);
    return granted;
}

// Writes back the access list that GrantKeyFullAccess replaced, on a key
// that stays, and releases the kept copy.
static void RestoreKeyDacl(HKEY parent, LPCSTR name, PSECURITY_DESCRIPTOR saved)
{
    HKEY key;

    if (saved == NULL)
        return;
    if (RegOpenKeyExA(parent, name, 0, NT4_GRANT_ACCESS, &key) == ERROR_SUCCESS) {
        RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, saved);
        RegCloseKey(key);
    }
    FreeBlock(saved);
}

static int DeleteKeyTreeAt(HKEY parent, LPCSTR name, int grant, int depth)
{
    CHAR subKeyName[NT4_NAME_CHARS];
    PSECURITY_DESCRIPTOR saved = NULL;
    HKEY key;
    int deleted;

    if (depth > NT4_MAX_TREE_DEPTH) {
        ReportError(NULL);
        return 0;
    }
    if (grant && !GrantKeyFullAccess(parent, name, &saved)) {
        ReportError(NULL);
        return 0;
    }
    if (RegOpenKeyExA(parent, name, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
        ReportError(NULL);
        RestoreKeyDacl(parent, name, saved);
        return 0;
    }
    // Each deleted sub-key leaves the next one at index 0.
    for (;;) {
        if (ReadSubKeyName(key, 0, subKeyName, NT4_NAME_CHARS) != ERROR_SUCCESS)
            break;
        if (!DeleteKeyTreeAt(key, subKeyName, grant, depth + 1)) {
            RegCloseKey(key);
            RestoreKeyDacl(parent, name, saved);
            return 0;
        }
    }
    RegCloseKey(key);
    deleted = RegDeleteKeyA(parent, name) == ERROR_SUCCESS;
    if (deleted)
        FreeBlock(saved);
    else
        RestoreKeyDacl(parent, name, saved);
    return deleted;
}

int DeleteKeyTree(HKEY parent, LPCSTR name, int grant) { return DeleteKeyTreeAt(parent, name, grant, 1); }

int RemoveRootEnumKeys(LPCSTR instanceName)
{
    CHAR deviceName[NT4_NAME_CHARS];
    HKEY root;
    HKEY device;
    int result;

    if (LoadStringA(g_program.instance, IDS_NT_MODEM_ROOT_PREFIX, deviceName, NT4_NAME_CHARS) <= 0)
        return 0;
    if (!OpenMachineKey(IDS_ENUM_ROOT, KEY_READ, &root))
        return 0;
    if (instanceName == NULL) {
        result = DeleteKeyTree(root, deviceName, 1);
    } else if (RegOpenKeyExA(root, deviceName, 0, KEY_READ, &device) != ERROR_SUCCESS) {
        result = 0;
    } else {
        result = DeleteKeyTree(device, instanceName, 1);
        RegCloseKey(device);
    }
    RegCloseKey(root);
    return result;
}

static int SweepClassKey(LPCSTR classPath, LPCSTR description)
{
    CHAR subKeyName[NT4_NAME_CHARS];
    HKEY classKey;
    DWORD index = 0;
    int count = 0;

    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, classPath, 0, KEY_ALL_ACCESS, &classKey) != ERROR_SUCCESS)
        return 0;
    for (;;) {
        if (ReadSubKeyName(classKey, index, subKeyName, NT4_NAME_CHARS) != ERROR_SUCCESS)
            break;
        if (!ClassSubKeyHasDescription(classKey, subKeyName, description)) {
            index++;
            continue;
        }
        if (DeleteKeyTree(classKey, subKeyName, 0)) {
            count++;
        } else {
            index++;
        }
        RemoveRootEnumKeys(subKeyName);
    }
    RegCloseKey(classKey);
    return count;
}

static void SweepUnimodemKey(LPCSTR description)
{
    CHAR subKeyName[NT4_NAME_CHARS];
    CHAR prefix[NT4_NAME_CHARS];
    HKEY unimodem;
    DWORD index = 0;
    int descriptionLength = lstrlenA(description);

    if (!OpenMachineKey(IDS_UNIMODEM_SPECIFIC, KEY_ALL_ACCESS, &unimodem))
        return;
    for (;;) {
        if (ReadSubKeyName(unimodem, index, subKeyName, NT4_NAME_CHARS) != ERROR_SUCCESS)
            break;
        // The name cut at the description's length equals the description
        // when the name begins with it.
        lstrcpynA(prefix, subKeyName, NT4_NAME_CHARS);
        if (descriptionLength < NT4_NAME_CHARS)
            prefix[descriptionLength] = 0;
        if (lstrcmpiA(prefix, description) != 0) {
            index++;
            continue;
        }
        if (!DeleteKeyTree(unimodem, subKeyName, 0))
            break;
    }
    RegCloseKey(unimodem);
}

int RemoveNt4Adapters(void)
{
    CHAR description[NT4_VALUE_BYTES];
    CHAR classPath[NT4_NAME_CHARS];
    int count;

    if (LoadStringA(g_program.instance, IDS_MODEM_DRIVER_DESC, description, NT4_VALUE_BYTES) <= 0)
        return 0;
    if (LoadStringA(g_program.instance, IDS_NT_MODEM_CLASS, classPath, NT4_NAME_CHARS) <= 0)
        return 0;
    count = SweepClassKey(classPath, description);
    SweepUnimodemKey(description);
    RemoveRootEnumKeys(NULL);
    return count;
}
