// The wizard pages' message boxes have no owner window, so nothing keeps
// the page from taking input while one is up (a second Next, a Back). A
// page holds its input around everything that may show a box, as an owned
// box would, and is activated again afterwards.
#pragma once

#include <windows.h>

// Disables the page.
void HoldPageInput(HWND page);
// Enables the page again and activates it; the dialog manager then gives
// the focus back to the control that had it.
void ReleasePageInput(HWND page);
