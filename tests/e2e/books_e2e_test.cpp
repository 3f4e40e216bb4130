// Install Book in setup.exe, from the main menu and from Other Options,
// against a docked simulated device; the device image is read back after
// the program ended.
#include <gtest/gtest.h>
#include <winsock2.h>

#include <functional>
#include <string>
#include <vector>

#include "resources/resource_ids.h"
#include "resources/texts.h"
#include "tests/e2e/setup_process.h"
#include "tests/support/robot.h"
#include "tests/support/test_device.h"

namespace {

const DWORD kRunTimeoutMs = 90000;
const ULONGLONG kYear2001 = 126227808000000000ull;
const ULONGLONG kOneDay = 864000000000ull;
const char kBookPage[] = "Select Books to Install";
const char kStoragePage[] = "Select Storage Location";
const char kCompletion[] = "Book Install Complete!";
const wchar_t kReader[] = L"\\Program Files\\Corvex Press\\Tesh Reader.exe";

std::string BookContent(const std::string &title, const std::string &name) {
    std::string header(78, '\0');
    header.replace(0, title.size(), title);
    std::string body;
    while (body.size() < 25000) body += name + " " + std::to_string(body.size()) + "\n";
    return header + body;
}

// A host file with its last-write time; creation and last access differ.
bool WriteHostFile(const std::string &path, const std::string &content, ULONGLONG lastWrite) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    FILETIME times[3];
    const ULONGLONG ticks[3] = {lastWrite - 2 * kOneDay, lastWrite + kOneDay, lastWrite};
    for (int i = 0; i < 3; ++i) {
        times[i].dwLowDateTime = static_cast<DWORD>(ticks[i]);
        times[i].dwHighDateTime = static_cast<DWORD>(ticks[i] >> 32);
    }
    SetFileTime(file, &times[0], &times[1], &times[2]);
    CloseHandle(file);
    return ok && written == content.size();
}

ULONGLONG LastWrite(TestDevice &device, const std::wstring &path) {
    FILETIME c, a, w;
    if (!device.Times(path, &c, &a, &w)) return 0;
    return (static_cast<ULONGLONG>(w.dwHighDateTime) << 32) | w.dwLowDateTime;
}

// The setup folder: the reader variants for the device and three books,
// two of them issues of the newspaper.
struct Books {
    std::string pair;
    std::string alpha = BookContent("Alpha", "alpha.vbk");
    std::string issue1 = BookContent("The Wall Street Journal", "wsj0101.vbk");
    std::string issue2 = BookContent("The Wall Street Journal", "wsj0102.vbk");

    bool WriteTo(const std::string &folder) const {
        return WriteHostFile(folder + "\\Tesh Reader.exe." + pair,
                             "CEAPP\tWINDOW\tREADER\tTesh\xe2\x84\xa2 Reader\r\nreader\r\n", kYear2001) &&
               WriteHostFile(folder + "\\tarnlib.dll." + pair, "CELIB\tEXPORTS\tCloseApp\r\nhelper\r\n", kYear2001) &&
               WriteHostFile(folder + "\\alpha.vbk", alpha, kYear2001 + kOneDay) &&
               WriteHostFile(folder + "\\wsj0101.vbk", issue1, kYear2001 + 2 * kOneDay) &&
               WriteHostFile(folder + "\\wsj0102.vbk", issue2, kYear2001 + 3 * kOneDay);
    }
};

// The user's side of one pass through the wizard: every book, the
// storage location by name (nullptr: no storage page), then Finish.
void InstallEveryBook(const char *location) {
    HWND page = robot::WaitForWindow(kBookPage);
    // The list's texts live in the other process: only its size is read here.
    EXPECT_EQ(SendMessageA(GetDlgItem(page, IDC_LIST), LB_GETCOUNT, 0, 0), 3);
    robot::Click(page, IDC_SELECT_ALL);
    robot::Click(page, IDC_NEXT);
    if (location) {
        HWND storage = robot::WaitForWindow(kStoragePage);
        HWND list = GetDlgItem(storage, IDC_LIST);
        SendMessageA(list, LB_SETCURSEL,
                     SendMessageA(list, LB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(location)),
                     0);
        robot::Click(storage, IDC_NEXT);
    }
    HWND done = robot::WaitForWindow(kCompletion);
    robot::Click(done, IDC_NEXT);
    EXPECT_TRUE(robot::WaitForWindowGone(done));
}

long RunSetup(SetupProcess &setup, const std::function<void()> &script) {
    if (!setup.Start()) {
        ADD_FAILURE() << "cannot start setup.exe: " << GetLastError();
        return -1;
    }
    return robot::RunWithRobot([&] { return static_cast<int>(setup.WaitForExit(kRunTimeoutMs)); }, script,
                               kRunTimeoutMs + 5000);
}

void ExpectBooksIn(TestDevice &device, const std::wstring &folder, const Books &books) {
    EXPECT_EQ(device.ReadFile(folder + L"alpha.vbk"), books.alpha);
    EXPECT_EQ(LastWrite(device, folder + L"alpha.vbk"), kYear2001 + kOneDay);
    // The later issue is the one left, under the newspaper's own name.
    EXPECT_EQ(device.ReadFile(folder + L"wsj.vbk"), books.issue2);
    EXPECT_EQ(LastWrite(device, folder + L"wsj.vbk"), kYear2001 + 3 * kOneDay);
    EXPECT_FALSE(device.Exists(folder + L"wsj0101.vbk"));
    EXPECT_FALSE(device.Exists(folder + L"wsj0102.vbk"));
    EXPECT_FALSE(device.Exists(folder + L"wsj.vbk.ppd"));
    EXPECT_EQ(device.ReadFile(folder + L"wsj.vbks"), std::string("STATE---") + std::string(4, '\0') + "rest");
}

// From the main menu: Back on the first page brings the menu back; a
// finished installation to the storage card ends the program.
TEST(SetupExeBooks, FromTheMainMenuToACard) {
    TestDevice device("pocketpc");
    const std::wstring card = L"\\Storage Card\\My Documents\\Corvex Press\\";
    device.WriteFile(card + L"wsj.vbk", "older issue");
    device.WriteFile(card + L"wsj.vbk.ppd", "pages");
    device.WriteFile(card + L"wsj.vbks", "STATE---XXXXrest");
    device.Plug();
    SetupProcess setup;
    Books books;
    books.pair = "ppc300.arm";
    ASSERT_TRUE(books.WriteTo(setup.Folder()));

    const long exitCode = RunSetup(setup, [&] {
        HWND menu = robot::WaitForWindow(kCaptionSetup);
        robot::Click(menu, IDC_INSTALL_BOOK);
        robot::Click(robot::WaitForWindow(kBookPage), IDC_WIZARD_BACK);
        menu = robot::WaitForWindow(kCaptionSetup);
        robot::Click(menu, IDC_INSTALL_BOOK);
        InstallEveryBook("Storage Card");
    });
    EXPECT_EQ(exitCode, 0);
    ExpectBooksIn(device, card, books);
    EXPECT_FALSE(device.Exists(L"\\My Documents\\Corvex Press"));
    EXPECT_TRUE(device.IsRunning(kReader));
}

// The device pulled in the middle of the first of the books: one box names
// the book, how many chosen books are not on the device and what to do;
// the main menu comes back, and Install Book again, docked again, completes.
TEST(SetupExeBooks, PulledInTheFirstBookThenDockedAgain) {
    TestDevice device("pocketpc");
    device.Plug();
    // The reader's two small files, then into alpha.vbk.
    device.SetFault("drop_after_bytes", "200");
    SetupProcess setup;
    Books books;
    books.pair = "ppc300.arm";
    ASSERT_TRUE(books.WriteTo(setup.Folder()));
    std::string told;
    const long exitCode = RunSetup(setup, [&] {
        robot::Click(robot::WaitForWindow(kCaptionSetup), IDC_INSTALL_BOOK);
        HWND page = robot::WaitForWindow(kBookPage);
        robot::Click(page, IDC_SELECT_ALL);
        robot::Click(page, IDC_NEXT);
        HWND storage = robot::WaitForWindow(kStoragePage);
        SendDlgItemMessageA(storage, IDC_LIST, LB_SETCURSEL, 1, 0);
        robot::Click(storage, IDC_NEXT);
        told = robot::AnswerMessageBox(kCaptionError, IDOK);
        EXPECT_TRUE(robot::StaysAbsent(kCompletion, 300));
        robot::Click(robot::WaitForWindow(kCaptionSetup), IDC_INSTALL_BOOK);
        InstallEveryBook("Storage Card");
    });
    EXPECT_EQ(told,
              "The device was disconnected while alpha.vbk was being copied. 3 of 3 chosen books are not on the "
              "device. Dock the device again and choose Install Book again: books already on the device are not "
              "copied again.");
    EXPECT_EQ(exitCode, 0);
    const std::wstring card = L"\\Storage Card\\My Documents\\Corvex Press\\";
    EXPECT_EQ(device.ReadFile(card + L"alpha.vbk"), books.alpha);
    EXPECT_EQ(device.ReadFile(card + L"wsj.vbk"), books.issue2);
    EXPECT_FALSE(device.Exists(card + L"~tesh.tmp"));
}

// From Other Options: the menu comes back after Back, after a finished
// installation and after a confirmed Cancel; then the program is left by
// the main menu. A cancelled installation from the main menu ends it.
TEST(SetupExeBooks, FromOtherOptionsTheMenuAlwaysComesBack) {
    TestDevice device("hpc2000");
    const std::wstring main = L"\\My Documents\\Corvex Press\\";
    device.MakeFolder(L"\\My Documents\\Corvex Press");
    device.WriteFile(main + L"wsj.vbks", "STATE---XXXXrest");
    device.Plug();
    SetupProcess setup;
    Books books;
    books.pair = "hpc300.mips";
    ASSERT_TRUE(books.WriteTo(setup.Folder()));

    const long exitCode = RunSetup(setup, [&] {
        HWND menu = robot::WaitForWindow(kCaptionSetup);
        robot::Click(menu, IDC_OTHER_OPTIONS);
        HWND options = robot::WaitForWindow(kOtherOptionsCaption);
        robot::Click(options, IDC_INSTALL_BOOK);
        robot::Click(robot::WaitForWindow(kBookPage), IDC_WIZARD_BACK);

        options = robot::WaitForWindow(kOtherOptionsCaption);
        robot::Click(options, IDC_INSTALL_BOOK);
        InstallEveryBook("Main Memory");

        options = robot::WaitForWindow(kOtherOptionsCaption);
        robot::Click(options, IDC_INSTALL_BOOK);
        robot::Click(robot::WaitForWindow(kBookPage), IDCANCEL);
        robot::AnswerMessageBox(kCaptionSetup, IDYES);

        options = robot::WaitForWindow(kOtherOptionsCaption);
        robot::Click(options, IDCANCEL);
        menu = robot::WaitForWindow(kCaptionSetup);
        robot::Click(menu, IDC_INSTALL_BOOK);
        robot::Click(robot::WaitForWindow(kBookPage), IDCANCEL);
        robot::AnswerMessageBox(kCaptionSetup, IDYES);
    });
    EXPECT_EQ(exitCode, 0);
    ExpectBooksIn(device, main, books);
    EXPECT_FALSE(device.Exists(L"\\CF Card\\My Documents"));
    EXPECT_TRUE(device.IsRunning(kReader));
}

// The same roads over TCP, as with a real handheld on Linux: the device
// serves only its network link and docks to the stand-in listening for it
// (RAPI_DESKTOP; a Windows Mobile device on RAPI_DESKTOP2, in the newer
// protocol); no pipe is plugged in. Device Info, Install Reader, Install
// Book to the card (with its room check; the reader runs after it), Update
// Reader and Remove Reader with the reader running (closed through the
// device), then the image. A Windows Mobile device is also pulled out and
// docked again between two Device Info reports.
std::string ReadCallLog(const std::string &path) {
    std::string calls;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        char buffer[65536];
        DWORD read = 0;
        while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read) calls.append(buffer, read);
        CloseHandle(file);
    }
    DeleteFileA(path.c_str());
    return calls;
}

struct NetworkRoad {
    const char *profile;
    bool mobile;            // docks on RAPI_DESKTOP2 in the newer protocol
    const char *report;     // the Device Info box
    const char *announced;  // the call log's line for the docking
};

const NetworkRoad kNetworkRoads[] = {
    {"pocketpc", false, "Processor: 2577, Platform: 5, Major: 3, Minor: 0, Platform ID: Pocket_PC",
     "link: device announced"},
    {"wm5ppc", true, "Processor: 2577, Platform: 5, Major: 5, Minor: 1, Platform ID: Pocket_PC",
     "Windows Mobile device announced: \"Pocket_PC\" (PocketPC"},
    {"wm6ppc", true, "Processor: 2577, Platform: 5, Major: 5, Minor: 2, Platform ID: Pocket_PC",
     "Windows Mobile device announced: \"Pocket_PC\" (PocketPC"},
};

class SetupExeOverTcp : public ::testing::TestWithParam<NetworkRoad> {};

TEST_P(SetupExeOverTcp, DeviceInfoReaderBookToACardUpdateAndRemoval) {
    const NetworkRoad &road = GetParam();
    TestDevice device(road.profile);
    const std::wstring card = L"\\Storage Card\\My Documents\\Corvex Press\\";
    device.WriteFile(card + L"wsj.vbk", "older issue");
    device.WriteFile(card + L"wsj.vbk.ppd", "pages");
    device.WriteFile(card + L"wsj.vbks", "STATE---XXXXrest");
    const std::string desktop = "127.0.0.1:" + std::to_string(FreeLoopbackPort());
    const std::string desktop2 = "127.0.0.1:" + std::to_string(FreeLoopbackPort());
    const std::string docksAt = road.mobile ? desktop2 : desktop;
    const uint16_t rapi = device.ServeNetwork(docksAt, "127.0.0.1", TestDevice::Docking::kForgiving);
    ASSERT_NE(rapi, 0);
    SetEnvironmentVariableA("RAPI_DESKTOP", desktop.c_str());
    SetEnvironmentVariableA("RAPI_DESKTOP2", desktop2.c_str());
    if (!road.mobile) SetEnvironmentVariableA("RAPI_DEVICE_PORT", std::to_string(rapi).c_str());
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    const std::string callLog = std::string(temp) + "tesh_rapi_" + std::to_string(GetCurrentProcessId()) + ".log";
    DeleteFileA(callLog.c_str());
    SetEnvironmentVariableA("RAPI_LOG", callLog.c_str());
    SetupProcess setup;
    Books books;
    books.pair = "ppc300.arm";
    ASSERT_TRUE(books.WriteTo(setup.Folder()));

    bool installed = false, ranDuringUpdate = false;
    std::string report, reportAfterPull;
    const long exitCode = RunSetup(setup, [&] {
        // The device docks within its few seconds between attempts.
        HWND menu = robot::WaitForWindow(kCaptionSetup, "#32770", 30000);
        robot::Click(menu, IDC_OTHER_OPTIONS);
        HWND options = robot::WaitForWindow(kOtherOptionsCaption, "#32770", 30000);
        options = RunAction(options, IDC_DEVICE_INFO, [&] {
            report = robot::AnswerMessageBox(kCaptionDeviceInformation, IDOK, 30000);
        }, 30000);
        if (road.mobile) {
            // Pulled out: the next action waits for the device, which is
            // docked again while the connection dialog shows.
            device.Unplug();
            options = RunAction(options, IDC_DEVICE_INFO, [&] {
                HWND connect = robot::WaitForWindow("Establishing Connection", "#32770", 30000);
                EXPECT_NE(device.ServeNetwork(docksAt, "127.0.0.1", TestDevice::Docking::kForgiving), 0);
                EXPECT_TRUE(robot::WaitForWindowGone(connect, 30000));
                reportAfterPull = robot::AnswerMessageBox(kCaptionDeviceInformation, IDOK, 30000);
            }, 30000);
        }
        options = RunAction(options, IDC_INSTALL_READER, nullptr, 30000);
        installed = device.Exists(kReader);
        robot::Click(options, IDC_INSTALL_BOOK);
        InstallEveryBook("Storage Card");
        options = robot::WaitForWindow(kOtherOptionsCaption);
        ranDuringUpdate = device.IsRunning(kReader);
        options = RunAction(options, IDC_UPDATE_READER, nullptr, 30000);
        device.StartProgram(kReader);
        options = RunAction(options, IDC_REMOVE_READER, nullptr, 30000);
        EXPECT_TRUE(robot::StaysAbsent(kCaptionError, 200));
        robot::Click(options, IDCANCEL);
        menu = robot::WaitForWindow(kCaptionSetup);
        robot::Click(menu, IDCANCEL);
        robot::AnswerMessageBox(kCaptionSetup, IDYES);
    });
    for (const char *name : {"RAPI_DESKTOP", "RAPI_DESKTOP2", "RAPI_DEVICE_PORT", "RAPI_LOG"}) {
        SetEnvironmentVariableA(name, nullptr);
    }
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(report, road.report);
    EXPECT_EQ(reportAfterPull, road.mobile ? road.report : "");
    EXPECT_TRUE(installed);
    EXPECT_TRUE(ranDuringUpdate);
    ExpectBooksIn(device, card, books);
    EXPECT_FALSE(device.Exists(kReader));
    EXPECT_FALSE(device.IsRunning(kReader));
    EXPECT_FALSE(device.Exists(L"\\My Documents\\Corvex Press"));
    // Every call went over the network session, and the call log has them.
    size_t network = 0;
    for (const std::string &line : device.Log()) network += line.find("CeWriteFile") != std::string::npos;
    EXPECT_GT(network, 0u);
    const std::string calls = ReadCallLog(callLog);
    EXPECT_NE(calls.find(road.announced), std::string::npos) << calls.substr(0, 2000);
    EXPECT_NE(calls.find("CeSetFileTime("), std::string::npos);
    EXPECT_NE(calls.find("CeRapiInvoke(\"\\Program Files"), std::string::npos);
    EXPECT_NE(calls.find("CeGetDiskFreeSpaceEx("), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Roads, SetupExeOverTcp, ::testing::ValuesIn(kNetworkRoads),
                         [](const ::testing::TestParamInfo<NetworkRoad> &info) {
                             return std::string(info.param.profile);
                         });

}  // namespace
