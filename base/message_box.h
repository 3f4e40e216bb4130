// Message boxes of the program: always without an owner window.
#pragma once

#include <windows.h>

// Shows text under caption with the given MessageBox flags; returns the answer.
int ShowMessage(const char *text, const char *caption, UINT flags);

// Shows the system's own text for a host error code, captioned "Error",
// with a warning icon. A code the system has no text for is shown by number.
void ShowSystemErrorBox(DWORD errorCode);
// The same, with a first line saying what failed (e.g. which file).
void ShowSystemErrorBoxAbout(const char *subject, DWORD errorCode);

// Asks "Do you really want to abort the program?"; true when answered Yes.
bool ConfirmAbort();
