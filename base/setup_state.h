// The one process-wide state record of the setup program.
#pragma once

#include <windows.h>

// Host path buffers hold any current directory the system can give.
const int kPathChars = MAX_PATH;

struct SetupState {
    // 1 once a device connection is made, 0 before and after Disconnect.
    LONG connected;
    // The connections made so far: what one device told (a folder's
    // listing) holds only within the connection it was told in.
    LONG connections;
    // Device class 1..6 of the connected device; 0 until first stored.
    WORD PlatformCode;
    // The device's platform identifier (registry Ident\OrigName), ANSI.
    char platformIdText[256];
    // Host folders: where the setup started, and where books are taken from.
    char setupFolder[kPathChars];
    char bookFolder[kPathChars];
    // Device path prefix of the chosen storage location: "\" or "\Card\".
    char storageRoot[kPathChars];
    // The module every dialog template is loaded from.
    HINSTANCE instance;
    // The current progress window and its controls (lines 1 to 4, the bar).
    HWND progressWindow;
    HWND progressLine[4];
    HWND progressBar;
    // The diagnostic hot-key hook while the book selection page is open.
    HHOOK keyboardHookHandle;
};

extern SetupState g_setup;
