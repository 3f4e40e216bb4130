#include "devicefiles/file_copy.h"

#include <commctrl.h>
#include <stdio.h>
#include <string.h>

#include "device/rapi.h"
#include "devicefiles/progress_window.h"
#include "resources/texts.h"
#include "base/message_box.h"
#include "base/setup_state.h"

namespace {

const DWORD kChunkBytes = 16384;
// A device path buffer of 256 UTF-16 units: at most 255 characters.
const int kDevicePathUnits = 256;

struct FileTimes {
    FILETIME creation;
    FILETIME lastAccess;
    FILETIME lastWrite;
};

// False when the path does not fit the device's 255 characters: a cut
// path would name another file.
bool ToDevicePath(const char *devicePath, wchar_t (&wide)[kDevicePathUnits]) {
    return MultiByteToWideChar(CP_ACP, 0, devicePath, -1, wide, kDevicePathUnits) != 0;
}

HANDLE OpenHostFile(const char *hostFile) {
    return CreateFileA(hostFile, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

HANDLE OpenDeviceFile(const wchar_t *path, DWORD access, DWORD disposition) {
    return CeCreateFile(path, access, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool ReadHostTimes(HANDLE host, FileTimes *times) {
    return GetFileTime(host, &times->creation, &times->lastAccess, &times->lastWrite) != FALSE;
}

// The age test: true only when the device holds the file and its last-write
// time is not earlier than the host file's. A time that cannot be read on
// either side makes the copy go ahead, since nothing shows the device file
// is up to date.
bool DeviceFileIsCurrent(HANDLE host, const wchar_t *devicePath) {
    HANDLE device = OpenDeviceFile(devicePath, GENERIC_READ, OPEN_EXISTING);
    if (device == INVALID_HANDLE_VALUE) return false;
    FileTimes hostTimes, deviceTimes;
    bool timesRead = ReadHostTimes(host, &hostTimes) &&
                     CeGetFileTime(device, &deviceTimes.creation, &deviceTimes.lastAccess, &deviceTimes.lastWrite);
    CeCloseHandle(device);
    return timesRead && CompareFileTime(&hostTimes.lastWrite, &deviceTimes.lastWrite) <= 0;
}

// A failure is reported by a code that is never 0 (success) and never the
// in-use result, which the device's own "path not found" (3) would be.
static_assert(kCopyDeviceFileInUse == ERROR_PATH_NOT_FOUND, "the collision this guards against");
DWORD FailureResult(DWORD code, DWORD fallback) {
    if (code == 0) return fallback;
    if (code == ERROR_PATH_NOT_FOUND) return ERROR_BAD_PATHNAME;
    return code;
}

// The device's code for a failed create, as the copy reports it.
DWORD CreateFailureResult(DWORD deviceError) {
    if (deviceError == ERROR_SHARING_VIOLATION) return kCopyDeviceFileInUse;
    return FailureResult(deviceError, ERROR_GEN_FAILURE);
}

void ShowCopyingLines(const char *hostFile, const char *devicePath) {
    SetProgressLine(1, kTextCopyingFrom);
    SetProgressLine(2, hostFile);
    SetProgressLine(3, kTextCopyingTo);
    SetProgressLine(4, devicePath);
}

void StartProgressBar() {
    SendMessageA(g_setup.progressBar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    SendMessageA(g_setup.progressBar, PBM_SETPOS, 0, 0);
}

void BlankProgressLines() {
    for (int line = 1; line <= 4; ++line) SetProgressLine(line, "");
}

// Copies the host file from its current position to the end, one chunk per
// device write and per bar update. Returns 0, or the error code of the
// first failed host read or device write.
DWORD CopyChunks(HANDLE host, HANDLE device, DWORD fileSize) {
    static_assert(kChunkBytes <= 65536, "the chunk buffer lives on the stack");
    BYTE buffer[kChunkBytes];
    DWORD done = 0;
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(host, buffer, kChunkBytes, &read, nullptr))
            return FailureResult(GetLastError(), ERROR_READ_FAULT);
        if (read == 0) return 0;
        DWORD written = 0;
        if (!CeWriteFile(device, buffer, read, &written, nullptr))
            return FailureResult(CeGetLastError(), ERROR_WRITE_FAULT);
        // The device took only part of the chunk without an error: its store is full.
        if (written != read) return ERROR_DISK_FULL;
        done += read;
        UpdateProgressBar(fileSize, done);
    }
}

// The copy is written under a temporary name in the target's own folder and
// takes the target's name only once it is complete and carries the host
// file's times. A dropped link, a full store or a failed host read at any
// point therefore leaves the target as it was; at worst a partial temporary
// file stays behind, which the next install or transfer into that folder
// removes. The name (kCopyTemporaryName) is fixed, so such leftovers never
// pile up. This is the temporary path beside devicePath; false when it does not fit the
// device's 255 characters.
bool ToTemporaryPath(const char *devicePath, wchar_t (&wide)[kDevicePathUnits]) {
    const char *lastSeparator = strrchr(devicePath, '\\');
    size_t folderLength = lastSeparator ? static_cast<size_t>(lastSeparator - devicePath) + 1 : 0;
    char path[kDevicePathUnits * 2];
    if (folderLength + sizeof kCopyTemporaryName > sizeof path) return false;
    memcpy(path, devicePath, folderLength);
    memcpy(path + folderLength, kCopyTemporaryName, sizeof kCopyTemporaryName);
    return ToDevicePath(path, wide);
}

// Before anything is written: may the target be replaced? 0 when it is
// absent or free; otherwise the device's code for why not (32 when it is
// open or its program runs, 5 when it is read-only, 3 when its folder is
// missing). Opening an existing file for writing changes nothing in it.
DWORD CheckTargetReplaceable(const wchar_t *targetPath, bool *exists) {
    HANDLE target = OpenDeviceFile(targetPath, GENERIC_WRITE, OPEN_EXISTING);
    *exists = target != INVALID_HANDLE_VALUE;
    if (*exists) {
        CeCloseHandle(target);
        return 0;
    }
    DWORD error = CeGetLastError();
    return error == ERROR_FILE_NOT_FOUND ? 0 : (error ? error : ERROR_GEN_FAILURE);
}

// Writes the whole host file to the temporary file and gives it the host
// file's times, so that the age test of later runs sees it as current.
// 0, or the code of the first failure: a file without the host times must
// not take the target's place, where it would look newer than the host
// file and never be updated again.
DWORD WriteTemporaryFile(HANDLE host, HANDLE temporary, DWORD fileSize) {
    DWORD result = CopyChunks(host, temporary, fileSize);
    if (result != 0) return result;
    FileTimes times;
    if (!ReadHostTimes(host, &times)) {
        // The one failure the caller cannot name in plain words: the copy
        // is whole, but its times cannot be known.
        const DWORD error = GetLastError();
        ShowMessage(kTextCopyError, kCaptionCopyError, MB_OK);
        return FailureResult(error, ERROR_READ_FAULT);
    }
    if (!CeSetFileTime(temporary, &times.creation, &times.lastAccess, &times.lastWrite)) {
        return FailureResult(CeGetLastError(), ERROR_WRITE_FAULT);
    }
    return 0;
}

// Puts the complete temporary file in the target's place. The device has
// no replacing rename, so an old target is deleted just before the rename;
// a link lost between the two, or a rename the device refuses, leaves no
// target but the complete copy under the temporary name (*targetDeleted
// tells), and the next run copies again.
DWORD ReplaceTarget(const wchar_t *temporaryPath, const wchar_t *targetPath, bool targetExists,
                    bool *targetDeleted) {
    if (targetExists && !CeDeleteFile(targetPath)) {
        DWORD error = CeGetLastError();
        if (error != ERROR_FILE_NOT_FOUND) return FailureResult(error, ERROR_GEN_FAILURE);
    }
    *targetDeleted = targetExists;
    if (!CeMoveFile(temporaryPath, targetPath)) return FailureResult(CeGetLastError(), ERROR_GEN_FAILURE);
    return 0;
}

// Copies hostFile over devicePath through the temporary file. Only the age
// test differs between the newer-only copy and the forced replace.
DWORD CopyThroughTemporaryFile(const char *hostFile, const char *devicePath, bool onlyWhenNewer,
                               bool *keptAsTemporary) {
    if (keptAsTemporary) *keptAsTemporary = false;
    wchar_t targetPath[kDevicePathUnits];
    wchar_t temporaryPath[kDevicePathUnits];
    if (!ToDevicePath(devicePath, targetPath) || !ToTemporaryPath(devicePath, temporaryPath)) {
        return ERROR_FILENAME_EXCED_RANGE;
    }

    HANDLE host = OpenHostFile(hostFile);
    if (host == INVALID_HANDLE_VALUE) {
        ShowSystemErrorBox(GetLastError());
        return 0;
    }
    if (onlyWhenNewer && DeviceFileIsCurrent(host, targetPath)) {
        CloseHandle(host);
        BlankProgressLines();
        return 0;
    }

    bool targetExists = false;
    DWORD refusal = CheckTargetReplaceable(targetPath, &targetExists);
    HANDLE temporary = refusal ? INVALID_HANDLE_VALUE : OpenDeviceFile(temporaryPath, GENERIC_WRITE, CREATE_ALWAYS);
    if (temporary == INVALID_HANDLE_VALUE) {
        DWORD deviceError = refusal ? refusal : CeGetLastError();
        CloseHandle(host);
        return CreateFailureResult(deviceError);
    }

    DWORD fileSize = GetFileSize(host, nullptr);
    ShowCopyingLines(hostFile, devicePath);
    StartProgressBar();
    DWORD result = WriteTemporaryFile(host, temporary, fileSize);
    CeCloseHandle(temporary);
    bool targetDeleted = false;
    if (result == 0) result = ReplaceTarget(temporaryPath, targetPath, targetExists, &targetDeleted);
    if (result != 0) {
        if (targetDeleted) {
            // The old file is gone and the temporary file is the only
            // complete copy: it stays where it is.
            if (keptAsTemporary) *keptAsTemporary = true;
        } else {
            // Whatever the temporary file holds is not the copy: remove it
            // now if the device still answers.
            CeDeleteFile(temporaryPath);
        }
    }
    CloseHandle(host);
    BlankProgressLines();
    return result;
}

}  // namespace

DWORD CopyFileToDevice(const char *hostFile, const char *devicePath, bool *keptAsTemporary) {
    return CopyThroughTemporaryFile(hostFile, devicePath, true, keptAsTemporary);
}

DWORD ReplaceFileOnDevice(const char *hostFile, const char *devicePath, bool *keptAsTemporary) {
    return CopyThroughTemporaryFile(hostFile, devicePath, false, keptAsTemporary);
}

bool DeviceCopyIsCurrent(const char *hostFile, const char *devicePath) {
    wchar_t targetPath[kDevicePathUnits];
    if (!ToDevicePath(devicePath, targetPath)) return false;
    HANDLE host = OpenHostFile(hostFile);
    if (host == INVALID_HANDLE_VALUE) return false;
    const bool current = DeviceFileIsCurrent(host, targetPath);
    CloseHandle(host);
    return current;
}

int RemoveStaleTemporaryFile(const wchar_t *folder) {
    wchar_t path[kDevicePathUnits];
    const size_t folderLength = wcslen(folder);
    if (folderLength + 1 + sizeof kCopyTemporaryName > kDevicePathUnits) return 0;
    memcpy(path, folder, folderLength * sizeof(wchar_t));
    path[folderLength] = L'\\';
    for (size_t i = 0; i < sizeof kCopyTemporaryName; ++i) {
        path[folderLength + 1 + i] = static_cast<wchar_t>(kCopyTemporaryName[i]);
    }
    return CeDeleteFile(path) ? 1 : 0;
}

DWORD ShowFileNotCopied(const char *name, DWORD copyResult) {
    const DWORD error = copyResult == kCopyDeviceFileInUse ? ERROR_SHARING_VIOLATION : copyResult;
    char subject[320];
    snprintf(subject, sizeof subject, kTextBookNotCopiedFormat, name);
    ShowSystemErrorBoxAbout(subject, error);
    return error;
}
