// The progress window: its arithmetic, its lines, a fresh window on every
// show, and that the user cannot close it.
#include <gtest/gtest.h>

#include "progress_recorder.h"
#include "resources/resource_ids.h"

namespace {

struct PositionCase {
    DWORD total;
    DWORD done;
    WORD position;
};

// The quotient is taken first, so 29 of 100 is 28.999... and truncates to 28.
const PositionCase kPositions[] = {
    {100, 29, 28},  {3, 1, 33},          {3, 2, 66},       {7, 7, 100},        {0, 0, 0},
    {0, 5, 0},      {40000, 16384, 40},  {40000, 32768, 81}, {40000, 40000, 100}, {16384, 0, 0},
    {0xFFFFFFFF, 0xFFFFFFFF, 100},       {0xFFFFFFFF, 1, 0}, {200, 1, 0},        {200, 3, 1},
    // More done than the total (a file grown during its copy): the low 16
    // bits of the product, as the bar is sent them.
    {100, 200, 200}, {1, 0xFFFFFFFF, 65436},
};

TEST(ProgressPosition, Table) {
    for (const PositionCase &c : kPositions) {
        EXPECT_EQ(ProgressPosition(c.total, c.done), c.position) << c.done << " of " << c.total;
    }
}

class ProgressWindowTest : public ::testing::Test {
protected:
    void SetUp() override { PrepareForDialogs(); }
    void TearDown() override { HideProgressWindow(); }
};

TEST_F(ProgressWindowTest, ShowsVisibleWindowWithEmptyLinesAndBar) {
    ShowProgressWindow();
    ASSERT_TRUE(IsWindow(g_setup.progressWindow));
    EXPECT_TRUE(IsWindowVisible(g_setup.progressWindow));
    EXPECT_EQ(GetParent(g_setup.progressWindow), nullptr);
    EXPECT_EQ(GetWindow(g_setup.progressWindow, GW_OWNER), nullptr);
    char caption[64] = "";
    GetWindowTextA(g_setup.progressWindow, caption, sizeof caption);
    EXPECT_STREQ(caption, "Tesh\x99 Reader Setup");
    const int kLineIds[] = {IDC_PROGRESS_LINE1, IDC_PROGRESS_LINE2, IDC_PROGRESS_LINE3, IDC_PROGRESS_LINE4};
    for (int line = 1; line <= 4; ++line) {
        EXPECT_EQ(GetDlgCtrlID(g_setup.progressLine[line - 1]), kLineIds[line - 1]);
        EXPECT_EQ(LineText(line), "") << "line " << line;
    }
    EXPECT_EQ(GetDlgCtrlID(g_setup.progressBar), IDC_PROGRESS_BAR);
    EXPECT_EQ(BarPosition(), 0);
}

TEST_F(ProgressWindowTest, LinesAreWrittenTopToBottom) {
    ShowProgressWindow();
    SetProgressLine(1, "one");
    SetProgressLine(2, "two");
    SetProgressLine(3, "three");
    SetProgressLine(4, "four \x99");
    char text[32] = "";
    GetDlgItemTextA(g_setup.progressWindow, IDC_PROGRESS_LINE1, text, sizeof text);
    EXPECT_STREQ(text, "one");
    GetDlgItemTextA(g_setup.progressWindow, IDC_PROGRESS_LINE3, text, sizeof text);
    EXPECT_STREQ(text, "three");
    GetDlgItemTextA(g_setup.progressWindow, IDC_PROGRESS_LINE4, text, sizeof text);
    EXPECT_STREQ(text, "four \x99");
    SetProgressLine(2, "");
    EXPECT_EQ(LineText(2), "");
    // Lines outside 1..4 do not exist; writing them changes nothing.
    SetProgressLine(0, "zero");
    SetProgressLine(5, "five");
    EXPECT_EQ(LineText(1), "one");
    EXPECT_EQ(LineText(4), "four \x99");
}

TEST_F(ProgressWindowTest, UpdateMovesTheBar) {
    ShowProgressWindow();
    UpdateProgressBar(100, 29);
    EXPECT_EQ(BarPosition(), 28);
    UpdateProgressBar(3, 2);
    EXPECT_EQ(BarPosition(), 66);
    UpdateProgressBar(0, 0);
    EXPECT_EQ(BarPosition(), 0);
}

TEST_F(ProgressWindowTest, EveryShowMakesAFreshWindowAndDropsTheHiddenOne) {
    ShowProgressWindow();
    HWND first = g_setup.progressWindow;
    SetProgressLine(1, "Copying from host file");
    SetProgressLine(4, "\\half.vbk");
    UpdateProgressBar(100, 50);
    HideProgressWindow();
    EXPECT_TRUE(IsWindow(first));
    EXPECT_FALSE(IsWindowVisible(first));

    ShowProgressWindow();
    HWND second = g_setup.progressWindow;
    EXPECT_NE(second, first);
    EXPECT_FALSE(IsWindow(first));
    EXPECT_TRUE(IsWindowVisible(second));
    EXPECT_EQ(GetParent(g_setup.progressBar), second);
    for (int line = 1; line <= 4; ++line) EXPECT_EQ(LineText(line), "") << "line " << line;
    EXPECT_EQ(BarPosition(), 0);
}

TEST_F(ProgressWindowTest, HasNoCloseBoxAndIgnoresCommands) {
    ShowProgressWindow();
    HWND window = g_setup.progressWindow;
    LONG style = GetWindowLongA(window, GWL_STYLE);
    EXPECT_FALSE(style & WS_SYSMENU);
    EXPECT_TRUE(style & WS_CAPTION);
    EXPECT_EQ(FindWindowExA(window, nullptr, "Button", nullptr), nullptr);

    PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    PostMessageA(window, WM_CLOSE, 0, 0);
    PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    PumpMessages();
    SendMessageA(window, WM_KEYDOWN, VK_ESCAPE, 0);
    PumpMessages();
    EXPECT_TRUE(IsWindow(window));
    EXPECT_TRUE(IsWindowVisible(window));
    EXPECT_EQ(g_setup.progressWindow, window);
}

}  // namespace
