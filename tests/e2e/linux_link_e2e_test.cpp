// The user's part of tests/scripts/linux_link.sh: setup.exe was started by
// the Linux launcher (--serial, or --usb), in a network namespace of the
// script's own. The script and this robot take turns through files in
// TESH_LINK_DIR (a Windows path): the script says when the simulated
// device has docked, before any action, and the robot's first action
// takes it; later the script takes the link down and back up (a re-seat,
// or a re-plug of the USB cable), and the device docks anew.
// Without TESH_LINK_DIR (any other run) there is nothing to drive. The
// Debian package's run is driven the same way, by TESH_PACKAGE_BOOKS.
#include <gtest/gtest.h>

#include <windows.h>
#include <stdlib.h>
#include <string.h>
#include <tlhelp32.h>

#include <string>

#include "resources/resource_ids.h"
#include "resources/texts.h"
#include "tests/e2e/setup_process.h"
#include "tests/support/robot.h"

namespace {

const DWORD kStartMs = 90000;  // setup.exe's first start in a fresh wineserver
const DWORD kLinkMs = 60000;

std::string LinkFile(const char *name) { return std::string(getenv("TESH_LINK_DIR")) + "\\" + name; }

void Say(const char *name) {
    HANDLE file = CreateFileA(LinkFile(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE) << name;
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

bool Heard(const char *name, DWORD timeoutMs) {
    for (DWORD start = GetTickCount(); GetTickCount() - start < timeoutMs; Sleep(100)) {
        if (GetFileAttributesA(LinkFile(name).c_str()) != INVALID_FILE_ATTRIBUTES) return true;
    }
    return false;
}

// setup.exe, which the launcher started: its process id once it runs.
DWORD SetupProcessId(DWORD timeoutMs) {
    for (DWORD start = GetTickCount(); GetTickCount() - start < timeoutMs; Sleep(200)) {
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        PROCESSENTRY32 entry = {};
        entry.dwSize = sizeof entry;
        DWORD found = 0;
        for (BOOL more = Process32First(snapshot, &entry); more && !found; more = Process32Next(snapshot, &entry)) {
            if (_stricmp(entry.szExeFile, "setup.exe") == 0) found = entry.th32ProcessID;
        }
        CloseHandle(snapshot);
        if (found) return found;
    }
    return 0;
}

// Device Info; the report it shows. The device docked before the action:
// no window waits for it.
std::string DeviceInfo(HWND *options) {
    std::string report;
    *options = RunAction(
        *options, IDC_DEVICE_INFO,
        [&] { report = robot::AnswerMessageBox(kCaptionDeviceInformation, IDOK, kLinkMs); }, kLinkMs);
    return report;
}

// Install Book of every book beside setup.exe, to the storage card.
void InstallBooks(HWND *options) {
    *options = RunAction(
        *options, IDC_INSTALL_BOOK,
        [&] {
            HWND page = robot::WaitForWindow("Select Books to Install", "#32770", kLinkMs);
            robot::Click(page, IDC_SELECT_ALL);
            robot::Click(page, IDC_NEXT);
            HWND storage = robot::WaitForWindow("Select Storage Location", "#32770", kLinkMs);
            HWND list = GetDlgItem(storage, IDC_LIST);
            SendMessageA(list, LB_SETCURSEL,
                         SendMessageA(list, LB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                      reinterpret_cast<LPARAM>("Storage Card")),
                         0);
            robot::Click(storage, IDC_NEXT);
            HWND done = robot::WaitForWindow("Book Install Complete!", "#32770", kLinkMs);
            robot::Click(done, IDC_NEXT);
        },
        kLinkMs);
}

// setup.exe, started by the launcher, adopted, and its Other Options menu
// opened; null when it did not come.
HWND OpenOtherOptions() {
    const DWORD setup = SetupProcessId(kStartMs);
    EXPECT_NE(setup, 0u) << "setup.exe did not start";
    if (!setup) return nullptr;
    robot::Adopt(setup);
    HWND menu = robot::WaitForWindow(kCaptionSetup, "#32770", kStartMs);
    EXPECT_NE(menu, nullptr) << "no main menu";
    if (!menu) return nullptr;
    robot::Click(menu, IDC_OTHER_OPTIONS);
    return robot::WaitForWindow(kOtherOptionsCaption);
}

// Once the script says that the device docked, the wizard's first action:
// Device Info from Other Options, its report; `*options` stays null when
// the device did not dock or the menu did not come.
std::string FirstDeviceInfo(HWND *options) {
    *options = nullptr;
    if (!Heard("device-docked", kStartMs)) return std::string();
    *options = OpenOtherOptions();
    if (!*options) return std::string();
    const std::string report = DeviceInfo(options);
    printf("first report: %s\n", report.c_str());
    return report;
}

TEST(LinuxLink, DeviceInfoDockedBeforeAnyActionAndAfterItCameBack) {
    if (!getenv("TESH_LINK_DIR")) GTEST_SKIP() << "driven by tests/scripts/linux_link.sh";
    HWND options = nullptr;
    const std::string first = FirstDeviceInfo(&options);
    ASSERT_NE(options, nullptr) << "the device did not dock, or no menu came";
    EXPECT_NE(first.find("Major: 3"), std::string::npos) << "not the simulated Pocket PC: " << first;
    Say("first-done");
    ASSERT_TRUE(Heard("link-back", kLinkMs)) << "the script did not bring the link back";
    const std::string second = DeviceInfo(&options);
    printf("after the link came back: %s\n", second.c_str());
    EXPECT_EQ(second, first);
    robot::Click(options, IDCANCEL);
    HWND menu = robot::WaitForWindow(kCaptionSetup);
    robot::Click(menu, IDCANCEL);
    robot::AnswerMessageBox(kCaptionSetup, IDYES);
}

// The USB cable of a Windows Mobile 5 device: Device Info and Install Book,
// a re-plug, Device Info again; the script then types Ctrl+C.
TEST(LinuxLink, UsbDeviceInfoInstallBookAndAfterARePlug) {
    if (!getenv("TESH_LINK_DIR")) GTEST_SKIP() << "driven by tests/scripts/linux_link.sh";
    HWND options = nullptr;
    const std::string first = FirstDeviceInfo(&options);
    ASSERT_NE(options, nullptr) << "the device did not dock, or no menu came";
    EXPECT_NE(first.find("Major: 5, Minor: 1"), std::string::npos) << "not the Windows Mobile 5 device: " << first;
    InstallBooks(&options);
    Say("first-done");
    ASSERT_TRUE(Heard("link-back", kLinkMs)) << "the script did not plug the device in again";
    const std::string second = DeviceInfo(&options);
    printf("after the re-plug: %s\n", second.c_str());
    EXPECT_EQ(second, first);
    Say("second-done");
}

// A list box's items, "|" between them, read from another process: Wine
// passes a list box's text between processes as UTF-16 only.
std::string ListedTitles(HWND list) {
    std::string listed;
    const LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
    for (LRESULT index = 0; index < count; ++index) {
        const LRESULT length = SendMessageW(list, LB_GETTEXTLEN, index, 0);
        if (length < 0) break;
        std::wstring wide(static_cast<size_t>(length) + 1, L'\0');
        wide.resize(static_cast<size_t>(SendMessageW(list, LB_GETTEXT, index, reinterpret_cast<LPARAM>(&wide[0]))));
        std::string title(wide.size() * 2 + 1, '\0');
        title.resize(static_cast<size_t>(WideCharToMultiByte(CP_ACP, 0, wide.c_str(), static_cast<int>(wide.size()),
                                                             &title[0], static_cast<int>(title.size()), nullptr,
                                                             nullptr)));
        listed += (index ? "|" : "") + title;
    }
    return listed;
}

// The user's part of tests/scripts/deb_install.sh: setup.exe, started by
// the installed package's tesh-reader-setup --folder DIR in a Debian system
// of its own, reaches the simulated device, docked over the network, and
// Install Book lists DIR's books (TESH_PACKAGE_BOOKS: their titles, "|"
// between them); Cancel on that page ends the wizard.
TEST(LinuxLink, InstalledPackageRunsOnTheNamedFolder) {
    const char *books = getenv("TESH_PACKAGE_BOOKS");
    if (!books) GTEST_SKIP() << "driven by tests/scripts/deb_install.sh";
    HWND options = OpenOtherOptions();
    ASSERT_NE(options, nullptr);
    const std::string report = DeviceInfo(&options);
    printf("Device Info: %s\n", report.c_str());
    EXPECT_NE(report.find("2577"), std::string::npos) << "not the simulated Pocket PC's processor: " << report;
    robot::Click(options, IDCANCEL);
    HWND menu = robot::WaitForWindow(kCaptionSetup);
    ASSERT_NE(menu, nullptr);
    robot::Click(menu, IDC_INSTALL_BOOK);
    HWND page = robot::WaitForWindow("Select Books to Install", "#32770", kLinkMs);
    ASSERT_NE(page, nullptr) << robot::DescribeScreen();
    EXPECT_EQ(ListedTitles(GetDlgItem(page, IDC_LIST)), books) << "the book page does not list the named folder's books";
    robot::Click(page, IDC_CANCEL);
    robot::AnswerMessageBox(kCaptionSetup, IDYES);
}

}  // namespace
