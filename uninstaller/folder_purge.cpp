// Modem mode's last step: deletes the modem software's program group and its
// two install folders with their whole content. Folders are emptied through
// the process's current folder, entry by bare name, and the folder current
// before each level is made current again before that level returns.
//
// The purge never empties or removes a drive's root, the Windows folder, the
// system folder, the user's program menu or a folder above any of them, and
// never follows a folder that is a link (reparse point) into its target.
#include "netpurge.h"
#include "resource.h"

#define PURGE_PATH_CHARS 128
#define PURGE_NORMAL_CHARS 512

// Writes the absolute folder path `in` in one form for comparison: "\"
// separators, no empty, "." or ".." components, no trailing blanks or dots
// on a component, no closing backslash except a drive's root ("C:\").
// 0 when the path is not absolute or does not fit.
static int NormalizeFolderPath(LPCSTR in, LPSTR out, int capacity)
{
    int length = 0;
    int rootLength;
    int i = 0;

    if (in[0] && in[1] == ':' && (in[2] == '\\' || in[2] == '/')) {
        if (capacity < 4)
            return 0;
        out[0] = in[0];
        out[1] = ':';
        out[2] = '\\';
        length = 3;
        i = 3;
    } else if ((in[0] == '\\' || in[0] == '/') && (in[1] == '\\' || in[1] == '/')) {
        out[0] = '\\';
        out[1] = '\\';
        length = 2;
        i = 2;
    } else {
        return 0;
    }
    rootLength = length;
    while (in[i]) {
        int start;
        int end;
        while (in[i] == '\\' || in[i] == '/')
            ++i;
        start = i;
        while (in[i] && in[i] != '\\' && in[i] != '/')
            ++i;
        end = i;
        while (end > start && (in[end - 1] == ' ' || in[end - 1] == '.'))
            --end;
        if (end == start) {
            // "." and names of blanks and dots name the folder itself; ".."
            // goes one up, never above the root.
            if (i - start == 2 && in[start] == '.' && in[start + 1] == '.') {
                while (length > rootLength && out[length - 1] != '\\')
                    --length;
                if (length > rootLength)
                    --length;
            }
            continue;
        }
        if (length > rootLength || (rootLength == 2 && length > 2)) {
            if (length + 1 >= capacity)
                return 0;
            out[length++] = '\\';
        }
        if (length + (end - start) >= capacity)
            return 0;
        for (int k = start; k < end; ++k)
            out[length++] = in[k];
    }
    out[length] = 0;
    return 1;
}

// 1 when `folder` (normalized) is `guarded` or a folder above it.
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

// 1 when the folder at `path` (an absolute path) is one the purge must
// never empty: a drive's or share's root, the Windows folder, the system
// folder, the user's program menu, or a folder above one of them. A path
// that cannot be put in comparable form is treated as guarded.
static int IsGuardedFolder(LPCSTR path)
{
    CHAR folder[PURGE_NORMAL_CHARS];
    CHAR known[PURGE_PATH_CHARS];
    CHAR guarded[PURGE_NORMAL_CHARS];
    int separators = 0;
    UINT length;

    if (!NormalizeFolderPath(path, folder, PURGE_NORMAL_CHARS))
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
    length = GetWindowsDirectoryA(known, PURGE_PATH_CHARS);
    if (length == 0 || length >= PURGE_PATH_CHARS)
        return 1;
    if (!NormalizeFolderPath(known, guarded, PURGE_NORMAL_CHARS) || IsSameOrAbove(folder, guarded))
        return 1;
    length = GetSystemDirectoryA(known, PURGE_PATH_CHARS);
    if (length == 0 || length >= PURGE_PATH_CHARS)
        return 1;
    if (!NormalizeFolderPath(known, guarded, PURGE_NORMAL_CHARS) || IsSameOrAbove(folder, guarded))
        return 1;
    if (ReadRegistryStringValue(HKEY_CURRENT_USER, IDS_SHELL_FOLDERS, IDS_PROGRAMS, (LPBYTE)known,
                                PURGE_PATH_CHARS) &&
        NormalizeFolderPath(known, guarded, PURGE_NORMAL_CHARS) && IsSameOrAbove(folder, guarded))
        return 1;
    return 0;
}

// The folder that was current when the outermost DeleteFolderTree began:
// the folder every level's restoring leads back to in the end.
static CHAR s_startFolder[PURGE_PATH_CHARS];
static int s_depth;

// 1 when the folder at `path` is the starting current folder or above it:
// removing it would leave the process a current folder that is gone.
static int HoldsStartFolder(LPCSTR path)
{
    CHAR folder[PURGE_NORMAL_CHARS];
    CHAR start[PURGE_NORMAL_CHARS];
    if (!NormalizeFolderPath(path, folder, PURGE_NORMAL_CHARS) ||
        !NormalizeFolderPath(s_startFolder, start, PURGE_NORMAL_CHARS))
        return 1;
    return IsSameOrAbove(folder, start);
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

    // Without the folder to come back to, nothing is touched.
    length = GetCurrentDirectoryA(PURGE_PATH_CHARS, saved);
    if (length == 0 || length >= PURGE_PATH_CHARS) {
        ReportError(NULL);
        return 0;
    }
    if (s_depth == 1)
        lstrcpyA(s_startFolder, saved);

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
    if (length == 0 || length >= PURGE_PATH_CHARS || IsGuardedFolder(entered) || HoldsStartFolder(entered)) {
        SetCurrentDirectoryA(saved);
        ReportError(NULL);
        return 0;
    }

    find = FindFirstFileA("*.*", &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                if (lstrcmpA(entry.cFileName, ".") == 0 || lstrcmpA(entry.cFileName, "..") == 0)
                    continue;
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
            } else {
                DeleteFileA(entry.cFileName);
            }
        } while (FindNextFileA(find, &entry));
        FindClose(find);
    }

    if (!SetCurrentDirectoryA(saved))
        ReportError(NULL);
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
