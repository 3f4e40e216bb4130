// Install Book in process against simulated devices served by this test
// program: a setup folder of reader variants, a book folder of generated
// books, and the robot playing the user through the wizard.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "device/connection.h"
#include "resources/resource_ids.h"
#include "resources/texts.h"
#include "base/setup_state.h"
#include "tests/support/robot.h"
#include "tests/support/test_device.h"
#include "tests/support/test_values.h"

namespace transfer {


const char kBookPage[] = "Select Books to Install";
const char kStoragePage[] = "Select Storage Location";
const char kCompletion[] = "Book Install Complete!";
const char kCompletionText[] = "The host based portion of the installation process is now complete.";
const wchar_t kReader[] = L"\\Program Files\\Corvex Press\\Tesh Reader.exe";


inline std::wstring Wide(const std::string &text) { return std::wstring(text.begin(), text.end()); }


// The box shown for a book that did not reach the device.
inline std::string NotCopiedText(const std::string &name, DWORD code) {
    return name + " was not copied to the device.\r\n\r\n" + SystemText(code);
}

// The one box of a link lost during Install Book: what was going on, then
// how many of the chosen books are not on the device.
inline std::string LinkLostText(const std::string &what, int missing, int chosen) {
    return "Error: " + what + " " + std::to_string(missing) + " of " + std::to_string(chosen) +
           " chosen books are not on the device. Dock the device again and choose Install Book again: books "
           "already on the device are not copied again.";
}

inline size_t CountLog(const std::vector<std::string> &log, const std::string &part, size_t from = 0) {
    size_t count = 0;
    for (size_t i = from; i < log.size(); ++i) count += log[i].find(part) != std::string::npos;
    return count;
}

// A book file: the 78-byte header (title, NUL padding, the rest), then a
// body that differs per book.
inline std::string BookContent(const std::string &title, const std::string &name, size_t bodyBytes) {
    std::string header(78, '\0');
    header.replace(0, title.size(), title);
    for (size_t i = 32; i < 78; ++i) header[i] = static_cast<char>('A' + i % 26);
    std::string body;
    while (body.size() < bodyBytes) body += "[" + name + " " + std::to_string(body.size()) + "]";
    body.resize(bodyBytes);
    return header + body;
}

// Reader and helper variant contents for a variant pair ("ppc300.arm").
inline std::string ReaderVariant(const std::string &pair) {
    return "CEAPP\tWINDOW\tREADER\tTesh\xe2\x84\xa2 Reader\r\nreader " + pair + "\r\n";
}
inline std::string HelperVariant(const std::string &pair) { return "CELIB\tEXPORTS\tCloseApp\r\nhelper " + pair + "\r\n"; }

class TransferTest : public ::testing::Test {
protected:
    void SetUp() override {
        INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&controls);
        g_setup.instance = GetModuleHandleA(nullptr);
        g_setup.connected = 0;
        g_setup.PlatformCode = 0;
        strcpy(g_setup.storageRoot, "\\unset\\");
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        const std::string base = std::string(temp) + "tesh_transfer_" + std::to_string(GetCurrentProcessId()) + "_" +
                                 std::to_string(GetTickCount());
        setupFolder_ = base + "_setup";
        bookFolder_ = base + "_books";
        CreateDirectoryA(setupFolder_.c_str(), nullptr);
        CreateDirectoryA(bookFolder_.c_str(), nullptr);
        strcpy(g_setup.setupFolder, setupFolder_.c_str());
        strcpy(g_setup.bookFolder, bookFolder_.c_str());
        for (const char *pair : {"ppc300.arm", "hpc211.sh3", "hpc300.mips"}) {
            WriteHostFile(setupFolder_, std::string("Tesh Reader.exe.") + pair, ReaderVariant(pair), kYear2001);
            WriteHostFile(setupFolder_, std::string("tarnlib.dll.") + pair, HelperVariant(pair), kYear2001);
        }
        // The book page lists the current directory.
        SetCurrentDirectoryA(bookFolder_.c_str());
    }

    void TearDown() override {
        Disconnect();
        SetCurrentDirectoryA("C:\\");
        for (const std::string &file : files_) {
            SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileA(file.c_str());
        }
        RemoveDirectoryA(setupFolder_.c_str());
        RemoveDirectoryA(bookFolder_.c_str());
    }

    void WriteHostFile(const std::string &folder, const std::string &name, const std::string &content,
                       ULONGLONG lastWrite) {
        const std::string path = folder + "\\" + name;
        HANDLE file =
            CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
        DWORD written = 0;
        WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
        const FILETIME creation = MakeFileTime(lastWrite - 3 * kOneDay), access = MakeFileTime(lastWrite + kOneDay),
                       write = MakeFileTime(lastWrite);
        SetFileTime(file, &creation, &access, &write);
        CloseHandle(file);
        files_.push_back(path);
    }

    // A book in the book folder; its content is kept for the checks.
    void AddBook(const std::string &name, const std::string &title, size_t bodyBytes = 3000,
                 ULONGLONG lastWrite = kYear2001) {
        books_[name] = BookContent(title, name, bodyBytes);
        WriteHostFile(bookFolder_, name, books_[name], lastWrite);
    }

    // The device file holds the host book, with the host file's three times.
    void ExpectBookOnDevice(TestDevice &device, const std::wstring &devicePath, const std::string &name) {
        SCOPED_TRACE(name);
        EXPECT_EQ(device.ReadFile(devicePath), books_[name]);
        HANDLE file = CreateFileA((bookFolder_ + "\\" + name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        FILETIME hc, ha, hw, dc, da, dw;
        GetFileTime(file, &hc, &ha, &hw);
        CloseHandle(file);
        ASSERT_TRUE(device.Times(devicePath, &dc, &da, &dw));
        EXPECT_EQ(Ticks(dc), Ticks(hc));
        EXPECT_EQ(Ticks(da), Ticks(ha));
        EXPECT_EQ(Ticks(dw), Ticks(hw));
    }

    std::string CurrentDirectory() {
        char current[MAX_PATH] = "";
        GetCurrentDirectoryA(sizeof current, current);
        return current;
    }

    std::string setupFolder_, bookFolder_;
    std::vector<std::string> files_;
    std::map<std::string, std::string> books_;
};

// ---- The user, on the robot thread ----------------------------------------

// The visible entries of a page's list.
inline std::vector<std::string> ListEntries(HWND page) { return robot::ListBoxItems(page, IDC_LIST); }

// Book page: select the entries with these texts (all when empty), then Next.
inline void ChooseBooks(const std::vector<std::string> &titles = {}) {
    HWND page = robot::WaitForWindow(kBookPage);
    if (!page) return;
    if (titles.empty()) {
        robot::Click(page, IDC_SELECT_ALL);
    } else {
        HWND list = GetDlgItem(page, IDC_LIST);
        for (const std::string &title : titles) {
            LRESULT at = SendMessageA(list, LB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                      reinterpret_cast<LPARAM>(title.c_str()));
            EXPECT_NE(at, LB_ERR) << title;
            SendMessageA(list, LB_SETSEL, TRUE, at);
        }
    }
    robot::Click(page, IDC_NEXT);
    EXPECT_TRUE(robot::WaitForWindowGone(page));
}

// Storage page: choose the entry with this text, then Next.
inline void ChooseStorage(const std::string &location) {
    HWND page = robot::WaitForWindow(kStoragePage);
    if (!page) return;
    HWND list = GetDlgItem(page, IDC_LIST);
    LRESULT at = SendMessageA(list, LB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                              reinterpret_cast<LPARAM>(location.c_str()));
    EXPECT_NE(at, LB_ERR) << location;
    SendMessageA(list, LB_SETCURSEL, at, 0);
    robot::Click(page, IDC_NEXT);
    EXPECT_TRUE(robot::WaitForWindowGone(page));
}

// Answers every message box of this process with OK (Yes on a question)
// until a window with this caption shows (with no caption: until no box
// has come for quietMs); returns "caption: text" of each.
inline std::vector<std::string> AnswerBoxesUntil(const char *caption, DWORD timeoutMs = 60000,
                                                 DWORD quietMs = 1500) {
    std::vector<std::string> boxes;
    const DWORD deadline = GetTickCount() + timeoutMs;
    DWORD lastBox = GetTickCount();
    for (;;) {
        HWND found[2] = {nullptr, nullptr};  // the window wanted, a message box
        struct Search {
            const char *caption;
            HWND *found;
        } search{caption, found};
        EnumWindows(
            [](HWND window, LPARAM data) -> BOOL {
                Search &s = *reinterpret_cast<Search *>(data);
                DWORD process = 0;
                GetWindowThreadProcessId(window, &process);
                if (process != GetCurrentProcessId() || !IsWindowVisible(window)) return TRUE;
                if (s.caption && robot::Text(window) == s.caption) s.found[0] = window;
                // A message box: its text control, no list, no progress bar.
                if (GetDlgItem(window, 0xFFFF) && (GetDlgItem(window, IDOK) || GetDlgItem(window, IDYES)) &&
                    !GetDlgItem(window, IDC_LIST) && !GetDlgItem(window, IDC_PROGRESS_BAR))
                    s.found[1] = window;
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&search));
        if (found[0]) return boxes;
        if (found[1]) {
            const std::string boxCaption = robot::Text(found[1]);
            boxes.push_back(boxCaption + ": " + robot::ControlText(found[1], 0xFFFF));
            robot::Click(found[1], GetDlgItem(found[1], IDOK) ? IDOK : IDYES);
            robot::WaitForWindowGone(found[1], 5000);
            lastBox = GetTickCount();
            continue;
        }
        if (!caption && GetTickCount() - lastBox >= quietMs) return boxes;
        if (static_cast<LONG>(deadline - GetTickCount()) <= 0) {
            ADD_FAILURE() << "no window \"" << (caption ? caption : "") << "\" came; on screen:\n"
                          << robot::DescribeScreen();
            return boxes;
        }
        Sleep(20);
    }
}

// The completion dialog: its text, Escape ignored, then Finish.
inline void Finish() {
    HWND done = robot::WaitForWindow(kCompletion);
    if (!done) return;
    EXPECT_EQ(robot::ControlText(done, -1), kCompletionText);
    robot::Click(done, IDCANCEL);
    Sleep(200);
    EXPECT_TRUE(IsWindowVisible(done)) << "Escape must not close the completion dialog";
    robot::Click(done, IDC_NEXT);
    EXPECT_TRUE(robot::WaitForWindowGone(done));
}

}  // namespace transfer
