#include "books/book_selection.h"

#include <windows.h>
#include <commdlg.h>
#include <stdio.h>
#include <string.h>

#include <new>

#include "books/book_titles.h"
#include "books/page_input.h"
#include "books/title_batch.h"
#include "resources/resource_ids.h"
#include "resources/texts.h"
#include "device/diagnostic_reports.h"
#include "base/message_box.h"
#include "base/setup_state.h"

namespace {

// The open page: one at a time, process-wide like the hot-key hook it
// installs (the hook procedure passes keys on with g_setup's handle).
struct BookPage {
    HWND list;
    PendingBookList **pending;
};
BookPage g_bookPage = {nullptr, nullptr};

// ---- Hot keys -----------------------------------------------------------------

void InstallHotKeys() {
    g_setup.keyboardHookHandle = SetWindowsHookExA(WH_KEYBOARD, DiagnosticKeyHook, nullptr, GetCurrentThreadId());
}

// Safe to call more than once: every way out of the page removes the hook.
void RemoveHotKeys() {
    if (!g_setup.keyboardHookHandle) return;
    UnhookWindowsHookEx(g_setup.keyboardHookHandle);
    g_setup.keyboardHookHandle = nullptr;
}

void EndPage(HWND page, int result) {
    EndDialog(page, result);
    RemoveHotKeys();
}

// ---- The list of books ----------------------------------------------------------

void EnableNext(HWND page, bool enabled) { EnableWindow(GetDlgItem(page, IDC_NEXT), enabled); }

int SelectedCount() {
    const LRESULT count = SendMessageA(g_bookPage.list, LB_GETSELCOUNT, 0, 0);
    return count > 0 ? static_cast<int>(count) : 0;
}

// Each entry keeps, as its item data, a heap copy of the name of the file
// it was read from: two books with one title are two books. An entry whose
// copy could not be had keeps none (0) and is found by its title on Next.
LPARAM CopyEntryName(const char *name) {
    const size_t size = strlen(name) + 1;
    char *copy = new (std::nothrow) char[size];
    if (copy) memcpy(copy, name, size);
    return reinterpret_cast<LPARAM>(copy);
}

const char *EntryName(HWND list, int position) {
    const LRESULT data = SendMessageA(list, LB_GETITEMDATA, static_cast<WPARAM>(position), 0);
    return data == LB_ERR ? nullptr : reinterpret_cast<const char *>(data);
}

// The list box does not free item data: done before each emptying.
void ReleaseEntryNames(HWND list) {
    const LRESULT count = SendMessageA(list, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        delete[] EntryName(list, static_cast<int>(i));
        SendMessageA(list, LB_SETITEMDATA, static_cast<WPARAM>(i), 0);
    }
}

// One entry per book file of the current directory, by display title,
// sorted as the list sorts. A file that cannot be opened has been reported
// and gets no entry: it has no title to show, and nothing could copy it.
void FillBookList(HWND list) {
    // Drawn once at the end rather than after each of many insertions.
    SendMessageA(list, WM_SETREDRAW, FALSE, 0);
    TitleBatch batch;
    StartTitleBatch(batch, list);
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA(kBookSearchPattern, &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            char title[kBookTitleChars];
            if (ReadBookTitle(entry.cFileName, title)) AddToTitleBatch(batch, title, CopyEntryName(entry.cFileName));
        } while (FindNextFileA(search, &entry));
        FindClose(search);
    }
    FinishTitleBatch(batch);
    SendMessageA(list, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list, nullptr, TRUE);
}

// A fresh list of the current directory, with nothing selected.
void RefillBookList(HWND page) {
    ReleaseEntryNames(g_bookPage.list);
    SendMessageA(g_bookPage.list, LB_RESETCONTENT, 0, 0);
    FillBookList(g_bookPage.list);
    // In a multiple-selection list this selects nothing.
    SendMessageA(g_bookPage.list, LB_SETCURSEL, 0, 0);
    EnableNext(page, false);
}

// bookFolder becomes the current directory: the folder whose books the page
// lists, where the transfer will look for the chosen names. False when the
// folder's name does not fit bookFolder: a cut name would be another folder.
bool RememberBookFolder() {
    char folder[kPathChars];
    const DWORD length = GetCurrentDirectoryA(kPathChars, folder);
    if (length == 0 || length >= static_cast<DWORD>(kPathChars)) return false;
    memcpy(g_setup.bookFolder, folder, length + 1);
    return true;
}

// ---- Next -----------------------------------------------------------------------

// Chosen titles that no file carries any more, named in one box: the
// titles one a line while they fit, the rest counted.
struct SkippedTitles {
    char text[768];
    size_t used;
    int named;
    int more;
};

// Room kept at the end for the line that counts the rest.
const size_t kCountLineRoom = 32;

void StartSkipped(SkippedTitles &skipped) {
    skipped = {};
    skipped.used = strlen(kTextBooksGone);
    memcpy(skipped.text, kTextBooksGone, skipped.used + 1);
}

void NoteSkipped(SkippedTitles &skipped, const char *title) {
    const size_t length = strlen(title);
    if (skipped.more == 0 && skipped.used + 2 + length + kCountLineRoom < sizeof skipped.text) {
        memcpy(skipped.text + skipped.used, "\r\n", 2);
        memcpy(skipped.text + skipped.used + 2, title, length + 1);
        skipped.used += 2 + length;
        ++skipped.named;
    } else {
        ++skipped.more;
    }
}

void ReportSkipped(SkippedTitles &skipped) {
    if (skipped.named == 0 && skipped.more == 0) return;
    if (skipped.more > 0) {
        char count[kCountLineRoom - 2];
        snprintf(count, sizeof count, kTextMoreBooksGoneFormat, skipped.more);
        snprintf(skipped.text + skipped.used, sizeof skipped.text - skipped.used, "\r\n%s", count);
    }
    ShowSystemErrorBoxAbout(skipped.text, ERROR_FILE_NOT_FOUND);
}

// The entry's title; false for a text that does not fit a title (never one
// of the page's own entries).
bool ReadEntryTitle(int position, char (&title)[kBookTitleChars]) {
    const LRESULT length = SendMessageA(g_bookPage.list, LB_GETTEXTLEN, static_cast<WPARAM>(position), 0);
    if (length < 0 || static_cast<size_t>(length) >= kBookTitleChars) return false;
    return SendMessageA(g_bookPage.list, LB_GETTEXT, static_cast<WPARAM>(position), reinterpret_cast<LPARAM>(title)) ==
           length;
}

// The file of a chosen entry: the one it was read from (a name from a
// folder search, which always fits), as long as that file still carries the
// title (it may have been removed or changed since the list was filled).
// False when no file carries it.
bool ResolveEntry(int position, const char *title, char (&fileName)[kBookFileNameChars]) {
    const char *name = EntryName(g_bookPage.list, position);
    if (!name) return FindBookFileByTitle(title, fileName);
    if (!FileCarriesTitle(name, title)) return false;
    memcpy(fileName, name, strlen(name) + 1);
    return true;
}

// Appends a heap copy of name to the pending list; false (nothing kept)
// when memory for the copy or the list's node cannot be had.
bool QueueName(const char *name) {
    const size_t size = strlen(name) + 1;
    char *copy = new (std::nothrow) char[size];
    if (!copy) return false;
    memcpy(copy, name, size);
    if (!InsertAfterCursor(g_bookPage.pending, copy)) {
        delete[] copy;
        return false;
    }
    return true;
}

// Appends the files of the selected entries in list order. An entry no
// file carries any more is skipped rather than queued under a wrong name;
// the user is told once, by title. Returns how many were queued.
int QueueSelection(const int *positions, int count) {
    int queued = 0;
    bool noMemory = false;
    SkippedTitles skipped;
    StartSkipped(skipped);
    for (int i = 0; i < count; ++i) {
        char title[kBookTitleChars] = "";
        char fileName[kBookFileNameChars];
        if (!ReadEntryTitle(positions[i], title) || !ResolveEntry(positions[i], title, fileName)) {
            NoteSkipped(skipped, title);
        } else if (QueueName(fileName)) {
            ++queued;
        } else {
            noMemory = true;
        }
    }
    ReportSkipped(skipped);
    if (noMemory) ShowSystemErrorBox(ERROR_NOT_ENOUGH_MEMORY);
    return queued;
}

// Queues the files of the selected entries. The page ends only when
// something was queued; otherwise it stays, with the list filled afresh to
// show the folder as it is now.
void QueueSelectedBooks(HWND page, int selected) {
    if (!RememberBookFolder()) {
        ShowSystemErrorBox(ERROR_FILENAME_EXCED_RANGE);
        return;
    }
    int *positions = new (std::nothrow) int[static_cast<size_t>(selected)];
    if (!positions) {
        ShowSystemErrorBox(ERROR_NOT_ENOUGH_MEMORY);
        return;
    }
    const LRESULT got = SendMessageA(g_bookPage.list, LB_GETSELITEMS, static_cast<WPARAM>(selected),
                                     reinterpret_cast<LPARAM>(positions));
    const int queued = got > 0 ? QueueSelection(positions, static_cast<int>(got)) : 0;
    delete[] positions;
    if (queued > 0) {
        EndPage(page, IDC_NEXT);
    } else if (got > 0) {
        RefillBookList(page);
    }
}

void OnNext(HWND page) {
    const int selected = SelectedCount();
    // A double-click can leave nothing selected: there is nothing to go on with.
    if (selected == 0) return;
    HoldPageInput(page);
    QueueSelectedBooks(page, selected);
    ReleasePageInput(page);
}

// ---- Other commands --------------------------------------------------------------

// Position -1 selects every entry, however many there are (a range message
// with equal ends deselects on Windows, so one book would stay unchosen).
void OnSelectAll(HWND page) {
    const LRESULT count = SendMessageA(g_bookPage.list, LB_GETCOUNT, 0, 0);
    if (count > 0) SendMessageA(g_bookPage.list, LB_SETSEL, TRUE, -1);
    EnableNext(page, count > 0);
}

// Makes the folder part of path (the characters before fileOffset) the
// current directory. A root keeps its backslash.
void MoveToFolderOf(const char *path, WORD fileOffset) {
    if (fileOffset == 0 || fileOffset >= kPathChars) return;
    size_t end = fileOffset;
    if (end > 1 && path[end - 1] == '\\' && path[end - 2] != ':') --end;
    char folder[kPathChars];
    memcpy(folder, path, end);
    folder[end] = '\0';
    SetCurrentDirectoryA(folder);
}

// The open-file dialog moves the current directory to the folder the user
// chose a file in; the page then lists that folder. The chosen file itself
// is not used.
void OnBrowse(HWND page) {
    char fileName[kPathChars] = "book";
    OPENFILENAMEA dialog = {};
    dialog.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
    dialog.hwndOwner = page;
    dialog.hInstance = g_setup.instance;
    dialog.lpstrFilter = kTextBookBrowserFilter;
    dialog.nFilterIndex = 0;
    dialog.lpstrFile = fileName;
    dialog.nMaxFile = kPathChars;
    dialog.lpstrTitle = kTextBookBrowserTitle;
    dialog.Flags = OFN_FILEMUSTEXIST;
    // Cancelled or not, the list shows the folder the dialog left current;
    // after a confirmed choice that is the chosen file's folder, which is
    // made sure of here (a name typed with its full path may leave the
    // current directory where it was).
    if (GetOpenFileNameA(&dialog)) MoveToFolderOf(fileName, dialog.nFileOffset);
    HoldPageInput(page);
    if (!RememberBookFolder()) {
        // Back to the book folder, whose name bookFolder still holds.
        SetCurrentDirectoryA(g_setup.bookFolder);
        ShowSystemErrorBox(ERROR_FILENAME_EXCED_RANGE);
    }
    RefillBookList(page);
    ReleasePageInput(page);
}

void OnCancel(HWND page) {
    HoldPageInput(page);
    if (ConfirmAbort()) EndPage(page, 0);
    ReleasePageInput(page);
}

void OnListNotification(HWND page, WORD notification) {
    switch (notification) {
    case LBN_DBLCLK:
        OnNext(page);
        break;
    case LBN_SELCHANGE:
        EnableNext(page, SelectedCount() > 0);
        break;
    default:
        break;
    }
}

void OnInitDialog(HWND page, LPARAM pending) {
    InstallHotKeys();
    g_bookPage.pending = reinterpret_cast<PendingBookList **>(pending);
    EnableNext(page, false);
    g_bookPage.list = GetDlgItem(page, IDC_LIST);
    FillBookList(g_bookPage.list);
    SendMessageA(g_bookPage.list, LB_SETCURSEL, 0, 0);
}

void OnCommand(HWND page, WPARAM command) {
    if (LOWORD(command) == IDC_LIST) {
        OnListNotification(page, HIWORD(command));
        return;
    }
    switch (command) {
    case IDC_NEXT:
        OnNext(page);
        break;
    case IDC_CANCEL:
        OnCancel(page);
        break;
    case IDC_BROWSE:
        OnBrowse(page);
        break;
    case IDC_SELECT_ALL:
        OnSelectAll(page);
        break;
    case IDC_WIZARD_BACK:
        EndPage(page, IDC_WIZARD_BACK);
        break;
    default:
        break;
    }
}

INT_PTR CALLBACK BookSelectionProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        OnInitDialog(page, lParam);
        return TRUE;
    case WM_COMMAND:
        OnCommand(page, wParam);
        return TRUE;
    case WM_DESTROY:
        RemoveHotKeys();
        ReleaseEntryNames(g_bookPage.list);
        g_bookPage.list = nullptr;
        return FALSE;
    default:
        return FALSE;
    }
}

}  // namespace

int RunBookSelection(PendingBookList **list) {
    return static_cast<int>(DialogBoxParamA(g_setup.instance, MAKEINTRESOURCEA(IDD_BOOK_SELECTION), nullptr,
                                            BookSelectionProc, reinterpret_cast<LPARAM>(list)));
}
