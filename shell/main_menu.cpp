#include "resources/resource_ids.h"
#include "shell/menus.h"
#include "base/message_box.h"
#include "base/setup_state.h"

namespace {

// Exit (also the Escape key) leaves only when the user confirms.
void OnExit(HWND menu) {
    if (ConfirmAbort()) EndDialog(menu, 0);
}

INT_PTR CALLBACK MainMenuProc(HWND menu, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;  // the focus goes to Install Book
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_INSTALL_BOOK:
        case IDC_OTHER_OPTIONS:
            EndDialog(menu, LOWORD(wParam));
            return TRUE;
        case IDCANCEL:
            OnExit(menu);
            return TRUE;
        default:
            return FALSE;
        }
    default:
        return FALSE;
    }
}

}  // namespace

int ShowMainMenu() {
    return static_cast<int>(
        DialogBoxParamA(g_setup.instance, MAKEINTRESOURCEA(IDD_MAIN_MENU), nullptr, MainMenuProc, 0));
}
