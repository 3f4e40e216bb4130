#include "shell/setup_main.h"

#include <commctrl.h>

#include "books/book_transfer.h"
#include "device/connection.h"
#include "reader/install_reader.h"
#include "reader/remove_reader.h"
#include "resources/resource_ids.h"
#include "resources/texts.h"
#include "device/diagnostic_reports.h"
#include "shell/menus.h"
#include "base/message_box.h"
#include "base/setup_state.h"

namespace {

// The result of a menu dialog that could not be shown at all.
const int kMenuNotShown = -1;

// Each choice runs its action while no menu is on screen, then the Other
// Options menu comes back; Back returns to the main menu (true). False when
// the menu could not be shown: the program must end rather than try again
// and again with nothing on screen.
bool RunOtherOptionsLoop() {
    for (;;) {
        switch (ShowOtherOptions()) {
        case kMenuNotShown:
            return false;
        case 0:
            return true;
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

// Runs until the user leaves the main menu, or a menu cannot be shown.
void RunMainLoop() {
    for (;;) {
        switch (ShowMainMenu()) {
        case kMenuNotShown:
        case 0:
            return;
        case IDC_OTHER_OPTIONS:
            if (!RunOtherOptionsLoop()) return;
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

// Stores the process's current directory in folder: 0, or the error that
// kept it from fitting. A cut or empty folder would make the reader and the
// books resolve in the wrong place.
DWORD StoreCurrentDirectory(char (&folder)[kPathChars]) {
    const DWORD length = GetCurrentDirectoryA(kPathChars, folder);
    if (length != 0 && length < static_cast<DWORD>(kPathChars)) return 0;
    folder[0] = '\0';
    const DWORD error = length == 0 ? GetLastError() : 0;
    return error != 0 ? error : ERROR_FILENAME_EXCED_RANGE;
}

}  // namespace

int SetupMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // The program takes no arguments: the command line is not looked at.
    DWORD folderError = StoreCurrentDirectory(g_setup.setupFolder);
    if (folderError == 0) folderError = StoreCurrentDirectory(g_setup.bookFolder);
    if (folderError != 0) {
        ShowSystemErrorBox(folderError);
        return 0;
    }
    // Registers the progress bar class the progress window uses.
    InitCommonControls();
    g_setup.instance = instance;
    RunMainLoop();
    Disconnect();
    return 0;
}
