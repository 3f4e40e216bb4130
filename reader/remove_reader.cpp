#include "reader/remove_reader.h"

#include "device/connection.h"
#include "device/rapi.h"
#include "devicefiles/progress_window.h"
#include "devicefiles/reader_shutdown.h"
#include "devicefiles/shortcuts.h"
#include "resources/texts.h"

namespace {

// The stage in line 1 and the item in line 3 (nullptr: unchanged), painted
// at once, since nothing else repaints the window while the removal runs.
void ShowStage(const char *stage, const char *item) {
    if (stage) SetProgressLine(1, stage);
    if (item) SetProgressLine(3, item);
    RepaintProgressWindow();
}

// The reader's files in the install folder, deleted in this order. Exactly
// these: anything else in the folder keeps the folder (and stays).
const wchar_t *const kReaderProgramFiles[] = {kDeviceOldReaderPath, kDeviceReaderPath, kDeviceOldStatePath};
// The shortcut names, earlier name first, in both folders.
const wchar_t *const kReaderShortcuts[] = {kShortcutOldReader, kShortcutReader};

// The close requests run inside the helper library, so they come before it
// is deleted. Nothing waits for the reader to finish closing.
void ShutDownReader() {
    ShowStage(kTextShuttingDown, nullptr);
    CloseReaderOnDevice(kReaderWindowClass, kOldReaderWindowTitle);
    CloseReaderOnDevice(kReaderWindowClass, kReaderWindowTitle);
}

// Every deletion is attempted whatever happened before; a file the device
// refuses (a reader still running) simply stays, and so does the folder.
void RemoveProgramFiles() {
    ShowStage(kTextRemovingFiles, kTextItemHelper);
    CeDeleteFile(kDeviceHelperPath);
    ShowStage(nullptr, kTextItemReader);
    for (const wchar_t *path : kReaderProgramFiles) CeDeleteFile(path);
    ShowStage(kTextRemovingDirectory, kTextItemInstallFolder);
    CeRemoveDirectory(kDeviceInstallFolder);
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
        RemoveProgramFiles();
        RemoveShortcuts();
        ShowStage("", "");
    }
    HideProgressWindow();
    return 1;
}
