// The robot: finds the program's windows, reads them, and plays the user.
//
// Windows are looked for among the visible top-level windows of this process
// and of the processes it started (and theirs), so that a test that drives a
// setup.exe of its own does not mistake another test's windows for it.
#include "tests/support/robot.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <atomic>
#include <cstdio>
#include <set>

namespace robot {
namespace {

const DWORD kPollMs = 30;
// How long a message a robot sends to another window may take.
const UINT kSendTimeoutMs = 2000;
// The static control that holds a message box's text.
const int kMessageBoxTextId = 65535;

// ---- Which processes are ours ---------------------------------------------

// This process and every process descended from it.
std::set<DWORD> &Adopted() {
    static std::set<DWORD> adopted;
    return adopted;
}

std::set<DWORD> OurProcesses() {
    std::set<DWORD> ours{GetCurrentProcessId()};
    ours.insert(Adopted().begin(), Adopted().end());
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return ours;
    std::vector<PROCESSENTRY32> all;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        all.push_back(entry);
    }
    CloseHandle(snapshot);
    // Grow the set until no process has a parent in it that is not in it yet.
    for (bool grew = true; grew;) {
        grew = false;
        for (const PROCESSENTRY32 &process : all) {
            if (ours.count(process.th32ParentProcessID) && !ours.count(process.th32ProcessID)) {
                ours.insert(process.th32ProcessID);
                grew = true;
            }
        }
    }
    return ours;
}

DWORD ProcessOf(HWND window) {
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    return processId;
}

// ---- Texts ----------------------------------------------------------------

typedef int(WINAPI *InternalGetWindowTextFn)(HWND, LPWSTR, int);

InternalGetWindowTextFn InternalGetWindowTextPointer() {
    static const InternalGetWindowTextFn fn = reinterpret_cast<InternalGetWindowTextFn>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("user32.dll"), "InternalGetWindowText")));
    return fn;
}

std::string ToAnsi(const std::wstring &text) {
    if (text.empty()) return std::string();
    int bytes = WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                    nullptr);
    std::string ansi(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), &ansi[0], bytes, nullptr, nullptr);
    return ansi;
}

std::string ClassOf(HWND window) {
    char name[256] = "";
    GetClassNameA(window, name, sizeof name);
    return name;
}

// ---- Finding windows --------------------------------------------------------

struct WindowSearch {
    std::set<DWORD> processes;  // empty: every process
    std::vector<HWND> found;
};

BOOL CALLBACK CollectVisibleTopLevel(HWND window, LPARAM parameter) {
    WindowSearch *search = reinterpret_cast<WindowSearch *>(parameter);
    if (!IsWindowVisible(window)) return TRUE;
    if (!search->processes.empty() && !search->processes.count(ProcessOf(window))) return TRUE;
    search->found.push_back(window);
    return TRUE;
}

std::vector<HWND> VisibleTopLevelWindows(bool oursOnly) {
    WindowSearch search;
    if (oursOnly) search.processes = OurProcesses();
    EnumWindows(CollectVisibleTopLevel, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool IsMessageBox(HWND window);

// The first visible window of ours with this caption and class; with
// messageBoxOnly, only a message box (a dialog that has the box's text
// control), which tells a box apart from a dialog of the same caption.
HWND FindVisibleWindow(const std::string &caption, const char *windowClass, bool messageBoxOnly = false) {
    for (HWND window : VisibleTopLevelWindows(true)) {
        if (ClassOf(window) != windowClass || Text(window) != caption) continue;
        if (messageBoxOnly && !IsMessageBox(window)) continue;
        return window;
    }
    return nullptr;
}

HWND WaitForVisibleWindow(const std::string &caption, const char *windowClass, bool messageBoxOnly,
                          DWORD timeoutMs) {
    const DWORD deadline = GetTickCount() + timeoutMs;
    for (;;) {
        HWND window = FindVisibleWindow(caption, windowClass, messageBoxOnly);
        if (window) return window;
        if (static_cast<LONG>(deadline - GetTickCount()) <= 0) break;
        Sleep(kPollMs);
    }
    ADD_FAILURE() << "robot: no " << (messageBoxOnly ? "message box" : "window") << " \"" << caption << "\" ("
                  << windowClass << ") within " << timeoutMs << " ms. Screen:\n"
                  << DescribeScreen();
    return nullptr;
}

BOOL CALLBACK CollectChildren(HWND window, LPARAM parameter) {
    reinterpret_cast<std::vector<HWND> *>(parameter)->push_back(window);
    return TRUE;
}

std::vector<HWND> ChildrenOf(HWND window) {
    std::vector<HWND> children;
    EnumChildWindows(window, CollectChildren, reinterpret_cast<LPARAM>(&children));
    return children;
}

bool IsMessageBox(HWND window) {
    return ClassOf(window) == "#32770" && GetDlgItem(window, kMessageBoxTextId) != nullptr;
}

void PostCommand(HWND dialog, int controlId) {
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(controlId, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, controlId)));
}

// ---- Ending a run that went wrong ----------------------------------------------

// One round of tidying up: every message box of ours is answered Yes (a box
// with other buttons still ends on it, and Yes to the abort question leaves
// a menu), every other dialog is cancelled, and a dialog with a default
// button but no Cancel (a completion page) is finished.
void CloseOurDialogsOnce() {
    for (HWND window : VisibleTopLevelWindows(true)) {
        if (ClassOf(window) != "#32770") continue;
        if (IsMessageBox(window)) {
            PostCommand(window, IDYES);
        } else if (GetDlgItem(window, IDCANCEL)) {
            PostCommand(window, IDCANCEL);
        } else if (GetDlgItem(window, IDOK)) {
            PostCommand(window, IDOK);
        }
    }
}

// Child processes a test started (setup.exe) are ended when tidying up by
// their windows did not help.
void TerminateOurChildren() {
    const DWORD self = GetCurrentProcessId();
    for (DWORD processId : OurProcesses()) {
        if (processId == self) continue;
        HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, processId);
        if (!process) continue;
        TerminateProcess(process, 99);
        CloseHandle(process);
    }
}

struct RobotRun {
    const std::function<void()> *script;
    std::atomic<bool> bodyDone{false};
    std::atomic<bool> scriptDone{false};
    DWORD deadline;  // GetTickCount value by which the body should have returned
};

bool TimeLeft(DWORD deadline) { return static_cast<LONG>(deadline - GetTickCount()) > 0; }

void WaitForBodyOrDeadline(RobotRun &run) {
    while (!run.bodyDone && TimeLeft(run.deadline)) Sleep(kPollMs);
}

// Closes what can be closed until the body returns; as a last resort ends
// the child processes and then this process, so that the test fails
// instead of hanging until the test runner's own time limit.
void ForceBodyToEnd(RobotRun &run, const char *why) {
    ADD_FAILURE() << "robot: " << why << "; closing the program's windows. Screen:\n" << DescribeScreen();
    const DWORD closingDeadline = GetTickCount() + 20000;
    while (!run.bodyDone && TimeLeft(closingDeadline)) {
        CloseOurDialogsOnce();
        Sleep(200);
    }
    if (run.bodyDone) return;
    TerminateOurChildren();
    const DWORD lastDeadline = GetTickCount() + 5000;
    while (!run.bodyDone && TimeLeft(lastDeadline)) Sleep(kPollMs);
    if (run.bodyDone) return;
    fprintf(stderr, "robot: the program under test does not end; giving up. Screen:\n%s\n",
            DescribeScreen().c_str());
    fflush(stderr);
    ExitProcess(3);
}

DWORD WINAPI RobotThread(LPVOID parameter) {
    RobotRun &run = *static_cast<RobotRun *>(parameter);
    bool scriptThrew = false;
    try {
        (*run.script)();
    } catch (const std::exception &error) {
        ADD_FAILURE() << "robot script threw: " << error.what();
        scriptThrew = true;
    } catch (...) {
        ADD_FAILURE() << "robot script threw";
        scriptThrew = true;
    }
    run.scriptDone = true;
    const bool scriptFailed = scriptThrew || ::testing::Test::HasFailure();
    if (scriptFailed) {
        // Give the body a moment to end by itself, then tidy up.
        const DWORD grace = GetTickCount() + 1000;
        while (!run.bodyDone && TimeLeft(grace)) Sleep(kPollMs);
        if (!run.bodyDone) ForceBodyToEnd(run, "the script failed and the program is still running");
        return 0;
    }
    WaitForBodyOrDeadline(run);
    if (!run.bodyDone) ForceBodyToEnd(run, "the program did not return in time after the script ended");
    return 0;
}

}  // namespace

// ---- Public interface -----------------------------------------------------------

void Adopt(DWORD processId) { Adopted().insert(processId); }

HWND WaitForWindow(const std::string &caption, const char *windowClass, DWORD timeoutMs) {
    return WaitForVisibleWindow(caption, windowClass, false, timeoutMs);
}

bool WaitForWindowGone(HWND window, DWORD timeoutMs) {
    const DWORD deadline = GetTickCount() + timeoutMs;
    for (;;) {
        if (!IsWindow(window) || !IsWindowVisible(window)) return true;
        if (!TimeLeft(deadline)) return false;
        Sleep(kPollMs);
    }
}

bool StaysAbsent(const std::string &caption, DWORD forMs, const char *windowClass) {
    const DWORD deadline = GetTickCount() + forMs;
    for (;;) {
        if (FindVisibleWindow(caption, windowClass)) return false;
        if (!TimeLeft(deadline)) return true;
        Sleep(kPollMs);
    }
}

std::string Text(HWND window) {
    InternalGetWindowTextFn fn = InternalGetWindowTextPointer();
    if (!window || !fn) return std::string();
    wchar_t text[4096];
    int length = fn(window, text, 4096);
    if (length <= 0) return std::string();
    return ToAnsi(std::wstring(text, static_cast<size_t>(length)));
}

std::string ControlText(HWND dialog, int controlId) {
    if (!dialog) return std::string();
    return Text(GetDlgItem(dialog, controlId));
}

namespace {

BOOL CALLBACK FindShownIcon(HWND child, LPARAM parameter) {
    char className[32] = "";
    GetClassNameA(child, className, sizeof className);
    const LONG_PTR style = GetWindowLongPtrA(child, GWL_STYLE);
    if (lstrcmpiA(className, "Static") != 0 || (style & SS_TYPEMASK) != SS_ICON || !IsWindowVisible(child))
        return TRUE;
    DWORD_PTR icon = 0;
    SendMessageTimeoutA(child, STM_GETICON, 0, 0, SMTO_NORMAL, kSendTimeoutMs, &icon);
    *reinterpret_cast<HICON *>(parameter) = reinterpret_cast<HICON>(icon);
    return icon == 0;
}

}  // namespace

HICON ShownIcon(HWND box) {
    HICON icon = nullptr;
    if (box) EnumChildWindows(box, FindShownIcon, reinterpret_cast<LPARAM>(&icon));
    return icon;
}

std::vector<std::string> ListBoxItems(HWND dialog, int controlId) {
    std::vector<std::string> items;
    HWND list = dialog ? GetDlgItem(dialog, controlId) : nullptr;
    if (!list) return items;
    DWORD_PTR count = 0;
    if (!SendMessageTimeoutA(list, LB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &count)) return items;
    for (DWORD_PTR index = 0; index < count; ++index) {
        DWORD_PTR length = 0;
        if (!SendMessageTimeoutA(list, LB_GETTEXTLEN, index, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &length) ||
            static_cast<LONG_PTR>(length) < 0) {
            break;
        }
        std::string text(static_cast<size_t>(length) + 1, '\0');
        DWORD_PTR copied = 0;
        if (!SendMessageTimeoutA(list, LB_GETTEXT, index, reinterpret_cast<LPARAM>(&text[0]), SMTO_ABORTIFHUNG,
                                 kSendTimeoutMs, &copied) ||
            static_cast<LONG_PTR>(copied) < 0) {
            break;
        }
        text.resize(static_cast<size_t>(copied));
        items.push_back(text);
    }
    return items;
}

void Click(HWND dialog, int controlId) {
    if (dialog) PostCommand(dialog, controlId);
}

void CloseBox(HWND window) {
    if (window) PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
}

std::string AnswerMessageBox(const std::string &caption, int buttonId, DWORD timeoutMs) {
    HWND box = WaitForVisibleWindow(caption, "#32770", true, timeoutMs);
    if (!box) return std::string();
    std::string text = ControlText(box, kMessageBoxTextId);
    PostCommand(box, buttonId);
    // Wait for this box to go, so that a box with the same caption shown
    // next is not mistaken for it.
    if (!WaitForWindowGone(box, timeoutMs)) {
        ADD_FAILURE() << "robot: message box \"" << caption << "\" did not close on button " << buttonId
                      << ". Screen:\n"
                      << DescribeScreen();
    }
    return text;
}

namespace {
void SendKey(WORD virtualKey, bool up) {
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = virtualKey;
    input.ki.wScan = static_cast<WORD>(MapVirtualKeyA(virtualKey, MAPVK_VK_TO_VSC));
    input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    if (SendInput(1, &input, sizeof input) != 1) ADD_FAILURE() << "robot: SendInput failed: " << GetLastError();
}
}  // namespace

void PressKey(WORD virtualKey) {
    KeyDown(virtualKey);
    KeyUp(virtualKey);
}

void KeyDown(WORD virtualKey) { SendKey(virtualKey, false); }

void KeyUp(WORD virtualKey) { SendKey(virtualKey, true); }

HWND FocusOf(HWND window) {
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    DWORD thread = GetWindowThreadProcessId(window, nullptr);
    if (!thread || !GetGUIThreadInfo(thread, &info)) return nullptr;
    return info.hwndFocus;
}

bool WaitForForeground(HWND window, DWORD timeoutMs) {
    const DWORD deadline = GetTickCount() + timeoutMs;
    for (;;) {
        if (GetForegroundWindow() == window) return true;
        if (!TimeLeft(deadline)) break;
        Sleep(kPollMs);
    }
    ADD_FAILURE() << "robot: window \"" << Text(window) << "\" is not in the foreground. Screen:\n"
                  << DescribeScreen();
    return false;
}

std::string DescribeScreen() {
    std::string out;
    const std::set<DWORD> ours = OurProcesses();
    HWND foreground = GetForegroundWindow();
    for (HWND window : VisibleTopLevelWindows(false)) {
        char line[128];
        snprintf(line, sizeof line, "[%s process %lu%s%s] ", ClassOf(window).c_str(),
                 static_cast<unsigned long>(ProcessOf(window)), ours.count(ProcessOf(window)) ? ", ours" : "",
                 window == foreground ? ", foreground" : "");
        out += line;
        out += "\"" + Text(window) + "\"\n";
        for (HWND child : ChildrenOf(window)) {
            if (!IsWindowVisible(child)) continue;
            snprintf(line, sizeof line, "    %d %s: ", GetDlgCtrlID(child), ClassOf(child).c_str());
            out += line;
            out += "\"" + Text(child) + "\"\n";
        }
    }
    return out.empty() ? std::string("(no visible windows)\n") : out;
}

int RunWithRobot(const std::function<int()> &body, const std::function<void()> &script, DWORD timeoutMs) {
    RobotRun run;
    run.script = &script;
    run.deadline = GetTickCount() + timeoutMs;
    HANDLE thread = CreateThread(nullptr, 0, RobotThread, &run, 0, nullptr);
    if (!thread) {
        ADD_FAILURE() << "robot: cannot start the robot thread: " << GetLastError();
        return -1;
    }
    int result = body();
    run.bodyDone = true;
    // The robot may still be mid-script (waiting for a window that will not
    // come now); its waits end by their own time limits.
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return result;
}

}  // namespace robot
