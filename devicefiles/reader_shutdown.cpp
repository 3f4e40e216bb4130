#include "devicefiles/reader_shutdown.h"

#include <string.h>

#include "device/connection.h"
#include "device/message_wait.h"
#include "device/rapi.h"
#include "resources/texts.h"
#include "base/message_box.h"

namespace {

// How often a closing reader's files are looked at.
const DWORD kReaderClosePollMs = 100;

void CopyCut(BYTE *half, const wchar_t *text) {
    size_t length = wcsnlen(text, kCloseRequestMaxChars);
    memcpy(half, text, length * sizeof(wchar_t));
    memset(half + length * sizeof(wchar_t), 0, sizeof(wchar_t));
}

bool HelperLibraryPresent() {
    HANDLE library =
        CeCreateFile(kDeviceHelperPath, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (library == INVALID_HANDLE_VALUE) return false;
    CeCloseHandle(library);
    return true;
}

// Codes by which the remote invocation reports that "CloseApp" did not run.
bool InvocationFailed(HRESULT result) {
    return result < 0 || result == ERROR_FILE_NOT_FOUND || result == ERROR_CALL_NOT_IMPLEMENTED ||
           result == ERROR_EXCEPTION_IN_SERVICE;
}

// The host's own error for the failed call; when it has none, the
// invocation's result, so the box never reports a failure as success.
DWORD FailureCode(DWORD hostError, HRESULT invocationResult) {
    return hostError != 0 ? hostError : static_cast<DWORD>(invocationResult);
}

// True when the device refuses to open the file for writing because it is
// in use (its program runs, or a handle holds it). Opening an existing file
// for writing changes nothing in it.
bool DeviceFileInUse(const wchar_t *path) {
    HANDLE file = CeCreateFile(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CeCloseHandle(file);
        return false;
    }
    return CeGetLastError() == ERROR_SHARING_VIOLATION;
}

bool ReaderProgramInUse() { return DeviceFileInUse(kDeviceReaderPath) || DeviceFileInUse(kDeviceOldReaderPath); }

}  // namespace

void FillCloseRequest(BYTE *block, const wchar_t *windowClass, const wchar_t *windowTitle) {
    CopyCut(block, windowClass);
    CopyCut(block + kCloseRequestTitleOffset, windowTitle);
}

int CloseReaderOnDevice(const wchar_t *windowClass, const wchar_t *windowTitle) {
    if (!HelperLibraryPresent()) return 1;

    // Zero-filled, so no leftover host memory travels to the device.
    BYTE *request = static_cast<BYTE *>(LocalAlloc(LPTR, kCloseRequestBytes));
    if (!request) {
        ShowSystemErrorBox(GetLastError());
        return 0;
    }
    FillCloseRequest(request, windowClass, windowTitle);

    DWORD outputSize = 0;
    BYTE *output = nullptr;
    // The interface takes the request block over and frees it.
    HRESULT result =
        CeRapiInvoke(kDeviceHelperPath, kCloseAppFunction, kCloseRequestBytes, request, &outputSize, &output, nullptr, 0);
    DWORD hostError = GetLastError();
    LocalFree(output);
    if (InvocationFailed(result)) {
        // A lost link is left to the action, whose next call meets it and
        // tells it once, with what to do.
        // The remote API may give it as an HRESULT of its own.
        const DWORD failure = FailureCode(hostError, result);
        const bool linkLost = IsLinkLost(failure) || IsLinkLost(CeGetLastError()) ||
                              failure == static_cast<DWORD>(HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED));
        if (!linkLost) ShowSystemErrorBox(failure);
        return 0;
    }
    return 1;
}

bool WaitForReaderToClose() {
    const DWORD start = GetTickCount();
    while (ReaderProgramInUse()) {
        if (GetTickCount() - start >= kReaderCloseWaitMs) return false;
        // A wait on no handles: it only dispatches this thread's messages.
        WaitWithMessages(0, nullptr, kReaderClosePollMs);
    }
    return true;
}
