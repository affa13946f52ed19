// The confirmation dialog and the removal it starts.
#include "netpurge.h"
#include "resource.h"

static void SetItemText(HWND window, int item, UINT textId)
{
    CHAR text[NETPURGE_TEXT_CHARS];
    LoadStringA(g_program.instance, textId, text, NETPURGE_TEXT_CHARS);
    SetDlgItemTextA(window, item, text);
}

INT_PTR CALLBACK MainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
        case WM_INITDIALOG:
            if (!g_program.silentMode) {
                LoadModeTitle();
                SetWindowTextA(window, g_program.title);
                SetItemText(window, IDC_MESSAGE, g_program.modemMode ? IDS_QUESTION_MODEM : IDS_QUESTION);
                SetItemText(window, IDOK, IDS_OK);
                SetItemText(window, IDCANCEL, IDS_CANCEL);
            }
            return TRUE;
        case WM_COMMAND:
            OnDialogCommand(window, wParam, lParam);
            return TRUE;
        case WM_CLOSE:
            DestroyWindow(window);
            return TRUE;
        case WM_DESTROY:
            PostQuitMessage(0);
            return TRUE;
        default:
            return FALSE;
    }
}

// The whole wParam counts: only a click (notification code 0) of OK or
// Cancel acts.
void OnDialogCommand(HWND window, WPARAM wParam, LPARAM lParam)
{
    (void)window;
    (void)lParam;
    if (wParam == IDOK) {
        RunRemoval();
        PostQuitMessage(0);
    } else if (wParam == IDCANCEL) {
        PostQuitMessage(0);
    }
}

void CenterMainDialog(void)
{
    HWND desktop = GetDesktopWindow();
    RECT dialog;
    RECT screen;
    int width;
    int height;
    if (desktop == NULL)
        return;
    if (!GetWindowRect(g_program.mainDialog, &dialog) || !GetWindowRect(desktop, &screen))
        return;
    width = dialog.right - dialog.left;
    height = dialog.bottom - dialog.top;
    SetWindowPos(g_program.mainDialog, HWND_TOP, ((screen.right - screen.left) - width) / 2,
                 ((screen.bottom - screen.top) - height) / 2, width, height, SWP_HIDEWINDOW);
}
