// The diagnostic reports: plain message boxes with the setup's version and
// with what the connected device is.
#pragma once

// The setup version text under the given caption.
void ShowSetupVersion(const char *caption);

#include <windows.h>

// The device report (processor, platform code, version, identifier) under
// the given caption; expects a connected device. A device that does not
// answer gets no report: a box says it could not be read and why, and its
// connection is forgotten.
void ShowDeviceReport(const char *caption);

// The Device Info button: connects when needed (a failed connection has
// then been reported and no report follows), then the report captioned
// "Device Information".
void ShowDeviceInfo();

// The F2/F3 hot keys: a WH_KEYBOARD hook procedure for the user-interface
// thread, installed by the book page. Passes every key on to the next hook.
LRESULT CALLBACK DiagnosticKeyHook(int code, WPARAM key, LPARAM flags);

// Size of the device report text, terminating NUL included.
const size_t kDeviceReportBytes = 256;

// Formats the device report into report (size bytes). An identifier too long
// for what is left is cut at a character boundary of its code page (the
// ANSI code page unless told), so the text always ends in a NUL within the
// buffer.
void FormatDeviceReport(char *report, size_t size, int processor, int platform, int major, int minor,
                        const char *identifier, UINT codePage = CP_ACP);
