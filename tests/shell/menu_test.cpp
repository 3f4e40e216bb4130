// The main menu, the Other Options menu and the program's run from start to
// end, in this process, with the robot playing the user.
#include <gtest/gtest.h>

#include "resources/resource_ids.h"
#include "resources/texts.h"
#include "shell/menus.h"
#include "shell/setup_main.h"
#include "shell/setup_state.h"
#include "tests/support/robot.h"

namespace {

const char kOtherOptionsCaption[] = "Other Options";
// Long enough for a box that would follow a click to show up.
const DWORD kNothingElseMs = 700;

class Menus : public ::testing::Test {
protected:
    void SetUp() override {
        // The dialog templates are linked into this test program.
        g_setup.instance = GetModuleHandleA(nullptr);
    }
};

TEST_F(Menus, MainMenuButtonsEndItWithTheirIdentifier) {
    for (int button : {IDC_INSTALL_BOOK, IDC_OTHER_OPTIONS}) {
        int result = robot::RunWithRobot(ShowMainMenu, [&] {
            HWND menu = robot::WaitForWindow(kCaptionSetup);
            robot::Click(menu, button);
        });
        EXPECT_EQ(result, button);
    }
}

TEST_F(Menus, MainMenuStartsWithTheFocusOnInstallBook) {
    robot::RunWithRobot(ShowMainMenu, [] {
        HWND menu = robot::WaitForWindow(kCaptionSetup);
        EXPECT_EQ(robot::FocusOf(menu), GetDlgItem(menu, IDC_INSTALL_BOOK));
        robot::Click(menu, IDC_INSTALL_BOOK);
    });
}

TEST_F(Menus, ExitAnsweredNoKeepsTheMainMenuAndYesLeavesIt) {
    int result = robot::RunWithRobot(ShowMainMenu, [] {
        HWND menu = robot::WaitForWindow(kCaptionSetup);
        robot::Click(menu, IDCANCEL);
        EXPECT_EQ(robot::AnswerMessageBox(kCaptionSetup, IDNO), kTextAbortQuestion);
        // The same menu stays, and no other box follows.
        Sleep(kNothingElseMs);
        EXPECT_TRUE(IsWindow(menu) && IsWindowVisible(menu));
        EXPECT_EQ(robot::WaitForWindow(kCaptionSetup), menu);
        robot::Click(menu, IDCANCEL);
        EXPECT_EQ(robot::AnswerMessageBox(kCaptionSetup, IDYES), kTextAbortQuestion);
    });
    EXPECT_EQ(result, 0);
}

TEST_F(Menus, EscapeOnTheMainMenuAsksTheAbortQuestion) {
    int result = robot::RunWithRobot(ShowMainMenu, [] {
        HWND menu = robot::WaitForWindow(kCaptionSetup);
        if (!robot::WaitForForeground(menu)) return;
        robot::PressKey(VK_ESCAPE);
        EXPECT_EQ(robot::AnswerMessageBox(kCaptionSetup, IDNO), kTextAbortQuestion);
        EXPECT_TRUE(IsWindowVisible(menu));
        if (!robot::WaitForForeground(menu)) return;
        robot::PressKey(VK_ESCAPE);
        robot::AnswerMessageBox(kCaptionSetup, IDYES);
    });
    EXPECT_EQ(result, 0);
}

TEST_F(Menus, OtherOptionsActionButtonsEndItWithTheirIdentifier) {
    for (int button : {IDC_INSTALL_BOOK, IDC_INSTALL_READER, IDC_UPDATE_READER, IDC_REMOVE_READER,
                       IDC_DEVICE_INFO, IDC_SETUP_INFO}) {
        int result = robot::RunWithRobot(ShowOtherOptions, [&] {
            robot::Click(robot::WaitForWindow(kOtherOptionsCaption), button);
        });
        EXPECT_EQ(result, button);
    }
}

TEST_F(Menus, OtherOptionsStartsWithTheFocusOnBack) {
    robot::RunWithRobot(ShowOtherOptions, [] {
        HWND menu = robot::WaitForWindow(kOtherOptionsCaption);
        EXPECT_EQ(robot::FocusOf(menu), GetDlgItem(menu, IDCANCEL));
        robot::Click(menu, IDCANCEL);
    });
}

// Back, the Escape key and the close box all leave without a question.
TEST_F(Menus, OtherOptionsLeavesWithoutAQuestion) {
    const struct {
        const char *way;
        void (*leave)(HWND menu);
    } ways[] = {
        {"Back", [](HWND menu) { robot::Click(menu, IDCANCEL); }},
        {"Escape",
         [](HWND menu) {
             if (robot::WaitForForeground(menu)) robot::PressKey(VK_ESCAPE);
         }},
        {"close box", [](HWND menu) { robot::CloseBox(menu); }},
    };
    for (const auto &way : ways) {
        int result = robot::RunWithRobot(ShowOtherOptions, [&] {
            HWND menu = robot::WaitForWindow(kOtherOptionsCaption);
            way.leave(menu);
            EXPECT_TRUE(robot::WaitForWindowGone(menu, 5000)) << way.way;
        });
        EXPECT_EQ(result, 0) << way.way;
        EXPECT_TRUE(robot::StaysAbsent(kCaptionSetup, kNothingElseMs)) << way.way;
    }
}

// A whole run: both menus, Setup Info, and Exit; no device is ever needed,
// so Disconnect at the end has nothing to do.
TEST_F(Menus, SetupMainRunsTheMenusAndEndsWithZero) {
    g_setup.connected = 0;
    std::string versionText;
    int exitCode = robot::RunWithRobot(
        [] {
            // Any command-line text and show command are ignored.
            char commandLine[] = "/uninstall --profile hpc2000 x";
            return SetupMain(GetModuleHandleA(nullptr), nullptr, commandLine, SW_HIDE);
        },
        [&] {
            HWND menu = robot::WaitForWindow(kCaptionSetup);
            robot::Click(menu, IDC_OTHER_OPTIONS);
            HWND options = robot::WaitForWindow(kOtherOptionsCaption);
            robot::Click(options, IDC_SETUP_INFO);
            // While the box is up, no menu is on screen.
            robot::WaitForWindow(kCaptionSetupInfoButton);
            EXPECT_TRUE(robot::StaysAbsent(kOtherOptionsCaption, 300));
            versionText = robot::AnswerMessageBox(kCaptionSetupInfoButton, IDOK);
            options = robot::WaitForWindow(kOtherOptionsCaption);
            robot::Click(options, IDCANCEL);
            menu = robot::WaitForWindow(kCaptionSetup);
            robot::Click(menu, IDCANCEL);
            robot::AnswerMessageBox(kCaptionSetup, IDYES);
        });
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(versionText, "Tesh\x99 Reader Setup Version 1.1");
    EXPECT_EQ(g_setup.connected, 0);

    char currentFolder[kPathChars] = "";
    GetCurrentDirectoryA(kPathChars, currentFolder);
    EXPECT_STREQ(g_setup.setupFolder, currentFolder);
    EXPECT_STREQ(g_setup.bookFolder, currentFolder);
}

}  // namespace
