// Start-up: program state, modes, the platform and rights gate, the main
// dialog and the message loop.
#include "netpurge.h"
#include "resource.h"

ProgramState g_program;

#define SILENT_SWITCH "/nogui"
#define EXIT_DONE     0
#define EXIT_REFUSED  2

void ReportError(LPCSTR context) { (void)context; }

int LoadModeTitle(void)
{
    UINT id = g_program.modemMode ? IDS_TITLE_MODEM : IDS_TITLE;
    return LoadStringA(g_program.instance, id, g_program.title, NETPURGE_TITLE_CHARS) > 0;
}

int HasAdminRights(void)
{
    SC_HANDLE manager;
    if (!IsWindowsNT4() && !IsWindows2000())
        return 1;
    manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (manager == NULL)
        return 0;
    CloseServiceHandle(manager);
    return 1;
}

// Shows a start-up refusal under the mode's title. A refusal text that
// cannot be loaded still refuses; the message is then left out.
static int Refuse(UINT textId)
{
    CHAR text[NETPURGE_TEXT_CHARS];
    if (g_program.title[0] == '\0')
        LoadModeTitle();
    if (LoadStringA(g_program.instance, textId, text, NETPURGE_TEXT_CHARS) > 0)
        MessageBoxA(NULL, text, g_program.title, MB_ICONWARNING);
    return EXIT_REFUSED;
}

// Copies the characters from start up to end, or leaves dst empty when they
// do not fit its capacity (terminating zero included).
static void CopyRange(LPSTR dst, int capacity, LPCSTR start, LPCSTR end)
{
    dst[0] = '\0';
    if (end - start < capacity)
        lstrcpynA(dst, start, (int)(end - start) + 1);
}

static LPCSTR LastBackslash(LPCSTR start, LPCSTR end)
{
    LPCSTR found = NULL;
    for (; start < end; ++start) {
        if (*start == '\\')
            found = start;
    }
    return found;
}

// The program path is the first token of the command line: a quoted path up
// to its closing quote, an unquoted one up to the first blank. Its file name
// is what follows the last backslash, its folder what precedes it (with the
// backslash). Without a backslash the folder is the running module's.
// A name or folder too long for its buffer is left empty.
static void SplitProgramPath(LPCSTR commandLine, LPSTR fileName, LPSTR folder)
{
    CHAR module[NETPURGE_FOLDER_CHARS];
    LPCSTR start = commandLine;
    LPCSTR end;
    LPCSTR slash;
    DWORD length;
    if (*start == '"') {
        ++start;
        for (end = start; *end != '\0' && *end != '"'; ++end) {
        }
    } else {
        for (end = start; (unsigned char)*end > ' '; ++end) {
        }
    }
    slash = LastBackslash(start, end);
    CopyRange(fileName, NETPURGE_NAME_CHARS, slash != NULL ? slash + 1 : start, end);
    if (slash != NULL) {
        CopyRange(folder, NETPURGE_FOLDER_CHARS, start, slash + 1);
        return;
    }
    folder[0] = '\0';
    length = GetModuleFileNameA(NULL, module, NETPURGE_FOLDER_CHARS);
    if (length > 0 && length < NETPURGE_FOLDER_CHARS) {
        slash = LastBackslash(module, module + length);
        if (slash != NULL)
            CopyRange(folder, NETPURGE_FOLDER_CHARS, module, slash + 1);
    }
}

// Returns -1 when the program may go on, otherwise its exit code.
static int PassGate(void)
{
    CHAR text[NETPURGE_TEXT_CHARS];
    if (!IsWindows9x() && !IsWindows2000()) {
        if (g_program.silentMode)
            return EXIT_DONE;
        LoadModeTitle();
        if (!(IsWindowsNT4() && g_program.modemMode) &&
            LoadStringA(g_program.instance, IDS_WRONG_PLATFORM, text, NETPURGE_TEXT_CHARS) > 0)
            return Refuse(IDS_WRONG_PLATFORM);
        if (IsWindowsNT4() && g_program.modemMode && !HasAdminRights())
            return Refuse(IDS_NEED_ADMIN);
    }
    if (IsWindows2000() && !HasAdminRights())
        return Refuse(IDS_NEED_ADMIN);
    return -1;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandTail, int show)
{
    CHAR fileName[NETPURGE_NAME_CHARS];
    CHAR modemProgram[NETPURGE_NAME_CHARS];
    MSG message;
    int gate;
    (void)previous;
    message.wParam = 0;
    (void)show;

    g_program.instance = instance;
    g_program.commandTail = commandTail;
    g_program.silentMode = lstrcmpiA(commandTail, SILENT_SWITCH) == 0;

    SplitProgramPath(GetCommandLineA(), fileName, g_program.programFolder);
    if (LoadStringA(instance, IDS_MODEM_PROGRAM, modemProgram, NETPURGE_NAME_CHARS) <= 0)
        return EXIT_DONE;
    if (lstrcmpiA(fileName, modemProgram) == 0 && !IsWindows2000())
        g_program.modemMode = TRUE;

    gate = PassGate();
    if (gate >= 0)
        return gate;

    g_program.mainDialog = CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), NULL, MainDialogProc, 0);
    if (g_program.mainDialog == NULL)
        return EXIT_DONE;
    if (g_program.silentMode) {
        ShowWindow(g_program.mainDialog, SW_HIDE);
        PostMessageA(g_program.mainDialog, WM_COMMAND, IDOK, 0);
    } else {
        CenterMainDialog();
        ShowWindow(g_program.mainDialog, SW_SHOW);
    }

    while (GetMessageA(&message, NULL, 0, 0) > 0) {
        if (!IsDialogMessageA(g_program.mainDialog, &message)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    return (int)message.wParam;
}
