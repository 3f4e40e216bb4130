#include "shell/setup_main.h"

#include <commctrl.h>

#include "books/book_transfer.h"
#include "device/connection.h"
#include "reader/install_reader.h"
#include "reader/remove_reader.h"
#include "resources/resource_ids.h"
#include "resources/texts.h"
#include "shell/diagnostic_reports.h"
#include "shell/menus.h"
#include "shell/setup_state.h"

namespace {

// Each choice runs its action while no menu is on screen, then the Other
// Options menu comes back; Back returns to the main menu.
void RunOtherOptionsLoop() {
    for (;;) {
        switch (ShowOtherOptions()) {
        case 0:
            return;
        case IDC_SETUP_INFO:
            ShowSetupVersion(kCaptionSetupInfoButton);
            break;
        case IDC_INSTALL_BOOK:
            InstallBooks();  // the Other Options menu comes back whatever it did
            break;
        case IDC_INSTALL_READER:
        case IDC_UPDATE_READER:
            InstallReader();
            break;
        case IDC_REMOVE_READER:
            RemoveReader();
            break;
        case IDC_DEVICE_INFO:
            ShowDeviceInfo();
            break;
        default:
            break;
        }
    }
}

// Runs until the user leaves the main menu.
void RunMainLoop() {
    for (;;) {
        switch (ShowMainMenu()) {
        case 0:
            return;
        case IDC_OTHER_OPTIONS:
            RunOtherOptionsLoop();
            break;
        case IDC_INSTALL_BOOK:
            // A finished or cancelled installation ends the program; Back
            // from its first page, or no connection, shows the menu again.
            if (InstallBooks() == 0) return;
            break;
        default:
            break;
        }
    }
}

}  // namespace

int SetupMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // The program takes no arguments: the command line is not looked at.
    GetCurrentDirectoryA(kPathChars, g_setup.setupFolder);
    GetCurrentDirectoryA(kPathChars, g_setup.bookFolder);
    // Registers the progress bar class the progress window uses.
    InitCommonControls();
    g_setup.instance = instance;
    RunMainLoop();
    Disconnect();
    return 0;
}
