#include "devicefiles/file_copy.h"

#include <commctrl.h>

#include "device/rapi.h"
#include "devicefiles/progress_window.h"
#include "resources/texts.h"
#include "shell/message_box.h"
#include "shell/setup_state.h"

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

// The device file ends with the host file's times, so that an unchanged
// host file is not copied again.
void StampWithHostTimes(HANDLE host, HANDLE device) {
    FileTimes times;
    if (ReadHostTimes(host, &times)) {
        CeSetFileTime(device, &times.creation, &times.lastAccess, &times.lastWrite);
    } else {
        ShowMessage(kTextCopyError, kCaptionCopyError, MB_OK);
    }
}

// A partial file must not stay behind where a later age test could take it
// for the current copy.
void DiscardPartialDeviceFile(HANDLE device, const wchar_t *devicePath) {
    CeCloseHandle(device);
    CeDeleteFile(devicePath);
    ShowMessage(kTextCopyError, kCaptionCopyError, MB_OK);
}

}  // namespace

DWORD CopyFileToDevice(const char *hostFile, const char *devicePath) {
    wchar_t widePath[kDevicePathUnits];
    if (!ToDevicePath(devicePath, widePath)) return ERROR_FILENAME_EXCED_RANGE;

    HANDLE host = OpenHostFile(hostFile);
    if (host == INVALID_HANDLE_VALUE) {
        ShowSystemErrorBox(GetLastError());
        return 0;
    }

    DWORD result = 0;
    if (!DeviceFileIsCurrent(host, widePath)) {
        HANDLE device = OpenDeviceFile(widePath, GENERIC_WRITE, CREATE_ALWAYS);
        if (device == INVALID_HANDLE_VALUE) {
            DWORD deviceError = CeGetLastError();
            CloseHandle(host);
            return CreateFailureResult(deviceError);
        }
        DWORD fileSize = GetFileSize(host, nullptr);
        ShowCopyingLines(hostFile, devicePath);
        StartProgressBar();
        result = CopyChunks(host, device, fileSize);
        if (result == 0) {
            StampWithHostTimes(host, device);
            CeCloseHandle(device);
        } else {
            DiscardPartialDeviceFile(device, widePath);
        }
    }
    CloseHandle(host);
    BlankProgressLines();
    return result;
}
