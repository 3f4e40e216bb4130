// Helpers for tests of the progress window: the program instance for the
// templates, and a recorder of the bar positions the window is sent.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

#include "devicefiles/progress_window.h"
#include "base/setup_state.h"

// The templates are linked into the test program itself.
inline void PrepareForDialogs() {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    g_setup.instance = GetModuleHandleA(nullptr);
}

inline std::string LineText(int line) {
    char text[512] = "";
    GetWindowTextA(g_setup.progressLine[line - 1], text, sizeof text);
    return text;
}

// Subclasses the current progress bar and records every position and range
// it is sent, in order, until Detach (or destruction); with each position,
// the four lines as they stood then ("1|2|3|4").
class BarRecorder {
public:
    BarRecorder() {
        bar_ = g_setup.progressBar;
        Current() = this;
        original_ = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrA(bar_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&BarRecorder::Proc)));
    }
    ~BarRecorder() { Detach(); }
    BarRecorder(const BarRecorder &) = delete;
    BarRecorder &operator=(const BarRecorder &) = delete;

    void Detach() {
        if (original_ && IsWindow(bar_)) SetWindowLongPtrA(bar_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(original_));
        original_ = nullptr;
        Current() = nullptr;
    }

    std::vector<int> positions;
    std::vector<std::string> linesAtPosition;
    std::vector<LPARAM> ranges;

private:
    static BarRecorder *&Current() {
        static BarRecorder *current = nullptr;
        return current;
    }
    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        BarRecorder *self = Current();
        if (message == PBM_SETPOS) {
            self->positions.push_back(static_cast<int>(wParam));
            self->linesAtPosition.push_back(LineText(1) + "|" + LineText(2) + "|" + LineText(3) + "|" + LineText(4));
        }
        if (message == PBM_SETRANGE) self->ranges.push_back(lParam);
        return CallWindowProcA(self->original_, window, message, wParam, lParam);
    }

    HWND bar_ = nullptr;
    WNDPROC original_ = nullptr;
};

inline int BarPosition() { return static_cast<int>(SendMessageA(g_setup.progressBar, PBM_GETPOS, 0, 0)); }

// Lets the window handle whatever was posted to it.
inline void PumpMessages() {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}
