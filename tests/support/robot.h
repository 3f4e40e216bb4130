// The robot: plays the user against the program's windows, from a thread of
// its own or from another process. Every wait has a time limit; a wait that
// runs out fails the current test with a description of what is on screen.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace robot {

const DWORD kDefaultTimeoutMs = 15000;

// The robot looks only at the windows of its own process and the ones it
// started; this adds a process that another program started (and its
// children).
void Adopt(DWORD processId);

// A visible top-level window with exactly this (ANSI) caption and class;
// nullptr and a test failure when none appears in time.
HWND WaitForWindow(const std::string &caption, const char *windowClass = "#32770",
                   DWORD timeoutMs = kDefaultTimeoutMs);
// True when the window is gone (destroyed or hidden) in time.
bool WaitForWindowGone(HWND window, DWORD timeoutMs = kDefaultTimeoutMs);
// True when no visible top-level window with this caption shows up within
// the given time (for "nothing else happens" checks).
bool StaysAbsent(const std::string &caption, DWORD forMs, const char *windowClass = "#32770");

// Texts, read without blocking on a busy window (InternalGetWindowText).
std::string Text(HWND window);
std::string ControlText(HWND dialog, int controlId);
std::vector<std::string> ListBoxItems(HWND dialog, int controlId);
// The icon a message box shows (compare with LoadIcon(nullptr, IDI_...)),
// nullptr for none.
HICON ShownIcon(HWND box);

// Clicks a button by posting WM_COMMAND (BN_CLICKED) to its dialog.
void Click(HWND dialog, int controlId);
// Posts WM_CLOSE / SC_CLOSE as the close box does.
void CloseBox(HWND window);

// Waits for a message box with this caption, reads its text (the static
// control 65535), answers it with the button id (IDOK, IDYES, IDNO ...) and
// returns the text; "" and a test failure when none appears in time.
std::string AnswerMessageBox(const std::string &caption, int buttonId, DWORD timeoutMs = kDefaultTimeoutMs);

// Types one key (down and up) with SendInput: the focus window gets it and
// a thread keyboard hook sees it.
void PressKey(WORD virtualKey);
void KeyDown(WORD virtualKey);
void KeyUp(WORD virtualKey);

// The window that has the keyboard focus in the thread that owns window
// (any process); nullptr when there is none.
HWND FocusOf(HWND window);
// True when window becomes the foreground window in time (keys typed with
// PressKey go to it); a test failure otherwise.
bool WaitForForeground(HWND window, DWORD timeoutMs = kDefaultTimeoutMs);

// Every visible top-level window with its class, caption and child texts.
std::string DescribeScreen();

// Runs script on a robot thread while the calling thread runs body (which
// shows the program's dialogs); returns body's result after both ended.
// If the script fails or the body does not return in time, the robot
// closes what it can find so that the test ends instead of hanging.
int RunWithRobot(const std::function<int()> &body, const std::function<void()> &script,
                 DWORD timeoutMs = 60000);

}  // namespace robot
