/* Reads and tests key security under Wine, for the NT 4 removal check.
 *   keyacl sddl KEY...   prints "KEY<TAB>SDDL" (owner and access list) per
 *                        key below HKEY_LOCAL_MACHINE, or "KEY<TAB>-" when
 *                        the key is missing or its security unreadable
 *   keyacl set KEY SDDL  gives the key below HKEY_LOCAL_MACHINE the owner and
 *                        access list of the SDDL text
 *   keyacl probe         tells whether key access lists are enforced: makes
 *                        a key, gives it an empty access list (which on NT
 *                        refuses everyone but the owner's READ_CONTROL and
 *                        WRITE_DAC), then tries to read and to delete it
 * Exit: 0 done, 1 a call failed. */
#include <windows.h>
#include <sddl.h>
#include <stdio.h>
#include <string.h>

static int PrintSddl(const char *path)
{
    HKEY key;
    char sd[4096];
    DWORD size = sizeof sd;
    char *text = NULL;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, READ_CONTROL, &key);
    if (rc != ERROR_SUCCESS) {
        printf("%s\t-\n", path);
        return 0;
    }
    rc = RegGetKeySecurity(key, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, sd, &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS ||
        !ConvertSecurityDescriptorToStringSecurityDescriptorA(
            sd, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, NULL)) {
        printf("%s\t-\n", path);
        return 0;
    }
    printf("%s\t%s\n", path, text);
    LocalFree(text);
    return 0;
}

static int SetSddl(const char *path, const char *sddl)
{
    PSECURITY_DESCRIPTOR sd = NULL;
    HKEY key;
    LONG rc;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd, NULL)) {
        printf("bad SDDL %s: error %lu\n", sddl, (unsigned long)GetLastError());
        return 1;
    }
    rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, WRITE_DAC | WRITE_OWNER, &key);
    if (rc == ERROR_SUCCESS) {
        rc = RegSetKeySecurity(key, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, sd);
        RegCloseKey(key);
    }
    LocalFree(sd);
    if (rc != ERROR_SUCCESS) {
        printf("%s: error %ld\n", path, (long)rc);
        return 1;
    }
    return 0;
}

static int Probe(void)
{
    static const char name[] = "Software\\NetpurgeAclProbe";
    SECURITY_DESCRIPTOR sd;
    ACL empty;
    HKEY key;
    LONG rc;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, name, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL) != ERROR_SUCCESS)
        return 1;
    InitializeAcl(&empty, sizeof empty, ACL_REVISION);
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, &empty, FALSE);
    rc = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &sd);
    printf("set-empty-dacl\t%ld\n", (long)rc);
    RegCloseKey(key);
    PrintSddl(name);
    rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, name, 0, KEY_READ, &key);
    printf("open-read\t%ld\n", (long)rc);
    if (rc == ERROR_SUCCESS)
        RegCloseKey(key);
    rc = RegDeleteKeyA(HKEY_LOCAL_MACHINE, name);
    printf("delete\t%ld\n", (long)rc);
    return 0;
}

int main(int argc, char **argv)
{
    int i;
    if (argc >= 2 && strcmp(argv[1], "probe") == 0)
        return Probe();
    if (argc == 4 && strcmp(argv[1], "set") == 0)
        return SetSddl(argv[2], argv[3]);
    if (argc >= 2 && strcmp(argv[1], "sddl") == 0) {
        for (i = 2; i < argc; i++)
            PrintSddl(argv[i]);
        return 0;
    }
    fprintf(stderr, "usage: keyacl sddl KEY... | keyacl set KEY SDDL | keyacl probe\n");
    return 1;
}
