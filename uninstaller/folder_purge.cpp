// Modem mode's last step: deletes the modem software's program group and its
// two install folders with their whole content. Folders are emptied through
// the process's current folder, entry by bare name, and the folder current
// before each level is made current again before that level returns.
//
// The purge never empties or removes a drive's root, the Windows folder, the
// system folder, the user's program menu or a folder above any of them,
// however any of these paths is spelled, and never follows a folder that is
// a link (reparse point) into its target. An entry whose name ends in a blank
// or a dot is left where it is: the platform drops those characters from a
// path's last part, so "%s\%s" or the bare name would name another entry (the
// folder itself, its parent, or a namesake without them). The folder that
// was current when the purge began, and every folder above it, is emptied
// as far as it can be but never removed: the purge must come back to it.
#include "netpurge.h"
#include "resource.h"

#define PURGE_PATH_CHARS   128
#define PURGE_NORMAL_CHARS 512

// 1 when `folder` (canonical form) is `guarded` or a folder above it.
static int IsSameOrAbove(LPCSTR folder, LPCSTR guarded)
{
    CHAR head[PURGE_NORMAL_CHARS];
    int length = lstrlenA(folder);

    if (lstrlenA(guarded) < length)
        return 0;
    lstrcpynA(head, guarded, length + 1);
    if (lstrcmpiA(head, folder) != 0)
        return 0;
    return guarded[length] == 0 || guarded[length] == '\\' || folder[length - 1] == '\\';
}

// Writes `in` in the form folders are compared in: the platform's full path
// (relative and drive-relative paths resolved, separators and relative steps
// brought to one form), without a "\\?\" or "\\.\" prefix, with long names
// where the platform offers them. The platform's own forms are enough: a
// folder is compared as GetCurrentDirectoryA reports it once entered, and a
// guarded folder written with a "\\?\" prefix (which keeps its relative
// steps) is matched by its identity on the NT family, the only one that
// takes that prefix. 0 when the result is not an absolute path or does not
// fit.
static int CanonicalFolderPath(LPCSTR in, LPSTR out, int capacity)
{
    CHAR full[PURGE_NORMAL_CHARS];
    CHAR unprefixed[PURGE_NORMAL_CHARS];
    CHAR longName[PURGE_NORMAL_CHARS];
    LPSTR filePart;
    LPCSTR form;
    DWORD length;

    length = GetFullPathNameA(in, PURGE_NORMAL_CHARS, full, &filePart);
    if (length == 0 || length >= PURGE_NORMAL_CHARS)
        return 0;
    form = full;
    if (full[0] == '\\' && full[1] == '\\' && (full[2] == '?' || full[2] == '.') && full[3] == '\\') {
        form = full + 4;
        // "\\?\UNC\server\share" is "\\server\share".
        if ((form[0] == 'U' || form[0] == 'u') && (form[1] == 'N' || form[1] == 'n') &&
            (form[2] == 'C' || form[2] == 'c') && form[3] == '\\') {
            wsprintfA(unprefixed, "\\\\%s", form + 4);
            form = unprefixed;
        }
    }
    length = GetLongPathNameA(form, longName, PURGE_NORMAL_CHARS);
    if (length > 0 && length < PURGE_NORMAL_CHARS)
        form = longName;
    if (!(form[0] && form[1] == ':' && form[2] == '\\') && !(form[0] == '\\' && form[1] == '\\'))
        return 0;
    if (lstrlenA(form) >= capacity)
        return 0;
    lstrcpyA(out, form);
    return 1;
}

// A folder's identity on the NT family: its volume's serial number and its
// file index. 0 when the folder cannot be opened (and always on Windows
// 95/98, which open no folders).
struct FolderId {
    DWORD volume;
    DWORD indexHigh;
    DWORD indexLow;
};

static int GetFolderId(LPCSTR path, FolderId *id)
{
    BY_HANDLE_FILE_INFORMATION info;
    HANDLE folder;
    BOOL read;

    if (!IsWindowsNT4() && !IsWindows2000())
        return 0;
    folder = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (folder == INVALID_HANDLE_VALUE)
        return 0;
    read = GetFileInformationByHandle(folder, &info);
    CloseHandle(folder);
    if (!read)
        return 0;
    id->volume = info.dwVolumeSerialNumber;
    id->indexHigh = info.nFileIndexHigh;
    id->indexLow = info.nFileIndexLow;
    return 1;
}

// 1 when the folder at `path` has the identity `id`.
static int HasFolderId(LPCSTR path, const FolderId *id)
{
    FolderId other;
    return GetFolderId(path, &other) && other.volume == id->volume && other.indexHigh == id->indexHigh &&
           other.indexLow == id->indexLow;
}

// 1 when the folder `entered` (canonical form, with its identity when
// `enteredId` is given) is the folder `other` (canonical form) or a folder
// above it, compared by path and, on the NT family, by the identity of
// `other` and of each folder above it.
static int IsSameOrAboveFolder(LPCSTR entered, const FolderId *enteredId, LPCSTR other)
{
    CHAR folder[PURGE_NORMAL_CHARS];
    int length;
    int rootLength;

    if (IsSameOrAbove(entered, other))
        return 1;
    if (enteredId == NULL)
        return 0;
    // The root: "C:\" or "\\server\share" (opened as "\\server\share\").
    lstrcpyA(folder, other);
    rootLength = 3;
    if (folder[0] == '\\') {
        int separators = 0;
        for (rootLength = 2; folder[rootLength]; ++rootLength) {
            if (folder[rootLength] == '\\' && ++separators == 2)
                break;
        }
    }
    length = lstrlenA(folder);
    while (!HasFolderId(folder, enteredId)) {
        if (length <= rootLength)
            return 0;
        // One folder up: cut the last part and its separator, but keep the
        // separator of a drive's root.
        while (length > rootLength && folder[length - 1] != '\\')
            --length;
        if (length > rootLength)
            --length;
        folder[length] = 0;
        if (length == rootLength && folder[0] == '\\') {
            folder[length] = '\\';
            folder[length + 1] = 0;
        }
    }
    return 1;
}

// The folders the purge must never empty or remove, in canonical form, taken
// when the outermost DeleteFolderTree begins (relative spellings against
// the folder current then): the Windows folder, the system folder, the
// user's program menu when it is named, and the starting current folder.
// The last one is emptied as far as it can be but not removed.
#define PURGE_GUARDED_WINDOWS  0
#define PURGE_GUARDED_SYSTEM   1
#define PURGE_GUARDED_PROGRAMS 2
#define PURGE_GUARDED_COUNT    3
static CHAR s_guarded[PURGE_GUARDED_COUNT][PURGE_NORMAL_CHARS];
static int s_guardedKnown;
static CHAR s_startFolder[PURGE_NORMAL_CHARS];
static int s_depth;

// Takes the guarded folders in canonical form; 0 when the Windows or
// system folder or the current folder cannot be taken (then every folder
// counts as guarded).
static int TakeGuardedFolders(LPCSTR current)
{
    CHAR known[PURGE_PATH_CHARS];
    UINT length;

    s_guarded[PURGE_GUARDED_PROGRAMS][0] = 0;
    if (!CanonicalFolderPath(current, s_startFolder, PURGE_NORMAL_CHARS))
        return 0;
    length = GetWindowsDirectoryA(known, PURGE_PATH_CHARS);
    if (length == 0 || length >= PURGE_PATH_CHARS ||
        !CanonicalFolderPath(known, s_guarded[PURGE_GUARDED_WINDOWS], PURGE_NORMAL_CHARS))
        return 0;
    length = GetSystemDirectoryA(known, PURGE_PATH_CHARS);
    if (length == 0 || length >= PURGE_PATH_CHARS ||
        !CanonicalFolderPath(known, s_guarded[PURGE_GUARDED_SYSTEM], PURGE_NORMAL_CHARS))
        return 0;
    if (ReadRegistryStringValue(HKEY_CURRENT_USER, IDS_SHELL_FOLDERS, IDS_PROGRAMS, (LPBYTE)known, PURGE_PATH_CHARS) &&
        !CanonicalFolderPath(known, s_guarded[PURGE_GUARDED_PROGRAMS], PURGE_NORMAL_CHARS))
        return 0;
    return 1;
}

// 1 when the folder at `path` (an absolute path) is one the purge must
// never empty: a drive's or share's root, the Windows folder, the system
// folder, the user's program menu, or a folder above one of them. A path
// that cannot be put in comparable form is treated as guarded.
static int IsGuardedFolder(LPCSTR path)
{
    CHAR folder[PURGE_NORMAL_CHARS];
    FolderId id;
    const FolderId *identity;
    int separators = 0;

    if (!s_guardedKnown || !CanonicalFolderPath(path, folder, PURGE_NORMAL_CHARS))
        return 1;
    if (folder[0] == '\\') {
        // \\server\share is the root of a share.
        for (int i = 2; folder[i]; ++i)
            separators += folder[i] == '\\';
        if (separators < 2)
            return 1;
    } else if (folder[3] == 0) {
        return 1;
    }
    identity = GetFolderId(path, &id) ? &id : NULL;
    for (int i = 0; i < PURGE_GUARDED_COUNT; ++i) {
        if (s_guarded[i][0] && IsSameOrAboveFolder(folder, identity, s_guarded[i]))
            return 1;
    }
    return 0;
}

// 1 when the folder at `path` is the starting current folder or above it:
// removing it would leave the process a current folder that is gone.
static int HoldsStartFolder(LPCSTR path)
{
    CHAR folder[PURGE_NORMAL_CHARS];
    FolderId id;
    if (!CanonicalFolderPath(path, folder, PURGE_NORMAL_CHARS))
        return 1;
    return IsSameOrAboveFolder(folder, GetFolderId(path, &id) ? &id : NULL, s_startFolder);
}

// 1 when the platform would read a name other than `name` at the end of a
// path: it ends in a blank or a dot.
static int IsTrimmedName(LPCSTR name)
{
    int length = lstrlenA(name);
    return length > 0 && (name[length - 1] == ' ' || name[length - 1] == '.');
}

static int DeleteFolderLevel(LPCSTR path);

int DeleteFolderTree(LPCSTR path)
{
    int result;
    ++s_depth;
    result = DeleteFolderLevel(path);
    --s_depth;
    return result;
}

static int DeleteFolderLevel(LPCSTR path)
{
    CHAR saved[PURGE_PATH_CHARS];
    CHAR entered[PURGE_PATH_CHARS];
    CHAR child[PURGE_PATH_CHARS];
    WIN32_FIND_DATAA entry;
    HANDLE find;
    DWORD length;
    DWORD attributes;
    int removed;
    int holdsStart;

    // Without the folder to come back to, nothing is touched.
    length = GetCurrentDirectoryA(PURGE_PATH_CHARS, saved);
    if (length == 0 || length >= PURGE_PATH_CHARS) {
        ReportError(NULL);
        return 0;
    }
    if (s_depth == 1)
        s_guardedKnown = TakeGuardedFolders(saved);

    // A link is removed as a link; its target is never entered.
    attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        if (RemoveDirectoryA(path))
            return 1;
        ReportError(NULL);
        return 0;
    }

    if (!SetCurrentDirectoryA(path)) {
        // Nothing there, or a file: nothing to delete. A folder that is
        // there but may not be entered stays, and is reported.
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            ReportError(NULL);
            return 0;
        }
        return 1;
    }

    // The folder as the platform resolved it: the form that is compared
    // with the guarded folders and that the sub-folders' paths start from.
    length = GetCurrentDirectoryA(PURGE_PATH_CHARS, entered);
    if (length == 0 || length >= PURGE_PATH_CHARS || IsGuardedFolder(entered)) {
        SetCurrentDirectoryA(saved);
        ReportError(NULL);
        return 0;
    }
    holdsStart = HoldsStartFolder(entered);

    find = FindFirstFileA("*.*", &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                if (lstrcmpA(entry.cFileName, ".") == 0 || lstrcmpA(entry.cFileName, "..") == 0)
                    continue;
                if (IsTrimmedName(entry.cFileName)) {
                    ReportError(NULL);
                    continue;
                }
                if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                    if (!RemoveDirectoryA(entry.cFileName))
                        ReportError(NULL);
                    continue;
                }
                // A sub-folder whose path does not fit is left, with its
                // content, and reported; the path is never cut.
                if (lstrlenA(entered) + 1 + lstrlenA(entry.cFileName) >= PURGE_PATH_CHARS) {
                    ReportError(NULL);
                    continue;
                }
                if (entered[lstrlenA(entered) - 1] == '\\')
                    wsprintfA(child, "%s%s", entered, entry.cFileName);
                else
                    wsprintfA(child, "%s\\%s", entered, entry.cFileName);
                DeleteFolderTree(child);
            } else if (IsTrimmedName(entry.cFileName)) {
                ReportError(NULL);
            } else {
                DeleteFileA(entry.cFileName);
            }
        } while (FindNextFileA(find, &entry));
        FindClose(find);
    }

    if (!SetCurrentDirectoryA(saved))
        ReportError(NULL);
    if (holdsStart) {
        ReportError(NULL);
        return 0;
    }
    removed = RemoveDirectoryA(entered);
    if (!removed) {
        ReportError(NULL);
        return 0;
    }
    return 1;
}

int DeleteFolderById(UINT folderId)
{
    CHAR path[PURGE_PATH_CHARS];
    if (LoadStringA(g_program.instance, folderId, path, PURGE_PATH_CHARS) <= 0)
        return 0;
    return DeleteFolderTree(path);
}

void PurgeSoftwareFolders(void)
{
    CHAR base[PURGE_PATH_CHARS];
    CHAR group[PURGE_PATH_CHARS];
    CHAR target[PURGE_PATH_CHARS];
    UINT groupId;
    UINT length;

    if (IsWindowsNT4() || IsWindows2000()) {
        if (!ReadRegistryStringValue(HKEY_CURRENT_USER, IDS_SHELL_FOLDERS, IDS_PROGRAMS, (LPBYTE)base,
                                     PURGE_PATH_CHARS))
            return;
        groupId = IDS_GROUP_NT;
    } else {
        length = GetWindowsDirectoryA(base, PURGE_PATH_CHARS);
        if (length == 0 || length >= PURGE_PATH_CHARS)
            return;
        groupId = IDS_GROUP_9X;
    }
    if (LoadStringA(g_program.instance, groupId, group, PURGE_PATH_CHARS) <= 0)
        return;

    // A group name of blanks and dots names the base folder itself (the
    // platform drops them from a path's end): there is no group to delete.
    if (!IsBlankName(group)) {
        if (lstrlenA(base) + 1 + lstrlenA(group) >= PURGE_PATH_CHARS)
            ReportError(NULL);
        else {
            wsprintfA(target, "%s\\%s", base, group);
            DeleteFolderTree(target);
        }
    }
    DeleteFolderById(IDS_MODEM_FOLDER_1);
    DeleteFolderById(IDS_MODEM_FOLDER_2);
}
