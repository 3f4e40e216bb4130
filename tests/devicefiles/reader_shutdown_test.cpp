// Asking a running reader on the simulated device to close through the
// helper library's "CloseApp".
#include <gtest/gtest.h>

#include <string>

#include "device_fixture.h"
#include "devicefiles/reader_shutdown.h"
#include "resources/texts.h"
#include "tests/support/robot.h"

namespace {

const wchar_t kReaderProgram[] = L"\\Program Files\\Corvex Press\\Tesh Reader.exe";

std::string Utf8(const std::wstring &text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string result(size > 0 ? size - 1 : 0, '\0');
    if (size > 1) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &result[0], size, nullptr, nullptr);
    return result;
}

// The simulated device knows libraries and programs by their first line.
std::string HelperLibraryText() { return "CELIB\tEXPORTS\tCloseApp\r\n"; }
std::string ProgramText(const std::wstring &windowClass, const std::wstring &windowTitle) {
    return "CEAPP\tWINDOW\t" + Utf8(windowClass) + "\t" + Utf8(windowTitle) + "\r\n";
}

class ShutdownTest : public DeviceTest {
protected:
    void InstallHelper() {
        device().MakeFolder(L"\\Program Files");
        device().MakeFolder(L"\\Program Files\\Corvex Press");
        device().WriteFile(kDeviceHelperPath, HelperLibraryText());
    }
    // A reader program on the device that opens this window while it runs.
    void StartReader(const std::wstring &windowClass, const std::wstring &windowTitle) {
        device().WriteFile(kReaderProgram, ProgramText(windowClass, windowTitle));
        ASSERT_TRUE(device().StartProgram(kReaderProgram));
        ASSERT_TRUE(device().IsRunning(kReaderProgram));
    }
    // Runs the close request with a robot that answers an "Error" box if one
    // comes, and returns the box's text ("" when none came).
    int CloseWithRobot(const std::wstring &windowClass, const std::wstring &windowTitle, std::string *boxText) {
        int result = -1;
        bool expectBox = boxText != nullptr;
        std::string shown;
        robot::RunWithRobot([&] { return result = CloseReaderOnDevice(windowClass.c_str(), windowTitle.c_str()); },
                            [&] {
                                if (expectBox) {
                                    shown = robot::AnswerMessageBox("Error", IDOK);
                                } else {
                                    EXPECT_TRUE(robot::StaysAbsent("Error", 300));
                                }
                            },
                            20000);
        if (boxText) *boxText = shown;
        return result;
    }
};

TEST_F(ShutdownTest, NoHelperLibraryNoInvocation) {
    EXPECT_EQ(CloseReaderOnDevice(kReaderWindowClass, kReaderWindowTitle), 1);
    EXPECT_EQ(CountLines(device().Log(), "CeRapiInvoke"), 0u);
}

TEST_F(ShutdownTest, ClosesTheRunningReaderOfThatTitleOnly) {
    InstallHelper();
    StartReader(kReaderWindowClass, kReaderWindowTitle);
    EXPECT_EQ(CloseReaderOnDevice(kReaderWindowClass, kOldReaderWindowTitle), 1);
    EXPECT_TRUE(device().IsRunning(kReaderProgram)) << "another title must not close it";
    EXPECT_EQ(CloseReaderOnDevice(kReaderWindowClass, kReaderWindowTitle), 1);
    EXPECT_TRUE(WaitForReaderToClose());
    EXPECT_FALSE(device().IsRunning(kReaderProgram));
}

int g_timerTicks = 0;
VOID CALLBACK CountTick(HWND, UINT, UINT_PTR, DWORD) { ++g_timerTicks; }

// The wait after the close requests: a reader that closes, under either
// name, is free when it returns; one that ignores the request ends it after
// kReaderCloseWaitMs, still in use. This thread's messages flow meanwhile.
TEST_F(ShutdownTest, WaitForReaderToCloseIsBounded) {
    InstallHelper();
    const struct {
        const wchar_t *program;
        const wchar_t *title;
        bool closes;
    } cases[] = {{kDeviceReaderPath, kReaderWindowTitle, true},
                 {kDeviceOldReaderPath, kOldReaderWindowTitle, true},
                 {kDeviceReaderPath, kReaderWindowTitle, false},
                 {kDeviceOldReaderPath, kOldReaderWindowTitle, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(Utf8(c.title) + (c.closes ? " closes" : " ignores the request"));
        device().SetFault("ignore_close", c.closes ? "0" : "1");
        device().WriteFile(c.program, ProgramText(kReaderWindowClass, c.title));
        ASSERT_TRUE(device().StartProgram(c.program));
        EXPECT_EQ(CloseReaderOnDevice(kReaderWindowClass, c.title), 1);
        g_timerTicks = 0;
        const UINT_PTR timer = SetTimer(nullptr, 0, 50, CountTick);
        const DWORD start = GetTickCount();
        EXPECT_EQ(WaitForReaderToClose(), c.closes);
        const DWORD took = GetTickCount() - start;
        KillTimer(nullptr, timer);
        EXPECT_EQ(device().IsRunning(c.program), !c.closes);
        if (c.closes) {
            EXPECT_LT(took, 2000u);
        } else {
            EXPECT_GE(took, kReaderCloseWaitMs);
            EXPECT_LT(took, kReaderCloseWaitMs + 1500);
            EXPECT_GT(g_timerTicks, 10) << "messages were not dispatched while waiting";
            device().SetFault("ignore_close", "0");
            CloseReaderOnDevice(kReaderWindowClass, c.title);
            EXPECT_TRUE(WaitForReaderToClose());
        }
    }
    EXPECT_LE(kReaderCloseWaitMs, 5000u) << "a few seconds at most";
}

// The device reads the two strings of the 1024-byte block as it received them.
TEST_F(ShutdownTest, RequestCarriesClassAndTitle) {
    InstallHelper();
    size_t logBefore = device().Log().size();
    EXPECT_EQ(CloseReaderOnDevice(kReaderWindowClass, kReaderWindowTitle), 1);
    EXPECT_EQ(CountLines(device().Log(), "CloseApp \"READER\" \"" + Utf8(kReaderWindowTitle) + "\"", logBefore), 1u);
}

TEST_F(ShutdownTest, TitlesOfFullLengthAndBeyond) {
    InstallHelper();
    std::wstring title255(255, L'T');
    for (int i = 0; i < 255; ++i) title255[i] = static_cast<wchar_t>(L'A' + i % 26);
    StartReader(kReaderWindowClass, title255);
    EXPECT_EQ(CloseReaderOnDevice(kReaderWindowClass, title255.c_str()), 1);
    EXPECT_TRUE(WaitForReaderToClose());
    EXPECT_FALSE(device().IsRunning(kReaderProgram)) << "255 characters";

    // A longer title reaches the device cut to its first 255 characters.
    StartReader(kReaderWindowClass, title255);
    std::wstring title300 = title255 + std::wstring(45, L'z');
    EXPECT_EQ(CloseReaderOnDevice(kReaderWindowClass, title300.c_str()), 1);
    EXPECT_TRUE(WaitForReaderToClose());
    EXPECT_FALSE(device().IsRunning(kReaderProgram)) << "300 characters";
}

struct InvokeCase {
    const char *deviceResult;
    int expected;
};

// Negative results and 2, 120, 1064 are failures; everything else succeeded.
const InvokeCase kInvokeCases[] = {
    {"0", 1},    {"1", 1},          {"5", 1},          {"3", 1},           {"2", 0},
    {"120", 0},  {"1064", 0},       {"2147500037", 0}, {"4294967295", 0},
};

TEST_F(ShutdownTest, InvocationResultsClassified) {
    InstallHelper();
    for (const InvokeCase &c : kInvokeCases) {
        device().SetFault("invoke_result", c.deviceResult);
        std::string shown;
        int result = CloseWithRobot(kReaderWindowClass, kReaderWindowTitle, c.expected == 0 ? &shown : nullptr);
        EXPECT_EQ(result, c.expected) << "device result " << c.deviceResult;
        if (c.expected == 0) {
            EXPECT_FALSE(shown.empty()) << c.deviceResult;
            EXPECT_NE(shown, SystemText(ERROR_SUCCESS)) << "a failure shown as success, " << c.deviceResult;
        }
    }
}

}  // namespace
