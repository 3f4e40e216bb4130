#include "reader/remove_reader.h"

#include "device/connection.h"
#include "device/rapi.h"
#include "devicefiles/progress_window.h"
#include "devicefiles/reader_shutdown.h"
#include "devicefiles/shortcuts.h"
#include "resources/texts.h"
#include "base/message_box.h"

namespace {

// The stage in line 1 and the item in line 3 (nullptr: unchanged), painted
// at once, since nothing else repaints the window while the removal runs.
void ShowStage(const char *stage, const char *item) {
    if (stage) SetProgressLine(1, stage);
    if (item) SetProgressLine(3, item);
    RepaintProgressWindow();
}

// The reader's programs, earlier name first. The helper library goes only
// once both are gone.
const wchar_t *const kReaderPrograms[] = {kDeviceOldReaderPath, kDeviceReaderPath};
// The other files of ours in the install folder, deleted whatever happened:
// the earlier reader's state file and a copy's leftover temporary file.
// Anything else in the folder keeps the folder (and stays).
const wchar_t *const kOtherInstallFiles[] = {kDeviceOldStatePath, kDeviceInstallTemporaryPath};
// The shortcut names, earlier name first, in both folders.
const wchar_t *const kReaderShortcuts[] = {kShortcutOldReader, kShortcutReader};

// The close requests run inside the helper library, so they come before it
// is deleted; a reader takes a moment to close, so the deletions wait for it.
void ShutDownReader() {
    ShowStage(kTextShuttingDown, nullptr);
    CloseReaderOnDevice(kReaderWindowClass, kOldReaderWindowTitle);
    CloseReaderOnDevice(kReaderWindowClass, kReaderWindowTitle);
    WaitForReaderToClose();
}

// 0 when the file is gone (deleted now, or not there), else the device's
// reason it stays.
DWORD DeleteDeviceFile(const wchar_t *path) {
    if (CeDeleteFile(path)) return 0;
    const DWORD error = CeGetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return 0;
    return error ? error : ERROR_GEN_FAILURE;
}

// Deletes the reader's files and folder. A reader program the device
// refuses to delete (still running) keeps the helper library, which the
// next removal needs to ask it to close, and so the folder. Returns 0, or
// the reason the first reader program that stays could not be deleted;
// after a lost link nothing more is asked of the device.
DWORD RemoveProgramFiles() {
    ShowStage(kTextRemovingFiles, kTextItemReader);
    DWORD readerStays = 0;
    for (const wchar_t *path : kReaderPrograms) {
        const DWORD error = DeleteDeviceFile(path);
        if (IsLinkLost(error)) return error;
        if (readerStays == 0) readerStays = error;
    }
    for (const wchar_t *path : kOtherInstallFiles) {
        const DWORD error = DeleteDeviceFile(path);
        if (IsLinkLost(error)) return error;
    }
    if (readerStays == 0) {
        ShowStage(nullptr, kTextItemHelper);
        const DWORD error = DeleteDeviceFile(kDeviceHelperPath);
        if (IsLinkLost(error)) return error;
    }
    ShowStage(kTextRemovingDirectory, kTextItemInstallFolder);
    if (!CeRemoveDirectory(kDeviceInstallFolder) && IsLinkLost(CeGetLastError())) return ERROR_DEVICE_NOT_CONNECTED;
    return readerStays;
}

// A reader that stays on the device is never passed over in silence; a
// link lost on the way is said as such, once.
void ReportReaderStays(DWORD reason) {
    if (IsLinkLost(reason)) {
        ReportLinkLost(kTextLinkLostRemovingReader, nullptr);
    } else if (reason == ERROR_SHARING_VIOLATION) {
        ShowMessage(kTextReaderInUseRemove, kCaptionSetup, MB_OK | MB_ICONWARNING);
    } else {
        ShowSystemErrorBox(reason);
    }
}

// Devices without a desktop have nothing to delete there; the desktop
// operations know that from the platform code.
void RemoveShortcuts() {
    ShowStage(kTextRemovingShortcuts, kTextFromStartMenu);
    for (const wchar_t *name : kReaderShortcuts) DeleteProgramsShortcut(name);
    ShowStage(nullptr, kTextFromDesktop);
    for (const wchar_t *name : kReaderShortcuts) DeleteDesktopShortcut(name);
}

}  // namespace

int RemoveReader() {
    ShowProgressWindow();
    if (EnsureDeviceReady()) {
        ShutDownReader();
        const DWORD readerStays = RemoveProgramFiles();
        if (!IsLinkLost(readerStays)) RemoveShortcuts();
        ShowStage("", "");
        if (readerStays != 0) ReportReaderStays(readerStays);
    }
    HideProgressWindow();
    return 1;
}
