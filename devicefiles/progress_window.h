// The progress window: four status lines above a progress bar, shown while
// a long device operation runs. Modeless, without owner, and without any way
// for the user to close it; the work that drives it repaints it explicitly.
#pragma once

#include <windows.h>

// Creates a fresh, visible progress window (four empty lines, empty bar) and
// makes it the current one. The previous window, if any, is destroyed first.
void ShowProgressWindow();

// Hides the current progress window.
void HideProgressWindow();

// Sets line 1..4 (top to bottom) of the current window; no repaint.
void SetProgressLine(int line, const char *text);

// Repaints the current window now, so that status lines set while the
// work runs (without dispatching messages) are seen as they come.
void RepaintProgressWindow();

// Moves the bar to the percentage of total that done is, and repaints the
// window when anything in it changed (or some time has passed).
void UpdateProgressBar(DWORD total, DWORD done);

// The bar position for done of total: the quotient first, times 100,
// truncated, low 16 bits kept; 0 when total is 0.
WORD ProgressPosition(DWORD total, DWORD done);
