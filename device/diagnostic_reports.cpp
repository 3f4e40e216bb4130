#include "device/diagnostic_reports.h"

#include <stdio.h>
#include <string.h>

#include "device/connection.h"
#include "device/identification.h"
#include "device/rapi.h"
#include "resources/texts.h"
#include "base/message_box.h"
#include "base/setup_state.h"

namespace {

const WPARAM kVersionKey = VK_F2;
const WPARAM kDeviceReportKey = VK_F3;

// Each is 1 while the box of its key is on screen (for F3 also while the
// connection is being made), so that the key messages that reach the hook
// from inside that box's own message loop (auto-repeat, the release, more
// presses) open no second box of the same key.
struct HotKeyFlags {
    LONG versionBoxOpen;
    LONG deviceReportOpen;
};
HotKeyFlags g_hotKeys = {0, 0};

// The character after the one at `at` (not the terminator) in codePage.
// CharNextExA knows the double-byte code pages only: it steps through a
// UTF-8 text byte by byte, so a UTF-8 code page is stepped here, over the
// continuation bytes (10xxxxxx) that follow a character's first byte.
const char *NextCharacter(UINT codePage, const char *at) {
    if (codePage != CP_UTF8) return CharNextExA(static_cast<WORD>(codePage), at, 0);
    const char *next = at + 1;
    while ((static_cast<unsigned char>(*next) & 0xC0) == 0x80) ++next;
    return next;
}

// The identifier's bytes that fit into room bytes without splitting a
// character of the code page.
size_t FittingIdentifierBytes(const char *identifier, size_t room, UINT codePage) {
    const char *end = identifier;
    while (*end) {
        const char *next = NextCharacter(codePage, end);
        if (next == end) break;
        if (static_cast<size_t>(next - identifier) > room) break;
        end = next;
    }
    return static_cast<size_t>(end - identifier);
}

void ShowVersionFromHotKey() {
    if (g_hotKeys.versionBoxOpen) return;
    g_hotKeys.versionBoxOpen = 1;
    ShowSetupVersion(kCaptionSetupInfoHotKey);
    g_hotKeys.versionBoxOpen = 0;
}

// Connects first when needed; a cancelled connection shows nothing more.
// PlatformCode stays as it was: the report only prints its own reading.
void ShowDeviceReportFromHotKey() {
    if (g_hotKeys.deviceReportOpen) return;
    g_hotKeys.deviceReportOpen = 1;
    if (!g_setup.connected) {
        if (!ConnectWithPrompt()) {
            g_setup.connected = 0;
            g_hotKeys.deviceReportOpen = 0;
            return;
        }
        g_setup.connected = 1;
    }
    ShowDeviceReport(kCaptionSetupInfoHotKey);
    g_hotKeys.deviceReportOpen = 0;
}

}  // namespace

void ShowSetupVersion(const char *caption) { ShowMessage(kTextSetupVersion, caption, MB_OK); }

void FormatDeviceReport(char *report, size_t size, int processor, int platform, int major, int minor,
                        const char *identifier, UINT codePage) {
    if (size == 0) return;
    // The numbers first, then as much of the identifier as fits.
    int fixed = snprintf(report, size, kTextDeviceReportFormat, processor, platform, major, minor, "");
    if (fixed < 0) {
        report[0] = '\0';
        return;
    }
    size_t used = static_cast<size_t>(fixed);
    if (used >= size) {
        report[size - 1] = '\0';
        return;
    }
    const UINT textCodePage = codePage == CP_ACP ? GetACP() : codePage;
    const size_t take = FittingIdentifierBytes(identifier, size - 1 - used, textCodePage);
    memcpy(report + used, identifier, take);
    report[used + take] = '\0';
}

void ShowDeviceReport(const char *caption) {
    DeviceIdentity identity;
    if (!ReadDeviceIdentity(&identity)) {
        // Zeros are no facts of the device: the report says it could not
        // be read and why, and the connection is forgotten, so that the
        // next action connects afresh.
        const DWORD error = CeGetLastError();
        ForgetConnection();
        ShowSystemErrorBoxAbout(kTextDeviceUnreadable, error != 0 ? error : ERROR_DEVICE_NOT_CONNECTED);
        return;
    }
    // Printed only, never stored; the low 16 bits as SetPlatformCode keeps them.
    const int platform = ClassifyPlatform() & 0xFFFF;
    char report[kDeviceReportBytes];
    FormatDeviceReport(report, sizeof report, identity.processor, platform, identity.major, identity.minor,
                       g_setup.platformIdText);
    ShowMessage(report, caption, MB_OK);
}

void ShowDeviceInfo() {
    if (!EnsureDeviceReady()) return;
    ShowDeviceReport(kCaptionDeviceInformation);
}

LRESULT CALLBACK DiagnosticKeyHook(int code, WPARAM key, LPARAM flags) {
    // Presses, auto-repeats and releases all count. Only a message that is
    // being taken from the queue (HC_ACTION) is acted on: the same message
    // is also shown to the hook when a message loop merely peeks at it
    // (HC_NOREMOVE), and a negative code must go straight to the next hook.
    if (code == HC_ACTION) {
        if (key == kVersionKey) {
            ShowVersionFromHotKey();
        } else if (key == kDeviceReportKey) {
            ShowDeviceReportFromHotKey();
        }
    }
    // The key always goes on to the window that has the focus.
    return CallNextHookEx(g_setup.keyboardHookHandle, code, key, flags);
}
