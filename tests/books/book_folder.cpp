#include "tests/books/book_folder.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

const int kMessageBoxTextId = 65535;

void DeleteTree(const std::string &folder) {
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = entry.cFileName;
            if (name == "." || name == "..") continue;
            const std::string path = folder + "\\" + name;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                DeleteTree(path);
            } else {
                SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(path.c_str());
            }
        } while (FindNextFileA(search, &entry));
        FindClose(search);
    }
    RemoveDirectoryA(folder.c_str());
}

BoxRecorder *g_recorder = nullptr;

std::string WindowText(HWND window) {
    char text[1024] = "";
    GetWindowTextA(window, text, sizeof text);
    return text;
}

}  // namespace

std::string BookBytes(const std::string &title, size_t size) {
    std::string bytes = title;
    if (bytes.size() < 32) bytes.resize(32, '\0');
    // The rest of the header and some text: bytes that are never NUL, so a
    // title read past its field would show.
    for (size_t i = bytes.size(); i < size; ++i) bytes += static_cast<char>('A' + i % 26);
    bytes.resize(size);
    return bytes;
}

BookFolder::BookFolder() {
    GetCurrentDirectoryA(MAX_PATH, previous_);
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    static LONG counter = 0;
    path_ = std::string(temp) + "tesh_books_" + std::to_string(GetCurrentProcessId()) + "_" +
            std::to_string(InterlockedIncrement(&counter));
    DeleteTree(path_);
    EXPECT_TRUE(CreateDirectoryA(path_.c_str(), nullptr)) << path_;
    EXPECT_TRUE(SetCurrentDirectoryA(path_.c_str())) << path_;
}

BookFolder::~BookFolder() {
    Unlock();
    SetCurrentDirectoryA(previous_);
    DeleteTree(path_);
}

void BookFolder::Write(const std::string &name, const std::string &bytes) const {
    const std::string path = path_ + "\\" + name;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    CloseHandle(file);
}

void BookFolder::MakeSubfolder(const std::string &name) const {
    EXPECT_TRUE(CreateDirectoryA((path_ + "\\" + name).c_str(), nullptr)) << name;
}

void BookFolder::Remove(const std::string &name) const {
    EXPECT_TRUE(DeleteFileA((path_ + "\\" + name).c_str())) << name;
}

void BookFolder::Lock(const std::string &name) {
    HANDLE file = CreateFileA((path_ + "\\" + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << name;
    locks_.push_back(file);
}

void BookFolder::Unlock() {
    for (HANDLE file : locks_) CloseHandle(file);
    locks_.clear();
}

std::vector<std::string> BookFolder::SearchOrder() const {
    std::vector<std::string> names;
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((path_ + "\\*.vbk").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        names.push_back(entry.cFileName);
    } while (FindNextFileA(search, &entry));
    FindClose(search);
    return names;
}

BoxRecorder::BoxRecorder(std::vector<std::string> captions, int answer)
    : answer_(answer), captions_(std::move(captions)) {
    InitializeCriticalSection(&lock_);
    g_recorder = this;
    hook_ = SetWindowsHookExA(WH_CALLWNDPROCRET, Hook, nullptr, GetCurrentThreadId());
    EXPECT_NE(hook_, nullptr);
}

BoxRecorder::~BoxRecorder() {
    if (hook_) UnhookWindowsHookEx(hook_);
    g_recorder = nullptr;
    DeleteCriticalSection(&lock_);
}

// Called after a window procedure handled a message: once a message box has
// handled WM_INITDIALOG its text control exists and it can take a command.
LRESULT CALLBACK BoxRecorder::Hook(int code, WPARAM wParam, LPARAM lParam) {
    const CWPRETSTRUCT *message = reinterpret_cast<const CWPRETSTRUCT *>(lParam);
    if (code == HC_ACTION && message->message == WM_INITDIALOG && g_recorder) {
        char windowClass[16] = "";
        GetClassNameA(message->hwnd, windowClass, sizeof windowClass);
        if (strcmp(windowClass, "#32770") == 0 && GetDlgItem(message->hwnd, kMessageBoxTextId)) {
            g_recorder->Seen(message->hwnd);
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

void BoxRecorder::Seen(HWND box) {
    Box seen{WindowText(box), WindowText(GetDlgItem(box, kMessageBoxTextId))};
    if (std::find(captions_.begin(), captions_.end(), seen.caption) == captions_.end()) return;
    // The box has no owner; the page it came from must take no input while
    // it is up, as under an owned box.
    struct Probe {
        HWND box;
        bool pageEnabled;
    } probe{box, false};
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND window, LPARAM data) -> BOOL {
            Probe &p = *reinterpret_cast<Probe *>(data);
            char windowClass[16] = "";
            GetClassNameA(window, windowClass, sizeof windowClass);
            if (window != p.box && IsWindowVisible(window) && strcmp(windowClass, "#32770") == 0 &&
                IsWindowEnabled(window)) {
                p.pageEnabled = true;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&probe));
    EXPECT_FALSE(probe.pageEnabled) << "a page takes input under the box \"" << seen.text << "\"";
    EnterCriticalSection(&lock_);
    boxes_.push_back(seen);
    LeaveCriticalSection(&lock_);
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(answer_, BN_CLICKED), 0);
}

std::vector<BoxRecorder::Box> BoxRecorder::Boxes() const {
    EnterCriticalSection(&lock_);
    std::vector<Box> copy = boxes_;
    LeaveCriticalSection(&lock_);
    return copy;
}

size_t BoxRecorder::Count(const std::string &text) const {
    size_t count = 0;
    for (const Box &box : Boxes()) count += box.text == text;
    return count;
}

void BoxRecorder::Clear() {
    EnterCriticalSection(&lock_);
    boxes_.clear();
    LeaveCriticalSection(&lock_);
}

std::string SystemErrorText(DWORD code) {
    char text[512] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                   MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof text, nullptr);
    return text;
}
