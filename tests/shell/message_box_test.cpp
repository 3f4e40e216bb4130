// The program's shared message boxes, answered by the robot.
#include <gtest/gtest.h>

#include "resources/texts.h"
#include "shell/message_box.h"
#include "tests/support/robot.h"

namespace {

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
