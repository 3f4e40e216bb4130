#include "devicefiles/shortcuts.h"

#include <new>
#include <string>

#include "device/rapi.h"
#include "base/setup_state.h"

namespace {

enum class ShortcutFolder { Programs, Desktop };

// Which special folders each device class has shortcuts in.
struct PlatformShortcuts {
    WORD platformCode;
    bool programs;
    bool desktop;
};

const PlatformShortcuts kPlatformShortcuts[] = {
    {1, true, true},  {2, true, false}, {3, true, true},
    {4, true, false}, {5, true, false}, {6, true, true},
};

bool FolderInUse(ShortcutFolder folder, WORD platformCode) {
    for (const PlatformShortcuts &row : kPlatformShortcuts) {
        if (row.platformCode == platformCode) return folder == ShortcutFolder::Programs ? row.programs : row.desktop;
    }
    return false;
}

int FolderId(ShortcutFolder folder) { return folder == ShortcutFolder::Programs ? CSIDL_PROGRAMS : CSIDL_DESKTOP; }

// The special folder's path as the device reports it (at most 255
// characters); false when the device cannot name it, for then no path for
// the shortcut can be built at all.
bool QueryFolderPath(ShortcutFolder folder, wchar_t (&path)[256]) {
    path[0] = L'\0';
    DWORD length = CeGetSpecialFolderPath(FolderId(folder), 255, path);
    path[255] = L'\0';
    return length != 0 && path[0] != L'\0';
}

// The shortcut file for name in folder, or false when the operation does
// nothing on this device (or when its memory cannot be had).
bool ShortcutFilePath(ShortcutFolder folder, const wchar_t *name, std::wstring *file) {
    wchar_t folderPath[256];
    bool known = QueryFolderPath(folder, folderPath);
    if (!FolderInUse(folder, g_setup.PlatformCode) || !known) return false;
    try {
        *file = std::wstring(folderPath) + name + L".lnk";
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

int CreateShortcut(ShortcutFolder folder, const wchar_t *name, const wchar_t *target) {
    std::wstring file, quotedTarget;
    if (!ShortcutFilePath(folder, name, &file)) return 0;
    try {
        // One quoted string, so a target with spaces stays one command.
        quotedTarget = std::wstring(L"\"") + target + L"\"";
    } catch (const std::bad_alloc &) {
        return 0;
    }
    return static_cast<int>(CeSHCreateShortcut(&file[0], &quotedTarget[0]));
}

int DeleteShortcut(ShortcutFolder folder, const wchar_t *name) {
    std::wstring file;
    if (ShortcutFilePath(folder, name, &file)) CeDeleteFile(file.c_str());
    return 0;
}

}  // namespace

int CreateProgramsShortcut(const wchar_t *name, const wchar_t *target) {
    return CreateShortcut(ShortcutFolder::Programs, name, target);
}

int DeleteProgramsShortcut(const wchar_t *name) { return DeleteShortcut(ShortcutFolder::Programs, name); }

int CreateDesktopShortcut(const wchar_t *name, const wchar_t *target) {
    return CreateShortcut(ShortcutFolder::Desktop, name, target);
}

int DeleteDesktopShortcut(const wchar_t *name) { return DeleteShortcut(ShortcutFolder::Desktop, name); }
