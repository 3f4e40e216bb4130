#include "books/book_selection.h"

#include <windows.h>
#include <commdlg.h>
#include <string.h>

#include <new>

#include "books/book_titles.h"
#include "books/title_batch.h"
#include "resources/resource_ids.h"
#include "resources/texts.h"
#include "shell/diagnostic_reports.h"
#include "shell/message_box.h"
#include "shell/setup_state.h"

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
            if (ReadBookTitle(entry.cFileName, title)) AddToTitleBatch(batch, title);
        } while (FindNextFileA(search, &entry));
        FindClose(search);
    }
    FinishTitleBatch(batch);
    SendMessageA(list, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list, nullptr, TRUE);
}

// A fresh list of the current directory, with nothing selected.
void RefillBookList(HWND page) {
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

// The selected entries, in list order, with their titles and (after the
// search) their files. Everything is released by the destructor.
struct Selection {
    int count = 0;
    int *positions = nullptr;
    char *titles = nullptr;  // count titles of kBookTitleChars each
    BookTitleMatch *matches = nullptr;

    ~Selection() {
        delete[] positions;
        delete[] titles;
        delete[] matches;
    }

    bool Allocate(int selected) {
        count = selected;
        const size_t n = static_cast<size_t>(selected);
        if (n > static_cast<size_t>(-1) / kBookTitleChars) return false;
        positions = new (std::nothrow) int[n];
        titles = new (std::nothrow) char[n * kBookTitleChars];
        matches = new (std::nothrow) BookTitleMatch[n];
        return positions && titles && matches;
    }
};

// Reads the selected positions (ascending) and their texts. The page's own
// entries always fit a title buffer; an entry that would not is marked
// (position -1) and is never resolved.
bool ReadSelection(Selection &selection) {
    const LRESULT got = SendMessageA(g_bookPage.list, LB_GETSELITEMS, static_cast<WPARAM>(selection.count),
                                     reinterpret_cast<LPARAM>(selection.positions));
    if (got < 0) return false;
    selection.count = static_cast<int>(got);
    for (int i = 0; i < selection.count; ++i) {
        char *title = selection.titles + static_cast<size_t>(i) * kBookTitleChars;
        title[0] = '\0';
        const LRESULT length = SendMessageA(g_bookPage.list, LB_GETTEXTLEN, selection.positions[i], 0);
        if (length >= 0 && static_cast<size_t>(length) < kBookTitleChars) {
            SendMessageA(g_bookPage.list, LB_GETTEXT, selection.positions[i], reinterpret_cast<LPARAM>(title));
        } else {
            selection.positions[i] = -1;
        }
        selection.matches[i].title = title;
    }
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

// Appends the files of the resolved entries in list order. An entry no
// file carries any more (removed or changed since the list was filled) is
// skipped rather than queued under a wrong name; the user is told once.
int QueueSelection(const Selection &selection) {
    int queued = 0;
    bool missing = false;
    bool noMemory = false;
    for (int i = 0; i < selection.count; ++i) {
        const BookTitleMatch &match = selection.matches[i];
        if (!match.found || selection.positions[i] < 0) {
            missing = true;
        } else if (QueueName(match.fileName)) {
            ++queued;
        } else {
            noMemory = true;
        }
    }
    if (missing) ShowSystemErrorBox(ERROR_FILE_NOT_FOUND);
    if (noMemory) ShowSystemErrorBox(ERROR_NOT_ENOUGH_MEMORY);
    return queued;
}

// Resolves every selected title in one search of the folder and queues the
// files. The page ends only when something was queued; otherwise it stays,
// with the list filled afresh to show the folder as it is now.
void OnNext(HWND page) {
    const int selected = SelectedCount();
    // A double-click can leave nothing selected: there is nothing to go on with.
    if (selected == 0) return;
    if (!RememberBookFolder()) {
        ShowSystemErrorBox(ERROR_FILENAME_EXCED_RANGE);
        return;
    }
    Selection selection;
    if (!selection.Allocate(selected)) {
        ShowSystemErrorBox(ERROR_NOT_ENOUGH_MEMORY);
        return;
    }
    if (!ReadSelection(selection)) return;
    if (!FindBookFilesByTitles(selection.matches, static_cast<size_t>(selection.count))) {
        ShowSystemErrorBox(ERROR_NOT_ENOUGH_MEMORY);
        return;
    }
    if (QueueSelection(selection) > 0) {
        EndPage(page, IDC_NEXT);
        return;
    }
    RefillBookList(page);
}

// ---- Other commands --------------------------------------------------------------

void OnSelectAll(HWND page) {
    const LRESULT count = SendMessageA(g_bookPage.list, LB_GETCOUNT, 0, 0);
    // The extended range message takes positions past 65535 as well.
    if (count > 0) SendMessageA(g_bookPage.list, LB_SELITEMRANGEEX, 0, count - 1);
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
    if (!RememberBookFolder()) {
        // Back to the book folder, whose name bookFolder still holds.
        SetCurrentDirectoryA(g_setup.bookFolder);
        ShowSystemErrorBox(ERROR_FILENAME_EXCED_RANGE);
    }
    RefillBookList(page);
}

void OnCancel(HWND page) {
    if (ConfirmAbort()) EndPage(page, 0);
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
