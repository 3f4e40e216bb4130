// The book page over a large folder: 2,000 generated books, among them 20
// newspaper issues, a book whose header is cut short and a book locked
// against reading. Three figures side by side, per round:
//   (a) fill:   the page opening and listing every book by title;
//   (b) next:   Select All and Next, resolving every chosen title to its file;
//   (c) floor:  opening each file and reading its 78-byte header once.
// Targets: (a) <= 1.5 x (c), (b) <= 2 x (c). The page runs for real; a hook
// on this thread times it and answers the boxes of the two unreadable books
// as soon as they are up, so that no one has to click them, and the figures
// include them.
//
//   tools/wine-run.sh build/bin/bench_book_listing.exe [books] [rounds]
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "books/book_selection.h"
#include "books/book_titles.h"
#include "resources/resource_ids.h"
#include "resources/texts.h"
#include "base/message_box.h"
#include "base/setup_state.h"
#include "bench/wizard_hook.h"

namespace {

const int kNewspaperIssues = 20;
const DWORD kBookBytes = 2048;

LARGE_INTEGER Now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now;
}

double Milliseconds(LARGE_INTEGER from, LARGE_INTEGER to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

bool WriteBook(const std::string &path, const std::string &title, DWORD size) {
    std::string bytes = title;
    bytes.resize(32, '\0');
    while (bytes.size() < size) bytes += static_cast<char>('a' + bytes.size() % 26);
    bytes.resize(size);
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool ok = WriteFile(file, bytes.data(), size, &written, nullptr) && written == size;
    CloseHandle(file);
    return ok;
}

// The generated folder: names in the order they were made.
struct Library {
    std::string folder;
    std::vector<std::string> names;
    HANDLE lock = INVALID_HANDLE_VALUE;
};

bool MakeLibrary(Library &library, int books) {
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    library.folder = std::string(temp) + "tesh_bench_books";
    CreateDirectoryA(library.folder.c_str(), nullptr);
    const int ordinary = books - kNewspaperIssues - 2;
    for (int i = 0; i < books; ++i) {
        char name[64], title[64];
        DWORD size = kBookBytes;
        if (i < ordinary) {
            snprintf(name, sizeof name, "book%04d.vbk", i);
            // Titles in another order than the names, as real ones would be.
            snprintf(title, sizeof title, "Collected Works Volume %04d", (i * 7919) % ordinary);
        } else if (i < ordinary + kNewspaperIssues) {
            snprintf(name, sizeof name, "wsj%04d.vbk", i - ordinary + 1);
            snprintf(title, sizeof title, "The Wall Street Journal");
        } else if (i == ordinary + kNewspaperIssues) {
            snprintf(name, sizeof name, "cut_short.vbk");
            snprintf(title, sizeof title, "Cut Short");
            size = 40;
        } else {
            snprintf(name, sizeof name, "locked.vbk");
            snprintf(title, sizeof title, "Locked Away");
        }
        if (!WriteBook(library.folder + "\\" + name, title, size)) return false;
        library.names.push_back(name);
    }
    library.lock = CreateFileA((library.folder + "\\locked.vbk").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    return library.lock != INVALID_HANDLE_VALUE;
}

void RemoveLibrary(Library &library) {
    if (library.lock != INVALID_HANDLE_VALUE) CloseHandle(library.lock);
    for (const std::string &name : library.names) DeleteFileA((library.folder + "\\" + name).c_str());
    RemoveDirectoryA(library.folder.c_str());
}

// (c): every file opened and its header read once, nothing else.
double Floor(const Library &library) {
    const LARGE_INTEGER start = Now();
    for (const std::string &name : library.names) {
        HANDLE file = CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) continue;
        char header[kBookHeaderBytes];
        DWORD read = 0;
        ReadFile(file, header, kBookHeaderBytes, &read, nullptr);
        CloseHandle(file);
    }
    return Milliseconds(start, Now());
}

// ---- One run of the page, timed from hooks on this thread --------------------------

struct PageRun {
    LARGE_INTEGER filled;     // the page shown: its list is full
    bool pageShown = false;
    LARGE_INTEGER selectAll;  // Select All taken from the queue
    int boxesWhileFilling = 0;
    int boxesInNext = 0;
    bool selectAllSeen = false;
};
PageRun g_run;

// A window is being activated. The page is activated once its
// WM_INITDIALOG (and so the list) is done: Select All and Next are posted to
// it. A message box is answered at once. (A hook on every sent message would
// slow the page's own list messages down, so only activations are watched.)
LRESULT CALLBACK OnActivate(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_ACTIVATE) {
        HWND window = reinterpret_cast<HWND>(wParam);
        if (HasCaption(window, "Select Books to Install")) {
            if (!g_run.pageShown) {
                g_run.pageShown = true;
                g_run.filled = Now();
                ChooseEveryBook(window);
            }
        } else if (GetDlgItem(window, 65535)) {
            ++(g_run.selectAllSeen ? g_run.boxesInNext : g_run.boxesWhileFilling);
            PostMessageA(window, WM_COMMAND, IDOK, 0);
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// Marks when Select All is taken from the queue: (b) starts there.
LRESULT CALLBACK OnGetMessage(int code, WPARAM wParam, LPARAM lParam) {
    const MSG *message = reinterpret_cast<const MSG *>(lParam);
    if (code == HC_ACTION && wParam == PM_REMOVE && message->message == WM_COMMAND &&
        message->wParam == IDC_SELECT_ALL && !g_run.selectAllSeen) {
        g_run.selectAll = Now();
        g_run.selectAllSeen = true;
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

struct PageFigures {
    double fill;
    double next;
    size_t queued;
    int boxesWhileFilling;
    int boxesInNext;
};

bool RunPage(PageFigures &figures) {
    PendingBookList **list = CreatePendingBookList();
    if (!list) return false;
    g_run = PageRun();
    HHOOK activate = SetWindowsHookExA(WH_CBT, OnActivate, nullptr, GetCurrentThreadId());
    HHOOK getMessage = SetWindowsHookExA(WH_GETMESSAGE, OnGetMessage, nullptr, GetCurrentThreadId());
    const LARGE_INTEGER start = Now();
    const int result = RunBookSelection(list);
    const LARGE_INTEGER end = Now();
    UnhookWindowsHookEx(getMessage);
    UnhookWindowsHookEx(activate);

    figures.queued = 0;
    while (char *name = static_cast<char *>(RewindAndPeek(list))) {
        RemoveAtCursor(list);
        delete[] name;
        ++figures.queued;
    }
    DestroyPendingBookList(list);
    figures.fill = Milliseconds(start, g_run.filled);
    figures.next = Milliseconds(g_run.selectAll, end);
    figures.boxesWhileFilling = g_run.boxesWhileFilling;
    figures.boxesInNext = g_run.boxesInNext;
    return result == IDC_NEXT && g_run.pageShown && g_run.selectAllSeen;
}

// What one of those boxes costs, shown and answered the same way.
double OneBox() {
    HHOOK activate = SetWindowsHookExA(WH_CBT, OnActivate, nullptr, GetCurrentThreadId());
    const LARGE_INTEGER start = Now();
    ShowMessage(kTextTitleUnreadable, kCaptionFileError, MB_OK);
    const LARGE_INTEGER end = Now();
    UnhookWindowsHookEx(activate);
    return Milliseconds(start, end);
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
    const int books = argc > 1 ? atoi(argv[1]) : 2000;
    const int rounds = argc > 2 ? atoi(argv[2]) : 9;
    if (books < kNewspaperIssues + 3 || rounds <= 0) return 2;
    g_setup.instance = GetModuleHandleA(nullptr);

    Library library;
    if (!MakeLibrary(library, books)) {
        fprintf(stderr, "cannot make the books in %s\n", library.folder.c_str());
        RemoveLibrary(library);
        return 1;
    }
    SetCurrentDirectoryA(library.folder.c_str());
    strcpy(g_setup.bookFolder, library.folder.c_str());

    // Warm-up: the first pass pays for the host's caches.
    Floor(library);
    PageFigures figures;
    bool ok = RunPage(figures);

    std::vector<double> floor, fill, next, box;
    for (int round = 0; ok && round < rounds; ++round) {
        floor.push_back(Floor(library));
        ok = RunPage(figures);
        fill.push_back(figures.fill);
        next.push_back(figures.next);
        box.push_back(OneBox());
    }
    char back[MAX_PATH];
    GetTempPathA(sizeof back, back);
    SetCurrentDirectoryA(back);
    RemoveLibrary(library);
    if (!ok) {
        fprintf(stderr, "the page did not end with Next\n");
        return 1;
    }

    const double c = Median(floor), a = Median(fill), b = Median(next), m = Median(box);
    const double aBoxes = figures.boxesWhileFilling * m, bBoxes = figures.boxesInNext * m;
    printf("%d books (%d newspaper issues, 2 unreadable), %d rounds, median ms:\n", books, kNewspaperIssues, rounds);
    printf("  (c) floor: open + read 78 bytes   %8.1f ms\n", c);
    printf("  (a) fill the book list            %8.1f ms   %.2f x floor (target <= 1.50)\n", a, a / c);
    printf("  (b) Select All + Next             %8.1f ms   %.2f x floor (target <= 2.00)\n", b, b / c);
    printf("  boxes answered: %d while filling, %d in Next; one box costs %.1f ms\n", figures.boxesWhileFilling,
           figures.boxesInNext, m);
    printf("  less their boxes: (a) %.2f x floor, (b) %.2f x floor\n", (a - aBoxes) / c, (b - bBoxes) / c);
    printf("  queued %zu names\n", figures.queued);
    return (a <= 1.5 * c && b <= 2.0 * c) ? 0 : 4;
}
