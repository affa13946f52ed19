// Host declarations of the Win32 subset the uninstaller uses, with the
// platform's names, widths and constants. The simulated Windows machine
// (sim/win32) implements every function declared here.
#pragma once
#include <cstddef>
#include <cstdint>

#define WINAPI
#define CALLBACK
#define APIENTRY
#define CONST const

typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef unsigned int DWORD;  // 32 bits, as on Windows
typedef int LONG;            // 32 bits, as on Windows
typedef unsigned int ULONG;
typedef int BOOL;
typedef int INT;
typedef unsigned int UINT;
typedef char CHAR;
typedef unsigned short WCHAR;
typedef short SHORT;
typedef unsigned short USHORT;
typedef void VOID;
typedef void *PVOID, *LPVOID;
typedef const void *LPCVOID;
typedef CHAR *LPSTR, *PSTR;
typedef const CHAR *LPCSTR, *PCSTR;
typedef BYTE *LPBYTE, *PBYTE;
typedef DWORD *LPDWORD, *PDWORD;
typedef LONG *PLONG;
typedef BOOL *LPBOOL;
typedef std::intptr_t INT_PTR, LONG_PTR;
typedef std::uintptr_t UINT_PTR, ULONG_PTR, DWORD_PTR;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;
typedef LONG HRESULT;
typedef DWORD ACCESS_MASK;
typedef ACCESS_MASK REGSAM;
typedef WORD ATOM;

static_assert(sizeof(DWORD) == 4 && sizeof(LONG) == 4 && sizeof(BOOL) == 4, "Win32 widths");

#define DECLARE_HANDLE(name) \
  struct name##__ {          \
    int unused;              \
  };                         \
  typedef struct name##__ *name
typedef void *HANDLE;
DECLARE_HANDLE(HWND);
DECLARE_HANDLE(HINSTANCE);
DECLARE_HANDLE(HKEY);
DECLARE_HANDLE(HMENU);
DECLARE_HANDLE(HICON);
DECLARE_HANDLE(HFONT);
DECLARE_HANDLE(SC_HANDLE);
typedef HINSTANCE HMODULE;
typedef HKEY *PHKEY;

#ifndef TRUE
#define TRUE  1
#define FALSE 0
#endif
#ifndef NULL
#define NULL 0
#endif
#define MAX_PATH             260
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

#define MAKEINTRESOURCEA(i) ((LPSTR)((ULONG_PTR)((WORD)(i))))
#define LOWORD(l)           ((WORD)(((DWORD_PTR)(l)) & 0xffff))
#define HIWORD(l)           ((WORD)((((DWORD_PTR)(l)) >> 16) & 0xffff))
#define MAKEWPARAM(l, h)    ((WPARAM)(DWORD)(((WORD)(l)) | (((DWORD)((WORD)(h))) << 16)))
#define MAKELONG(a, b)      ((LONG)(((WORD)(a)) | ((DWORD)((WORD)(b))) << 16))

// ---- errors
#define ERROR_SUCCESS                 0L
#define ERROR_FILE_NOT_FOUND          2L
#define ERROR_PATH_NOT_FOUND          3L
#define ERROR_ACCESS_DENIED           5L
#define ERROR_INVALID_HANDLE          6L
#define ERROR_CURRENT_DIRECTORY       16L
#define ERROR_NO_MORE_FILES           18L
#define ERROR_SHARING_VIOLATION       32L
#define ERROR_FILE_EXISTS             80L
#define ERROR_NOT_ENOUGH_MEMORY       8L
#define ERROR_INVALID_PARAMETER       87L
#define ERROR_INSUFFICIENT_BUFFER     122L
#define ERROR_DIR_NOT_EMPTY           145L
#define ERROR_FILENAME_EXCED_RANGE    206L
#define ERROR_DIRECTORY               267L
#define ERROR_MORE_DATA               234L
#define ERROR_NO_MORE_ITEMS           259L
#define ERROR_KEY_DELETED             1018L
#define ERROR_CANNOT_FIND_WND_CLASS   1407L
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814L
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813L
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD code);

// ---- version
typedef struct _OSVERSIONINFOA {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  CHAR szCSDVersion[128];
} OSVERSIONINFOA, *POSVERSIONINFOA, *LPOSVERSIONINFOA;
static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA is 148 bytes");
#define VER_PLATFORM_WIN32s        0
#define VER_PLATFORM_WIN32_WINDOWS 1
#define VER_PLATFORM_WIN32_NT      2
BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info);

// ---- process, module, strings
LPSTR WINAPI GetCommandLineA(void);
HMODULE WINAPI GetModuleHandleA(LPCSTR name);
DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size);
UINT WINAPI WinExec(LPCSTR cmdline, UINT show);
int WINAPI LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int size);
int WINAPI lstrlenA(LPCSTR s);
int WINAPI lstrcmpA(LPCSTR a, LPCSTR b);
int WINAPI lstrcmpiA(LPCSTR a, LPCSTR b);
LPSTR WINAPI lstrcpyA(LPSTR dst, LPCSTR src);
LPSTR WINAPI lstrcpynA(LPSTR dst, LPCSTR src, int max);
LPSTR WINAPI lstrcatA(LPSTR dst, LPCSTR src);
int wsprintfA(LPSTR buffer, LPCSTR format, ...);

// ---- files and folders
typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;
#define FILE_ATTRIBUTE_READONLY      0x00000001
#define FILE_ATTRIBUTE_HIDDEN        0x00000002
#define FILE_ATTRIBUTE_SYSTEM        0x00000004
#define FILE_ATTRIBUTE_DIRECTORY     0x00000010
#define FILE_ATTRIBUTE_ARCHIVE       0x00000020
#define FILE_ATTRIBUTE_NORMAL        0x00000080
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400
#define INVALID_FILE_ATTRIBUTES      ((DWORD)-1)
typedef int HFILE;
#define HFILE_ERROR     ((HFILE)-1)
#define OFS_MAXPATHNAME 128
#define OF_READ         0x00000000
#define OF_EXIST        0x00004000
typedef struct _OFSTRUCT {
  BYTE cBytes;
  BYTE fFixedDisk;
  WORD nErrCode;
  WORD Reserved1;
  WORD Reserved2;
  CHAR szPathName[OFS_MAXPATHNAME];
} OFSTRUCT, *LPOFSTRUCT, *POFSTRUCT;
typedef struct _WIN32_FIND_DATAA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  CHAR cFileName[MAX_PATH];
  CHAR cAlternateFileName[14];
} WIN32_FIND_DATAA, *PWIN32_FIND_DATAA, *LPWIN32_FIND_DATAA;
DWORD WINAPI GetCurrentDirectoryA(DWORD size, LPSTR buffer);
BOOL WINAPI SetCurrentDirectoryA(LPCSTR path);
HANDLE WINAPI FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data);
BOOL WINAPI FindNextFileA(HANDLE find, LPWIN32_FIND_DATAA data);
BOOL WINAPI FindClose(HANDLE find);
BOOL WINAPI DeleteFileA(LPCSTR path);
BOOL WINAPI RemoveDirectoryA(LPCSTR path);
DWORD WINAPI GetFileAttributesA(LPCSTR path);
UINT WINAPI GetWindowsDirectoryA(LPSTR buffer, UINT size);
UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size);
HFILE WINAPI OpenFile(LPCSTR name, LPOFSTRUCT info, UINT style);
DWORD WINAPI GetFullPathNameA(LPCSTR path, DWORD size, LPSTR buffer, LPSTR *filePart);
// Windows 98 and Windows 2000 on; Windows 95 and NT 4 lack it.
DWORD WINAPI GetLongPathNameA(LPCSTR shortPath, LPSTR longPath, DWORD size);
#define FILE_SHARE_READ            0x00000001
#define FILE_SHARE_WRITE           0x00000002
#define FILE_SHARE_DELETE          0x00000004
#define OPEN_EXISTING              3
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000
#define ERROR_BAD_NETPATH          53L
typedef struct _BY_HANDLE_FILE_INFORMATION {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD dwVolumeSerialNumber;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD nNumberOfLinks;
  DWORD nFileIndexHigh;
  DWORD nFileIndexLow;
} BY_HANDLE_FILE_INFORMATION, *PBY_HANDLE_FILE_INFORMATION, *LPBY_HANDLE_FILE_INFORMATION;
typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;
HANDLE WINAPI CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                          DWORD flags, HANDLE templateFile);
BOOL WINAPI GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info);

// ---- registry
#define HKEY_CLASSES_ROOT   ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER   ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE  ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define HKEY_USERS          ((HKEY)(ULONG_PTR)((LONG)0x80000003))
#define HKEY_CURRENT_CONFIG ((HKEY)(ULONG_PTR)((LONG)0x80000005))
#define HKEY_DYN_DATA       ((HKEY)(ULONG_PTR)((LONG)0x80000006))

#define DELETE                   0x00010000L
#define READ_CONTROL             0x00020000L
#define WRITE_DAC                0x00040000L
#define WRITE_OWNER              0x00080000L
#define SYNCHRONIZE              0x00100000L
#define STANDARD_RIGHTS_READ     READ_CONTROL
#define STANDARD_RIGHTS_WRITE    READ_CONTROL
#define STANDARD_RIGHTS_REQUIRED 0x000F0000L
#define STANDARD_RIGHTS_ALL      0x001F0000L
#define GENERIC_READ             0x80000000L
#define GENERIC_WRITE            0x40000000L
#define GENERIC_ALL              0x10000000L
#define KEY_QUERY_VALUE          0x0001
#define KEY_SET_VALUE            0x0002
#define KEY_CREATE_SUB_KEY       0x0004
#define KEY_ENUMERATE_SUB_KEYS   0x0008
#define KEY_NOTIFY               0x0010
#define KEY_CREATE_LINK          0x0020
#define KEY_READ                 ((STANDARD_RIGHTS_READ | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY) & (~SYNCHRONIZE))
#define KEY_WRITE                ((STANDARD_RIGHTS_WRITE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY) & (~SYNCHRONIZE))
#define KEY_ALL_ACCESS                                                                                                 \
  ((STANDARD_RIGHTS_ALL | KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY | \
    KEY_CREATE_LINK) &                                                                                                 \
   (~SYNCHRONIZE))
#define REG_OPTION_NON_VOLATILE 0
#define REG_CREATED_NEW_KEY     1
#define REG_OPENED_EXISTING_KEY 2

#define REG_NONE                       0
#define REG_SZ                         1
#define REG_EXPAND_SZ                  2
#define REG_BINARY                     3
#define REG_DWORD                      4
#define REG_DWORD_BIG_ENDIAN           5
#define REG_LINK                       6
#define REG_MULTI_SZ                   7
#define REG_RESOURCE_LIST              8
#define REG_FULL_RESOURCE_DESCRIPTOR   9
#define REG_RESOURCE_REQUIREMENTS_LIST 10
#define REG_QWORD                      11

typedef PVOID PSECURITY_DESCRIPTOR;
typedef DWORD SECURITY_INFORMATION, *PSECURITY_INFORMATION;

LONG WINAPI RegOpenKeyExA(HKEY key, LPCSTR subkey, DWORD options, REGSAM sam, PHKEY result);
LONG WINAPI RegOpenKeyA(HKEY key, LPCSTR subkey, PHKEY result);
LONG WINAPI RegCreateKeyExA(HKEY key, LPCSTR subkey, DWORD reserved, LPSTR cls, DWORD options, REGSAM sam,
                            LPSECURITY_ATTRIBUTES sa, PHKEY result, LPDWORD disposition);
LONG WINAPI RegCloseKey(HKEY key);
LONG WINAPI RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD name_size, LPDWORD reserved, LPSTR cls,
                          LPDWORD cls_size, PFILETIME last_write);
LONG WINAPI RegEnumKeyA(HKEY key, DWORD index, LPSTR name, DWORD name_size);
LONG WINAPI RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD name_size, LPDWORD reserved, LPDWORD type,
                          LPBYTE data, LPDWORD data_size);
LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD data_size);
LONG WINAPI RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE *data, DWORD size);
LONG WINAPI RegDeleteKeyA(HKEY key, LPCSTR subkey);
LONG WINAPI RegDeleteValueA(HKEY key, LPCSTR name);
LONG WINAPI RegQueryInfoKeyA(HKEY key, LPSTR cls, LPDWORD cls_size, LPDWORD reserved, LPDWORD subkeys,
                             LPDWORD max_subkey_len, LPDWORD max_class_len, LPDWORD values, LPDWORD max_value_name_len,
                             LPDWORD max_value_len, LPDWORD security_descriptor_size, PFILETIME last_write);
LONG WINAPI RegSetKeySecurity(HKEY key, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR sd);

// ---- service control manager (the rights test)
#define SC_MANAGER_CONNECT    0x0001
#define SC_MANAGER_ALL_ACCESS 0xF003F
SC_HANDLE WINAPI OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access);
BOOL WINAPI CloseServiceHandle(SC_HANDLE handle);

// ---- windows, dialogs, messages
typedef struct tagRECT {
  LONG left, top, right, bottom;
} RECT, *PRECT, *LPRECT;
typedef struct tagPOINT {
  LONG x, y;
} POINT, *PPOINT, *LPPOINT;
typedef struct tagMSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
} MSG, *PMSG, *LPMSG;
typedef INT_PTR(CALLBACK *DLGPROC)(HWND, UINT, WPARAM, LPARAM);

#define WM_NULL        0x0000
#define WM_CREATE      0x0001
#define WM_DESTROY     0x0002
#define WM_SETTEXT     0x000C
#define WM_CLOSE       0x0010
#define WM_QUIT        0x0012
#define WM_SHOWWINDOW  0x0018
#define WM_SETFONT     0x0030
#define WM_INITDIALOG  0x0110
#define WM_COMMAND     0x0111
#define WM_SYSCOMMAND  0x0112
#define WM_KEYDOWN     0x0100
#define WM_KEYUP       0x0101
#define WM_CHAR        0x0102
#define WM_LBUTTONDOWN 0x0201
#define WM_LBUTTONUP   0x0202
#define SC_CLOSE       0xF060
#define VK_RETURN      0x0D
#define VK_ESCAPE      0x1B
#define VK_TAB         0x09
#define VK_SPACE       0x20
#define BN_CLICKED     0
#define IDOK           1
#define IDCANCEL       2

#define SW_HIDE        0
#define SW_SHOWNORMAL  1
#define SW_NORMAL      1
#define SW_SHOW        5
#define SW_SHOWDEFAULT 10

#define HWND_TOP       ((HWND)0)
#define SWP_NOSIZE     0x0001
#define SWP_NOMOVE     0x0002
#define SWP_NOZORDER   0x0004
#define SWP_NOACTIVATE 0x0010
#define SWP_SHOWWINDOW 0x0040
#define SWP_HIDEWINDOW 0x0080

#define MB_OK              0x00000000L
#define MB_OKCANCEL        0x00000001L
#define MB_YESNO           0x00000004L
#define MB_ICONHAND        0x00000010L
#define MB_ICONERROR       MB_ICONHAND
#define MB_ICONQUESTION    0x00000020L
#define MB_ICONEXCLAMATION 0x00000030L
#define MB_ICONWARNING     MB_ICONEXCLAMATION
#define MB_ICONASTERISK    0x00000040L
#define MB_ICONINFORMATION MB_ICONASTERISK

#define WS_OVERLAPPED    0x00000000L
#define WS_POPUP         0x80000000L
#define WS_CHILD         0x40000000L
#define WS_VISIBLE       0x10000000L
#define WS_DISABLED      0x08000000L
#define WS_CAPTION       0x00C00000L
#define WS_BORDER        0x00800000L
#define WS_DLGFRAME      0x00400000L
#define WS_SYSMENU       0x00080000L
#define WS_GROUP         0x00020000L
#define WS_TABSTOP       0x00010000L
#define DS_SETFONT       0x40L
#define DS_MODALFRAME    0x80L
#define BS_PUSHBUTTON    0x00000000L
#define BS_DEFPUSHBUTTON 0x00000001L
#define BS_GROUPBOX      0x00000007L
#define SS_LEFT          0x00000000L
#define SS_ICON          0x00000003L

HWND WINAPI CreateDialogParamA(HINSTANCE instance, LPCSTR template_name, HWND owner, DLGPROC proc, LPARAM init);
BOOL WINAPI ShowWindow(HWND wnd, int show);
BOOL WINAPI SetWindowPos(HWND wnd, HWND after, int x, int y, int cx, int cy, UINT flags);
BOOL WINAPI GetWindowRect(HWND wnd, LPRECT rect);
HWND WINAPI GetDesktopWindow(void);
BOOL WINAPI SetWindowTextA(HWND wnd, LPCSTR text);
BOOL WINAPI SetDlgItemTextA(HWND dlg, int id, LPCSTR text);
HWND WINAPI GetDlgItem(HWND dlg, int id);
BOOL WINAPI PostMessageA(HWND wnd, UINT msg, WPARAM wparam, LPARAM lparam);
LRESULT WINAPI SendMessageA(HWND wnd, UINT msg, WPARAM wparam, LPARAM lparam);
BOOL WINAPI GetMessageA(LPMSG msg, HWND wnd, UINT min, UINT max);
BOOL WINAPI IsDialogMessageA(HWND dlg, LPMSG msg);
BOOL WINAPI TranslateMessage(const MSG *msg);
LRESULT WINAPI DispatchMessageA(const MSG *msg);
void WINAPI PostQuitMessage(int code);
BOOL WINAPI DestroyWindow(HWND wnd);
int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_tail, int show);

// ---- code page conversion
#define CP_ACP   0
#define CP_OEMCP 1
int WINAPI WideCharToMultiByte(UINT code_page, DWORD flags, const WCHAR *wide, int wide_chars, LPSTR multi,
                               int multi_bytes, LPCSTR default_char, LPBOOL used_default);
int WINAPI MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR multi, int multi_bytes, WCHAR *wide, int wide_chars);

#include "netcfg_host.h"
#include "setupapi_host.h"
#include "security_host.h"
