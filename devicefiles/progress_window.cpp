#include "devicefiles/progress_window.h"

#include <commctrl.h>

#include "resources/resource_ids.h"
#include "base/setup_state.h"

namespace {

// Lines 1 to 4 in screen order; line 4 is control 1005, after the bar's 1004.
const int kLineControls[4] = {IDC_PROGRESS_LINE1, IDC_PROGRESS_LINE2, IDC_PROGRESS_LINE3, IDC_PROGRESS_LINE4};

// A repaint request costs a round trip to the window system even when
// nothing needs painting, and a copy updates the bar for every 16 KB chunk.
// So the bar update repaints when the bar moves or a line changed, and
// otherwise at most every kIdleRepaintMs, which still redraws a window
// uncovered by another one promptly. This bookkeeping belongs to the
// progress window alone.
const DWORD kIdleRepaintMs = 50;
struct RepaintState {
    bool linesChanged;
    DWORD lastRepaintTick;
};
RepaintState g_repaint = {true, 0};

bool RepaintDue(WORD newPosition) {
    WORD shown = static_cast<WORD>(SendMessageA(g_setup.progressBar, PBM_GETPOS, 0, 0));
    return g_repaint.linesChanged || newPosition != shown || GetTickCount() - g_repaint.lastRepaintTick >= kIdleRepaintMs;
}

void ForgetProgressWindow() {
    g_setup.progressWindow = nullptr;
    g_setup.progressBar = nullptr;
    for (HWND &line : g_setup.progressLine) line = nullptr;
}

// A hidden window is never used again; destroying it before the next one is
// made keeps at most one progress window alive for the whole program.
void DestroyPreviousProgressWindow() {
    if (g_setup.progressWindow) DestroyWindow(g_setup.progressWindow);
    ForgetProgressWindow();
}

void InitProgressWindow(HWND window) {
    g_setup.progressWindow = window;
    g_setup.progressBar = GetDlgItem(window, IDC_PROGRESS_BAR);
    for (int i = 0; i < 4; ++i) g_setup.progressLine[i] = GetDlgItem(window, kLineControls[i]);
    for (int line = 1; line <= 4; ++line) SetProgressLine(line, "");
}

INT_PTR CALLBACK ProgressWindowProc(HWND window, UINT message, WPARAM, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        InitProgressWindow(window);
        return TRUE;
    case WM_COMMAND:  // Escape or Enter: the user cannot stop the work.
    case WM_CLOSE:
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace

void ShowProgressWindow() {
    DestroyPreviousProgressWindow();
    CreateDialogParamA(g_setup.instance, MAKEINTRESOURCEA(IDD_PROGRESS), nullptr, ProgressWindowProc, 0);
}

void HideProgressWindow() {
    if (g_setup.progressWindow) ShowWindow(g_setup.progressWindow, SW_HIDE);
}

void SetProgressLine(int line, const char *text) {
    if (line < 1 || line > 4) return;
    HWND control = g_setup.progressLine[line - 1];
    if (!control) return;
    SendMessageA(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
    g_repaint.linesChanged = true;
}

void RepaintProgressWindow() {
    if (g_setup.progressWindow) UpdateWindow(g_setup.progressWindow);
}

WORD ProgressPosition(DWORD total, DWORD done) {
    if (total == 0) return 0;
    double percent = static_cast<double>(done) / static_cast<double>(total) * 100.0;
    // At most 2^32 * 100, which a 64-bit integer holds exactly.
    return static_cast<WORD>(static_cast<unsigned long long>(percent) & 0xFFFF);
}

void UpdateProgressBar(DWORD total, DWORD done) {
    if (!g_setup.progressBar) return;
    WORD position = ProgressPosition(total, done);
    bool repaint = RepaintDue(position);
    if (repaint) UpdateWindow(g_setup.progressWindow);
    SendMessageA(g_setup.progressBar, PBM_SETPOS, position, 0);
    if (!repaint) return;
    UpdateWindow(g_setup.progressBar);
    g_repaint = {false, GetTickCount()};
}
