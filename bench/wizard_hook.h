// What the benchmarks' hooks play the user with: the program's windows are
// told apart by their captions, and a page is driven by posting its
// buttons' commands as it is activated.
#pragma once

#include <windows.h>
#include <string.h>

#include "resources/resource_ids.h"

inline bool HasCaption(HWND window, const char *caption) {
    char text[64] = "";
    GetWindowTextA(window, text, sizeof text);
    return strcmp(text, caption) == 0;
}

// Select All and Next on the book page.
inline void ChooseEveryBook(HWND page) {
    PostMessageA(page, WM_COMMAND, IDC_SELECT_ALL, 0);
    PostMessageA(page, WM_COMMAND, IDC_NEXT, 0);
}
