// Takes one PNG of each window of setup.exe through Wine's own copy of the
// screen: starts the real program from a prepared setup folder, docks a
// simulated device on a thread of this process, and plays the user with the
// robot. tools/screenshots.sh takes the README's pictures itself, with real
// input and the X server's own pixels, and runs only the label check below;
// the picture tests remain for a run by hand in a Wine virtual desktop.
//
// Environment: TESH_SHOTS_SETUP (the setup folder: setup.exe, the variant
// files and books; the stand-in rapi.dll is the Wine prefix's system one),
// TESH_SHOTS_OUT (where the PNGs go), CEDEVICE_PIPE (the pipe of the
// device, inherited by setup.exe).
//
// Besides the pictures, LabelsOfEveryTemplateFit lays out each dialog
// template in this process, with the fonts of this Wine prefix, and names
// every label whose text does not fit its control.
#include <gtest/gtest.h>

#include <windows.h>
// gdiplus.h needs the COM declarations that WIN32_LEAN_AND_MEAN leaves out.
#include <objidl.h>
#include <gdiplus.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "resources/resource_ids.h"
#include "resources/texts.h"
#include "tests/support/robot.h"
#include "tests/support/test_device.h"

namespace {

const DWORD kStepTimeoutMs = 20000;
// After a window is up and its program waits for input, the window system
// gets this long to put the last drawing on screen.
const DWORD kSettleMs = 400;

std::string Environment(const char *name) {
    char value[MAX_PATH] = "";
    DWORD length = GetEnvironmentVariableA(name, value, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::string(value) : std::string();
}

std::wstring Wide(const std::string &text) {
    int length = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &wide[0], length);
    wide.resize(static_cast<size_t>(length > 0 ? length - 1 : 0));
    return wide;
}

// ---- Pictures ---------------------------------------------------------------

class GdiPlus {
public:
    GdiPlus() {
        Gdiplus::GdiplusStartupInput input;
        ok_ = Gdiplus::GdiplusStartup(&token_, &input, nullptr) == Gdiplus::Ok;
    }
    ~GdiPlus() {
        if (ok_) Gdiplus::GdiplusShutdown(token_);
    }
    bool Ok() const { return ok_; }

private:
    ULONG_PTR token_ = 0;
    bool ok_ = false;
};

// The image/png encoder of GDI+.
const CLSID kPngEncoder = {0x557cf406, 0x1a04, 0x11d3, {0x9a, 0x73, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}};

// A bitmap of part of the screen. Wine copies a part of its virtual desktop
// correctly only when the copy starts at the desktop's corner, so the whole
// screen is copied first and the part cut out of that copy.
HBITMAP CopyOfScreen(const RECT &part) {
    const int screenWidth = GetSystemMetrics(SM_CXSCREEN), screenHeight = GetSystemMetrics(SM_CYSCREEN);
    const int width = part.right - part.left, height = part.bottom - part.top;
    HDC screen = GetDC(nullptr);
    HDC whole = CreateCompatibleDC(screen);
    HDC cut = CreateCompatibleDC(screen);
    HBITMAP wholeBitmap = CreateCompatibleBitmap(screen, screenWidth, screenHeight);
    HBITMAP cutBitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ previousWhole = SelectObject(whole, wholeBitmap);
    HGDIOBJ previousCut = SelectObject(cut, cutBitmap);
    const bool copied = BitBlt(whole, 0, 0, screenWidth, screenHeight, screen, 0, 0, SRCCOPY | CAPTUREBLT) &&
                        BitBlt(cut, 0, 0, width, height, whole, part.left, part.top, SRCCOPY);
    SelectObject(cut, previousCut);
    SelectObject(whole, previousWhole);
    DeleteObject(wholeBitmap);
    DeleteDC(cut);
    DeleteDC(whole);
    ReleaseDC(nullptr, screen);
    if (copied) return cutBitmap;
    DeleteObject(cutBitmap);
    return nullptr;
}

// Copies the window's rectangle of the screen (caption and frame included)
// into a PNG file.
bool SaveWindowPicture(HWND window, const std::string &name) {
    RECT rect;
    if (!GetWindowRect(window, &rect)) return false;
    HBITMAP bitmap = CopyOfScreen(rect);
    bool saved = false;
    if (bitmap) {
        const std::wstring path = Wide(Environment("TESH_SHOTS_OUT") + "\\" + name);
        Gdiplus::Bitmap picture(bitmap, nullptr);
        saved = picture.Save(path.c_str(), &kPngEncoder, nullptr) == Gdiplus::Ok;
        DeleteObject(bitmap);
    }
    printf("%s %s (%ldx%ld)\n", saved ? "saved" : "FAILED", name.c_str(), rect.right - rect.left,
           rect.bottom - rect.top);
    return saved;
}

// ---- Finding windows ----------------------------------------------------------

struct Search {
    std::string caption;
    bool messageBox;
    HWND found;
};

BOOL CALLBACK MatchTopLevel(HWND window, LPARAM parameter) {
    Search *search = reinterpret_cast<Search *>(parameter);
    if (!IsWindowVisible(window) || robot::Text(window) != search->caption) return TRUE;
    char windowClass[16] = "";
    GetClassNameA(window, windowClass, sizeof windowClass);
    if (strcmp(windowClass, "#32770") != 0) return TRUE;
    // A message box is the dialog that has the box's text control.
    if ((GetDlgItem(window, 65535) != nullptr) != search->messageBox) return TRUE;
    search->found = window;
    return FALSE;
}

HWND FindDialog(const std::string &caption, bool messageBox = false) {
    Search search = {caption, messageBox, nullptr};
    EnumWindows(MatchTopLevel, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Waits for a dialog (not a message box) with this caption; answers any
// "File Error" box on the way with OK (the book page reports an unreadable
// book while it fills its list).
HWND WaitForDialog(const std::string &caption, bool messageBox = false, DWORD timeoutMs = kStepTimeoutMs) {
    const DWORD deadline = GetTickCount() + timeoutMs;
    while (static_cast<LONG>(deadline - GetTickCount()) > 0) {
        if (HWND window = FindDialog(caption, messageBox)) return window;
        if (HWND box = FindDialog(kCaptionFileError, true)) {
            printf("answered \"%s\": %s\n", kCaptionFileError, robot::ControlText(box, 65535).c_str());
            robot::Click(box, IDOK);
            robot::WaitForWindowGone(box, timeoutMs);
        }
        Sleep(20);
    }
    ADD_FAILURE() << "no " << (messageBox ? "message box" : "dialog") << " \"" << caption << "\". Screen:\n"
                  << robot::DescribeScreen();
    return nullptr;
}

// ---- setup.exe ------------------------------------------------------------------

class SetupRun {
public:
    bool Start() {
        const std::string folder = Environment("TESH_SHOTS_SETUP");
        const std::string program = folder + "\\setup.exe";
        std::vector<char> commandLine(program.begin(), program.end());
        commandLine.push_back('\0');
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        return CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                              folder.c_str(), &startup, &process_) != 0;
    }
    ~SetupRun() {
        if (!process_.hProcess) return;
        if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(process_.hProcess, 1);
        CloseHandle(process_.hThread);
        CloseHandle(process_.hProcess);
    }
    // Waits until the program waits for input, then lets the drawing land.
    void Settle() const {
        WaitForInputIdle(process_.hProcess, kStepTimeoutMs);
        Sleep(kSettleMs);
    }
    // The program's one user-interface thread: stopped while a picture of a
    // busy window is taken.
    HANDLE MainThread() const { return process_.hThread; }
    long WaitForExit() const {
        if (WaitForSingleObject(process_.hProcess, kStepTimeoutMs) != WAIT_OBJECT_0) return -1;
        DWORD code = 0;
        GetExitCodeProcess(process_.hProcess, &code);
        return static_cast<long>(code);
    }

private:
    PROCESS_INFORMATION process_ = {};
};

// True when the window is the active window of its thread: its caption is
// drawn in the active colours.
bool IsActive(HWND window) {
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    return GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) && info.hwndActive == window &&
           GetForegroundWindow() == window;
}

// A window that has just appeared may not be active yet; as a user would,
// the robot clicks its caption, so that its picture shows it active.
void BringToFront(HWND window) {
    RECT rect;
    for (int attempt = 0; attempt < 5 && !IsActive(window) && GetWindowRect(window, &rect); ++attempt) {
        SetCursorPos((rect.left + rect.right) / 2, rect.top + GetSystemMetrics(SM_CYCAPTION) / 2 + 2);
        INPUT clicks[2] = {};
        clicks[0].type = clicks[1].type = INPUT_MOUSE;
        clicks[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
        clicks[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
        SendInput(2, clicks, sizeof clicks[0]);
        Sleep(100);
    }
    // Wine can make the first window of a program active without drawing its
    // caption so; this is the message activation sends to draw it.
    if (IsActive(window)) SendMessageTimeoutA(window, WM_NCACTIVATE, TRUE, 0, SMTO_NORMAL, 2000, nullptr);
}

void Shoot(const SetupRun &setup, HWND window, const char *name) {
    if (!window) return;
    BringToFront(window);
    setup.Settle();
    EXPECT_TRUE(SaveWindowPicture(window, name));
}

// The main menu, Other Options and the question that Exit asks; the program
// ends through that question.
TEST(Screenshots, MenusAndMessageBox) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    GdiPlus gdiPlus;
    ASSERT_TRUE(gdiPlus.Ok());
    SetupRun setup;
    ASSERT_TRUE(setup.Start());

    HWND menu = WaitForDialog(kCaptionSetup);
    ASSERT_NE(menu, nullptr);
    Shoot(setup, menu, "main-menu.png");

    robot::Click(menu, IDC_OTHER_OPTIONS);
    HWND options = WaitForDialog("Other Options");
    Shoot(setup, options, "other-options.png");
    robot::Click(options, IDCANCEL);

    menu = WaitForDialog(kCaptionSetup);
    robot::Click(menu, IDCANCEL);
    HWND question = WaitForDialog(kCaptionSetup, true);
    Shoot(setup, question, "message-box.png");
    robot::Click(question, IDYES);
    EXPECT_EQ(setup.WaitForExit(), 0);
}

// ---- Install Book, end to end -------------------------------------------------

// How much of a file being copied into a device folder has arrived: the
// size of the largest file there (the copy may be written under another
// name and renamed when complete).
long long LargestFileIn(const TestDevice &device, const std::wstring &deviceFolder) {
    long long largest = -1;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((device.ImageFolder() + L"\\store" + deviceFolder + L"\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return largest;
    do {
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        largest = std::max(largest, (static_cast<long long>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow);
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return largest;
}

long long HostFileSize(const std::string &path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Selects the list entries whose text starts with one of the prefixes. The
// entries are read as UTF-16: Wine passes a list box's text to another
// process unconverted.
void SelectBooks(HWND page, const std::vector<std::string> &prefixes) {
    HWND list = GetDlgItem(page, IDC_LIST);
    const LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        wchar_t text[600] = L"";
        const LRESULT length = SendMessageW(list, LB_GETTEXTLEN, i, 0);
        if (length < 0 || length >= 600) continue;
        SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(text));
        for (const std::string &prefix : prefixes) {
            if (std::wstring(text).compare(0, prefix.size(), Wide(prefix)) == 0) {
                SendMessageW(list, LB_SETSEL, TRUE, i);
            }
        }
    }
    // What the list box tells its page after a click on an entry.
    SendMessageW(page, WM_COMMAND, MAKEWPARAM(IDC_LIST, LBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
}

// The picture of the progress window is taken while the large sample book
// is half copied: the program is stopped for the moment of the picture.
void ShootProgressMidCopy(const SetupRun &setup, const TestDevice &device, const std::string &bookFile) {
    const long long total = HostFileSize(Environment("TESH_SHOTS_SETUP") + "\\" + bookFile);
    ASSERT_GT(total, 0) << "no " << bookFile << " in the setup folder";
    const DWORD deadline = GetTickCount() + kStepTimeoutMs;
    while (LargestFileIn(device, L"\\My Documents\\Corvex Press") < total * 2 / 5) {
        ASSERT_GT(static_cast<LONG>(deadline - GetTickCount()), 0) << "the book copy does not get going";
        Sleep(1);
    }
    HWND progress = FindDialog(kCaptionSetup);
    ASSERT_NE(progress, nullptr);
    SuspendThread(setup.MainThread());
    Sleep(kSettleMs);
    EXPECT_TRUE(SaveWindowPicture(progress, "progress.png"));
    ResumeThread(setup.MainThread());
}

// Install Book from the main menu with the device not yet docked: the
// connection dialog, the book page, the storage page, the progress window
// during a copy and the completion dialog.
TEST(Screenshots, InstallBook) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    GdiPlus gdiPlus;
    ASSERT_TRUE(gdiPlus.Ok());
    TestDevice device("pocketpc");
    SetupRun setup;
    ASSERT_TRUE(setup.Start());

    HWND menu = WaitForDialog(kCaptionSetup);
    ASSERT_NE(menu, nullptr);
    robot::Click(menu, IDC_INSTALL_BOOK);
    HWND connecting = WaitForDialog("Establishing Connection");
    Shoot(setup, connecting, "connection.png");
    device.Plug();

    HWND books = WaitForDialog("Select Books to Install");
    ASSERT_NE(books, nullptr);
    SelectBooks(books, {"A Tale", "Complete Works", "The Wall Street Journal (wsj0102"});
    Shoot(setup, books, "book-page.png");
    robot::Click(books, IDC_NEXT);

    HWND storage = WaitForDialog("Select Storage Location");
    ASSERT_NE(storage, nullptr);
    SendMessageA(GetDlgItem(storage, IDC_LIST), LB_SETCURSEL, 0, 0);
    Shoot(setup, storage, "storage-page.png");
    robot::Click(storage, IDC_NEXT);

    ShootProgressMidCopy(setup, device, "complete-works.vbk");

    HWND complete = WaitForDialog("Book Install Complete!");
    Shoot(setup, complete, "install-complete.png");
    robot::Click(complete, IDC_NEXT);
    EXPECT_EQ(setup.WaitForExit(), 0);
}

// ---- Labels --------------------------------------------------------------------

INT_PTR CALLBACK QuietDialog(HWND, UINT message, WPARAM, LPARAM) { return message == WM_INITDIALOG; }

// The text of a label as it is drawn: "&" marks the mnemonic unless the
// control says otherwise.
std::string ControlClass(HWND control) {
    char name[32] = "";
    GetClassNameA(control, name, sizeof name);
    return name;
}

// Names the label if its text, in the control's font, does not fit its
// control: a static wraps at word breaks within its width and must not need
// more lines than its height holds; a button or group box shows one line.
std::string CutLabel(HWND dialog, HWND control) {
    char text[512] = "";
    GetWindowTextA(control, text, sizeof text);
    if (!text[0]) return std::string();
    const std::string kind = ControlClass(control);
    const LONG style = GetWindowLongA(control, GWL_STYLE);
    RECT client;
    GetClientRect(control, &client);
    HDC dc = GetDC(control);
    HGDIOBJ previousFont = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageA(control, WM_GETFONT, 0, 0)));
    RECT needed = {0, 0, client.right, 0};
    std::string problem;
    if (kind == "Static") {
        if ((style & SS_TYPEMASK) > SS_RIGHT) {
            problem.clear();  // pictures, frames and lines have no text to cut
        } else {
            DrawTextA(dc, text, -1, &needed, DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS);
            if (needed.right > client.right || needed.bottom > client.bottom) problem = "static";
        }
    } else if (kind == "Button") {
        DrawTextA(dc, text, -1, &needed, DT_CALCRECT | DT_SINGLELINE);
        const LONG type = style & BS_TYPEMASK;
        // A push button keeps a 3D border and focus frame of about 4 pixels a
        // side; a group box's text starts about 8 pixels in.
        const LONG room = type == BS_GROUPBOX ? client.right - 16 : client.right - 8;
        if (needed.right > room) problem = type == BS_GROUPBOX ? "group box" : "button";
    }
    SelectObject(dc, previousFont);
    ReleaseDC(control, dc);
    if (problem.empty()) return problem;
    char line[700];
    snprintf(line, sizeof line, "dialog %d, control %d (%s) \"%s\": needs %ldx%ld, has %ldx%ld",
             GetDlgCtrlID(dialog), GetDlgCtrlID(control), problem.c_str(), text, needed.right, needed.bottom,
             client.right, client.bottom);
    return line;
}

BOOL CALLBACK CollectChild(HWND window, LPARAM children) {
    reinterpret_cast<std::vector<HWND> *>(children)->push_back(window);
    return TRUE;
}

TEST(Screenshots, LabelsOfEveryTemplateFit) {
    const int templates[] = {IDD_BOOK_SELECTION, IDD_PROGRESS, IDD_CONNECT, IDD_STORAGE_LOCATION,
                             IDD_MAIN_MENU, IDD_OTHER_OPTIONS, IDD_INSTALL_COMPLETE};
    for (int id : templates) {
        HWND dialog = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(id), nullptr, QuietDialog, 0);
        ASSERT_NE(dialog, nullptr) << "template " << id;
        SetWindowLongPtrA(dialog, GWLP_ID, id);
        HFONT font = reinterpret_cast<HFONT>(SendMessageA(dialog, WM_GETFONT, 0, 0));
        HDC dc = GetDC(dialog);
        HGDIOBJ previous = SelectObject(dc, font);
        char face[LF_FACESIZE] = "";
        GetTextFaceA(dc, sizeof face, face);
        TEXTMETRICA metrics;
        GetTextMetricsA(dc, &metrics);
        SelectObject(dc, previous);
        ReleaseDC(dialog, dc);
        printf("template %d: font \"%s\", height %ld, average width %ld, %s\n", id, face, metrics.tmHeight,
               metrics.tmAveCharWidth, (metrics.tmPitchAndFamily & TMPF_VECTOR) ? "outline" : "bitmap");
        std::vector<HWND> children;
        EnumChildWindows(dialog, CollectChild, reinterpret_cast<LPARAM>(&children));
        for (HWND child : children) {
            const std::string cut = CutLabel(dialog, child);
            EXPECT_TRUE(cut.empty()) << cut;
        }
        DestroyWindow(dialog);
    }
}

}  // namespace
