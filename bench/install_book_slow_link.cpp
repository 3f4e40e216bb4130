// The whole Install Book over a slow link: a simulated Handheld PC on the
// pipe at 1 MB/s with 10 ms per device call. The device holds the reader and
// 400 books of 8 KB from an earlier install; 100 more books of 8 KB and one
// of 4 MB are new. All 501 are chosen. From the device's own log it prints:
//   - the wall time of the whole action;
//   - the device calls before the transfer (connection, pages, room check,
//     the reader's installation, the book folder), by kind, and among them
//     the room check's and any call about one book; and the calls before
//     the first byte, which also hold the age tests of the books up to date
//     that come first;
//   - the calls per copied book and per up-to-date book, by kind;
//   - the floor: the copied bytes at the link's speed, plus the calls the
//     described copy makes (its age test, create, writes, times, close)
//     times the delay.
// Goals: the room check makes at most 3 calls and no book is asked about
// before the first byte; a copied book makes no call beyond the described
// copy's and the safe replace's (a check that the target may be replaced,
// the old file's deletion, the rename); an up-to-date book makes only its
// age test; the wall time stays within 1.15 times the floor.
//
//   tools/wine-run.sh build/bin/bench_install_book_slow_link.exe [delay-ms] [bytes-per-second]
#include <windows.h>
#include <commctrl.h>
#include <stdio.h>
#include <stdlib.h>

#include <map>
#include <string>
#include <vector>

#include "books/book_transfer.h"
#include "resources/resource_ids.h"
#include "base/setup_state.h"
#include "bench/wizard_hook.h"
#include "tests/support/test_device.h"

namespace {

const int kKnownBooks = 400;
const int kNewBooks = 100;
const DWORD kBookBytes = 8192;
const DWORD kLargeBookBytes = 4u << 20;
const DWORD kChunkBytes = 16384;  // the copy's device write
const ULONGLONG kWrite = 126227808000000000ull;  // 2001-01-01
const wchar_t kBookFolder[] = L"\\My Documents\\Corvex Press\\";
const wchar_t kInstallFolder[] = L"\\Program Files\\Corvex Press\\";
const char kVariant[] = "hpc211.sh3";  // the Handheld PC profile's reader

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::wstring Wide(const std::string &text) { return std::wstring(text.begin(), text.end()); }

// A host file with the given content and all three times at kWrite.
bool WriteHostFile(const std::string &path, const std::string &content) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool ok = WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
                    written == content.size();
    const FILETIME time{static_cast<DWORD>(kWrite), static_cast<DWORD>(kWrite >> 32)};
    SetFileTime(file, &time, &time, &time);
    CloseHandle(file);
    return ok;
}

// A book: its title in the 78-byte header, then a body of its own.
std::string BookContent(const std::string &title, DWORD bytes) {
    std::string content = title;
    content.resize(78, '\0');
    while (content.size() < bytes) content += static_cast<char>('a' + content.size() % 26);
    content.resize(bytes);
    return content;
}

// The host folders, the device as an earlier install left it, and what
// the run is expected to copy.
struct Library {
    std::string root, setupFolder, bookFolder;
    std::vector<std::string> hostFiles;
    uint64_t newBytes = 0;
};

bool AddHostFile(Library &library, const std::string &path, const std::string &content) {
    library.hostFiles.push_back(path);
    return WriteHostFile(path, content);
}

bool MakeLibrary(Library &library, TestDevice &device) {
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    library.root = std::string(temp) + "tesh_bench_slow_" + std::to_string(GetCurrentProcessId());
    library.setupFolder = library.root + "_setup";
    library.bookFolder = library.root + "_books";
    CreateDirectoryA(library.setupFolder.c_str(), nullptr);
    CreateDirectoryA(library.bookFolder.c_str(), nullptr);
    const FILETIME time{static_cast<DWORD>(kWrite), static_cast<DWORD>(kWrite >> 32)};
    for (const char *file : {"Tesh Reader.exe", "tarnlib.dll"}) {
        const std::string content = std::string(file) + " for " + kVariant + "\r\n";
        if (!AddHostFile(library, library.setupFolder + "\\" + file + "." + kVariant, content)) return false;
        device.WriteFile(kInstallFolder + Wide(file), content);
        device.SetTimes(kInstallFolder + Wide(file), time, time, time);
    }
    for (int i = 0; i <= kKnownBooks + kNewBooks; ++i) {
        char name[32], title[64];
        snprintf(name, sizeof name, "book%03d.vbk", i);
        snprintf(title, sizeof title, "Collected Works %03d", i);
        const DWORD bytes = i == kKnownBooks + kNewBooks ? kLargeBookBytes : kBookBytes;
        const std::string content = BookContent(title, bytes);
        if (!AddHostFile(library, library.bookFolder + "\\" + name, content)) return false;
        if (i < kKnownBooks) {
            device.WriteFile(kBookFolder + Wide(name), content);
            device.SetTimes(kBookFolder + Wide(name), time, time, time);
        } else {
            library.newBytes += bytes;
        }
    }
    return true;
}

void RemoveLibrary(const Library &library) {
    for (const std::string &file : library.hostFiles) DeleteFileA(file.c_str());
    RemoveDirectoryA(library.setupFolder.c_str());
    RemoveDirectoryA(library.bookFolder.c_str());
}

// ---- The user: Select All, Next, Finish; any box is answered and counted --

int g_boxes = 0;

LRESULT CALLBACK OnActivate(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_ACTIVATE) {
        HWND window = reinterpret_cast<HWND>(wParam);
        if (HasCaption(window, "Select Books to Install")) {
            ChooseEveryBook(window);
        } else if (HasCaption(window, "Book Install Complete!")) {
            PostMessageA(window, WM_COMMAND, IDC_NEXT, 0);
        } else if (GetDlgItem(window, 65535)) {
            ++g_boxes;
            PostMessageA(window, WM_COMMAND, IDOK, 0);
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// ---- Reading the device's log -------------------------------------------

// "[3] CeWriteFile "\path" ..." -> "CeWriteFile"; "" for other lines.
std::string CallOf(const std::string &line) {
    const size_t at = line.find("] Ce");
    if (at == std::string::npos || line.compare(0, 1, "[") != 0) return "";
    return line.substr(at + 2, line.find(' ', at + 2) - at - 2);
}

// The first quoted device path of a line ("" for none).
std::string PathOf(const std::string &line) {
    const size_t open = line.find('"');
    const size_t close = open == std::string::npos ? open : line.find('"', open + 1);
    return close == std::string::npos ? "" : line.substr(open + 1, close - open - 1);
}

typedef std::map<std::string, int> Kinds;

std::string KindsText(const Kinds &kinds, double per = 1) {
    std::string text;
    char item[96];
    for (const auto &kind : kinds) {
        snprintf(item, sizeof item, "%s%s %.2f", text.empty() ? "" : ", ", kind.first.c_str(), kind.second / per);
        text += item;
    }
    return text.empty() ? "none" : text;
}

// One book's calls in the transfer: those on its device file and on the
// copy's temporary file, from its age test to the next book's.
struct BookCalls {
    Kinds kinds;
    int calls = 0;
    bool existed = false;  // the age test found the device file
    bool copied = false;
};

// The calls the described copy makes, and the safe replace's on top.
int DescribedCalls(const BookCalls &book, DWORD bytes) {
    const int writes = static_cast<int>((bytes + kChunkBytes - 1) / kChunkBytes);
    const int ageTest = book.existed ? 3 : 1;  // open (+ times and close when it is there)
    return book.copied ? ageTest + 1 + writes + 1 + 1 : ageTest;  // create, writes, times, close
}
int SafeReplaceCalls(const BookCalls &book) {
    if (!book.copied) return 0;
    return book.existed ? 4 : 2;  // may-replace open (+ close), delete, rename
}

}  // namespace

int main(int argc, char **argv) {
    const DWORD delayMs = argc > 1 ? static_cast<DWORD>(atoi(argv[1])) : 10;
    const uint64_t bytesPerSecond = argc > 2 ? strtoull(argv[2], nullptr, 10) : 1000000;
    if (bytesPerSecond == 0) return 2;
    SetEnvironmentVariableA("CEDEVICE_PIPE", ("\\\\.\\pipe\\bench-slow-" + std::to_string(GetCurrentProcessId())).c_str());
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    g_setup.instance = GetModuleHandleA(nullptr);

    // The library is larger than an H/PC Pro's main memory.
    TestDevice device("hpcpro");
    device.SetFault("capacity", "100000000");
    Library library;
    if (!MakeLibrary(library, device)) {
        fprintf(stderr, "cannot make the books in %s\n", library.bookFolder.c_str());
        RemoveLibrary(library);
        return 1;
    }
    strcpy(g_setup.setupFolder, library.setupFolder.c_str());
    strcpy(g_setup.bookFolder, library.bookFolder.c_str());
    SetCurrentDirectoryA(library.bookFolder.c_str());
    device.SetLinkSpeed(bytesPerSecond);
    device.SetLinkLatency(delayMs);
    device.Plug();

    HHOOK hook = SetWindowsHookExA(WH_CBT, OnActivate, nullptr, GetCurrentThreadId());
    const size_t mark = device.Log().size();
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    const int result = InstallBooks();
    QueryPerformanceCounter(&end);
    UnhookWindowsHookEx(hook);
    const std::vector<std::string> log = device.Log();
    char back[MAX_PATH];
    GetTempPathA(sizeof back, back);
    SetCurrentDirectoryA(back);
    device.Unplug();
    RemoveLibrary(library);
    if (result != 0 || g_boxes) {
        fprintf(stderr, "the run did not end as planned; the device's last lines:\n");
        for (size_t at = log.size() > 8 ? log.size() - 8 : 0; at < log.size(); ++at) {
            fprintf(stderr, "  %s\n", log[at].c_str());
        }
    }

    // Before the first byte: every call, the room check's (between the
    // storage locations' search and the link test before the reader), and
    // any that names one of the books before its own copy begins.
    const std::string bookFolder = "\\My Documents\\Corvex Press\\";
    const std::string bookPrefix = bookFolder + "book";
    Kinds before, room;
    bool searched = false, roomDone = false;
    for (size_t at = mark; at < log.size() && CallOf(log[at]) != "CeWriteFile"; ++at) {
        const std::string call = CallOf(log[at]);
        if (call.empty()) continue;
        ++before[call];
        if (searched && !roomDone && call == "CeGetVersionEx") roomDone = true;
        if (searched && !roomDone) ++room[call];
        if (call == "CeFindClose") searched = true;
    }
    // The transfer begins with the first book's age test.
    size_t transfer = mark;
    int bookLookups = 0, transferCalls = 0;
    Kinds beforeTransfer;
    for (; transfer < log.size(); ++transfer) {
        const bool aBook = PathOf(log[transfer]).compare(0, bookPrefix.size(), bookPrefix) == 0;
        if (aBook && CallOf(log[transfer]) == "CeCreateFile") break;
        if (aBook) ++bookLookups;
        if (CallOf(log[transfer]).empty()) continue;
        ++beforeTransfer[CallOf(log[transfer])];
        ++transferCalls;
    }

    // The transfer, book by book: a book's calls begin with its age test.
    std::map<std::string, BookCalls> books;
    std::string current;
    for (size_t at = transfer; at < log.size(); ++at) {
        const std::string call = CallOf(log[at]), path = PathOf(log[at]);
        if (call.empty() || path.compare(0, bookFolder.size(), bookFolder) != 0) continue;
        const std::string name = path.substr(bookFolder.size());
        if (name != "~tesh.tmp") current = name;
        if (current.empty()) continue;
        BookCalls &book = books[current];
        if (call == "CeGetFileTime") book.existed = true;
        if (call == "CeWriteFile") book.copied = true;
        ++book.kinds[call];
        ++book.calls;
    }
    Kinds copiedKinds, currentKinds, largeKinds;
    int copied = 0, upToDate = 0, beyond = 0, floorCalls = 0;
    const std::string largeName = "book" + std::to_string(kKnownBooks + kNewBooks) + ".vbk";
    for (const auto &entry : books) {
        const BookCalls &book = entry.second;
        const bool large = entry.first == largeName;
        const DWORD bytes = large ? kLargeBookBytes : kBookBytes;
        floorCalls += DescribedCalls(book, bytes);
        if (book.calls > DescribedCalls(book, bytes) + SafeReplaceCalls(book)) ++beyond;
        Kinds &kinds = large ? largeKinds : book.copied ? copiedKinds : currentKinds;
        for (const auto &kind : book.kinds) kinds[kind.first] += kind.second;
        if (large) continue;
        ++(book.copied ? copied : upToDate);
    }

    int roomCalls = 0, beforeCalls = 0;
    for (const auto &kind : room) roomCalls += kind.second;
    for (const auto &kind : before) beforeCalls += kind.second;
    const double wall = Seconds(start, end);
    const double floor = static_cast<double>(library.newBytes) / static_cast<double>(bytesPerSecond) +
                         floorCalls * delayMs / 1000.0;
    printf("Install Book of %d books (%d on the device already, %d of 8 KB and one of 4 MB new), link %llu bytes/s, "
           "%lu ms per call; result %d, %d boxes\n",
           kKnownBooks + kNewBooks + 1, kKnownBooks, kNewBooks, static_cast<unsigned long long>(bytesPerSecond),
           static_cast<unsigned long>(delayMs), result, g_boxes);
    printf("  wall time                          %8.2f s\n", wall);
    printf("  floor                              %8.2f s  (%llu bytes, %d calls of the described copy)\n", floor,
           static_cast<unsigned long long>(library.newBytes), floorCalls);
    printf("  wall / floor                       %8.3f    (goal <= 1.15)\n", wall / floor);
    printf("  device calls before the transfer   %5d: %s\n", static_cast<int>(transferCalls),
           KindsText(beforeTransfer).c_str());
    printf("    of them the room check           %5d: %s  (goal <= 3)\n", roomCalls, KindsText(room).c_str());
    printf("    about one book                   %5d  (goal 0)\n", bookLookups);
    printf("  device calls before the first byte %5d  (with the age tests of the books up to date before it)\n",
           beforeCalls);
    printf("  per copied book (%d of 8 KB)      %s\n", copied, KindsText(copiedKinds, copied ? copied : 1).c_str());
    printf("  the 4 MB book                      %s\n", KindsText(largeKinds).c_str());
    printf("  per up-to-date book (%d)          %s\n", upToDate, KindsText(currentKinds, upToDate ? upToDate : 1).c_str());
    printf("  books with calls beyond the described copy and the safe replace: %d  (goal 0)\n", beyond);
    const bool met = roomCalls <= 3 && bookLookups == 0 && beyond == 0 && wall <= 1.15 * floor;
    printf("goals %s\n", met ? "met" : "NOT met");
    return result == 0 && g_boxes == 0 && copied == kNewBooks && upToDate == kKnownBooks ? 0 : 1;
}
