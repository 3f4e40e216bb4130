// The roads of the fault matrix. Each copies as the program's actions copy:
// the reader install (the helper library and the reader into the install
// folder) and the book transfer (books into a storage card's book folder,
// newspaper issues replacing "wsj.vbk", its companions reset after).
//
// To add a road: write its Prepare and Run functions and add one line to
// kRoads at the end of this file, e.g.
//     {"install books", "hpc2000", PrepareInstallBooks, RunInstallBooks, kInstallBooksPages, true},
#include <string.h>

#include "books/book_transfer.h"
#include "device/rapi.h"
#include "devicefiles/file_copy.h"
#include "devicefiles/progress_window.h"
#include "reader/install_reader.h"
#include "reader/remove_reader.h"
#include "reader/variant_selection.h"
#include "resources/texts.h"
#include "base/setup_state.h"
#include "tests/faultmatrix/road.h"

namespace faultmatrix {
namespace {

// A Handheld PC 2000: MIPS (4000), platform code 6.
const DWORD kProcessorMips = 4000;
const WORD kPlatformHpc300 = 6;

void CreateDeviceFolder(const std::string &ansiPath) {
    wchar_t wide[256];
    if (MultiByteToWideChar(CP_ACP, 0, ansiPath.c_str(), -1, wide, 256)) CeCreateDirectory(wide, nullptr);
}

std::wstring Wide(const std::string &ansi) {
    wchar_t wide[260];
    return MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, wide, 260) ? std::wstring(wide) : std::wstring();
}

// ---- The reader's two files, copied as the reader install copies them.

void PrepareReaderCopies(RoadSetup &setup) {
    ReaderVariant variant = SelectReaderVariant(kProcessorMips, kPlatformHpc300);
    ULONGLONG release = kYear2001 + 10 * kOneDay;
    setup.Target(kDeviceHelperPath, setup.MakeHostFile(setup.setupFolder, variant.helperVariantFile, 20000, release));
    setup.Target(kDeviceReaderPath, setup.MakeHostFile(setup.setupFolder, variant.readerVariantFile, 40000, release));
    // An earlier reader is installed; its helper library is missing. A copy
    // broken off in an earlier run left its temporary file.
    setup.PutDeviceFile(kDeviceReaderPath, "CEAPP\tWINDOW\tREADER\tTesh\xE2\x84\xA2 Reader\nan earlier reader", kYear2001);
    setup.PutDeviceFile(std::wstring(kDeviceInstallFolder) + L"\\~tesh.tmp", "a copy of an earlier run", kYear2001);
}

void RunReaderCopies() {
    ReaderVariant variant = SelectReaderVariant(kProcessorMips, kPlatformHpc300);
    ShowProgressWindow();
    SetCurrentDirectoryA(g_setup.setupFolder);
    CeCreateDirectory(kDeviceProgramFiles, nullptr);
    CeCreateDirectory(kDeviceInstallFolder, nullptr);
    RemoveStaleTemporaryFile(kDeviceInstallFolder);
    CopyFileToDevice(variant.helperVariantFile, kDeviceHelperPathAnsi);
    CopyFileToDevice(variant.readerVariantFile, kDeviceReaderPathAnsi);
    HideProgressWindow();
}

// ---- The whole Install Reader action, on a Handheld PC that holds an
// earlier reader under the old name as well.

void PrepareInstallReader(RoadSetup &setup) {
    PrepareReaderCopies(setup);
    setup.PutDeviceFile(kDeviceOldReaderPath, "the reader under its earlier name", kYear2001);
    // A broken-off run reports what stopped it.
    setup.AllowBox(kCaptionError);
    setup.AllowBox(kCaptionUpdateProblem);
    setup.AllowBox(kCaptionSetup);
    setup.AllowBox(kCaptionDeviceInformation);
}

void RunInstallReader() { InstallReader(); }

// ---- Remove Reader while the reader runs, with a copy's leftover
// temporary file in the install folder: a clean run leaves no trace of the
// reader, and so does a rerun after any broken one.

void PrepareRemoveRunningReader(RoadSetup &setup) {
    setup.PutDeviceFile(kDeviceReaderPath, "CEAPP\tWINDOW\tREADER\tTesh\xE2\x84\xA2 Reader\nthe reader", kYear2001);
    setup.PutDeviceFile(kDeviceHelperPath, "CELIB\tEXPORTS\tCloseApp\nthe helper", kYear2001);
    setup.PutDeviceFile(kDeviceInstallTemporaryPath, "partial copy of an earlier run", kYear2001);
    setup.PutDeviceFile(L"\\Windows\\Programs\\Tesh\u2122 Reader.lnk", "45#\"\\Tesh Reader.exe\"", kYear2001);
    setup.device.StartProgram(kDeviceReaderPath);
    // A broken-off run reports what stopped it, or the reader that stays.
    setup.AllowBox(kCaptionError);
    setup.AllowBox(kCaptionSetup);
    setup.AllowBox(kCaptionDeviceInformation);
}

void RunRemoveReader() { RemoveReader(); }

// ---- Three books and two newspaper issues to the storage card, in the
// order of the pending list, as the transfer copies them.

const char kCardRoot[] = "\\CF Card\\";
const char *const kPendingBooks[] = {"alpha.vbk", "wsj0101.vbk", "beta.vbk", "wsj0102.vbk", "gamma.vbk"};

std::string BookFolderOnCard() { return std::string(kCardRoot) + "My Documents\\Corvex Press\\"; }

void PrepareBookCopies(RoadSetup &setup) {
    strcpy(g_setup.storageRoot, kCardRoot);
    const std::string folder = BookFolderOnCard();
    struct Book {
        const char *name;
        DWORD size;
    } const kBooks[] = {{"alpha.vbk", 16384}, {"wsj0101.vbk", 25000}, {"beta.vbk", 30000},
                        {"wsj0102.vbk", 20000}, {"gamma.vbk", 1000}};
    for (const Book &book : kBooks) {
        std::string host = setup.MakeHostFile(setup.bookFolder, book.name, book.size, kYear2001 + 20 * kOneDay);
        bool newspaper = strncmp(book.name, "wsj", 3) == 0;
        setup.Target(Wide(folder + (newspaper ? "wsj.vbk" : book.name)), host);
    }
    // The card holds an older alpha and the current issue of the newspaper
    // (newer than the new issues: the newspaper is replaced all the same)
    // with its two companion files.
    setup.PutDeviceFile(Wide(folder + "alpha.vbk"), "an older alpha", kYear2001);
    setup.PutDeviceFile(Wide(folder + "wsj.vbk"), "the current issue", kYear2001 + 400 * kOneDay);
    setup.PutDeviceFile(Wide(folder + "wsj.vbk.ppd"), "reading position", kYear2001);
    setup.PutDeviceFile(Wide(folder + "wsj.vbks"), "VBKS\x01\x02\x03\x04\xAA\xBB\xCC\xDDtail", kYear2001);
    // A copy that broke off in an earlier run left its temporary file, with
    // the times of a host book: it must never be taken for a copy.
    setup.PutDeviceFile(Wide(folder + "~tesh.tmp"), "partial copy of an earlier run", kYear2001 + 20 * kOneDay);
    setup.Companion(Wide(folder + "wsj.vbk.ppd"), Wide(folder + "wsj.vbk"));
    setup.Companion(Wide(folder + "wsj.vbks"), Wide(folder + "wsj.vbk"));
}

// The companion files are reset only once the new issue is in place.
void ResetNewspaperCompanions(const std::string &folder) {
    CeDeleteFile(Wide(folder + "wsj.vbk.ppd").c_str());
    HANDLE state = CeCreateFile(Wide(folder + "wsj.vbks").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (state == INVALID_HANDLE_VALUE) return;
    const BYTE zeros[4] = {0, 0, 0, 0};
    DWORD written = 0;
    CeSetFilePointer(state, 8, nullptr, FILE_BEGIN);
    CeWriteFile(state, zeros, sizeof zeros, &written, nullptr);
    CeCloseHandle(state);
}

void RunBookCopies() {
    ShowProgressWindow();
    std::string documents = std::string(g_setup.storageRoot) + "My Documents";
    CreateDeviceFolder(documents);
    CreateDeviceFolder(documents + "\\Corvex Press");
    RemoveStaleTemporaryFile(Wide(documents + "\\Corvex Press").c_str());
    SetCurrentDirectoryA(g_setup.bookFolder);
    const std::string folder = std::string(g_setup.storageRoot) + "My Documents\\Corvex Press\\";
    for (const char *name : kPendingBooks) {
        if (strncmp(name, "wsj", 3) == 0) {
            if (ReplaceFileOnDevice(name, (folder + "wsj.vbk").c_str()) == 0) ResetNewspaperCompanions(folder);
        } else {
            CopyFileToDevice(name, (folder + name).c_str());
        }
    }
    HideProgressWindow();
}

// ---- The whole Install Book action: both wizard pages (every book, the
// storage card), the reader brought up to date, the books copied, the
// reader started, the completion dialog.

// Puts text at the start of a host file made by MakeHostFile, keeping its times.
void OverwriteStart(const std::string &path, const std::string &text, ULONGLONG lastWrite) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    FILETIME creation = {static_cast<DWORD>(lastWrite - kOneDay), static_cast<DWORD>((lastWrite - kOneDay) >> 32)};
    FILETIME access = {static_cast<DWORD>(lastWrite + kOneDay), static_cast<DWORD>((lastWrite + kOneDay) >> 32)};
    FILETIME write = {static_cast<DWORD>(lastWrite), static_cast<DWORD>(lastWrite >> 32)};
    SetFileTime(file, &creation, &access, &write);
    CloseHandle(file);
}

// The reader: an earlier one on the device, a newer one in the setup folder,
// each a program with the reader's window, beside a helper library that can
// close it.
void PrepareRunnableReader(RoadSetup &setup) {
    ReaderVariant variant = SelectReaderVariant(kProcessorMips, kPlatformHpc300);
    ULONGLONG release = kYear2001 + 10 * kOneDay;
    std::string helper = setup.MakeHostFile(setup.setupFolder, variant.helperVariantFile, 20000, release);
    OverwriteStart(helper, "CELIB\tEXPORTS\tCloseApp\r\n", release);
    std::string reader = setup.MakeHostFile(setup.setupFolder, variant.readerVariantFile, 40000, release);
    OverwriteStart(reader, "CEAPP\tWINDOW\tREADER\tTesh\xE2\x84\xA2 Reader\r\n", release);
    setup.Target(kDeviceHelperPath, helper);
    setup.Target(kDeviceReaderPath, reader);
    setup.PutDeviceFile(kDeviceReaderPath, "CEAPP\tWINDOW\tREADER\tTesh\xE2\x84\xA2 Reader\nan earlier reader", kYear2001);
}

void PrepareInstallBooks(RoadSetup &setup) {
    PrepareRunnableReader(setup);

    // The books, listed by title in this order; the page copies them so.
    const std::string folder = BookFolderOnCard();
    struct Book {
        const char *name;
        const char *title;
        DWORD size;
    } const kBooks[] = {{"alpha.vbk", "Alpha", 16384},
                        {"beta.vbk", "Beta", 30000},
                        {"gamma.vbk", "Gamma", 1000},
                        {"wsj0101.vbk", "The Wall Street Journal", 25000},
                        {"wsj0102.vbk", "The Wall Street Journal", 20000}};
    for (const Book &book : kBooks) {
        ULONGLONG lastWrite = kYear2001 + 20 * kOneDay;
        std::string host = setup.MakeHostFile(setup.bookFolder, book.name, book.size, lastWrite);
        OverwriteStart(host, std::string(book.title) + std::string(32 - strlen(book.title), '\0'), lastWrite);
        bool newspaper = strncmp(book.name, "wsj", 3) == 0;
        setup.Target(Wide(folder + (newspaper ? "wsj.vbk" : book.name)), host);
    }
    setup.PutDeviceFile(Wide(folder + "alpha.vbk"), "an older alpha", kYear2001);
    setup.PutDeviceFile(Wide(folder + "wsj.vbk"), "the current issue", kYear2001 + 400 * kOneDay);
    setup.PutDeviceFile(Wide(folder + "wsj.vbk.ppd"), "reading position", kYear2001);
    setup.PutDeviceFile(Wide(folder + "wsj.vbks"), "VBKS\x01\x02\x03\x04\xAA\xBB\xCC\xDDtail", kYear2001);
    setup.Companion(Wide(folder + "wsj.vbk.ppd"), Wide(folder + "wsj.vbk"));
    setup.Companion(Wide(folder + "wsj.vbks"), Wide(folder + "wsj.vbk"));
    // Leftovers of a copy broken off in an earlier run, in both folders.
    setup.PutDeviceFile(Wide(folder + "~tesh.tmp"), "partial copy of an earlier run", kYear2001);
    setup.PutDeviceFile(std::wstring(kDeviceInstallFolder) + L"\\~tesh.tmp", "another partial copy", kYear2001);
    // A book that cannot reach the device is named in a box of this caption,
    // and the count of such books is said in place of the completion dialog.
    setup.AllowBox(kCaptionError);
    setup.AllowBox(kCaptionSetup);
}

// The user's choices, made as each page opens (before the matrix's box
// answerer presses its default button): every book, then the card.
LRESULT CALLBACK ChooseOnOpening(int code, WPARAM wParam, LPARAM lParam) {
    const CWPRETSTRUCT &message = *reinterpret_cast<const CWPRETSTRUCT *>(lParam);
    if (code == HC_ACTION && message.message == WM_INITDIALOG) {
        char caption[64] = "";
        GetWindowTextA(message.hwnd, caption, sizeof caption);
        HWND list = GetDlgItem(message.hwnd, 1000);
        if (strcmp(caption, "Select Books to Install") == 0) {
            LRESULT count = SendMessageA(list, LB_GETCOUNT, 0, 0);
            SendMessageA(list, LB_SELITEMRANGE, TRUE, MAKELPARAM(0, count - 1));
        } else if (strcmp(caption, "Select Storage Location") == 0) {
            LRESULT card = SendMessageA(list, LB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                        reinterpret_cast<LPARAM>("CF Card"));
            if (card != LB_ERR) SendMessageA(list, LB_SETCURSEL, card, 0);
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// ---- Install Reader over a reader that runs: asked to close by the earlier
// helper library, it takes the device's close delay to end, and is
// replaced once it has.

void PrepareUpdateRunningReader(RoadSetup &setup) {
    PrepareRunnableReader(setup);
    setup.PutDeviceFile(kDeviceHelperPath, "CELIB\tEXPORTS\tCloseApp\nan earlier helper", kYear2001);
    setup.device.StartProgram(kDeviceReaderPath);
    setup.AllowBox(kCaptionError);
    setup.AllowBox(kCaptionUpdateProblem);
    setup.AllowBox(kCaptionDeviceInformation);
}

const char *const kInstallBooksPages[] = {"Select Books to Install", "Select Storage Location", "Book Install Complete!",
                                          nullptr};

void RunInstallBooks() {
    HHOOK hook = SetWindowsHookExA(WH_CALLWNDPROCRET, ChooseOnOpening, nullptr, GetCurrentThreadId());
    // The book page lists the current directory.
    SetCurrentDirectoryA(g_setup.bookFolder);
    InstallBooks();
    UnhookWindowsHookEx(hook);
}

}  // namespace

const std::vector<Road> kRoads = {
    {"reader copies", "hpc2000", PrepareReaderCopies, RunReaderCopies},
    {"book copies", "hpc2000", PrepareBookCopies, RunBookCopies},
    {"install reader", "hpc2000", PrepareInstallReader, RunInstallReader, nullptr, true},
    {"update running reader", "hpc2000", PrepareUpdateRunningReader, RunInstallReader},
    {"remove running reader", "hpc2000", PrepareRemoveRunningReader, RunRemoveReader},
    {"install books", "hpc2000", PrepareInstallBooks, RunInstallBooks, kInstallBooksPages, true},
};

}  // namespace faultmatrix
