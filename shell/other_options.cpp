#include "resources/resource_ids.h"
#include "shell/menus.h"
#include "base/setup_state.h"

namespace {

bool IsActionButton(int id) {
    switch (id) {
    case IDC_INSTALL_BOOK:
    case IDC_INSTALL_READER:
    case IDC_UPDATE_READER:
    case IDC_REMOVE_READER:
    case IDC_DEVICE_INFO:
    case IDC_SETUP_INFO:
        return true;
    default:
        return false;
    }
}

INT_PTR CALLBACK OtherOptionsProc(HWND menu, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;  // the focus goes to Back
    case WM_COMMAND: {
        const int id = LOWORD(wParam);
        // Back; the Escape key and the close box send the same command.
        if (id == IDCANCEL) {
            EndDialog(menu, 0);
            return TRUE;
        }
        if (IsActionButton(id)) {
            EndDialog(menu, id);
            return TRUE;
        }
        return FALSE;
    }
    default:
        return FALSE;
    }
}

}  // namespace

int ShowOtherOptions() {
    return static_cast<int>(
        DialogBoxParamA(g_setup.instance, MAKEINTRESOURCEA(IDD_OTHER_OPTIONS), nullptr, OtherOptionsProc, 0));
}
