// The wizard pages' message boxes have no owner window, so nothing keeps
// the page from taking input while one is up (a second Next, a Back). A
// page holds its input around everything that may show a box, as an owned
// box would, and gets the activation and the focus back afterwards.
#pragma once

#include <windows.h>

struct PageInputHold {
    HWND page;
    HWND focus;      // the control that had the focus
    bool wasActive;  // the page was the active window
};

// Disables the page; returns what ReleasePageInput needs.
PageInputHold HoldPageInput(HWND page);
// Enables the page again and, when it is still shown and was active before,
// activates it and gives the focus back to its control.
void ReleasePageInput(const PageInputHold &hold);
