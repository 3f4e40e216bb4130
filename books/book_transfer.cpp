#include "books/book_transfer.h"

#include <stdio.h>
#include <string.h>

#include "books/book_paths.h"
#include "books/book_selection.h"
#include "books/no_room.h"
#include "books/pending_book_list.h"
#include "books/storage_room.h"
#include "device/connection.h"
#include "device/rapi.h"
#include "devicefiles/file_copy.h"
#include "devicefiles/progress_window.h"
#include "reader/install_reader.h"
#include "resources/resource_ids.h"
#include "resources/texts.h"
#include "base/message_box.h"
#include "base/setup_state.h"

namespace {

// The book folder under the storage root, and the newspaper's files in it.
const char kDocumentsFolder[] = "My Documents";
const char kBookFolder[] = "My Documents\\Corvex Press";
const char kNewspaperPages[] = "wsj.vbk.ppd";
const char kNewspaperState[] = "wsj.vbks";
// The 4 bytes of the issue's state file that are reset for a new issue.
const LONG kNewspaperStateOffset = 8;
const DWORD kNewspaperStateBytes = 4;

// How the transfer of one book (or of them all) ended. kGoOn: the book is on
// the device (copied, or up to date already). kBookFailed: it is not, and
// the next book is tried. After a stop the remaining books are not tried;
// after a lost link nothing more asks the device. kCardGone: the chosen
// storage card is no longer in the device, and the remaining books are not
// tried. Lost links and cards that are gone are said by the loop, once.
// kNoRoom: the book found no room at the location; the loop counts it, and
// says once, after the others, which books found none (books/no_room.h).
enum class Transfer { kGoOn, kBookFailed, kStop, kLinkLost, kCardGone, kNoRoom };

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

// ---- Device paths and the link ---------------------------------------------

bool ToWidePath(const char *path, wchar_t (&wide)[kDevicePathChars]) {
    return MultiByteToWideChar(CP_ACP, 0, path, -1, wide, kDevicePathChars) != 0;
}

// storageRoot + "My Documents", then its "Corvex Press" folder, and no
// temporary file left there by an earlier copy. A folder that exists
// already (or cannot be made) is no obstacle here: a copy into a missing
// folder fails on its own and is reported with its book. False only when
// the link is lost.
bool PrepareBookFolder() {
    char path[kDevicePathChars];
    wchar_t wide[kDevicePathChars];
    if (JoinDevicePath(path, g_setup.storageRoot, kDocumentsFolder) && ToWidePath(path, wide) &&
        !CeCreateDirectory(wide, nullptr) && CeGetLastError() == ERROR_DEVICE_NOT_CONNECTED) {
        return false;
    }
    if (JoinDevicePath(path, g_setup.storageRoot, kBookFolder) && ToWidePath(path, wide)) {
        CeCreateDirectory(wide, nullptr);
        RemoveStaleTemporaryFile(wide);
    }
    return true;
}

// ---- Reporting ------------------------------------------------------------

// After a book failed on a storage card: whether the card is still in the
// device, asked of the device itself (its root folder), since the error of
// a copy onto a card that was taken out differs by device. kGoOn when the
// card is there (or the books go to main memory).
Transfer CardPresence() {
    const size_t length = strlen(g_setup.storageRoot);
    if (length <= 1) return Transfer::kGoOn;
    char root[kDevicePathChars];
    wchar_t wide[kDevicePathChars];
    // The root without its closing separator: "\SD Card".
    memcpy(root, g_setup.storageRoot, length - 1);
    root[length - 1] = '\0';
    if (!ToWidePath(root, wide)) return Transfer::kGoOn;
    CE_FIND_DATA found;
    const HANDLE search = CeFindFirstFile(wide, &found);
    if (search != INVALID_HANDLE_VALUE) {
        CeFindClose(search);
        return Transfer::kGoOn;
    }
    return IsLinkLost(CeGetLastError()) ? Transfer::kLinkLost : Transfer::kCardGone;
}

// A book that failed for a reason of its own (or of the host) is named,
// with the system's text for the reason; a card that went away without the
// device saying so took the books' folder with it.
Transfer ReportBookFailed(const char *name, DWORD error) {
    if (ShowFileNotCopied(name, error) == ERROR_DEV_NOT_EXIST) return Transfer::kStop;
    return Transfer::kBookFailed;
}

// A book the device did not take: a lost link and a card that is gone are
// left for the loop to say once; anything else is this book's own failure.
Transfer ReportBookNotCopied(const char *name, DWORD error) {
    if (IsLinkLost(error)) return Transfer::kLinkLost;
    const Transfer card = CardPresence();
    if (card != Transfer::kGoOn) return card;
    if (IsNoRoomError(error)) return Transfer::kNoRoom;
    return ReportBookFailed(name, error);
}

// A book whose old copy was deleted and whose new copy could not be renamed
// into place: that copy, the only whole one, waits under the temporary name,
// where the next book's copy would overwrite it. The user is told where,
// and the remaining books are not tried.
Transfer ReportBookKept(const char *name, const char *folder, DWORD error) {
    char subject[768];
    snprintf(subject, sizeof subject, kTextBookKeptFormat, name, folder, kCopyTemporaryName);
    ShowSystemErrorBoxAbout(subject, error);
    return Transfer::kStop;
}

// ---- One book -------------------------------------------------------------

// 0 when the host book can be opened as the copy opens it; otherwise the
// system's code for the reason, for the caller to report with the name.
DWORD OpenHostBookError(const char *name) {
    HANDLE file = CreateFileA(name, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return GetLastError();
    CloseHandle(file);
    return 0;
}

// A new issue makes the old issue's page file stale, and its state file
// gets bytes 8 to 11 zeroed; a state file that does not exist stays absent.
void ResetNewspaperCompanions(const char *pagesPath, const char *statePath) {
    wchar_t wide[kDevicePathChars];
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

// What a finished copy means for the loop: reported by name when it failed.
// A link lost at the rename leaves the copy whole under the temporary name,
// where the next run's copy puts it in place: only the lost link is said.
Transfer CopyOutcome(const char *name, const char *folder, DWORD result, bool kept) {
    if (result == 0) return Transfer::kGoOn;
    if (kept && !IsLinkLost(result)) return ReportBookKept(name, folder, result);
    return ReportBookNotCopied(name, result);
}

// Every issue of the newspaper goes to "wsj.vbk", whatever the times of the
// two files. The old issue stays until the new one is complete on the
// device, and its companion files are reset only once it has been
// replaced: an issue that could not be copied leaves all three as they were.
Transfer TransferNewspaperIssue(const char *name, const char *folder) {
    char issuePath[kDevicePathChars], pagesPath[kDevicePathChars], statePath[kDevicePathChars];
    if (!JoinDevicePath(issuePath, folder, kNewspaperIssue) || !JoinDevicePath(pagesPath, folder, kNewspaperPages) ||
        !JoinDevicePath(statePath, folder, kNewspaperState)) {
        return ReportBookFailed(name, ERROR_FILENAME_EXCED_RANGE);
    }
    bool kept = false;
    DWORD result = ReplaceFileOnDevice(name, issuePath, &kept);
    if (result != 0) return CopyOutcome(name, folder, result, kept);
    ResetNewspaperCompanions(pagesPath, statePath);
    return Transfer::kGoOn;
}

// An ordinary book keeps its host name on the device, newer-only.
Transfer TransferOrdinaryBook(const char *name, const char *folder) {
    char path[kDevicePathChars];
    if (!JoinDevicePath(path, folder, name)) return ReportBookFailed(name, ERROR_FILENAME_EXCED_RANGE);
    bool kept = false;
    DWORD result = CopyFileToDevice(name, path, &kept);
    return CopyOutcome(name, folder, result, kept);
}

// A book that cannot be read is named and not copied; the copy would only
// show the system's text, without the name, and count it as done.
Transfer TransferBook(const char *name, const char *folder) {
    const DWORD openError = OpenHostBookError(name);
    if (openError != 0) return ReportBookFailed(name, openError);
    return IsNewspaperIssue(name) ? TransferNewspaperIssue(name, folder) : TransferOrdinaryBook(name, folder);
}

int CountPendingNames(PendingBookList **list) {
    int count = 0;
    for (const PendingBookNode *node = list && *list ? (*list)->first : nullptr; node; node = node->next) ++count;
    return count;
}

// The one box of a link lost during Install Book: what was going on, how
// many chosen books are not on the device, and what to do.
void ReportBooksLinkLost(const char *what, int missing, int chosen) {
    char count[128];
    snprintf(count, sizeof count, kTextBooksNotOnDeviceFormat, missing, chosen);
    ReportLinkLost(what, count, kTextDockAgainForBooks);
}

// The book being copied when the link was lost is named; it and the books
// not tried yet (still in the list) count with those that failed before.
void ReportLinkLostCopying(const char *name, PendingBookList **list, int failed, int chosen) {
    char what[384];
    snprintf(what, sizeof what, kTextLinkLostCopyingBookFormat, name);
    ReportBooksLinkLost(what, failed + CountPendingNames(list), chosen);
}

// The chosen card, named as the storage page lists it: storageRoot
// ("\\SD Card\\") without its separators.
void ReportCardGone() {
    const int nameLength = static_cast<int>(strlen(g_setup.storageRoot)) - 2;
    char text[384];
    snprintf(text, sizeof text, kTextCardGoneFormat, nameLength, g_setup.storageRoot + 1);
    ShowMessage(text, kCaptionError, MB_OK | MB_ICONWARNING);
}

// A book at least as large as one that found no room is not copied: only
// the age test asks whether the device's copy is current already (the
// newspaper's issue is always replaced, so never is).
Transfer TransferOrSkipBook(const char *name, const char *folder, const NoRoomBooks &noRoom) {
    if (!CannotFitNow(noRoom, name)) return TransferBook(name, folder);
    char path[kDevicePathChars];
    const bool current = !IsNewspaperIssue(name) && JoinDevicePath(path, folder, name) &&
                         DeviceCopyIsCurrent(name, path);
    if (current) return Transfer::kGoOn;
    return DeviceLinkLost() ? Transfer::kLinkLost : Transfer::kNoRoom;
}

// Copies the pending books in list order, emptying the list as it goes,
// and counts the books tried that are not on the device, but for those
// that found no room, which *noRoom counts. Once the device or its card
// cannot be reached, that is said once and the rest are not tried: their
// names, with the book that met it, stay in the list for the caller to
// count and release.
Transfer TransferEachBook(PendingBookList **list, int chosen, int *failed, NoRoomBooks *noRoom) {
    char folder[kDevicePathChars];
    // An offered location always has room for the folder; should it not, that
    // is said once, not once per book.
    if (!JoinDevicePath(folder, g_setup.storageRoot, kBookFolderUnderRoot)) {
        ShowSystemErrorBox(ERROR_FILENAME_EXCED_RANGE);
        return Transfer::kStop;
    }
    for (char *name = static_cast<char *>(RewindAndPeek(list)); name;
         name = static_cast<char *>(RewindAndPeek(list))) {
        const bool fits = !CannotFitNow(*noRoom, name);
        const Transfer outcome = TransferOrSkipBook(name, folder, *noRoom);
        if (outcome == Transfer::kLinkLost) {
            ReportLinkLostCopying(name, list, *failed + noRoom->count, chosen);
            return outcome;
        }
        if (outcome == Transfer::kCardGone) {
            ReportCardGone();
            return outcome;
        }
        if (outcome == Transfer::kNoRoom) CountNoRoom(noRoom, name, fits);
        ReleaseBookName(RemoveAtCursor(list));
        if (outcome == Transfer::kGoOn || outcome == Transfer::kNoRoom) continue;
        ++*failed;
        if (outcome != Transfer::kBookFailed) return outcome;
    }
    return Transfer::kGoOn;
}

// The books in list order; *failed counts the books tried that are not on
// the device. Books that found no room are said once, after the others
// (unless the link or the card went, which is said instead).
Transfer TransferBooks(PendingBookList **list, int chosen, int *failed) {
    NoRoomBooks noRoom;
    const Transfer outcome = TransferEachBook(list, chosen, failed, &noRoom);
    *failed += noRoom.count;
    if (outcome != Transfer::kLinkLost && outcome != Transfer::kCardGone) ReportNoRoom(noRoom, g_setup.storageRoot);
    return outcome == Transfer::kCardGone ? Transfer::kStop : outcome;
}

// The pending names are relative to the book folder (the reader
// installation moved the current directory to the setup folder). A book
// folder that is gone is said once, and nothing is copied: names resolved
// anywhere else could be other books.
bool EnterBookFolder() {
    if (SetCurrentDirectoryA(g_setup.bookFolder)) return true;
    const DWORD error = GetLastError();
    char subject[384];
    snprintf(subject, sizeof subject, kTextBookFolderGoneFormat, g_setup.bookFolder);
    ShowSystemErrorBoxAbout(subject, error);
    return false;
}

// The books into the book folder, with the progress window up; *failed
// counts the books tried that did not arrive.
Transfer TransferToDevice(PendingBookList **list, int chosen, int *failed) {
    ShowProgressWindow();
    Transfer outcome = Transfer::kStop;
    if (!PrepareBookFolder()) {
        ReportBooksLinkLost(kTextLinkLostBeforeBooks, chosen, chosen);
        outcome = Transfer::kLinkLost;
    } else if (EnterBookFolder()) {
        outcome = TransferBooks(list, chosen, failed);
    }
    HideProgressWindow();
    return outcome;
}

// ---- The wizard -----------------------------------------------------------

// The completion dialog only when every chosen book is on the device;
// otherwise how many are not, each of them named already.
void ReportInstalledBooks(int chosen, int notInstalled) {
    if (notInstalled == 0) {
        ShowInstallComplete();
        return;
    }
    char text[128];
    snprintf(text, sizeof text, kTextBooksNotInstalledFormat, notInstalled, chosen);
    ShowMessage(text, kCaptionSetup, MB_OK | MB_ICONWARNING);
}

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
        // A device report (F3) on the book page forgets a device it finds
        // gone: connect again before the storage page asks the device.
        if (!ReconnectIfForgotten()) return -1;
        int storage = ChooseStorageWithRoom(list);
        if (storage == 0) return 0;
        if (storage != -1) return 1;
    }
}

// The workflow once the pending list exists; the caller releases it. A
// device that stopped answering is said once; nothing more asks it, and
// the main menu comes back, as when no connection could be made.
int RunInstallBooks(PendingBookList **list) {
    if (!EnsureDeviceReady()) return -1;
    int pages = RunWizardPages(list);
    if (pages != 1) return pages;
    const int chosen = CountPendingNames(list);
    // As before the storage page: a device report on that page may have
    // forgotten the connection.
    if (!ReconnectIfForgotten()) return -1;
    // Asked once before the reader is brought up to date, so that a device
    // pulled out while the pages were open is said once, instead of once
    // per step that would ask it.
    if (DeviceLinkLost()) {
        ReportBooksLinkLost(kTextLinkLostBeforeBooks, chosen, chosen);
        return -1;
    }
    if (!BringReaderUpToDate()) {
        ReportBooksLinkLost(kTextLinkLostInstallingReader, chosen, chosen);
        return -1;
    }
    // No connection could be made for the reader: said already.
    if (!g_setup.connected) return -1;
    int failed = 0;
    if (TransferToDevice(list, chosen, &failed) == Transfer::kLinkLost) return -1;
    LaunchReader();
    // Books left untried after a stop are not on the device either.
    ReportInstalledBooks(chosen, failed + CountPendingNames(list));
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
