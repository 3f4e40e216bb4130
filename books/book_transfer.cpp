#include "books/book_transfer.h"

#include <stdio.h>
#include <string.h>

#include "books/book_selection.h"
#include "books/pending_book_list.h"
#include "books/storage_selection.h"
#include "device/connection.h"
#include "device/rapi.h"
#include "devicefiles/file_copy.h"
#include "devicefiles/progress_window.h"
#include "reader/install_reader.h"
#include "resources/resource_ids.h"
#include "resources/texts.h"
#include "shell/message_box.h"
#include "shell/setup_state.h"

namespace {

// The book folder under the storage root, and the newspaper's files in it.
const char kDocumentsFolder[] = "My Documents";
const char kBookFolder[] = "My Documents\\Corvex Press";
const char kNewspaperPrefix[] = "wsj";
const char kNewspaperIssue[] = "wsj.vbk";
const char kNewspaperPages[] = "wsj.vbk.ppd";
const char kNewspaperState[] = "wsj.vbks";
// The 4 bytes of the issue's state file that are reset for a new issue.
const LONG kNewspaperStateOffset = 8;
const DWORD kNewspaperStateBytes = 4;

// How the transfer of one book ended, for the loop.
enum class Transfer { kGoOn, kDeviceGone };

// ---- The pending names --------------------------------------------------

// The book page hands over heap copies made with new[].
void ReleaseBookName(void *name) { delete[] static_cast<char *>(name); }

// Empties the list, releasing every name still in it.
void ReleasePendingNames(PendingBookList **list) {
    while (list && *list && (*list)->first) {
        RewindAndPeek(list);
        ReleaseBookName(RemoveAtCursor(list));
    }
}

// ---- Device paths ---------------------------------------------------------

// out <- a + b + c, when the whole fits a device path of 255 characters
// (256 with the terminator); false, and out untouched, when it does not:
// a cut path would name another file.
bool JoinDevicePath(char (&out)[kPathChars], const char *a, const char *b, const char *c = "") {
    size_t la = strlen(a), lb = strlen(b), lc = strlen(c);
    if (la + lb + lc >= sizeof out) return false;
    memcpy(out, a, la);
    memcpy(out + la, b, lb);
    memcpy(out + la + lb, c, lc + 1);
    return true;
}

bool ToWidePath(const char *path, wchar_t (&wide)[kPathChars]) {
    return MultiByteToWideChar(CP_ACP, 0, path, -1, wide, kPathChars) != 0;
}

// storageRoot + "My Documents", then its "Corvex Press" folder. A folder
// that exists already (or cannot be made) is no obstacle here: a copy into
// a missing folder fails on its own and is reported with its book.
void CreateBookFolder() {
    char path[kPathChars];
    wchar_t wide[kPathChars];
    if (JoinDevicePath(path, g_setup.storageRoot, kDocumentsFolder) && ToWidePath(path, wide))
        CeCreateDirectory(wide, nullptr);
    if (JoinDevicePath(path, g_setup.storageRoot, kBookFolder) && ToWidePath(path, wide))
        CeCreateDirectory(wide, nullptr);
}

// ---- Reporting ------------------------------------------------------------

// Errors after which no further copy can reach the device: the link is
// down, or the storage card went away.
bool IsDeviceGone(DWORD error) { return error == ERROR_DEVICE_NOT_CONNECTED || error == ERROR_DEV_NOT_EXIST; }

// A book that did not reach the device is named, with the system's text
// for the reason.
Transfer ReportBookNotCopied(const char *name, DWORD error) {
    if (error == kCopyDeviceFileInUse) error = ERROR_SHARING_VIOLATION;
    char subject[320];
    snprintf(subject, sizeof subject, kTextBookNotCopiedFormat, name);
    ShowSystemErrorBoxAbout(subject, error);
    return IsDeviceGone(error) ? Transfer::kDeviceGone : Transfer::kGoOn;
}

// ---- One book -------------------------------------------------------------

// True when the host book can be opened as the copy opens it. Otherwise
// the system's text for the reason is shown, as the copy would show it.
bool HostBookOpens(const char *name) {
    HANDLE file = CreateFileA(name, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        ShowSystemErrorBox(GetLastError());
        return false;
    }
    CloseHandle(file);
    return true;
}

// A new issue makes the old issue's page file stale, and its state file
// gets bytes 8 to 11 zeroed; a state file that does not exist stays absent.
void ResetNewspaperCompanions(const char *pagesPath, const char *statePath) {
    wchar_t wide[kPathChars];
    if (ToWidePath(pagesPath, wide)) CeDeleteFile(wide);
    if (!ToWidePath(statePath, wide)) return;
    HANDLE state = CeCreateFile(wide, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (state == INVALID_HANDLE_VALUE) return;
    static const BYTE zeros[kNewspaperStateBytes] = {};
    DWORD written = 0;
    CeSetFilePointer(state, kNewspaperStateOffset, nullptr, FILE_BEGIN);
    CeWriteFile(state, zeros, kNewspaperStateBytes, &written, nullptr);
    CeCloseHandle(state);
}

// Every issue of the newspaper goes to "wsj.vbk", whatever the times of the
// two files. The old issue stays until the new one is complete on the
// device, and its companion files are reset only once it has been
// replaced: an issue that could not be copied leaves all three as they were.
Transfer TransferNewspaperIssue(const char *name, const char *folder) {
    char issuePath[kPathChars], pagesPath[kPathChars], statePath[kPathChars];
    if (!JoinDevicePath(issuePath, folder, kNewspaperIssue) || !JoinDevicePath(pagesPath, folder, kNewspaperPages) ||
        !JoinDevicePath(statePath, folder, kNewspaperState)) {
        return ReportBookNotCopied(name, ERROR_FILENAME_EXCED_RANGE);
    }
    // A host file that cannot be read replaces nothing; the copy would
    // report it as done.
    if (!HostBookOpens(name)) return Transfer::kGoOn;
    DWORD result = ReplaceFileOnDevice(name, issuePath);
    if (result != 0) return ReportBookNotCopied(name, result);
    ResetNewspaperCompanions(pagesPath, statePath);
    return Transfer::kGoOn;
}

// An ordinary book keeps its host name on the device, newer-only.
Transfer TransferOrdinaryBook(const char *name, const char *folder) {
    char path[kPathChars];
    if (!JoinDevicePath(path, folder, name)) return ReportBookNotCopied(name, ERROR_FILENAME_EXCED_RANGE);
    DWORD result = CopyFileToDevice(name, path);
    if (result != 0) return ReportBookNotCopied(name, result);
    return Transfer::kGoOn;
}

// Names beginning with lower-case "wsj" are issues of the newspaper; an
// upper-case "WSJ" name is an ordinary book.
bool IsNewspaperIssue(const char *name) { return strncmp(name, kNewspaperPrefix, strlen(kNewspaperPrefix)) == 0; }

// Copies the pending books in list order, emptying the list as it goes.
// Once the device cannot be reached, the rest are not tried: their names
// stay in the list for the caller to release.
void TransferBooks(PendingBookList **list) {
    char folder[kPathChars];
    const bool folderFits = JoinDevicePath(folder, g_setup.storageRoot, kBookFolder, "\\");
    for (char *name = static_cast<char *>(RewindAndPeek(list)); name;
         name = static_cast<char *>(RewindAndPeek(list))) {
        Transfer outcome;
        if (!folderFits) {
            outcome = ReportBookNotCopied(name, ERROR_FILENAME_EXCED_RANGE);
        } else if (IsNewspaperIssue(name)) {
            outcome = TransferNewspaperIssue(name, folder);
        } else {
            outcome = TransferOrdinaryBook(name, folder);
        }
        ReleaseBookName(RemoveAtCursor(list));
        if (outcome == Transfer::kDeviceGone) return;
    }
}

// ---- The wizard -----------------------------------------------------------

// The two pages, with Back from the second page to the first. Returns 1
// when the books and the storage root are chosen, else InstallBooks's
// result. Each pass of the book page starts from an empty list, so the
// names chosen last are the ones that count.
int RunWizardPages(PendingBookList **list) {
    for (;;) {
        ReleasePendingNames(list);
        int books = RunBookSelection(list);
        if (books == 0) return 0;
        // Back; or a page that could not be shown, which chose nothing.
        if (books != 1) return -1;
        int storage = RunStorageSelection();
        if (storage == 0) return 0;
        if (storage != -1) return 1;
    }
}

// The workflow once the pending list exists; the caller releases it.
int RunInstallBooks(PendingBookList **list) {
    if (!EnsureDeviceReady()) return -1;
    int pages = RunWizardPages(list);
    if (pages != 1) return pages;
    InstallReader();
    ShowProgressWindow();
    CreateBookFolder();
    // The reader installation moved the current directory to the setup
    // folder; the pending names are relative to the book folder.
    SetCurrentDirectoryA(g_setup.bookFolder);
    TransferBooks(list);
    HideProgressWindow();
    LaunchReader();
    ShowInstallComplete();
    return 0;
}

INT_PTR CALLBACK InstallCompleteProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;
    case WM_COMMAND:
        // Finish (or Enter) is the only way out; Escape is ignored.
        if (wParam == IDC_NEXT) EndDialog(dialog, 1);
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace

int ShowInstallComplete() {
    return static_cast<int>(DialogBoxParamA(g_setup.instance, MAKEINTRESOURCEA(IDD_INSTALL_COMPLETE), nullptr,
                                            InstallCompleteProc, 0));
}

int InstallBooks() {
    PendingBookList **list = CreatePendingBookList();
    if (!list) {
        ShowSystemErrorBox(ERROR_NOT_ENOUGH_MEMORY);
        return -1;
    }
    int result = RunInstallBooks(list);
    ReleasePendingNames(list);
    DestroyPendingBookList(list);
    return result;
}
