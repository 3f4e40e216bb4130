#include "reader/install_reader.h"

#include "device/connection.h"
#include "device/identification.h"
#include "device/rapi.h"
#include "devicefiles/file_copy.h"
#include "devicefiles/progress_window.h"
#include "devicefiles/reader_shutdown.h"
#include "devicefiles/shortcuts.h"
#include "reader/variant_selection.h"
#include "resources/texts.h"
#include "base/message_box.h"
#include "base/setup_state.h"

namespace {

// A status text in line 1, painted at once: nothing else repaints the
// window until the next copy moves the bar.
void ShowStatus(const char *text) {
    SetProgressLine(1, text);
    RepaintProgressWindow();
}

// Reads the processor type, classifies the device again and stores its
// code: the variant is chosen from this reading. A device that gives no
// processor type because the link is gone is forgotten (0), before the
// classification would tell of a registry it cannot reach.
DWORD IdentifyDevice() {
    ShowStatus(kTextDeterminingProcessor);
    const DWORD processor = static_cast<DWORD>(QueryProcessorType());
    if (processor == 0 && DeviceLinkLost()) {
        ForgetConnection();
        return 0;
    }
    ShowStatus(kTextDeterminingVersion);
    SetPlatformCode(ClassifyPlatform());
    return processor;
}

// Folders that exist already are no obstacle, so the results do not matter.
void CreateInstallFolder() {
    ShowStatus(kTextCreatingDirectory);
    CeCreateDirectory(kDeviceProgramFiles, nullptr);
    CeCreateDirectory(kDeviceInstallFolder, nullptr);
}

// Asks a running reader, under either name, to close and gives it a moment
// to end, then clears away the reader's earlier name: its shortcuts and its
// program file. A reader that is still running then is met by the copy,
// which says so.
void ClearAwayRunningAndEarlierReader() {
    CloseReaderOnDevice(kReaderWindowClass, kOldReaderWindowTitle);
    CloseReaderOnDevice(kReaderWindowClass, kReaderWindowTitle);
    WaitForReaderToClose();
    DeleteProgramsShortcut(kShortcutOldReader);
    DeleteDesktopShortcut(kShortcutOldReader);
    CeDeleteFile(kDeviceOldReaderPath);
}

void CreateReaderShortcuts() {
    ShowStatus(kTextCreatingShortcuts);
    CreateProgramsShortcut(kShortcutReader, kDeviceReaderPath);
    CreateDesktopShortcut(kShortcutReader, kDeviceReaderPath);
}

// How a copy of a program file ended. A file that did not reach the device
// is named, with the system's text for the reason; a lost link ends the use
// of the connection and is left for the action to say once, in its words.
enum class CopyEnd { kCopied, kFailed, kLinkLost };
CopyEnd CheckCopy(const char *devicePath, DWORD copyResult) {
    if (copyResult == 0) return CopyEnd::kCopied;
    if (ForgetConnectionIfLost(copyResult)) return CopyEnd::kLinkLost;
    ShowFileNotCopied(devicePath, copyResult);
    return CopyEnd::kFailed;
}

// What follows the copy of the reader program: shortcuts when it is in
// place, else the reason it is not. A copy that failed for any other reason
// than a running reader is shown too, so that a failed installation never
// looks like a finished one. False when the link was lost.
bool FinishReaderCopy(DWORD copyResult) {
    if (copyResult == 0) {
        CreateReaderShortcuts();
        return true;
    }
    if (copyResult == kCopyDeviceFileInUse) {
        ShowMessage(kTextReaderInUse, kCaptionUpdateProblem, MB_OK | MB_ICONWARNING);
        return true;
    }
    return CheckCopy(kDeviceReaderPathAnsi, copyResult) != CopyEnd::kLinkLost;
}

// The copy counts a host file it cannot open as done, after showing the
// system's text; a reader variant the setup folder lacks must stop the
// installation instead, before the running reader is closed or the earlier
// one deleted, and with no shortcut to a reader that is not there.
bool ReaderVariantOpens(const char *readerVariantFile) {
    HANDLE file = CreateFileA(readerVariantFile, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        ShowSystemErrorBox(GetLastError());
        return false;
    }
    CloseHandle(file);
    return true;
}

// The steps after a connection is made; the caller shows and hides the
// progress window around them. False when the link was lost (the
// connection is forgotten, nothing is said).
bool InstallOnConnectedDevice() {
    const DWORD processor = IdentifyDevice();
    if (!g_setup.connected) return false;
    CreateInstallFolder();
    const ReaderVariant variant = SelectReaderVariant(processor, g_setup.PlatformCode);
    if (variant.refused) {
        ShowMessage(kTextEmulatorRefused, kCaptionSetup, MB_OK | MB_ICONWARNING);
        return true;
    }
    // The variant names are relative to the setup folder; the book page's
    // Browse may have moved the current directory away from it.
    SetCurrentDirectoryA(g_setup.setupFolder);
    if (!ReaderVariantOpens(variant.readerVariantFile)) return true;
    ShowStatus(kTextInstallingReader);
    // An earlier copy's leftover temporary file goes before anything is copied.
    RemoveStaleTemporaryFile(kDeviceInstallFolder);
    // The helper library goes first: the close requests run inside it.
    // A helper library that did not arrive is said; after a lost link
    // nothing more asks the device, so that the loss is said once.
    const DWORD helperResult = CopyFileToDevice(variant.helperVariantFile, kDeviceHelperPathAnsi);
    if (CheckCopy(kDeviceHelperPathAnsi, helperResult) == CopyEnd::kLinkLost) return false;
    ClearAwayRunningAndEarlierReader();
    return FinishReaderCopy(CopyFileToDevice(variant.readerVariantFile, kDeviceReaderPathAnsi));
}

}  // namespace

bool BringReaderUpToDate() {
    ShowProgressWindow();
    bool linkHeld = true;
    if (EnsureDeviceReady()) linkHeld = InstallOnConnectedDevice();
    HideProgressWindow();
    return linkHeld;
}

int InstallReader() {
    if (!BringReaderUpToDate()) ReportLinkLost(kTextLinkLostInstallingReader, kTextDockAgainForReader);
    return 0;
}

BOOL LaunchReader() {
    PROCESS_INFORMATION started = {};
    const BOOL result = CeCreateProcess(kDeviceReaderPath, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                        nullptr, &started);
    // Nothing uses the reader's process afterwards; whatever handles the
    // device gave back are released at once.
    if (started.hThread) CeCloseHandle(started.hThread);
    if (started.hProcess) CeCloseHandle(started.hProcess);
    return result;
}
