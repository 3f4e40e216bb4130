// The program's message boxes as the user sees them: caption, text, the
// buttons there are and the icon, answered by the robot.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "device/connect_dialog.h"
#include "device/connection.h"
#include "resources/texts.h"
#include "base/message_box.h"
#include "base/setup_state.h"
#include "tests/support/robot.h"
#include "tests/support/test_device.h"
#include "tests/support/test_values.h"

namespace {


struct BoxLook {
    std::string text;
    HICON icon = nullptr;  // the icon shown, nullptr for none
    std::vector<int> buttons;
};

// Looks at the message box with this caption (waiting for it to show).
BoxLook LookAtBox(const std::string &caption) {
    BoxLook look;
    HWND box = robot::WaitForWindow(caption);
    if (!box) return look;
    look.text = robot::ControlText(box, 65535);
    look.icon = robot::ShownIcon(box);
    for (int id : {IDOK, IDCANCEL, IDABORT, IDRETRY, IDIGNORE, IDYES, IDNO, IDTRYAGAIN, IDCONTINUE}) {
        HWND button = GetDlgItem(box, id);
        if (button && IsWindowVisible(button)) look.buttons.push_back(id);
    }
    return look;
}

HICON SystemIcon(LPCSTR name) { return name ? LoadIconA(nullptr, name) : nullptr; }

struct BoxCase {
    const char *what;
    std::function<int()> show;
    const char *caption;
    std::string text;
    LPCSTR icon;  // IDI_..., nullptr for no icon
    std::vector<int> buttons;
    int answer;
    int result;                         // what show returns after the answer
    std::function<void()> afterAnswer;  // what is left on screen to close
};

TEST(MessageBoxes, CaptionTextButtonsAndIcon) {
    // No device answers: the quick attempt runs out. A refusing one answers
    // the connection dialog's worker at once.
    TestDevice refusing;
    refusing.SetFault("refuse_startup", "1");
    const BoxCase cases[] = {
        {"system error", [] { ShowSystemErrorBox(ERROR_FILE_NOT_FOUND); return 0; }, kCaptionError,
         SystemText(ERROR_FILE_NOT_FOUND), IDI_WARNING, {IDOK}, IDOK, 0, nullptr},
        {"abort question, Yes", [] { return ConfirmAbort() ? 1 : 0; }, kCaptionSetup, kTextAbortQuestion,
         IDI_QUESTION, {IDYES, IDNO}, IDYES, 1, nullptr},
        {"abort question, No", [] { return ConfirmAbort() ? 1 : 0; }, kCaptionSetup, kTextAbortQuestion,
         IDI_QUESTION, {IDYES, IDNO}, IDNO, 0, nullptr},
        {"no connection",
         [] {
             // A module without the dialog templates: no connection dialog either.
             g_setup.instance = GetModuleHandleA("kernel32.dll");
             return EnsureDeviceReady();
         },
         kCaptionDeviceInformation, kTextNoConnection, IDI_ERROR, {IDOK}, IDOK, 0, nullptr},
        {"refused start-up",
         [&] {
             g_setup.instance = GetModuleHandleA(nullptr);
             refusing.Plug();
             return ShowConnectDialog();
         },
         kCaptionDebug, kTextConnectFailure, nullptr, {IDOK}, IDOK, 0,
         [] { robot::Click(robot::WaitForWindow("Establishing Connection"), IDCANCEL); }},
    };
    for (const BoxCase &c : cases) {
        g_setup.connected = 0;
        BoxLook look;
        int result = robot::RunWithRobot(c.show, [&] {
            look = LookAtBox(c.caption);
            robot::AnswerMessageBox(c.caption, c.answer);
            if (c.afterAnswer) c.afterAnswer();
        });
        EXPECT_EQ(look.text, c.text) << c.what;
        EXPECT_EQ(look.icon, SystemIcon(c.icon)) << c.what;
        EXPECT_EQ(look.buttons, c.buttons) << c.what;
        EXPECT_EQ(result, c.result) << c.what;
    }
}

}  // namespace
