// setup.exe itself, started from a setup folder of its own and driven
// through its menus by the robot from this process.
#include <gtest/gtest.h>

#include "resources/resource_ids.h"
#include "resources/texts.h"
#include "tests/e2e/setup_process.h"
#include "tests/support/robot.h"

namespace {

const DWORD kExitTimeoutMs = 30000;

// Whatever happens in the script, the program is made to end so the test
// can read its exit code.
long RunSetup(SetupProcess &setup, const std::string &arguments, const std::function<void()> &script) {
    if (!setup.Start(arguments)) {
        ADD_FAILURE() << "cannot start setup.exe: " << GetLastError();
        return -1;
    }
    return robot::RunWithRobot([&] { return static_cast<int>(setup.WaitForExit(kExitTimeoutMs)); }, script,
                               kExitTimeoutMs + 5000);
}

// Command-line text is ignored: the program runs as without it.
TEST(SetupExe, MenusRoundTripAndExitWithZero) {
    SetupProcess setup;
    long exitCode = RunSetup(setup, "/s /uninstall --profile hpc2000 \"C:\\no such folder\"", [] {
        HWND menu = robot::WaitForWindow(kCaptionSetup);
        EXPECT_EQ(robot::FocusOf(menu), GetDlgItem(menu, IDC_INSTALL_BOOK));

        // Other Options, and back by each of its ways out.
        robot::Click(menu, IDC_OTHER_OPTIONS);
        HWND options = robot::WaitForWindow("Other Options");
        robot::CloseBox(options);
        menu = robot::WaitForWindow(kCaptionSetup);
        robot::Click(menu, IDC_OTHER_OPTIONS);
        options = robot::WaitForWindow("Other Options");
        if (robot::WaitForForeground(options)) robot::PressKey(VK_ESCAPE);
        menu = robot::WaitForWindow(kCaptionSetup);

        // Exit answered No keeps the menu; Yes ends the program.
        robot::Click(menu, IDCANCEL);
        EXPECT_EQ(robot::AnswerMessageBox(kCaptionSetup, IDNO), kTextAbortQuestion);
        EXPECT_TRUE(IsWindowVisible(menu));
        robot::Click(menu, IDCANCEL);
        robot::AnswerMessageBox(kCaptionSetup, IDYES);
    });
    EXPECT_EQ(exitCode, 0);
}

}  // namespace
