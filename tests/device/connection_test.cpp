// Opening and closing the device connection against a simulated device
// served in this process, with the robot playing the user.
#include <gtest/gtest.h>
#include <winternl.h>

#include <atomic>

#include "device/connect_dialog.h"
#include "device/connection.h"
#include "device/identification.h"
#include "resources/resource_ids.h"
#include "resources/texts.h"
#include "shell/setup_main.h"
#include "base/setup_state.h"
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
    // Each connection made is counted: what a device said holds only within it.
    const LONG connections = g_setup.connections;
    int result = robot::RunWithRobot(EnsureDeviceReady, [] {
        EXPECT_TRUE(robot::StaysAbsent(kConnectCaption, 1500));
        EXPECT_TRUE(robot::StaysAbsent(kCaptionDeviceInformation, 100));
    });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(g_setup.connected, 1);
    // A Pocket PC 3.0.
    EXPECT_EQ(g_setup.PlatformCode, 5);
    EXPECT_STREQ(g_setup.platformIdText, "Pocket_PC");
    EXPECT_EQ(g_setup.connections, connections + 1);
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

// With no device, the quick attempt takes its 250 ms before the dialog shows.
TEST_F(Connection, CancelEndsTheDialogAtOnceAndTheErrorBoxFollows) {
    std::string errorText;
    std::atomic<DWORD> start{0};
    DWORD untilShown = 0;
    int result = robot::RunWithRobot([&] {
        start = GetTickCount();
        return EnsureDeviceReady();
    }, [&] {
        HWND dialog = robot::WaitForWindow(kConnectCaption);
        untilShown = GetTickCount() - start;
        robot::Click(dialog, IDCANCEL);
        EXPECT_TRUE(robot::WaitForWindowGone(dialog, 2000));
        errorText = robot::AnswerMessageBox(kCaptionDeviceInformation, IDOK);
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(g_setup.connected, 0);
    EXPECT_EQ(errorText, kTextNoConnection);
    // Wide margins for a loaded machine: far from no quick attempt at all,
    // and far from a quick attempt of seconds.
    EXPECT_GE(untilShown, 240u);
    EXPECT_LT(untilShown, 2000u);
}

// DialogBoxParamA gives -1 when the dialog cannot be created: that is no
// connection, and the action must end after the error box.
TEST_F(Connection, ADialogThatCannotBeShownConnectsNothing) {
    // A module without the program's dialog templates.
    g_setup.instance = GetModuleHandleA("kernel32.dll");
    EXPECT_EQ(ShowConnectDialog(), -1);
    std::string errorText;
    int result = robot::RunWithRobot(EnsureDeviceReady, [&] {
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

// Holds the dialog's thread a moment after WM_INITDIALOG, so the worker's
// refusal is queued before the dialog manager's first idle moment, when a
// modal dialog is first shown; a busy machine does the same by chance.
LRESULT CALLBACK HoldAfterInitDialog(int code, WPARAM wParam, LPARAM lParam) {
    const CWPRETSTRUCT *call = reinterpret_cast<const CWPRETSTRUCT *>(lParam);
    if (code == HC_ACTION && call->message == WM_INITDIALOG) Sleep(1000);
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

TEST_F(Connection, ARefusedStartUpShowsFailureAndTheDialogStaysUntilCancel) {
    device_.SetFault("refuse_startup", "1");
    device_.Plug();
    HHOOK hold = SetWindowsHookExA(WH_CALLWNDPROCRET, HoldAfterInitDialog, nullptr, GetCurrentThreadId());
    ASSERT_NE(hold, nullptr);
    std::string failureText;
    int result = robot::RunWithRobot(ShowConnectDialog, [&] {
        // The box stands in front of the waiting dialog, never alone.
        robot::WaitForWindow(kCaptionDebug);
        HWND dialog = robot::WaitForWindow(kConnectCaption, "#32770", 200);
        failureText = robot::AnswerMessageBox(kCaptionDebug, IDOK);
        // Still there, still waiting in looks.
        EXPECT_FALSE(robot::WaitForWindowGone(dialog, 1000));
        EXPECT_EQ(robot::ControlText(dialog, kWaitingTextId), kWaitingText);
        EXPECT_TRUE(robot::StaysAbsent(kCaptionDebug, 500));
        robot::Click(dialog, IDCANCEL);
        EXPECT_TRUE(robot::WaitForWindowGone(dialog, 2000));
    });
    UnhookWindowsHookEx(hold);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(failureText, kTextConnectFailure);
}

// The worker's messages have the numbers of DM_SETDEFID and DM_REPOSITION
// (WM_USER + 1 and + 2). The dialog manager's own must neither end the
// dialog as connected nor show the "Failure" box, which a refusal shows once.
TEST_F(Connection, DialogManagerMessagesAreNotTakenForTheWorkers) {
    int result = robot::RunWithRobot(ShowConnectDialog, [&] {
        HWND dialog = robot::WaitForWindow(kConnectCaption);
        auto send = [&](UINT message, WPARAM wParam) {
            DWORD_PTR answer = 0;
            SendMessageTimeoutA(dialog, message, wParam, 0, SMTO_NORMAL, 2000, &answer);
        };
        send(DM_SETDEFID, IDCANCEL);
        send(DM_REPOSITION, 0);
        EXPECT_FALSE(robot::WaitForWindowGone(dialog, 500)) << "DM_SETDEFID ended the dialog";
        EXPECT_TRUE(robot::StaysAbsent(kCaptionDebug, 300)) << "DM_REPOSITION showed the failure";

        device_.SetFault("refuse_startup", "1");
        device_.Plug();
        EXPECT_EQ(robot::AnswerMessageBox(kCaptionDebug, IDOK), kTextConnectFailure);
        send(DM_REPOSITION, 0);
        send(DM_SETDEFID, IDCANCEL);
        EXPECT_TRUE(robot::StaysAbsent(kCaptionDebug, 500)) << "the failure was shown twice";
        EXPECT_FALSE(robot::WaitForWindowGone(dialog, 300)) << "DM_SETDEFID ended the dialog";
        robot::Click(dialog, IDCANCEL);
        EXPECT_TRUE(robot::WaitForWindowGone(dialog, 2000));
    });
    EXPECT_EQ(result, 0);
}

// Once connected, later calls do not connect again, but classify the
// device afresh each time.
TEST_F(Connection, LaterCallsReclassifyWithoutReconnecting) {
    device_.Plug();
    ASSERT_EQ(EnsureReadyWithoutDialog(), 1);
    EXPECT_EQ(g_setup.PlatformCode, 5);
    const size_t logBefore = device_.Log().size();
    const LONG connections = g_setup.connections;

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
    EXPECT_EQ(g_setup.connections, connections);
}

// A device that answers the version read with an error of its own, its
// link holding, keeps its connection: the answer (a version of 0) is
// classified, nothing connects again and no box is shown. Only a read that
// fails for want of a link (1167) is taken for a pulled device.
TEST_F(Connection, AVersionReadTheDeviceRefusesIsItsAnswer) {
    device_.Plug();
    const uint16_t port = device_.ServeNetwork();
    ASSERT_NE(port, 0);
    SetEnvironmentVariableA("RAPI_DEVICE", ("127.0.0.1:" + std::to_string(port)).c_str());
    ASSERT_EQ(EnsureReadyWithoutDialog(), 1);
    EXPECT_EQ(g_setup.PlatformCode, 5);
    device_.SetFault("origname", "Tesh-size_PC");
    device_.SetFault("refuse_version", std::to_string(ERROR_NOT_SUPPORTED));
    const size_t logBefore = device_.Log().size();
    EXPECT_EQ(robot::RunWithRobot(EnsureDeviceReady,
                                  [] {
                                      EXPECT_TRUE(robot::StaysAbsent(kConnectCaption, 300));
                                      EXPECT_TRUE(robot::StaysAbsent(kCaptionDeviceInformation, 100));
                                  },
                                  10000),
              1);
    EXPECT_EQ(g_setup.connected, 1);
    // Tesh-size_PC with a version of 0.
    EXPECT_EQ(g_setup.PlatformCode, 2);
    // The two reads of the classification, and no third one after connecting again.
    EXPECT_EQ(CountLogLines(device_, "CeGetVersionEx", logBefore), 2);
    device_.SetFault("refuse_version", "");
    Disconnect();
    SetEnvironmentVariableA("RAPI_DEVICE", nullptr);
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
    const LONG connections = g_setup.connections;
    EXPECT_LT(TryConnect(nullptr, 250), 0);
    EXPECT_EQ(g_setup.connections, connections);
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 240u);
    EXPECT_LT(elapsed, 5000u);
    const size_t logBefore = device_.Log().size();
    device_.Plug();
    Sleep(1500);
    EXPECT_EQ(CountLogLines(device_, "RapiInit", logBefore), 0);
}

// A window of the test's (user-interface) thread. Sent kHoldMessage, it
// keeps that thread busy until released, so that posted messages queue up
// meanwhile in the order they were posted.
class UiThreadHolder {
public:
    UiThreadHolder() {
        WNDCLASSA windowClass = {};
        windowClass.lpfnWndProc = Proc;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.lpszClassName = "ConnectionTestHolder";
        RegisterClassA(&windowClass);
        window_ = CreateWindowA("ConnectionTestHolder", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                GetModuleHandleA(nullptr), nullptr);
    }
    ~UiThreadHolder() {
        Release();
        DestroyWindow(window_);
    }
    HWND window() const { return window_; }
    // From another thread: returns once the user-interface thread is held.
    bool Hold() {
        ResetEvent(Release_());
        ResetEvent(Holding());
        SendNotifyMessageA(window_, kHoldMessage, 0, 0);
        return WaitForSingleObject(Holding(), 10000) == WAIT_OBJECT_0;
    }
    void Release() { SetEvent(Release_()); }

private:
    static const UINT kHoldMessage = WM_APP + 7;
    static HANDLE Holding() {
        static const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        return event;
    }
    static HANDLE Release_() {
        static const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        return event;
    }
    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message != kHoldMessage) return DefWindowProcA(window, message, wParam, lParam);
        SetEvent(Holding());
        // Never for ever: a test that fails to release still ends.
        WaitForSingleObject(Release_(), 15000);
        return 0;
    }
    HWND window_;
};

LONG OutcomeOfDialog(HWND dialog) {
    auto *attempt = reinterpret_cast<ConnectAttempt *>(GetWindowLongPtrA(dialog, DWLP_USER));
    return attempt ? InterlockedCompareExchange(&attempt->outcome, 0, 0) : -1;
}

bool WaitForOutcome(HWND dialog, LONG outcome, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    while (OutcomeOfDialog(dialog) != outcome) {
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(20);
    }
    return true;
}

// A start-up that completes just as the user cancels leaves no session
// open, whichever side claims the outcome first.
TEST_F(Connection, ALateCancelLeavesNoSessionOpenWhicheverSideClaims) {
    UiThreadHolder holder;
    // The worker claims first: it has connected and its success message
    // waits behind the Cancel, so the dialog sees the Cancel first.
    int result = robot::RunWithRobot(ShowConnectDialog, [&] {
        HWND dialog = robot::WaitForWindow(kConnectCaption);
        ASSERT_TRUE(holder.Hold());
        robot::Click(dialog, IDCANCEL);
        device_.Plug();
        EXPECT_TRUE(WaitForOutcome(dialog, kConnectConnected, 10000)) << "the worker did not connect";
        holder.Release();
        EXPECT_TRUE(robot::WaitForWindowGone(dialog, 5000));
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(QueryDeviceMajorVersion(), 0) << "the dialog's side left a session open";

    // The dialog claims first (its Cancel is noted before its event is
    // set), and the worker's start-up completes all the same.
    ConnectAttempt *attempt = NewConnectAttempt(holder.window());
    ASSERT_NE(attempt, nullptr);
    attempt->outcome = kConnectCancelled;
    InterlockedIncrement(&attempt->holders);  // the worker's share
    HANDLE worker = CreateThread(nullptr, 0, ConnectWorker, attempt, 0, nullptr);
    ASSERT_NE(worker, nullptr);
    EXPECT_EQ(WaitForSingleObject(worker, 10000), WAIT_OBJECT_0);
    CloseHandle(worker);
    EXPECT_EQ(CountLogLines(device_, "CeRapiInit process"), 2) << "the worker did not start up";
    EXPECT_EQ(QueryDeviceMajorVersion(), 0) << "the worker's side left a session open";
    MSG posted = {};
    EXPECT_TRUE(PeekMessageA(&posted, holder.window(), WM_CONNECT_SUCCEEDED, WM_CONNECT_FAILED, PM_REMOVE));
    EXPECT_EQ(posted.message, static_cast<UINT>(WM_CONNECT_FAILED));
    EXPECT_EQ(attempt->outcome, kConnectCancelled);
    ReleaseConnectAttempt(attempt);
}

// Holds the next connection worker before its thread procedure runs: a
// thread's attach callbacks, this executable's among them, run first. The
// held thread keeps the loader busy, so a thread started meanwhile waits
// behind it.
struct WorkerGate {
    std::atomic<bool> armed{false};
    std::atomic<bool> held{false};
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
};
WorkerGate g_workerGate;

void *StartAddressOfThisThread() {
    typedef NTSTATUS(NTAPI * QueryFn)(HANDLE, THREADINFOCLASS, PVOID, ULONG, PULONG);
    static const QueryFn query = reinterpret_cast<QueryFn>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationThread")));
    const THREADINFOCLASS kThreadQuerySetWin32StartAddress = static_cast<THREADINFOCLASS>(9);
    void *start = nullptr;
    if (!query || query(GetCurrentThread(), kThreadQuerySetWin32StartAddress, &start, sizeof start, nullptr) != 0)
        return nullptr;
    return start;
}

void NTAPI HoldConnectWorker(PVOID, DWORD reason, PVOID) {
    if (reason != DLL_THREAD_ATTACH || !g_workerGate.armed) return;
    if (StartAddressOfThisThread() != reinterpret_cast<void *>(&ConnectWorker)) return;
    if (!g_workerGate.armed.exchange(false)) return;
    g_workerGate.held = true;
    // Never for ever: a test that fails to release still ends.
    WaitForSingleObject(g_workerGate.release, 20000);
}

__attribute__((used, section(".CRT$XLF"))) PIMAGE_TLS_CALLBACK g_holdConnectWorker = HoldConnectWorker;

// A cancelled attempt whose worker has not run yet when the next attempt
// starts: each worker must work for its own attempt. Sharing one would
// start the remote API twice (the second start-up is refused, and the new
// dialog shows "Failure") and release one attempt twice.
TEST_F(Connection, AWorkerThatStartsLateWorksForItsOwnAttempt) {
    ResetEvent(g_workerGate.release);
    g_workerGate.held = false;
    g_workerGate.armed = true;
    int first = -1;
    int second = robot::RunWithRobot([&] {
        first = ShowConnectDialog();
        return ShowConnectDialog();
    }, [&] {
        HWND dialog = robot::WaitForWindow(kConnectCaption);
        const DWORD start = GetTickCount();
        while (!g_workerGate.held && GetTickCount() - start < 5000) Sleep(20);
        EXPECT_TRUE(g_workerGate.held) << "the first worker was not held";
        robot::Click(dialog, IDCANCEL);
        EXPECT_TRUE(robot::WaitForWindowGone(dialog, 2000));
        dialog = robot::WaitForWindow(kConnectCaption);
        SetEvent(g_workerGate.release);
        EXPECT_TRUE(robot::StaysAbsent(kCaptionDebug, 1000));
        device_.Plug();
        EXPECT_TRUE(robot::WaitForWindowGone(dialog, 10000)) << robot::DescribeScreen();
        EXPECT_TRUE(robot::StaysAbsent(kCaptionDebug, 300));
    });
    g_workerGate.armed = false;
    SetEvent(g_workerGate.release);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 1);
    // The second attempt's session is open; the program's end closes it.
    g_setup.connected = 1;
    EXPECT_EQ(QueryDeviceMajorVersion(), 3);
    EXPECT_EQ(CountLogLines(device_, "CeRapiInit process"), 1);
}

}  // namespace
