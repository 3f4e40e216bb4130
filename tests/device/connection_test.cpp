// Opening and closing the device connection against a simulated device
// served in this process, with the robot playing the user.
#include <gtest/gtest.h>

#include "device/connect_dialog.h"
#include "device/connection.h"
#include "device/identification.h"
#include "resources/resource_ids.h"
#include "resources/texts.h"
#include "shell/setup_main.h"
#include "shell/setup_state.h"
#include "tests/support/robot.h"
#include "tests/support/test_device.h"

namespace {

const char kConnectCaption[] = "Establishing Connection";
const char kWaitingText[] = "Waiting for a Windows CE device to connect...";
// The static text of the connection dialog has no identifier of its own.
const int kWaitingTextId = -1;

class Connection : public ::testing::Test {
protected:
    void SetUp() override {
        g_setup.instance = GetModuleHandleA(nullptr);
        g_setup.connected = 0;
        g_setup.PlatformCode = 0;
    }
    void TearDown() override { Disconnect(); }

    TestDevice device_{"pocketpc"};
};

// Log lines of the device that contain text, counted from line from on.
int CountLogLines(const TestDevice &device, const std::string &text, size_t from = 0) {
    const std::vector<std::string> log = device.Log();
    int count = 0;
    for (size_t i = from; i < log.size(); ++i) {
        if (log[i].find(text) != std::string::npos) ++count;
    }
    return count;
}

// EnsureDeviceReady where the device is expected to answer at once: a
// connection dialog or box is a failure, closed by the robot, not a hang.
int EnsureReadyWithoutDialog() {
    return robot::RunWithRobot(EnsureDeviceReady,
                               [] { EXPECT_TRUE(robot::StaysAbsent(kConnectCaption, 300)); }, 10000);
}

TEST_F(Connection, ADockedDeviceConnectsWithoutTheDialog) {
    device_.Plug();
    int result = robot::RunWithRobot(EnsureDeviceReady, [] {
        EXPECT_TRUE(robot::StaysAbsent(kConnectCaption, 1500));
        EXPECT_TRUE(robot::StaysAbsent(kCaptionDeviceInformation, 100));
    });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(g_setup.connected, 1);
    // A Pocket PC 3.0.
    EXPECT_EQ(g_setup.PlatformCode, 5);
    EXPECT_STREQ(g_setup.platformIdText, "Pocket_PC");
}

TEST_F(Connection, TheDialogWaitsUntilTheDeviceIsPluggedIn) {
    int result = robot::RunWithRobot(EnsureDeviceReady, [&] {
        HWND dialog = robot::WaitForWindow(kConnectCaption);
        EXPECT_EQ(robot::ControlText(dialog, kWaitingTextId), kWaitingText);
        EXPECT_EQ(robot::FocusOf(dialog), GetDlgItem(dialog, IDCANCEL));
        // It keeps waiting, with no time limit of its own.
        EXPECT_FALSE(robot::WaitForWindowGone(dialog, 2000));
        device_.Plug();
        EXPECT_TRUE(robot::WaitForWindowGone(dialog, 10000)) << robot::DescribeScreen();
        EXPECT_TRUE(robot::StaysAbsent(kCaptionDeviceInformation, 300));
    });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(g_setup.connected, 1);
    EXPECT_EQ(g_setup.PlatformCode, 5);
}

TEST_F(Connection, CancelEndsTheDialogAtOnceAndTheErrorBoxFollows) {
    std::string errorText;
    int result = robot::RunWithRobot(EnsureDeviceReady, [&] {
        HWND dialog = robot::WaitForWindow(kConnectCaption);
        robot::Click(dialog, IDCANCEL);
        EXPECT_TRUE(robot::WaitForWindowGone(dialog, 2000));
        errorText = robot::AnswerMessageBox(kCaptionDeviceInformation, IDOK);
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(g_setup.connected, 0);
    EXPECT_EQ(errorText, kTextNoConnection);
}

// Escape and the close box cancel as the button does.
TEST_F(Connection, EscapeAndTheCloseBoxCancelTheDialog) {
    const struct {
        const char *way;
        void (*cancel)(HWND dialog);
    } ways[] = {
        {"Escape",
         [](HWND dialog) {
             if (robot::WaitForForeground(dialog)) robot::PressKey(VK_ESCAPE);
         }},
        {"close box", [](HWND dialog) { robot::CloseBox(dialog); }},
    };
    for (const auto &way : ways) {
        int result = robot::RunWithRobot(ShowConnectDialog, [&] {
            HWND dialog = robot::WaitForWindow(kConnectCaption);
            way.cancel(dialog);
            EXPECT_TRUE(robot::WaitForWindowGone(dialog, 2000)) << way.way;
        });
        EXPECT_EQ(result, 0) << way.way;
    }
}

TEST_F(Connection, ARefusedStartUpShowsFailureAndTheDialogStaysUntilCancel) {
    device_.SetFault("refuse_startup", "1");
    device_.Plug();
    std::string failureText;
    int result = robot::RunWithRobot(ShowConnectDialog, [&] {
        HWND dialog = robot::WaitForWindow(kConnectCaption);
        failureText = robot::AnswerMessageBox(kCaptionDebug, IDOK);
        // Still there, still waiting in looks.
        EXPECT_FALSE(robot::WaitForWindowGone(dialog, 1000));
        EXPECT_EQ(robot::ControlText(dialog, kWaitingTextId), kWaitingText);
        EXPECT_TRUE(robot::StaysAbsent(kCaptionDebug, 500));
        robot::Click(dialog, IDCANCEL);
        EXPECT_TRUE(robot::WaitForWindowGone(dialog, 2000));
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(failureText, kTextConnectFailure);
}

// Once connected, later calls do not connect again, but classify the
// device afresh each time.
TEST_F(Connection, LaterCallsReclassifyWithoutReconnecting) {
    device_.Plug();
    ASSERT_EQ(EnsureReadyWithoutDialog(), 1);
    EXPECT_EQ(g_setup.PlatformCode, 5);
    const size_t logBefore = device_.Log().size();

    const struct {
        const char *origname;
        const char *version;
        WORD code;
    } changes[] = {
        {"Handheld_PC", "3.0", 6},
        {"Handheld_PC", "2.11", 3},
        {"Tesh-size_PC", "2.11", 4},
        {"Pocket_PC", "2.11", 5},
    };
    for (const auto &change : changes) {
        device_.SetFault("origname", change.origname);
        device_.SetFault("version", change.version);
        EXPECT_EQ(EnsureReadyWithoutDialog(), 1);
        EXPECT_EQ(g_setup.PlatformCode, change.code) << change.origname << " " << change.version;
        EXPECT_STREQ(g_setup.platformIdText, change.origname);
    }
    EXPECT_EQ(CountLogLines(device_, "RapiInit", logBefore), 0);
}

TEST_F(Connection, DisconnectIsHarmlessWithoutAConnectionAndWhenRepeated) {
    EXPECT_EQ(Disconnect(), 1);
    EXPECT_EQ(g_setup.connected, 0);
    device_.Plug();
    ASSERT_EQ(EnsureReadyWithoutDialog(), 1);
    EXPECT_EQ(Disconnect(), 1);
    EXPECT_EQ(g_setup.connected, 0);
    EXPECT_EQ(Disconnect(), 1);
    EXPECT_EQ(g_setup.connected, 0);
    // A new action connects afresh.
    EXPECT_EQ(EnsureReadyWithoutDialog(), 1);
}

// The program's end closes a connection an action opened.
TEST_F(Connection, LeavingTheProgramEndsTheConnection) {
    device_.Plug();
    ASSERT_EQ(EnsureReadyWithoutDialog(), 1);
    EXPECT_EQ(QueryDeviceMajorVersion(), 3);
    int exitCode = robot::RunWithRobot(
        [] { return SetupMain(GetModuleHandleA(nullptr), nullptr, nullptr, SW_SHOWNORMAL); },
        [] {
            robot::Click(robot::WaitForWindow(kCaptionSetup), IDCANCEL);
            robot::AnswerMessageBox(kCaptionSetup, IDYES);
        });
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(g_setup.connected, 0);
    // With the remote API stopped, device calls fail.
    EXPECT_EQ(QueryDeviceMajorVersion(), 0);
}

// After a Cancel, a device that turns up must not find a remote API session
// still trying to start: nothing is connected, and a later action connects
// as usual.
TEST_F(Connection, ACancelledAttemptLeavesNoSessionBehind) {
    int result = robot::RunWithRobot(ShowConnectDialog, [&] {
        HWND dialog = robot::WaitForWindow(kConnectCaption);
        robot::Click(dialog, IDCANCEL);
        EXPECT_TRUE(robot::WaitForWindowGone(dialog, 2000));
    });
    EXPECT_EQ(result, 0);
    const size_t logBefore = device_.Log().size();
    device_.Plug();
    Sleep(1500);
    EXPECT_EQ(CountLogLines(device_, "RapiInit", logBefore), 0) << "a session was started after Cancel";
    EXPECT_EQ(EnsureReadyWithoutDialog(), 1);
}

TEST_F(Connection, AQuickAttemptThatRunsOutStopsTheRemoteApi) {
    // No device: the quick attempt waits 250 ms, gives up, and stops the
    // remote API, so a device plugged in afterwards sees no session.
    const DWORD start = GetTickCount();
    EXPECT_LT(TryConnect(nullptr, 250), 0);
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 240u);
    EXPECT_LT(elapsed, 5000u);
    const size_t logBefore = device_.Log().size();
    device_.Plug();
    Sleep(1500);
    EXPECT_EQ(CountLogLines(device_, "RapiInit", logBefore), 0);
}

}  // namespace
