// ANSI texts are code page 1252 here, where the trade mark sign is 0x99.
#include <gtest/gtest.h>

#include "shell/menus.h"
#include "base/setup_state.h"
#include "tests/support/robot.h"

namespace {

TEST(CodePage, IsWindows1252) { EXPECT_EQ(GetACP(), 1252u); }

TEST(CodePage, MainMenuCaptionHoldsTheTradeMarkByte) {
    g_setup.instance = GetModuleHandleA(nullptr);
    std::string caption;
    robot::RunWithRobot(ShowMainMenu, [&] {
        HWND menu = robot::WaitForWindow("Tesh\x99 Reader Setup");
        char text[64] = "";
        GetWindowTextA(menu, text, sizeof text);
        caption = text;
        robot::Click(menu, 1020);
    });
    EXPECT_EQ(caption, std::string("Tesh") + '\x99' + " Reader Setup");
}

}  // namespace
