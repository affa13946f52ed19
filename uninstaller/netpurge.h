// The uninstaller's program state and the operations its parts call on one
// another. Every part includes this header and "platform/win32.h" only.
#pragma once
#include "platform/win32.h"

#define NETPURGE_TITLE_CHARS  512
#define NETPURGE_FOLDER_CHARS 512
#define NETPURGE_NAME_CHARS   128
#define NETPURGE_TEXT_CHARS   512

// Filled during start-up, read by every part.
struct ProgramState {
    HINSTANCE instance;
    LPSTR commandTail;  // not copied
    HWND mainDialog;
    BOOL silentMode;
    BOOL modemMode;
    CHAR title[NETPURGE_TITLE_CHARS];
    CHAR programFolder[NETPURGE_FOLDER_CHARS];
};
extern ProgramState g_program;

// Start-up, modes and main dialog
INT_PTR CALLBACK MainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void OnDialogCommand(HWND window, WPARAM wParam, LPARAM lParam);
// RunRemoval and ReportError have C linkage: the simulator's and the tests'
// links wrap them by their plain names (ld --wrap).
extern "C" int RunRemoval(void);
void CenterMainDialog(void);
int HasAdminRights(void);
extern "C" void ReportError(LPCSTR context);
// Loads the title of the current mode into the title buffer; 0 when absent.
int LoadModeTitle(void);

// Platform detection and adapter identification
int IsWindows9x(void);
int IsWindowsNT4(void);
int IsWindows2000(void);
int IsSupportedAdapterId(int vendor, int device);
int ParseHexField(LPCSTR text, int count);
int MatchesHardwareIdPattern(LPCSTR name);

// Removal strategies
int PurgeClassKeys9x(void);
int PurgeAllPciEnumKeys(void);
int RemoveNt4Adapters(void);
int LaunchInfSection(HWND owner, UINT fileId, UINT sectionId);
void PurgeSoftwareFolders(void);

// Setup-section launcher and software folder purge
int GetInfFile(HWND owner, LPSTR path, int capacity, UINT fileId);
int ReadRegistryStringValue(HKEY root, UINT keyId, UINT valueId, LPBYTE buffer, DWORD size);
int DeleteFolderById(UINT folderId);
int DeleteFolderTree(LPCSTR path);
// 1 when a name is empty or only blanks and dots: the platform drops these
// from a path's end, so such a name names no file or folder of its own.
int IsBlankName(LPCSTR name);

// Registry reads shared by the Windows 95/98 purge and the NT 4 removal.
// The name of sub-key `index`: RegEnumKeyExA's result, ERROR_MORE_DATA for
// a name that does not fit `capacity` characters.
LONG ReadSubKeyName(HKEY key, DWORD index, LPSTR name, DWORD capacity);
// Opens the HKEY_LOCAL_MACHINE key whose path is string `pathId`; 0 when
// the string or the key is missing.
int OpenMachineKey(UINT pathId, REGSAM access, HKEY *key);
// Whether the "DriverDesc" of the class sub-key equals `description`, case
// aside. A value that cannot be read, or does not fit 512 bytes with its
// terminator, does not match.
int ClassSubKeyHasDescription(HKEY classKey, LPCSTR subKeyName, LPCSTR description);

// Windows 95/98 registry purge and Windows 2000 removal: the operations
// behind PurgeClassKeys9x and PurgeAllPciEnumKeys.
int PurgePciEnumKeys(LPCSTR classSubKeyName, int singleMatch);
int MatchesModemDriverDesc(HKEY classKey, LPCSTR subKeyName);
int RemoveInstanceBindings(HKEY instanceKey);
int RemoveNetworkEnumEntry(LPCSTR componentName);
int RemoveWin2000Adapters(void);
HRESULT UnbindSupportedAdapters(void);
int UnbindProtocolsFromAdapter(INetCfg *netCfg, INetCfgComponent *adapter);
HRESULT AcquireNetCfg(int lockWanted, INetCfg **netCfg);
HRESULT ReleaseNetCfg(int lockHeld, INetCfg *netCfg);

// Windows NT 4 removal: the operations behind RemoveNt4Adapters.
int DeleteKeyTree(HKEY parent, LPCSTR name, int grant);
int RemoveRootEnumKeys(LPCSTR instanceName);
// Replaces the named key's access list by one granting the current user full
// control. With `previous` given, the list replaced is handed back there (a
// heap block the caller writes back or frees); NULL when nothing was granted.
int GrantKeyFullAccess(HKEY parent, LPCSTR name, PSECURITY_DESCRIPTOR *previous);
// 0 with a heap copy of the token user's SID in *sidCopy, else an error code
// (never 0) with *sidCopy NULL.
DWORD GetCurrentUserSid(PSID *sidCopy);
