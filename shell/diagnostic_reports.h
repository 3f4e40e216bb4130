// The diagnostic reports: plain message boxes with the setup's version and
// with what the connected device is.
#pragma once

// The setup version text under the given caption.
void ShowSetupVersion(const char *caption);

#include <windows.h>

// The device report (processor, platform code, version, identifier) under
// the given caption; expects a connected device.
void ShowDeviceReport(const char *caption);

// The F2/F3 hot keys: a WH_KEYBOARD hook procedure for the user-interface
// thread, installed by the book page. Passes every key on to the next hook.
LRESULT CALLBACK DiagnosticKeyHook(int code, WPARAM key, LPARAM flags);
