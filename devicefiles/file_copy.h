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
// A failure is not shown here, since the caller names the file in its own
// box; only host file times that cannot be read after the copy show "Error
// while copying file to CE Device." (caption "Error 151") before the
// failure is returned.
// The caller shows the progress window first; the copy never shows or hides it.
// When the old devicePath was deleted but the complete copy could not be
// renamed into its place with the link still up, the copy is the only whole
// one and stays under the temporary name: *keptAsTemporary (when given) is
// then true, and a later copy into that folder would overwrite it.
DWORD CopyFileToDevice(const char *hostFile, const char *devicePath, bool *keptAsTemporary = nullptr);

// Copies hostFile to devicePath whatever the two files' times (the
// newspaper's current issue is replaced by each new issue). What devicePath
// held stays there until the new file is complete on the device, with the
// host file's times; results as for CopyFileToDevice.
DWORD ReplaceFileOnDevice(const char *hostFile, const char *devicePath, bool *keptAsTemporary = nullptr);

// The newer-only rule's age test alone, nothing written: true when the
// device holds devicePath with a last-write time not earlier than
// hostFile's (a book that needs no room).
bool DeviceCopyIsCurrent(const char *hostFile, const char *devicePath);

// Names a file that did not reach the device ("NAME was not copied to the
// device."), with the system's text for the reason a copy above returned.
// Returns the system error code shown: kCopyDeviceFileInUse is the
// device's sharing violation.
DWORD ShowFileNotCopied(const char *name, DWORD copyResult);

// The name of the file every copy writes beside its target before renaming
// it into place; a folder must have room for it to take any copy.
inline constexpr char kCopyTemporaryName[] = "~tesh.tmp";

// Deletes a temporary file that an earlier copy left in folder (a device
// folder without its trailing backslash), so that it takes no room on the
// device. 1 when one was deleted, 0 when there was none (or it could not be).
int RemoveStaleTemporaryFile(const wchar_t *folder);
