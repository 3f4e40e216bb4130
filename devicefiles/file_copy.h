// Copies one host file to the device, newer-only, showing the two names and
// a progress bar in the current progress window.
#pragma once

#include <windows.h>

// Result of a copy whose device file could not be created because it is in
// use on the device (the device reported a sharing violation).
const DWORD kCopyDeviceFileInUse = 3;

// Copies hostFile (ANSI, relative names resolve in the current directory) to
// devicePath (ANSI, absolute device path of at most 255 characters) when the
// device lacks the file or holds one with an earlier last-write time, and
// gives the copy the host file's three times.
// Returns 0 when copied, not needed, or the host file could not be opened
// (already shown to the user); kCopyDeviceFileInUse; or the error code of
// the device (or of the host read) for any other failure, never 0 or 3 (a
// device "path not found" is reported as ERROR_BAD_PATHNAME).
// The caller shows the progress window first; the copy never shows or hides it.
DWORD CopyFileToDevice(const char *hostFile, const char *devicePath);

// Copies hostFile to devicePath whatever the two files' times (the
// newspaper's current issue is replaced by each new issue). What devicePath
// held stays there until the new file is complete on the device, with the
// host file's times; results as for CopyFileToDevice.
DWORD ReplaceFileOnDevice(const char *hostFile, const char *devicePath);
