#include "books/page_input.h"

PageInputHold HoldPageInput(HWND page) {
    PageInputHold hold{page, GetFocus(), GetActiveWindow() == page};
    EnableWindow(page, FALSE);
    return hold;
}

void ReleasePageInput(const PageInputHold &hold) {
    EnableWindow(hold.page, TRUE);
    // A page that has ended (EndDialog hides it) gets nothing back.
    if (!hold.wasActive || !IsWindowVisible(hold.page)) return;
    // The box, the last window to take the user's input, was destroyed while
    // the page was disabled, so the system activated another window.
    SetForegroundWindow(hold.page);
    if (hold.focus && IsWindow(hold.focus) && IsChild(hold.page, hold.focus)) SetFocus(hold.focus);
}
