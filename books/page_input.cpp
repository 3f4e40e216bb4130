#include "books/page_input.h"

void HoldPageInput(HWND page) { EnableWindow(page, FALSE); }

void ReleasePageInput(HWND page) {
    EnableWindow(page, TRUE);
    // The box, the last window to take the user's input, was destroyed while
    // the page was disabled, so the system activated another window.
    SetForegroundWindow(page);
}
