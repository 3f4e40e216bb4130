// setup.exe against a docked simulated Handheld PC 2000: Device Info,
// Install Reader, Update Reader and Remove Reader from the Other Options
// menu, then the device image as the run left it.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "resources/resource_ids.h"
#include "resources/texts.h"
#include "tests/e2e/setup_process.h"
#include "tests/support/robot.h"
#include "tests/support/test_device.h"

namespace {

const DWORD kRunTimeoutMs = 60000;
const wchar_t kReader[] = L"\\Program Files\\Corvex Press\\Tesh Reader.exe";
const wchar_t kHelper[] = L"\\Program Files\\Corvex Press\\tarnlib.dll";
const wchar_t kProgramsLink[] = L"\\Windows\\Programs\\Tesh\u2122 Reader.lnk";
const wchar_t kDesktopLink[] = L"\\Windows\\Desktop\\Tesh\u2122 Reader.lnk";
const char kShortcutText[] = "45#\"\\Program Files\\Corvex Press\\Tesh Reader.exe\"";
// The variant pair of a MIPS Handheld PC 2000 (platform code 6).
const char kReaderContent[] = "CEAPP\tWINDOW\tREADER\tTesh\xe2\x84\xa2 Reader\r\nreader hpc300.mips\r\n";
const char kHelperContent[] = "CELIB\tEXPORTS\tCloseApp\r\nhelper hpc300.mips\r\n";

bool WriteHostFile(const std::string &path, const std::string &content) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == content.size();
}

size_t CountLog(const std::vector<std::string> &log, const std::string &part) {
    size_t count = 0;
    for (const std::string &line : log) count += line.find(part) != std::string::npos;
    return count;
}

TEST(SetupExeReader, DeviceInfoInstallUpdateAndRemove) {
    TestDevice device("hpc2000");
    device.MakeFolder(L"\\My Documents\\Corvex Press");
    device.WriteFile(L"\\My Documents\\Corvex Press\\book.vbk", "a book");
    device.Plug();
    SetupProcess setup;
    ASSERT_TRUE(WriteHostFile(setup.Folder() + "\\Tesh Reader.exe.hpc300.mips", kReaderContent));
    ASSERT_TRUE(WriteHostFile(setup.Folder() + "\\tarnlib.dll.hpc300.mips", kHelperContent));
    ASSERT_TRUE(setup.Start());

    std::string report, reportAfterPull;
    bool installed = false, desktopLink = false, programsLink = false;
    const long exitCode = robot::RunWithRobot(
        [&] { return static_cast<int>(setup.WaitForExit(kRunTimeoutMs)); },
        [&] {
            HWND menu = robot::WaitForWindow(kCaptionSetup);
            robot::Click(menu, IDC_OTHER_OPTIONS);
            HWND options = robot::WaitForWindow(kOtherOptionsCaption);

            options = RunAction(options, IDC_DEVICE_INFO, [&] {
                robot::WaitForWindow(kCaptionDeviceInformation);
                EXPECT_TRUE(robot::StaysAbsent(kOtherOptionsCaption, 200));
                report = robot::AnswerMessageBox(kCaptionDeviceInformation, IDOK);
            });

            // Pulled out and docked again: the next Device Info shows the
            // connection dialog, with no box before it, and the device's
            // true values once it is docked.
            device.Unplug();
            options = RunAction(options, IDC_DEVICE_INFO, [&] {
                HWND connect = robot::WaitForWindow("Establishing Connection");
                EXPECT_TRUE(robot::StaysAbsent(kCaptionError, 100));
                device.Plug();
                EXPECT_TRUE(robot::WaitForWindowGone(connect, 10000));
                reportAfterPull = robot::AnswerMessageBox(kCaptionDeviceInformation, IDOK);
            });

            options = RunAction(options, IDC_INSTALL_READER);
            installed = device.ReadFile(kReader) == kReaderContent && device.ReadFile(kHelper) == kHelperContent;
            programsLink = device.ReadFile(kProgramsLink) == kShortcutText;
            desktopLink = device.ReadFile(kDesktopLink) == kShortcutText;

            // Update Reader on the same device: nothing to copy, the
            // shortcuts made again.
            device.WriteFile(kDesktopLink, "stale");
            options = RunAction(options, IDC_UPDATE_READER);
            EXPECT_EQ(device.ReadFile(kDesktopLink), kShortcutText);

            options = RunAction(options, IDC_REMOVE_READER);
            EXPECT_TRUE(robot::StaysAbsent(kCaptionError, 200));
            robot::Click(options, IDCANCEL);
            menu = robot::WaitForWindow(kCaptionSetup);
            robot::Click(menu, IDCANCEL);
            robot::AnswerMessageBox(kCaptionSetup, IDYES);
        },
        kRunTimeoutMs + 5000);
    EXPECT_EQ(exitCode, 0);

    EXPECT_EQ(report, "Processor: 4000, Platform: 6, Major: 3, Minor: 0, Platform ID: Handheld_PC");
    EXPECT_EQ(reportAfterPull, report);
    EXPECT_TRUE(installed);
    EXPECT_TRUE(programsLink);
    EXPECT_TRUE(desktopLink);
    // Removed again, and nothing else touched.
    for (const wchar_t *gone : {kReader, kHelper, kProgramsLink, kDesktopLink, L"\\Program Files\\Corvex Press"}) {
        EXPECT_FALSE(device.Exists(gone));
    }
    EXPECT_TRUE(device.Exists(L"\\Program Files"));
    EXPECT_EQ(device.ReadFile(L"\\My Documents\\Corvex Press\\book.vbk"), "a book");
    // One connection before the pull and one after, for the rest of the
    // run; one copy of each file.
    const std::vector<std::string> log = device.Log();
    EXPECT_EQ(CountLog(log, "CeRapiInit "), 2u);
    EXPECT_EQ(CountLog(log, "write create-always"), 2u);
}

// A rapi.dll planted beside setup.exe, and one in the current directory,
// are never loaded: the device is reached through the system's.
TEST(SetupExeReader, PlantedRapiDllsAreNotLoaded) {
    TestDevice device("hpc2000");
    device.Plug();
    SetupProcess setup;
    const std::string work = setup.Folder() + "\\work";
    ASSERT_TRUE(CreateDirectoryA(work.c_str(), nullptr));
    ASSERT_TRUE(setup.AddFromTestFolder("planted\\rapi.dll", "rapi.dll"));
    ASSERT_TRUE(setup.AddFromTestFolder("planted\\rapi.dll", "work\\rapi.dll"));
    ASSERT_TRUE(setup.Start("", work));

    std::string report;
    const long exitCode = robot::RunWithRobot(
        [&] { return static_cast<int>(setup.WaitForExit(kRunTimeoutMs)); },
        [&] {
            HWND menu = robot::WaitForWindow(kCaptionSetup);
            robot::Click(menu, IDC_OTHER_OPTIONS);
            HWND options = robot::WaitForWindow(kOtherOptionsCaption);
            options = RunAction(options, IDC_DEVICE_INFO,
                                [&] { report = robot::AnswerMessageBox(kCaptionDeviceInformation, IDOK); });
            robot::Click(options, IDCANCEL);
            robot::Click(robot::WaitForWindow(kCaptionSetup), IDCANCEL);
            robot::AnswerMessageBox(kCaptionSetup, IDYES);
        },
        kRunTimeoutMs + 5000);
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(report, "Processor: 4000, Platform: 6, Major: 3, Minor: 0, Platform ID: Handheld_PC");
    for (const std::string &mark : {setup.Folder() + "\\rapi.dll.loaded", work + "\\rapi.dll.loaded"}) {
        EXPECT_EQ(GetFileAttributesA(mark.c_str()), INVALID_FILE_ATTRIBUTES) << mark;
    }
}

}  // namespace
