// The setup-section launcher: locates the setup information file of the
// adapters (or modems) and starts the platform's section runner on its
// uninstall section, as a separate process that is not waited for. Also the
// uninstaller's one way of reading a registry value named by string ids.
#include "netpurge.h"
#include "resource.h"

#define INF_PATH_CHARS    128
#define INF_COMMAND_CHARS 512
#define INF_RUNNER_MODE   "132"

int IsBlankName(LPCSTR name)
{
    for (; *name; ++name) {
        if (*name != ' ' && *name != '.')
            return 0;
    }
    return 1;
}

int ReadRegistryStringValue(HKEY root, UINT keyId, UINT valueId, LPBYTE buffer, DWORD size)
{
    CHAR keyPath[NETPURGE_TEXT_CHARS];
    CHAR valueName[NETPURGE_TEXT_CHARS];
    HKEY key;
    DWORD length = size;
    LONG status;

    if (buffer == NULL || size == 0)
        return 0;
    buffer[0] = 0;
    if (LoadStringA(g_program.instance, keyId, keyPath, NETPURGE_TEXT_CHARS) <= 0)
        return 0;
    if (LoadStringA(g_program.instance, valueId, valueName, NETPURGE_TEXT_CHARS) <= 0)
        return 0;
    if (RegOpenKeyExA(root, keyPath, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return 0;
    status = RegQueryValueExA(key, valueName, NULL, NULL, buffer, &length);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || length > size) {
        buffer[0] = 0;
        return 0;
    }
    // Callers use the data as text: it must end inside the buffer. Data
    // stored without its terminator gets one when there is room; data that
    // fills the whole buffer without one is too long for it.
    if (length == 0 || buffer[length - 1] != 0) {
        if (length >= size) {
            buffer[0] = 0;
            return 0;
        }
        buffer[length] = 0;
    }
    return 1;
}

// The folder of installed setup files: the Windows folder's Inf folder on
// the NT family, the value "SetupScratchDir" on Windows 95/98.
static int GetSetupFolder(LPSTR folder)
{
    UINT length;
    if (IsWindowsNT4() || IsWindows2000()) {
        length = GetWindowsDirectoryA(folder, INF_PATH_CHARS);
        if (length == 0 || length >= INF_PATH_CHARS || length + 4 >= INF_PATH_CHARS) {
            ReportError("GetInfFile");
            return 0;
        }
        lstrcatA(folder, "\\Inf");
        return 1;
    }
    return ReadRegistryStringValue(HKEY_LOCAL_MACHINE, IDS_SETUP_KEY, IDS_SETUP_SCRATCH, (LPBYTE)folder,
                                   INF_PATH_CHARS);
}

// Tells an interactive user that a named setup file is missing, so its
// uninstall section was not run. A name of blanks and dots is no file a
// user could look for (modem mode's name is two blanks): no notice then.
static void ShowMissingFileNotice(HWND owner, LPCSTR fileName, LPCSTR path)
{
    CHAR first[NETPURGE_TEXT_CHARS];
    CHAR second[NETPURGE_TEXT_CHARS];
    CHAR notice[NETPURGE_TEXT_CHARS];

    if (g_program.silentMode || IsBlankName(fileName))
        return;
    if (LoadStringA(g_program.instance, IDS_INF_MISSING_1, first, NETPURGE_TEXT_CHARS) <= 0)
        return;
    if (LoadStringA(g_program.instance, IDS_INF_MISSING_2, second, NETPURGE_TEXT_CHARS) <= 0)
        return;
    if (lstrlenA(first) + 1 + lstrlenA(path) + 2 + lstrlenA(second) >= NETPURGE_TEXT_CHARS)
        return;
    wsprintfA(notice, "%s %s.\n%s", first, path, second);
    if (g_program.title[0] == 0)
        LoadModeTitle();
    MessageBoxA(owner, notice, g_program.title, MB_ICONWARNING | MB_OK);
}

int GetInfFile(HWND owner, LPSTR path, int capacity, UINT fileId)
{
    CHAR fileName[NETPURGE_NAME_CHARS];
    CHAR folder[INF_PATH_CHARS];
    OFSTRUCT found;

    if (path == NULL || capacity <= 0)
        return 0;
    path[0] = 0;
    if (LoadStringA(g_program.instance, fileId, fileName, NETPURGE_NAME_CHARS) <= 0)
        return 0;

    // The platform's search for a bare name: program folder, current
    // folder, system folders, Windows folder, search path. Only a file
    // beside the program counts: one the search found in the current
    // folder or on the search path (where anyone may have put one) counts
    // as not found, and the setup folder decides.
    found.cBytes = sizeof found;
    if (OpenFile(fileName, &found, OF_EXIST) != HFILE_ERROR && g_program.programFolder[0] != 0) {
        if (lstrlenA(g_program.programFolder) + lstrlenA(fileName) >= capacity) {
            ReportError("GetInfFile");
            return 0;
        }
        wsprintfA(path, "%s%s", g_program.programFolder, fileName);
        found.cBytes = sizeof found;
        if (OpenFile(path, &found, OF_EXIST) != HFILE_ERROR)
            return 1;
        path[0] = 0;
    }

    if (!GetSetupFolder(folder))
        return 0;
    if (lstrlenA(folder) + 1 + lstrlenA(fileName) >= capacity) {
        ReportError("GetInfFile");
        return 0;
    }
    wsprintfA(path, "%s\\%s", folder, fileName);
    found.cBytes = sizeof found;
    if (OpenFile(path, &found, OF_EXIST) != HFILE_ERROR)
        return 1;
    // Missing: a silent run hands the path to the runner all the same,
    // which deals with the missing file itself; an interactive run starts
    // nothing.
    if (g_program.silentMode)
        return 1;
    ShowMissingFileNotice(owner, fileName, path);
    return 0;
}

int LaunchInfSection(HWND owner, UINT fileId, UINT sectionId)
{
    CHAR located[INF_PATH_CHARS];
    CHAR prefix[INF_PATH_CHARS];
    CHAR section[INF_PATH_CHARS];
    CHAR folder[INF_PATH_CHARS];
    CHAR program[INF_PATH_CHARS];
    CHAR command[INF_COMMAND_CHARS];
    LPCSTR arguments;
    int programLength;
    int quoted;
    UINT folderLength;
    int nt;

    if (!GetInfFile(owner, located, INF_PATH_CHARS, fileId))
        return 0;
    nt = IsWindowsNT4() || IsWindows2000();
    if (LoadStringA(g_program.instance, nt ? IDS_RUNNER_NT : IDS_RUNNER_9X, prefix, INF_PATH_CHARS) <= 0)
        return 0;
    if (LoadStringA(g_program.instance, sectionId, section, INF_PATH_CHARS) <= 0)
        return 0;

    // The runner's program is started by its full path in the folder where
    // the platform keeps it (the Windows folder on Windows 95/98, the system
    // folder on the NT family): a bare name would be looked up in this
    // program's own folder first, where anyone could have put one.
    for (programLength = 0; prefix[programLength] && prefix[programLength] != ' '; ++programLength) {
    }
    arguments = prefix + programLength;
    folderLength = nt ? GetSystemDirectoryA(folder, INF_PATH_CHARS) : GetWindowsDirectoryA(folder, INF_PATH_CHARS);
    if (folderLength == 0 || folderLength >= INF_PATH_CHARS) {
        ReportError("LaunchInfSection");
        return 0;
    }
    if (folderLength > 0 && folder[folderLength - 1] == '\\')
        folder[--folderLength] = 0;
    lstrcpynA(program, prefix, programLength + 1);
    quoted = 0;
    for (UINT i = 0; i < folderLength; ++i) {
        if (folder[i] == ' ')
            quoted = 1;
    }
    // quote + folder + backslash + program + quote + arguments + blank +
    // section + blank + mode + blank + path + terminator
    if (2 * quoted + (int)folderLength + 1 + programLength + lstrlenA(arguments) + 1 + lstrlenA(section) + 1 +
            lstrlenA(INF_RUNNER_MODE) + 1 + lstrlenA(located) >=
        INF_COMMAND_CHARS) {
        ReportError("LaunchInfSection");
        return 0;
    }
    wsprintfA(command, quoted ? "\"%s\\%s\"%s %s " INF_RUNNER_MODE " %s" : "%s\\%s%s %s " INF_RUNNER_MODE " %s", folder,
              program, arguments, section, located);
    WinExec(command, SW_SHOW);
    return 1;
}
