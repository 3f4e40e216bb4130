// The main menu, the Other Options menu and the program's run from start to
// end, in this process, with the robot playing the user.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "device/connection.h"
#include "device/identification.h"
#include "resources/resource_ids.h"
#include "resources/texts.h"
#include "shell/menus.h"
#include "shell/setup_main.h"
#include "base/setup_state.h"
#include "tests/support/robot.h"
#include "tests/support/test_device.h"

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

// Refuses, on this thread, the creation of top-level windows with the
// given caption, so that a dialog with that caption cannot be shown.
class RefuseWindow {
public:
    explicit RefuseWindow(const char *caption) {
        Caption() = caption;
        hook_ = SetWindowsHookExA(WH_CBT, Proc, nullptr, GetCurrentThreadId());
    }
    ~RefuseWindow() { UnhookWindowsHookEx(hook_); }

private:
    static std::string &Caption() {
        static std::string caption;
        return caption;
    }
    static LRESULT CALLBACK Proc(int code, WPARAM wParam, LPARAM lParam) {
        if (code == HCBT_CREATEWND) {
            const CREATESTRUCTA *create = reinterpret_cast<CBT_CREATEWNDA *>(lParam)->lpcs;
            if (!create->hwndParent && create->lpszName && !IS_INTRESOURCE(create->lpszName) &&
                Caption() == create->lpszName) {
                return 1;
            }
        }
        return CallNextHookEx(nullptr, code, wParam, lParam);
    }
    HHOOK hook_;
};

// A menu that cannot be shown (DialogBoxParamA gives -1) ends the program,
// after Disconnect, instead of trying again and again with nothing on
// screen; from the Other Options menu as well, without the main menu.
TEST_F(Menus, AMenuThatCannotBeShownEndsTheProgramAfterDisconnect) {
    TestDevice device;
    device.Plug();
    const struct {
        const char *refused;
        std::function<void()> script;
    } cases[] = {
        {kCaptionSetup, [] { EXPECT_TRUE(robot::StaysAbsent(kCaptionSetup, 300)); }},
        {kOtherOptionsCaption,
         [] {
             HWND menu = robot::WaitForWindow(kCaptionSetup);
             robot::Click(menu, IDC_OTHER_OPTIONS);
             // The menu takes a moment to close after the click; what must
             // not happen is that it opens again.
             ASSERT_TRUE(robot::WaitForWindowGone(menu));
             EXPECT_TRUE(robot::StaysAbsent(kCaptionSetup, kNothingElseMs)) << "the main menu came back";
         }},
    };
    for (const auto &c : cases) {
        g_setup.instance = GetModuleHandleA(nullptr);
        g_setup.connected = 0;
        ASSERT_EQ(robot::RunWithRobot(EnsureDeviceReady, [] {}), 1);
        RefuseWindow refuse(c.refused);
        int exitCode = robot::RunWithRobot(
            [] { return SetupMain(GetModuleHandleA(nullptr), nullptr, nullptr, SW_SHOWNORMAL); }, c.script, 20000);
        EXPECT_EQ(exitCode, 0) << c.refused;
        EXPECT_EQ(g_setup.connected, 0) << c.refused;
        EXPECT_EQ(QueryDeviceMajorVersion(), 0) << c.refused << ": the connection was left open";
    }
}

// A folder in the temporary folder, and in it folders whose full paths
// have exactly the lengths asked for.
class LongFolders {
public:
    LongFolders() {
        char temp[MAX_PATH] = "";
        GetTempPathA(sizeof temp, temp);
        base_ = std::string(temp) + "tesh-start-" + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(base_.c_str(), nullptr);
    }
    ~LongFolders() {
        for (const std::string &folder : made_) RemoveDirectoryA(folder.c_str());
        RemoveDirectoryA(base_.c_str());
    }
    std::string Make(size_t length) {
        std::string folder = base_ + "\\" + std::string(length - base_.size() - 1, 's');
        CreateDirectoryA(folder.c_str(), nullptr);
        made_.push_back(folder);
        return folder;
    }

private:
    std::string base_;
    std::vector<std::string> made_;
};

// The start folder is kept whole up to the longest current directory the
// system gives; one that does not fit is reported, and the program ends.
TEST_F(Menus, TheStartFolderIsKeptWholeOrTheProgramEnds) {
    char previous[MAX_PATH] = "";
    GetCurrentDirectoryA(sizeof previous, previous);
    LongFolders folders;
    for (size_t length : {255, 256, 259, 260}) {
        const std::string folder = folders.Make(length);
        if (!SetCurrentDirectoryA(folder.c_str())) {
            // A system that refuses such a current directory has none to report.
            EXPECT_GE(length, 260u) << GetLastError();
            continue;
        }
        const bool fits = length < MAX_PATH;
        std::string shown;
        int exitCode = robot::RunWithRobot(
            [] { return SetupMain(GetModuleHandleA(nullptr), nullptr, nullptr, SW_SHOWNORMAL); }, [&] {
                if (fits) {
                    robot::Click(robot::WaitForWindow(kCaptionSetup), IDCANCEL);
                    robot::AnswerMessageBox(kCaptionSetup, IDYES);
                } else {
                    shown = robot::AnswerMessageBox(kCaptionError, IDOK);
                    EXPECT_TRUE(robot::StaysAbsent(kCaptionSetup, 300)) << length;
                }
            });
        SetCurrentDirectoryA(previous);
        EXPECT_EQ(exitCode, 0) << length;
        if (fits) {
            EXPECT_EQ(g_setup.setupFolder, folder) << length;
            EXPECT_EQ(g_setup.bookFolder, folder) << length;
        } else {
            char expected[512] = "";
            FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           ERROR_FILENAME_EXCED_RANGE, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), expected,
                           sizeof expected, nullptr);
            EXPECT_EQ(shown, expected) << length;
        }
    }
}

}  // namespace
