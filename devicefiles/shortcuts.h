// Shortcut files for the reader in the device's Programs folder and on its
// desktop. Device classes without a desktop (platform codes 2, 4, 5) get
// Programs shortcuts only; an unknown class gets none.
#pragma once

#include <windows.h>

// name is appended to the special folder's path as it is (with its leading
// "\"), then ".lnk". The create operations return the device's result for
// the shortcut (non-zero on success), or 0 when nothing was attempted; the
// delete operations always return 0.
int CreateProgramsShortcut(const wchar_t *name, const wchar_t *target);
int DeleteProgramsShortcut(const wchar_t *name);
int CreateDesktopShortcut(const wchar_t *name, const wchar_t *target);
int DeleteDesktopShortcut(const wchar_t *name);
