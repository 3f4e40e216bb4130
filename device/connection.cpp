#include "device/connection.h"

#include <string.h>

#include <initializer_list>

#include "device/connect_dialog.h"
#include "device/identification.h"
#include "device/message_wait.h"
#include "device/rapi.h"
#include "resources/texts.h"
#include "base/message_box.h"
#include "base/setup_state.h"

namespace {

// A device that is docked already answers well within this time.
const DWORD kQuickAttemptMs = 250;

}  // namespace

HRESULT TryConnect(HANDLE cancelEvent, DWORD limitMs) {
    RAPIINIT init = {};
    init.cbSize = sizeof init;
    const HRESULT started = CeRapiInitEx(&init);
    if (FAILED(started)) return started;

    // The start-up event first: only index 0 means the start-up has ended.
    const HANDLE handles[2] = {init.heRapiInit, cancelEvent};
    const DWORD handleCount = cancelEvent ? 2 : 1;
    if (WaitWithMessages(handleCount, handles, limitMs) != 0) {
        // Cancelled, out of time, or the wait itself failed: give up the
        // start-up so that the next attempt begins afresh.
        CeRapiUninit();
        return E_FAIL;
    }
    if (FAILED(init.hrRapiInit)) {
        CeRapiUninit();
    } else {
        // Another device may be docked now: what the last one told is old.
        InterlockedIncrement(&g_setup.connections);
    }
    return init.hrRapiInit;
}

int ConnectWithPrompt() {
    if (TryConnect(nullptr, kQuickAttemptMs) >= 0) return 1;
    // Only a connection counts: a dialog that could not be shown (-1) has
    // connected nothing.
    return ShowConnectDialog() == 1 ? 1 : 0;
}

int EnsureDeviceReady() {
    if (g_setup.connected != 0) {
        // Every action works with a freshly read platform code. Its first
        // reads also tell whether the link still holds: a handheld pulled
        // since the last action is forgotten here, silently, and connected
        // again as if the cradle had been empty.
        const int code = ClassifyAnsweringPlatform();
        if (code != 0) {
            SetPlatformCode(code);
            return 1;
        }
        ForgetConnection();
    }
    if (ConnectWithPrompt() != 1) {
        g_setup.connected = 0;
        ShowMessage(kTextNoConnection, kCaptionDeviceInformation, MB_ICONERROR);
        return 0;
    }
    g_setup.connected = 1;
    SetPlatformCode(ClassifyPlatform());
    return g_setup.connected;
}

bool ReconnectIfForgotten() { return g_setup.connected != 0 || EnsureDeviceReady() == 1; }

bool IsLinkLost(DWORD error) { return error == ERROR_DEVICE_NOT_CONNECTED; }

bool DeviceLinkLost() {
    CEOSVERSIONINFO info = {};
    info.dwOSVersionInfoSize = sizeof info;
    return !CeGetVersionEx(&info) && IsLinkLost(CeGetLastError());
}

bool ForgetConnectionIfLost(DWORD error) {
    if (!IsLinkLost(error)) return false;
    ForgetConnection();
    return true;
}

void ForgetConnection() { Disconnect(); }

void ReportLinkLost(const char *first, const char *second, const char *third) {
    ForgetConnection();
    char text[768] = "";
    for (const char *sentence : {first, second, third}) {
        if (!sentence) continue;
        if (text[0]) strncat(text, " ", sizeof text - strlen(text) - 1);
        strncat(text, sentence, sizeof text - strlen(text) - 1);
    }
    ShowMessage(text, kCaptionError, MB_OK | MB_ICONWARNING);
}

int Disconnect() {
    if (g_setup.connected != 0) {
        CeRapiUninit();
        g_setup.connected = 0;
    }
    return 1;
}
