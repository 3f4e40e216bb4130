// The program's shared message boxes, answered by the robot.
#include <gtest/gtest.h>

#include "resources/texts.h"
#include "shell/message_box.h"
#include "tests/support/robot.h"

namespace {

TEST(ConfirmAbort, OnlyYesConfirms) {
    const struct {
        int answer;
        bool confirmed;
    } cases[] = {{IDYES, true}, {IDNO, false}};
    for (const auto &c : cases) {
        std::string text;
        int confirmed = robot::RunWithRobot([] { return ConfirmAbort() ? 1 : 0; },
                                            [&] { text = robot::AnswerMessageBox(kCaptionSetup, c.answer); });
        EXPECT_EQ(confirmed, c.confirmed ? 1 : 0) << "answer " << c.answer;
        EXPECT_EQ(text, kTextAbortQuestion);
    }
}

TEST(ShowSystemErrorBox, ShowsTheSystemTextUnderError) {
    std::string text;
    robot::RunWithRobot([] { ShowSystemErrorBox(ERROR_FILE_NOT_FOUND); return 0; },
                        [&] { text = robot::AnswerMessageBox(kCaptionError, IDOK); });
    char expected[512] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, ERROR_FILE_NOT_FOUND,
                   MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), expected, sizeof expected, nullptr);
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text + "", std::string(expected).substr(0, text.size()));
}

}  // namespace
