// Installing, updating, starting and removing the reader on simulated
// devices served in this process, from a setup folder of variant files
// written by the test. The progress window's lines and the message boxes
// are recorded as the user would see them.
#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "device/connection.h"
#include "reader/install_reader.h"
#include "reader/remove_reader.h"
#include "resources/resource_ids.h"
#include "resources/texts.h"
#include "base/setup_state.h"
#include "tests/devicefiles/device_fixture.h"
#include "tests/support/robot.h"
#include "tests/support/test_device.h"

namespace {

const char kConnectCaption[] = "Establishing Connection";

const wchar_t kInstallFolder[] = L"\\Program Files\\Corvex Press";
const wchar_t kReader[] = L"\\Program Files\\Corvex Press\\Tesh Reader.exe";
const wchar_t kHelper[] = L"\\Program Files\\Corvex Press\\tarnlib.dll";
const wchar_t kOldReader[] = L"\\Program Files\\Corvex Press\\Corvex Reader.exe";
const wchar_t kOldState[] = L"\\Program Files\\Corvex Press\\Corvex Reader.exe.state";
const wchar_t kBook[] = L"\\My Documents\\Corvex Press\\book.vbk";
// The device's text form of the reader's shortcut: characters, "#", target.
const char kShortcutText[] = "45#\"\\Program Files\\Corvex Press\\Tesh Reader.exe\"";
const char kReaderFirstLine[] = "CEAPP\tWINDOW\tREADER\tTesh\xe2\x84\xa2 Reader\r\n";
const char kHelperFirstLine[] = "CELIB\tEXPORTS\tCloseApp\r\n";

// ---- What the user sees ----------------------------------------------------

// The progress window's story: "show", "hide", and "N:text" for every text
// set into line N (top to bottom) of a progress window.
std::vector<std::string> g_progress;
HHOOK g_progressHook = nullptr;

int ProgressLineNumber(HWND control) {
    switch (GetDlgCtrlID(control)) {
    case IDC_PROGRESS_LINE1: return 1;
    case IDC_PROGRESS_LINE2: return 2;
    case IDC_PROGRESS_LINE3: return 3;
    case IDC_PROGRESS_LINE4: return 4;
    default: return 0;
    }
}

bool IsProgressWindow(HWND window) { return window && GetDlgItem(window, IDC_PROGRESS_BAR) != nullptr; }

LRESULT CALLBACK RecordProgress(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION) {
        const CWPSTRUCT &sent = *reinterpret_cast<const CWPSTRUCT *>(lParam);
        if (sent.message == WM_SETTEXT && IsProgressWindow(GetParent(sent.hwnd))) {
            const int line = ProgressLineNumber(sent.hwnd);
            if (line) g_progress.push_back(std::to_string(line) + ":" + reinterpret_cast<const char *>(sent.lParam));
        } else if (sent.message == WM_SHOWWINDOW && IsProgressWindow(sent.hwnd)) {
            g_progress.push_back(sent.wParam ? "show" : "hide");
        }
    }
    return CallNextHookEx(g_progressHook, code, wParam, lParam);
}

// The progress story without the blanking of a new window's lines.
std::vector<std::string> ProgressStory() {
    std::vector<std::string> story;
    bool started = false;
    for (const std::string &event : g_progress) {
        const bool blank = event.size() == 2 && event[1] == ':';
        if (!started && blank) continue;
        if (event != "show") started = true;
        story.push_back(event);
    }
    return story;
}

// The entries of the story for one line, blanks left out.
std::vector<std::string> LineTexts(int line) {
    std::vector<std::string> texts;
    const std::string prefix = std::to_string(line) + ":";
    for (const std::string &event : g_progress) {
        if (event.rfind(prefix, 0) == 0 && event.size() > prefix.size()) texts.push_back(event.substr(prefix.size()));
    }
    return texts;
}

struct Box {
    std::string caption;
    std::string text;
    HICON icon = nullptr;  // not compared: the tests that care look at it
    bool operator==(const Box &other) const { return caption == other.caption && text == other.text; }
};

void PrintTo(const Box &box, std::ostream *out) { *out << "[" << box.caption << ": " << box.text << "]"; }

// The visible message boxes and connection dialogs of this process.
std::vector<HWND> OpenDialogs() {
    std::vector<HWND> found;
    EnumWindows(
        [](HWND window, LPARAM data) -> BOOL {
            DWORD process = 0;
            GetWindowThreadProcessId(window, &process);
            char className[16] = "";
            GetClassNameA(window, className, sizeof className);
            if (process == GetCurrentProcessId() && IsWindowVisible(window) && strcmp(className, "#32770") == 0 &&
                !IsProgressWindow(window)) {
                reinterpret_cast<std::vector<HWND> *>(data)->push_back(window);
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

// Runs action while the robot answers every message box with OK, recording
// it, and cancels the connection dialog if one comes (recorded as a box
// too). Returns the action's result.
int RunAnswering(const std::function<int()> &action, std::vector<Box> *boxes) {
    std::atomic<bool> done(false);
    g_progress.clear();
    g_progressHook = SetWindowsHookExA(WH_CALLWNDPROC, RecordProgress, nullptr, GetCurrentThreadId());
    int result = robot::RunWithRobot(
        [&] {
            const int r = action();
            done = true;
            return r;
        },
        [&] {
            while (!done) {
                for (HWND dialog : OpenDialogs()) {
                    const std::string caption = robot::Text(dialog);
                    if (caption == kConnectCaption) {
                        boxes->push_back({caption, ""});
                        robot::Click(dialog, IDCANCEL);
                    } else {
                        boxes->push_back({caption, robot::ControlText(dialog, 65535), robot::ShownIcon(dialog)});
                        robot::Click(dialog, IDOK);
                    }
                    robot::WaitForWindowGone(dialog, 5000);
                }
                Sleep(20);
            }
        },
        120000);
    UnhookWindowsHookEx(g_progressHook);
    return result;
}

// ---- The setup folder and the device -----------------------------------------

std::string ReaderContent(const std::string &pair) {
    return kReaderFirstLine + ("reader variant " + pair + "\r\n") + std::string(20000, 'r');
}
std::string HelperContent(const std::string &pair) {
    return kHelperFirstLine + ("helper variant " + pair + "\r\n") + std::string(3000, 'h');
}

const char *const kAllPairs[] = {"hpc200.mips", "ppc201.mips", "hpc211.mips", "ppc211.mips", "ppc300.mips",
                                 "hpc300.mips", "hpc200.sh3",  "ppc201.sh3",  "hpc211.sh3",  "ppc211.sh3",
                                 "ppc300.sh3",  "hpc211.sh4",  "hpc211.arm",  "hpc300.arm",  "ppc300.arm"};

class ReaderSetup : public ::testing::Test {
protected:
    void SetUp() override {
        PrepareForDialogs();
        g_setup.connected = 0;
        g_setup.PlatformCode = 0;
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        folder_ = std::string(temp) + "tesh_reader_" + std::to_string(GetCurrentProcessId()) + "_" +
                  std::to_string(GetTickCount());
        CreateDirectoryA(folder_.c_str(), nullptr);
        strcpy(g_setup.setupFolder, folder_.c_str());
        for (const char *pair : kAllPairs) {
            WriteHostFile(std::string("Tesh Reader.exe.") + pair, ReaderContent(pair), kYear2001);
            WriteHostFile(std::string("tarnlib.dll.") + pair, HelperContent(pair), kYear2001 + kOneDay);
        }
        // Installing moves the current directory back to the setup folder.
        SetCurrentDirectoryA(temp);
    }

    void TearDown() override {
        Disconnect();
        SetCurrentDirectoryA("C:\\");
        for (const std::string &file : files_) DeleteFileA(file.c_str());
        RemoveDirectoryA(folder_.c_str());
    }

    void WriteHostFile(const std::string &name, const std::string &content, ULONGLONG lastWrite) {
        const std::string path = folder_ + "\\" + name;
        HANDLE file =
            CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
        DWORD written = 0;
        WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
        const FILETIME creation = MakeFileTime(lastWrite - 3 * kOneDay), access = MakeFileTime(lastWrite + kOneDay),
                       write = MakeFileTime(lastWrite);
        SetFileTime(file, &creation, &access, &write);
        CloseHandle(file);
        files_.push_back(path);
    }

    void ExpectTimesOfHostFile(TestDevice &device, const std::wstring &devicePath, const std::string &name) {
        HANDLE file = CreateFileA((folder_ + "\\" + name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE) << name;
        FILETIME hc, ha, hw, dc, da, dw;
        GetFileTime(file, &hc, &ha, &hw);
        CloseHandle(file);
        ASSERT_TRUE(device.Times(devicePath, &dc, &da, &dw));
        EXPECT_EQ(Ticks(dc), Ticks(hc)) << name;
        EXPECT_EQ(Ticks(da), Ticks(ha)) << name;
        EXPECT_EQ(Ticks(dw), Ticks(hw)) << name;
    }

    std::string folder_;
    std::vector<std::string> files_;
};


const std::vector<std::string> kInstallStatus = {
    "Determining Processor Type...", "Determining Windows CE Version...", "Creating Program Directory...",
    "Installing Latest Version of the Tesh Reader..."};

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// What RemoveReader writes, line 1 and line 3, in order. The helper
// library goes last, once the reader is gone.
const std::vector<std::string> kRemoveStory = {
    "show",
    "1:Shutting down Tesh Reader...",
    "1:Removing program files...",
    "3:Tesh Reader.exe",
    "3:tarnlib.dll",
    "1:Removing program directory...",
    "3:\\Program Files\\Corvex Press",
    "1:Removing shortcuts...",
    "3:From Start Menu...",
    "3:From Desktop...",
    "1:",
    "3:",
    "hide",
};

// ---- Install, again when up to date, start, remove, remove again -------------

struct ProfileCase {
    const char *profile;
    int code;
    const char *pair;
    const wchar_t *programs;
    const wchar_t *desktop;  // nullptr: the device has no desktop
};

const ProfileCase kProfiles[] = {
    {"hpc2000", 6, "hpc300.mips", L"\\Windows\\Programs", L"\\Windows\\Desktop"},
    {"pocketpc", 5, "ppc300.arm", L"\\Windows\\Start Menu\\Programs", nullptr},
    {"hpcpro", 3, "hpc211.sh3", L"\\Windows\\Programs", L"\\Windows\\Desktop"},
    {"teshsize", 4, "ppc211.mips", L"\\Windows\\Start Menu\\Programs", nullptr},
};

TEST_F(ReaderSetup, InstallUpdateLaunchAndRemoveOnEachProfile) {
    for (const ProfileCase &c : kProfiles) {
        SCOPED_TRACE(c.profile);
        TestDevice device(c.profile);
        const std::wstring programs = std::wstring(c.programs) + L"\\";
        const std::wstring newLink = L"\\Tesh\u2122 Reader.lnk", oldLink = L"\\Corvex Reader.lnk";
        // The reader under its earlier name, with its state and shortcuts,
        // and a book the removal must leave alone.
        device.MakeFolder(L"\\Program Files");
        device.MakeFolder(kInstallFolder);
        device.WriteFile(kOldReader, "CEAPP\tWINDOW\tREADER\tCorvex Reader\r\nold reader");
        device.WriteFile(kOldState, "state");
        device.WriteFile(c.programs + oldLink, "40#\"\\Program Files\\Corvex Press\\Corvex Reader.exe\"");
        if (c.desktop) device.WriteFile(c.desktop + oldLink, "old desktop link");
        device.MakeFolder(L"\\My Documents\\Corvex Press");
        device.WriteFile(kBook, "book");
        device.Plug();
        g_setup.connected = 0;

        // Install.
        std::vector<Box> boxes;
        EXPECT_EQ(RunAnswering(InstallReader, &boxes), 0);
        EXPECT_EQ(boxes, std::vector<Box>{});
        EXPECT_EQ(g_setup.PlatformCode, c.code);
        EXPECT_EQ(device.ReadFile(kReader), ReaderContent(c.pair));
        EXPECT_EQ(device.ReadFile(kHelper), HelperContent(c.pair));
        ExpectTimesOfHostFile(device, kReader, std::string("Tesh Reader.exe.") + c.pair);
        ExpectTimesOfHostFile(device, kHelper, std::string("tarnlib.dll.") + c.pair);
        EXPECT_FALSE(device.Exists(kOldReader));
        EXPECT_FALSE(device.Exists(c.programs + oldLink));
        EXPECT_EQ(device.ReadFile(c.programs + newLink), kShortcutText);
        if (c.desktop) {
            EXPECT_FALSE(device.Exists(c.desktop + oldLink));
            EXPECT_EQ(device.ReadFile(c.desktop + newLink), kShortcutText);
        }
        EXPECT_EQ(LineTexts(1), Concat(kInstallStatus, {"Copying from host file", "Copying from host file",
                                                        "Creating Shortcuts..."}));
        EXPECT_EQ(LineTexts(2), (std::vector<std::string>{std::string("tarnlib.dll.") + c.pair,
                                                           std::string("Tesh Reader.exe.") + c.pair}));
        EXPECT_EQ(ProgressStory().front(), "show");
        EXPECT_EQ(ProgressStory().back(), "hide");
        char current[MAX_PATH] = "";
        GetCurrentDirectoryA(sizeof current, current);
        EXPECT_STREQ(current, folder_.c_str());

        // Update on an up-to-date device: nothing copied, shortcuts made again.
        device.WriteFile(c.programs + newLink, "stale");
        const size_t mark = device.Log().size();
        boxes.clear();
        EXPECT_EQ(RunAnswering(InstallReader, &boxes), 0);
        EXPECT_EQ(boxes, std::vector<Box>{});
        EXPECT_EQ(CountLines(device.Log(), "CeWriteFile", mark), 0u);
        EXPECT_EQ(device.ReadFile(c.programs + newLink), kShortcutText);
        EXPECT_EQ(LineTexts(1), Concat(kInstallStatus, {"Creating Shortcuts..."}));

        // Start it: the reader is running on the device, and the program
        // holds no handle of its process or thread.
        const size_t handles = device.OpenHandleCount();
        EXPECT_TRUE(LaunchReader());
        EXPECT_TRUE(device.IsRunning(kReader));
        EXPECT_EQ(device.OpenHandleCount(), handles);
        // A copy into the install folder that broke off left its temporary file.
        device.WriteFile(L"\\Program Files\\Corvex Press\\~tesh.tmp", "partial copy");

        // Remove (the running reader is asked to close first and takes the
        // device's close delay to end), then again.
        for (int run = 1; run <= 2; ++run) {
            SCOPED_TRACE("remove run " + std::to_string(run));
            boxes.clear();
            EXPECT_EQ(RunAnswering(RemoveReader, &boxes), 1);
            EXPECT_EQ(boxes, std::vector<Box>{});
            EXPECT_EQ(ProgressStory(), kRemoveStory);
            for (const wchar_t *gone : {kReader, kHelper, kOldReader, kOldState, kInstallFolder}) {
                EXPECT_FALSE(device.Exists(gone));
            }
            EXPECT_FALSE(device.IsRunning(kReader));
            EXPECT_FALSE(device.Exists(c.programs + newLink));
            if (c.desktop) {
                EXPECT_FALSE(device.Exists(c.desktop + newLink));
            }
            EXPECT_TRUE(device.Exists(L"\\Program Files"));
            EXPECT_EQ(device.ReadFile(kBook), "book");
        }
        EXPECT_FALSE(LaunchReader());
        Disconnect();
    }
}

// The emulator: the refusal, the install folder, and nothing else.
TEST_F(ReaderSetup, EmulatorIsRefused) {
    TestDevice device("emulator");
    device.Plug();
    std::vector<Box> boxes;
    RunAnswering(InstallReader, &boxes);
    EXPECT_EQ(boxes, (std::vector<Box>{{kCaptionSetup, kTextEmulatorRefused}}));
    EXPECT_EQ(LineTexts(1), std::vector<std::string>(kInstallStatus.begin(), kInstallStatus.end() - 1));
    EXPECT_EQ(g_progress.back(), "hide");
    EXPECT_NE(device.Attributes(kInstallFolder) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_NE(device.Attributes(kInstallFolder), INVALID_FILE_ATTRIBUTES);
    const std::vector<std::string> log = device.Log();
    for (const char *call : {"CeWriteFile", "CeDeleteFile", "CeRapiInvoke", "CeSHCreateShortcut", "CeCreateFile"}) {
        EXPECT_EQ(CountLines(log, call), 0u) << call;
    }
}

// A reader that runs and ignores the close request: the update cannot
// replace it, says so and makes no shortcuts (an earlier one stays as it
// was). The removal says so too and keeps the helper library and the
// folder, so that a removal after the reader has closed finishes the job.
TEST_F(ReaderSetup, RunningReaderThatIgnoresClose) {
    const wchar_t kLink[] = L"\\Windows\\Programs\\Tesh\u2122 Reader.lnk";
    TestDevice device("hpc2000");
    device.MakeFolder(L"\\Program Files");
    device.MakeFolder(kInstallFolder);
    device.WriteFile(kHelper, kHelperFirstLine + std::string("older helper"));
    device.WriteFile(kReader, kReaderFirstLine + std::string("older reader"));
    const FILETIME older = MakeFileTime(kYear2001 - kOneDay);
    device.SetTimes(kReader, older, older, older);
    device.SetTimes(kHelper, older, older, older);
    device.WriteFile(kLink, "earlier link");
    device.SetFault("ignore_close", "1");
    device.Plug();
    ASSERT_TRUE(device.StartProgram(kReader));

    std::vector<Box> boxes;
    RunAnswering(InstallReader, &boxes);
    ASSERT_EQ(boxes, (std::vector<Box>{{kCaptionUpdateProblem, kTextReaderInUse}}));
    EXPECT_EQ(boxes[0].icon, LoadIcon(nullptr, IDI_WARNING));
    EXPECT_EQ(device.ReadFile(kReader), kReaderFirstLine + std::string("older reader"));
    EXPECT_TRUE(device.IsRunning(kReader));
    EXPECT_EQ(device.ReadFile(kHelper), HelperContent("hpc300.mips"));
    EXPECT_EQ(device.ReadFile(kLink), "earlier link");
    EXPECT_FALSE(device.Exists(L"\\Windows\\Desktop\\Tesh\u2122 Reader.lnk"));
    EXPECT_EQ(LineTexts(1).back(), "Copying from host file");
    EXPECT_EQ(CountLines(device.Log(), "CeSHCreateShortcut"), 0u);

    boxes.clear();
    EXPECT_EQ(RunAnswering(RemoveReader, &boxes), 1);
    ASSERT_EQ(boxes, (std::vector<Box>{{kCaptionSetup, kTextReaderInUseRemove}}));
    EXPECT_EQ(boxes[0].icon, LoadIcon(nullptr, IDI_WARNING));
    std::vector<std::string> story = kRemoveStory;
    story.erase(std::find(story.begin(), story.end(), "3:tarnlib.dll"));
    EXPECT_EQ(ProgressStory(), story);
    EXPECT_TRUE(device.Exists(kReader));
    EXPECT_TRUE(device.Exists(kHelper));
    EXPECT_TRUE(device.Exists(kInstallFolder));
    EXPECT_FALSE(device.Exists(kLink));

    // The user closes the reader and tries again.
    device.SetFault("ignore_close", "0");
    boxes.clear();
    RunAnswering(RemoveReader, &boxes);
    EXPECT_EQ(boxes, std::vector<Box>{});
    EXPECT_FALSE(device.Exists(kInstallFolder));
}

// A reader variant missing from the setup folder: the system's text for the
// missing file, once, and nothing on the device changes: no shortcut to a
// reader that is not there, the running earlier reader left alone. A
// missing helper variant is shown and the reader installed all the same.
TEST_F(ReaderSetup, MissingHostVariantShowsTheSystemError) {
    const wchar_t kLink[] = L"\\Windows\\Programs\\Tesh\u2122 Reader.lnk";
    for (const char *missing : {"Tesh Reader.exe.hpc300.mips", "tarnlib.dll.hpc300.mips"}) {
        SCOPED_TRACE(missing);
        const bool readerMissing = missing[0] == 'T';
        TestDevice device("hpc2000");
        device.WriteFile(kOldReader, "CEAPP\tWINDOW\tREADER\tCorvex Reader\r\nold reader");
        device.WriteFile(kHelper, kHelperFirstLine);
        device.Plug();
        ASSERT_TRUE(device.StartProgram(kOldReader));
        const std::string path = folder_ + "\\" + missing;
        MoveFileA(path.c_str(), (path + ".away").c_str());
        std::vector<Box> boxes;
        RunAnswering(InstallReader, &boxes);
        MoveFileA((path + ".away").c_str(), path.c_str());
        EXPECT_EQ(boxes, (std::vector<Box>{{kCaptionError, SystemText(ERROR_FILE_NOT_FOUND)}}));
        EXPECT_EQ(device.Exists(kReader), !readerMissing);
        EXPECT_EQ(device.Exists(kLink), !readerMissing);
        EXPECT_EQ(device.IsRunning(kOldReader), readerMissing);
        EXPECT_EQ(device.ReadFile(kHelper), kHelperFirstLine);
        if (readerMissing) {
            EXPECT_EQ(CountLines(device.Log(), "CeSHCreateShortcut"), 0u);
        }
        Disconnect();
    }
}

// A reader copy the device refuses for another reason than "in use" is not
// passed over in silence, and no shortcuts point at a reader that is not
// there. Here a folder stands where the reader's file belongs.
TEST_F(ReaderSetup, OtherCopyFailureIsShownWithoutShortcuts) {
    TestDevice device("pocketpc");
    device.MakeFolder(L"\\Program Files");
    device.MakeFolder(kInstallFolder);
    device.MakeFolder(kReader);
    device.Plug();
    std::vector<Box> boxes;
    RunAnswering(InstallReader, &boxes);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, kCaptionError);
    EXPECT_FALSE(boxes[0].text.empty());
    EXPECT_NE(boxes[0].text, kTextReaderInUse);
    EXPECT_EQ(CountLines(device.Log(), "CeSHCreateShortcut"), 0u);
    EXPECT_FALSE(device.Exists(L"\\Windows\\Start Menu\\Programs\\Tesh\u2122 Reader.lnk"));
}

// A link lost during Install Reader (while the helper library is copied)
// or Remove Reader (at the first deletion) is told in one box that says to
// dock the device and choose the action again; the connection is forgotten.
TEST_F(ReaderSetup, LinkLostIsSaidOnceWithWhatToDo) {
    const Box installLost{kCaptionError, std::string(kTextLinkLostInstallingReader) + " " + kTextDockAgainForReader};
    const Box removeLost{kCaptionError, kTextLinkLostRemovingReader};
    {
        TestDevice device("hpc2000");
        device.Plug();
        g_setup.connected = 0;
        device.SetFault("drop_after_bytes", "10");
        std::vector<Box> boxes;
        EXPECT_EQ(RunAnswering(InstallReader, &boxes), 0);
        EXPECT_EQ(boxes, std::vector<Box>{installLost});
        EXPECT_EQ(g_setup.connected, 0);
    }
    // The calls a removal makes before its first deletion, on a twin device.
    auto installed = [](TestDevice &device) {
        device.Plug();
        g_setup.connected = 0;
        std::vector<Box> boxes;
        RunAnswering(InstallReader, &boxes);
        EXPECT_EQ(boxes, std::vector<Box>{});
    };
    size_t callsBeforeDelete = 0;
    {
        TestDevice twin("hpc2000");
        installed(twin);
        const size_t mark = twin.Log().size();
        std::vector<Box> boxes;
        RunAnswering(RemoveReader, &boxes);
        const std::vector<std::string> log = twin.Log();
        for (size_t i = mark; i < log.size() && log[i].find("CeDeleteFile") == std::string::npos; ++i) {
            callsBeforeDelete += log[i].find("] Ce") != std::string::npos;
        }
        Disconnect();
    }
    TestDevice device("hpc2000");
    installed(device);
    device.SetFault("drop_after_calls", std::to_string(callsBeforeDelete));
    std::vector<Box> boxes;
    EXPECT_EQ(RunAnswering(RemoveReader, &boxes), 1);
    EXPECT_EQ(boxes, std::vector<Box>{removeLost});
    EXPECT_EQ(g_setup.connected, 0);
    EXPECT_TRUE(device.Exists(kReader));
}

// No device and the connection cancelled: the window comes and goes with
// no status text, the error box is the only message, the device is as it was.
TEST_F(ReaderSetup, CancelledConnectionTouchesNothing) {
    TestDevice device("hpc2000");
    const struct {
        const char *name;
        int (*action)();
        int result;
    } actions[] = {{"install", InstallReader, 0}, {"remove", RemoveReader, 1}};
    for (const auto &a : actions) {
        std::vector<Box> boxes;
        EXPECT_EQ(RunAnswering(a.action, &boxes), a.result) << a.name;
        EXPECT_EQ(boxes, (std::vector<Box>{{kConnectCaption, ""}, {kCaptionDeviceInformation, kTextNoConnection}}))
            << a.name;
        EXPECT_EQ(ProgressStory(), (std::vector<std::string>{"show", "hide"})) << a.name;
        EXPECT_EQ(g_setup.connected, 0);
    }
    EXPECT_FALSE(device.Exists(L"\\Program Files"));
    EXPECT_TRUE(device.Log().empty());
}

}  // namespace
