// Asks a running reader on the device to close, through the "CloseApp"
// function of the helper library installed beside it.
#pragma once

#include <windows.h>

// The request block "CloseApp" takes: the window class (UTF-16, terminated)
// at offset 0 and the window title at offset 512.
const DWORD kCloseRequestBytes = 1024;
const DWORD kCloseRequestTitleOffset = 512;
// Characters of each string that fit its half with the terminator.
const int kCloseRequestMaxChars = 255;

// Writes class and title into block (kCloseRequestBytes long); a string
// longer than kCloseRequestMaxChars is cut to that length.
void FillCloseRequest(BYTE *block, const wchar_t *windowClass, const wchar_t *windowTitle);

// Asks the window of this class and title on the device to close. Returns 1
// when the request was delivered or when the helper library is not on the
// device (nothing to ask), 0 when it failed (the user has been told, but
// of a lost link, which the action meets at its next call and tells).
int CloseReaderOnDevice(const wchar_t *windowClass, const wchar_t *windowTitle);

// The longest wait for a reader asked to close: a few seconds, since the
// user watches a progress window meanwhile.
const DWORD kReaderCloseWaitMs = 3000;

// After the close requests: waits until neither reader program file (the
// current and the earlier name) is in use on the device, at most
// kReaderCloseWaitMs, while this thread's windows go on painting. True when
// both are free or absent; false when one is still in use.
bool WaitForReaderToClose();
