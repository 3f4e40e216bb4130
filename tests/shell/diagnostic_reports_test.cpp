// The device report and the F2/F3 hot keys, against simulated devices served
// in this process. The hot-key hook is installed on the Other Options menu,
// a dialog the test shows itself, and the robot types the keys.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <string.h>
#include <vector>

#include "device/connection.h"
#include "resources/resource_ids.h"
#include "resources/texts.h"
#include "device/diagnostic_reports.h"
#include "shell/menus.h"
#include "base/setup_state.h"
#include "tests/support/robot.h"
#include "tests/support/test_device.h"
#include "tests/support/test_values.h"

namespace {

const char kOtherOptionsCaption[] = "Other Options";
const char kConnectCaption[] = "Establishing Connection";
const char kVersionText[] = "Tesh\x99 Reader Setup Version 1.1";
const char kPocketPcReport[] = "Processor: 2577, Platform: 5, Major: 3, Minor: 0, Platform ID: Pocket_PC";
// Long enough for a box that would follow a key to show up.
const DWORD kNothingElseMs = 700;

class DiagnosticReports : public ::testing::Test {
protected:
    void SetUp() override {
        g_setup.instance = GetModuleHandleA(nullptr);
        g_setup.connected = 0;
        g_setup.PlatformCode = 0;
        g_setup.platformIdText[0] = '\0';
    }
    void TearDown() override { Disconnect(); }
};

// The texts of the visible message boxes of this process with this caption.
std::vector<std::string> BoxTexts(const std::string &caption) {
    struct Search {
        std::string caption;
        std::vector<std::string> texts;
    } search{caption, {}};
    EnumWindows(
        [](HWND window, LPARAM data) -> BOOL {
            Search &search = *reinterpret_cast<Search *>(data);
            DWORD process = 0;
            GetWindowThreadProcessId(window, &process);
            if (process == GetCurrentProcessId() && IsWindowVisible(window) &&
                robot::Text(window) == search.caption) {
                search.texts.push_back(robot::ControlText(window, 65535));
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.texts;
}

// The message box with this caption whose text begins with prefix.
HWND FindBox(const std::string &caption, const std::string &prefix, DWORD timeoutMs = robot::kDefaultTimeoutMs) {
    for (DWORD start = GetTickCount(); GetTickCount() - start < timeoutMs; Sleep(30)) {
        HWND found = nullptr;
        for (HWND window = FindWindowExA(nullptr, nullptr, "#32770", caption.c_str()); window;
             window = FindWindowExA(nullptr, window, "#32770", caption.c_str())) {
            if (IsWindowVisible(window) && robot::ControlText(window, 65535).rfind(prefix, 0) == 0) found = window;
        }
        if (found) return found;
    }
    ADD_FAILURE() << "no box \"" << caption << "\" with \"" << prefix << "\"\n" << robot::DescribeScreen();
    return nullptr;
}

size_t CountBoxes(const std::string &caption, const std::string &prefix) {
    size_t count = 0;
    for (const std::string &text : BoxTexts(caption)) count += text.rfind(prefix, 0) == 0;
    return count;
}

void CloseBox(HWND box) {
    if (box) robot::Click(box, IDOK);
    robot::WaitForWindowGone(box, 5000);
}

// Every key message that passed on through the chain, down or up.
std::vector<std::string> g_passedKeys;
HHOOK g_recorderHook = nullptr;

LRESULT CALLBACK RecordPassedKeys(int code, WPARAM key, LPARAM flags) {
    if (code == HC_ACTION && (key == VK_F2 || key == VK_F3)) {
        g_passedKeys.push_back(std::string(key == VK_F2 ? "F2" : "F3") + ((flags & 0x80000000) ? " up" : " down"));
    }
    return CallNextHookEx(g_recorderHook, code, key, flags);
}

// Runs the Other Options menu with the hot-key hook installed on this
// thread, behind a recorder hook that sees what the hot-key hook passes on.
int RunMenuWithHotKeys(const std::function<void()> &script) {
    g_passedKeys.clear();
    return robot::RunWithRobot(
        [] {
            g_recorderHook = SetWindowsHookExA(WH_KEYBOARD, RecordPassedKeys, nullptr, GetCurrentThreadId());
            g_setup.keyboardHookHandle =
                SetWindowsHookExA(WH_KEYBOARD, DiagnosticKeyHook, nullptr, GetCurrentThreadId());
            int result = ShowOtherOptions();
            UnhookWindowsHookEx(g_setup.keyboardHookHandle);
            UnhookWindowsHookEx(g_recorderHook);
            g_setup.keyboardHookHandle = nullptr;
            return result;
        },
        script, 90000);
}

void LeaveMenu() {
    HWND options = robot::WaitForWindow(kOtherOptionsCaption);
    robot::Click(options, IDCANCEL);
}

void TypeInto(HWND window, WORD key) {
    if (robot::WaitForForeground(window)) robot::PressKey(key);
}

// The report text, and the platform code the button stores, per profile.
TEST_F(DiagnosticReports, DeviceInfoReportsEachProfile) {
    const struct {
        const char *profile;
        const char *report;
        int storedCode;
    } cases[] = {
        {"pocketpc", kPocketPcReport, 5},
        {"hpc2000", "Processor: 4000, Platform: 6, Major: 3, Minor: 0, Platform ID: Handheld_PC", 6},
        {"hpcpro", "Processor: 10003, Platform: 3, Major: 2, Minor: 11, Platform ID: Handheld_PC", 3},
        {"teshsize", "Processor: 4000, Platform: 4, Major: 2, Minor: 11, Platform ID: Tesh-size_PC", 4},
        {"emulator", "Processor: 586, Platform: 5, Major: 3, Minor: 0, Platform ID: Pocket_PC", 5},
    };
    for (const auto &c : cases) {
        TestDevice device(c.profile);
        device.Plug();
        g_setup.connected = 0;
        g_setup.PlatformCode = 0;
        std::string text;
        robot::RunWithRobot([] { ShowDeviceInfo(); return 0; },
                            [&] { text = robot::AnswerMessageBox(kCaptionDeviceInformation, IDOK); });
        EXPECT_EQ(text, c.report) << c.profile;
        EXPECT_EQ(g_setup.PlatformCode, c.storedCode) << c.profile;
        EXPECT_TRUE(robot::StaysAbsent(kCaptionDeviceInformation, 300)) << c.profile;
        Disconnect();
    }
}

// Without a device and with the connection cancelled, the error box alone,
// with the error icon.
TEST_F(DiagnosticReports, DeviceInfoWithoutAConnectionShowsOnlyTheErrorBox) {
    std::vector<std::string> texts;
    HICON icon = nullptr;
    robot::RunWithRobot([] { ShowDeviceInfo(); return 0; },
                        [&] {
                            robot::Click(robot::WaitForWindow(kConnectCaption), IDCANCEL);
                            HWND box = robot::WaitForWindow(kCaptionDeviceInformation);
                            icon = robot::ShownIcon(box);
                            // An OK box: no Cancel, no Yes or No.
                            EXPECT_EQ(GetDlgItem(box, IDCANCEL), nullptr);
                            EXPECT_EQ(GetDlgItem(box, IDYES), nullptr);
                            texts.push_back(robot::AnswerMessageBox(kCaptionDeviceInformation, IDOK));
                            EXPECT_TRUE(robot::StaysAbsent(kCaptionDeviceInformation, kNothingElseMs));
                        });
    EXPECT_EQ(texts, std::vector<std::string>{kTextNoConnection});
    EXPECT_EQ(icon, LoadIcon(nullptr, IDI_ERROR));
    EXPECT_EQ(g_setup.connected, 0);
}

// A handheld pulled between two actions and docked again, over the pipe and
// over TCP, from either side: the next Device Info shows no box before it
// connects afresh (through the connection dialog when the device is away),
// and its report holds the device's true values.
TEST_F(DiagnosticReports, APulledDeviceIsConnectedAfreshByTheNextAction) {
    const char kReport[] = "Processor: 4000, Platform: 6, Major: 3, Minor: 0, Platform ID: Handheld_PC";
    const struct {
        const char *how;
        bool overTcp;
        bool unplugged;  // else the link drops at the next call, the device still docked
    } cases[] = {{"pipe, unplugged", false, true}, {"pipe, link dropped", false, false},
                 {"TCP, link dropped", true, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.how);
        TestDevice device("hpc2000");
        device.Plug();
        if (c.overTcp) {
            const uint16_t port = device.ServeNetwork();
            ASSERT_NE(port, 0);
            SetEnvironmentVariableA("RAPI_DEVICE", ("127.0.0.1:" + std::to_string(port)).c_str());
        }
        std::vector<std::string> texts;
        robot::RunWithRobot([] { ShowDeviceInfo(); ShowDeviceInfo(); return 0; }, [&] {
            HWND report = robot::WaitForWindow(kCaptionDeviceInformation);
            texts.push_back(robot::ControlText(report, 65535));
            if (c.unplugged) device.Unplug();
            if (!c.unplugged) device.SetFault("drop_after_calls", "0");
            CloseBox(report);
            if (c.unplugged) {
                HWND connect = robot::WaitForWindow(kConnectCaption);
                EXPECT_TRUE(BoxTexts(kCaptionError).empty());
                EXPECT_TRUE(BoxTexts(kCaptionDeviceInformation).empty());
                device.Plug();
                EXPECT_TRUE(robot::WaitForWindowGone(connect, 10000));
            }
            texts.push_back(robot::AnswerMessageBox(kCaptionDeviceInformation, IDOK));
            EXPECT_TRUE(robot::StaysAbsent(kCaptionError, 300));
        });
        SetEnvironmentVariableA("RAPI_DEVICE", nullptr);
        EXPECT_EQ(texts, (std::vector<std::string>{kReport, kReport}));
        EXPECT_EQ(g_setup.connected, 1);
        EXPECT_EQ(g_setup.PlatformCode, 6);
        Disconnect();
    }
}

// A device that stops answering while the report reads it: no zeros are
// shown as its values, the box says why, and its connection is forgotten.
TEST_F(DiagnosticReports, AnIdentityThatCannotBeReadIsNeverShown) {
    TestDevice device("hpc2000");
    device.Plug();
    for (const char *readsAnswered : {"0", "1", "2"}) {
        SCOPED_TRACE(std::string("reads answered: ") + readsAnswered);
        g_setup.connected = 0;
        ASSERT_EQ(robot::RunWithRobot([] { return static_cast<int>(ConnectWithPrompt()); }, [] {}), 1);
        g_setup.connected = 1;
        device.SetFault("drop_after_calls", readsAnswered);
        std::string text;
        robot::RunWithRobot([] { ShowDeviceReport(kCaptionSetupInfoHotKey); return 0; }, [&] {
            text = robot::AnswerMessageBox(kCaptionError, IDOK);
            EXPECT_TRUE(robot::StaysAbsent(kCaptionSetupInfoHotKey, 300));
        });
        EXPECT_EQ(text, std::string(kTextDeviceUnreadable) + "\r\n\r\n" + SystemText(ERROR_DEVICE_NOT_CONNECTED));
        EXPECT_EQ(g_setup.connected, 0);
    }
}

// The report never runs past its 256 bytes, whatever the identifier.
TEST_F(DiagnosticReports, ReportTextIsCutToItsBuffer) {
    const std::string longId(300, 'x');
    const struct {
        int processor, platform, major, minor;
        std::string identifier;
        size_t length;
    } cases[] = {
        {2577, 5, 3, 0, "Pocket_PC", strlen(kPocketPcReport)},
        {4000, 6, 3, 0, std::string(127, 'y'), 56 + 4 + 1 + 1 + 1 + 127},
        {-2147483647 - 1, 65535, -2147483647 - 1, -2147483647 - 1, longId, 255},
        {10003, 3, 2, 11, longId, 255},
    };
    for (const auto &c : cases) {
        char report[kDeviceReportBytes + 16];
        memset(report, '#', sizeof report);
        FormatDeviceReport(report, kDeviceReportBytes, c.processor, c.platform, c.major, c.minor,
                           c.identifier.c_str());
        EXPECT_EQ(strlen(report), c.length);
        for (size_t i = kDeviceReportBytes; i < sizeof report; ++i) ASSERT_EQ(report[i], '#') << "written past";
        const std::string text = report;
        const std::string numbers = "Processor: " + std::to_string(c.processor) +
                                    ", Platform: " + std::to_string(c.platform) +
                                    ", Major: " + std::to_string(c.major) + ", Minor: " + std::to_string(c.minor) +
                                    ", Platform ID: ";
        EXPECT_EQ(text.substr(0, numbers.size()), numbers);
        EXPECT_EQ(text.substr(numbers.size()), c.identifier.substr(0, text.size() - numbers.size()));
    }
    // A long identifier of many-byte characters is cut between two of its
    // characters, in UTF-8 as in a double-byte code page, whichever byte
    // the room ends on.
    const struct {
        UINT codePage;
        std::string character;
    } wide[] = {{CP_UTF8, "\xE2\x82\xAC"}, {932, "\x82\xA0"}};
    for (const auto &c : wide) {
        std::string identifier;
        for (int i = 0; i < 100; ++i) identifier += c.character;
        for (int processor : {4000, 40000, 400000}) {
            char report[kDeviceReportBytes];
            FormatDeviceReport(report, sizeof report, processor, 6, 3, 0, identifier.c_str(), c.codePage);
            const std::string text = report;
            const size_t fixed = text.find("ID: ") + 4;
            const size_t kept = text.size() - fixed;
            EXPECT_EQ(kept % c.character.size(), 0u) << c.codePage << " " << processor;
            EXPECT_GT(kept + c.character.size(), kDeviceReportBytes - 1 - fixed) << c.codePage << " " << processor;
            EXPECT_EQ(text.substr(fixed), identifier.substr(0, kept));
        }
    }
}

// F3 connects and reports; held or released it opens no second report; F2
// over the report opens the version box, once however long it is held, and
// F3 over a version box works too; the keys go on to the focused window;
// PlatformCode stays as it was.
TEST_F(DiagnosticReports, HotKeysOpenOneBoxPerKey) {
    TestDevice device("hpc2000");
    device.Plug();
    g_setup.PlatformCode = 2;
    const std::string caption = kCaptionSetupInfoHotKey;
    int result = RunMenuWithHotKeys([&] {
        HWND options = robot::WaitForWindow(kOtherOptionsCaption);
        TypeInto(options, VK_F3);
        HWND report = FindBox(caption, "Processor:");
        EXPECT_EQ(robot::ControlText(report, 65535),
                  "Processor: 4000, Platform: 6, Major: 3, Minor: 0, Platform ID: Handheld_PC");
        // Auto-repeat and release of F3 while its report is open.
        robot::KeyDown(VK_F3);
        robot::KeyDown(VK_F3);
        robot::KeyUp(VK_F3);
        robot::PressKey(VK_F3);
        Sleep(kNothingElseMs);
        EXPECT_EQ(CountBoxes(caption, "Processor:"), 1u);

        // F2 over the open report.
        robot::PressKey(VK_F2);
        HWND version = FindBox(caption, kVersionText);
        robot::KeyDown(VK_F2);
        robot::KeyDown(VK_F2);
        robot::KeyUp(VK_F2);
        robot::PressKey(VK_F3);
        Sleep(kNothingElseMs);
        EXPECT_EQ(BoxTexts(caption).size(), 2u);
        EXPECT_EQ(CountBoxes(caption, kVersionText), 1u);
        CloseBox(version);
        CloseBox(report);
        EXPECT_TRUE(robot::StaysAbsent(caption, kNothingElseMs));

        // Now F2 first, and F3 over the version box.
        TypeInto(options, VK_F2);
        version = FindBox(caption, kVersionText);
        robot::PressKey(VK_F3);
        report = FindBox(caption, "Processor:");
        CloseBox(report);
        CloseBox(version);
        LeaveMenu();
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(g_setup.connected, 1);
    EXPECT_EQ(g_setup.PlatformCode, 2);
    EXPECT_STREQ(g_setup.platformIdText, "Handheld_PC");
    // Every F2 and F3 message went on down the hook chain, and so to the
    // window. They come in nested order, since a key waits while its box is
    // open, and the key that opens a box may be seen once more from inside
    // that box's message loop while it is still at the head of the queue.
    std::vector<std::string> passed = g_passedKeys;
    std::sort(passed.begin(), passed.end());
    const std::vector<std::string> expected = {"F2 down", "F2 down", "F2 down", "F2 down", "F2 up",
                                               "F2 up",   "F2 up",   "F3 down", "F3 down", "F3 down",
                                               "F3 down", "F3 down", "F3 down", "F3 up",   "F3 up",
                                               "F3 up",   "F3 up",   "F3 up"};
    EXPECT_TRUE(std::includes(passed.begin(), passed.end(), expected.begin(), expected.end()))
        << ::testing::PrintToString(passed);
}

// F3 with no device: while its connection dialog is open F3 does nothing
// and F2 still works; after Cancel nothing is shown at all, and the next F3
// tries to connect again.
TEST_F(DiagnosticReports, HotKeyReportWithTheConnectionCancelled) {
    const std::string caption = kCaptionSetupInfoHotKey;
    RunMenuWithHotKeys([&] {
        HWND options = robot::WaitForWindow(kOtherOptionsCaption);
        TypeInto(options, VK_F3);
        HWND connect = robot::WaitForWindow(kConnectCaption);
        TypeInto(connect, VK_F3);
        Sleep(kNothingElseMs);
        EXPECT_EQ(BoxTexts(kConnectCaption).size(), 1u);
        robot::PressKey(VK_F2);
        CloseBox(FindBox(caption, kVersionText));
        robot::Click(connect, IDCANCEL);
        robot::WaitForWindowGone(connect);
        EXPECT_TRUE(robot::StaysAbsent(caption, kNothingElseMs));
        EXPECT_TRUE(robot::StaysAbsent(kCaptionDeviceInformation, 100));
        TypeInto(options, VK_F3);
        robot::Click(robot::WaitForWindow(kConnectCaption), IDCANCEL);
        EXPECT_TRUE(robot::StaysAbsent(caption, kNothingElseMs));
        LeaveMenu();
    });
    EXPECT_EQ(g_setup.connected, 0);
}

// A message only peeked at (or a negative code) is passed on untouched:
// acting on it would open the box again when the message is then removed.
TEST_F(DiagnosticReports, HotKeyIgnoresMessagesNotTakenFromTheQueue) {
    for (int code : {HC_NOREMOVE, -1}) {
        robot::RunWithRobot([&] { return static_cast<int>(DiagnosticKeyHook(code, VK_F2, 0)); },
                            [&] {
                                if (!robot::StaysAbsent(kCaptionSetupInfoHotKey, kNothingElseMs)) {
                                    ADD_FAILURE() << "box for code " << code;
                                    robot::AnswerMessageBox(kCaptionSetupInfoHotKey, IDOK);
                                }
                            });
    }
}

}  // namespace
