#include "reader/remove_reader.h"

#include "device/connection.h"
#include "device/rapi.h"
#include "devicefiles/progress_window.h"
#include "devicefiles/reader_shutdown.h"
#include "devicefiles/shortcuts.h"
#include "resources/texts.h"

namespace {

// The reader's files in the install folder, deleted in this order. Exactly
// these: anything else in the folder keeps the folder (and stays).
const wchar_t *const kReaderProgramFiles[] = {kDeviceOldReaderPath, kDeviceReaderPath, kDeviceOldStatePath};
// The shortcut names, earlier name first, in both folders.
const wchar_t *const kReaderShortcuts[] = {kShortcutOldReader, kShortcutReader};

// The close requests run inside the helper library, so they come before it
// is deleted. Nothing waits for the reader to finish closing.
void ShutDownReader() {
    SetProgressLine(1, kTextShuttingDown);
    CloseReaderOnDevice(kReaderWindowClass, kOldReaderWindowTitle);
    CloseReaderOnDevice(kReaderWindowClass, kReaderWindowTitle);
}

// Every deletion is attempted whatever happened before; a file the device
// refuses (a reader still running) simply stays, and so does the folder.
void RemoveProgramFiles() {
    SetProgressLine(1, kTextRemovingFiles);
    SetProgressLine(3, kTextItemHelper);
    CeDeleteFile(kDeviceHelperPath);
    SetProgressLine(3, kTextItemReader);
    for (const wchar_t *path : kReaderProgramFiles) CeDeleteFile(path);
    SetProgressLine(1, kTextRemovingDirectory);
    SetProgressLine(3, kTextItemInstallFolder);
    CeRemoveDirectory(kDeviceInstallFolder);
}

// Devices without a desktop have nothing to delete there; the desktop
// operations know that from the platform code.
void RemoveShortcuts() {
    SetProgressLine(1, kTextRemovingShortcuts);
    SetProgressLine(3, kTextFromStartMenu);
    for (const wchar_t *name : kReaderShortcuts) DeleteProgramsShortcut(name);
    SetProgressLine(3, kTextFromDesktop);
    for (const wchar_t *name : kReaderShortcuts) DeleteDesktopShortcut(name);
}

}  // namespace

int RemoveReader() {
    ShowProgressWindow();
    if (EnsureDeviceReady()) {
        ShutDownReader();
        RemoveProgramFiles();
        RemoveShortcuts();
        SetProgressLine(1, "");
        SetProgressLine(3, "");
    }
    HideProgressWindow();
    return 1;
}
