// A user who cancels the "Establishing Connection" dialog over and over
// (no device docked) must not cost the process handles: each attempt's
// worker thread, cancel event and remote API start-up are released, and
// each new attempt starts afresh (no "Failure" box from the one before).
#include <gtest/gtest.h>
#include <windows.h>
#include <stdint.h>

#include <algorithm>

#include "device/connect_dialog.h"
#include "base/setup_state.h"

namespace {

const char kConnectCaption[] = "Establishing Connection";
const char kFailureCaption[] = "Debug";
const int kAttempts = 100;
// A few handles of the system's own (caches, window stations) may come and go.
const DWORD kMargin = 5;

DWORD HandleCount() {
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    if (count != 0) return count;
    // Wine does not keep the count: probe every handle value instead.
    for (uintptr_t value = 4; value < 0x10000; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    }
    return count;
}

// The count once the last cancelled workers have ended: the lowest of a
// few readings a little apart.
DWORD SettledHandleCount() {
    DWORD lowest = HandleCount();
    for (int i = 0; i < 10; ++i) {
        Sleep(30);
        lowest = std::min(lowest, HandleCount());
    }
    return lowest;
}

int g_failureBoxes = 0;
int g_attempt = 0;
HWND g_shownDialog = nullptr;
DWORD g_shownAt = 0;

// Runs on the dialog's own thread (a thread timer, dispatched by the
// dialog's message loop): cancels the connection dialog a moment after it
// shows, as a user clicking Cancel does, and notes any "Failure" box. The
// moment varies from 0 to 50 ms, so that Cancel meets the remote API's
// start-up in each of its states.
VOID CALLBACK CancelTheDialog(HWND, UINT, UINT_PTR, DWORD) {
    HWND box = FindWindowA("#32770", kFailureCaption);
    if (box && IsWindowVisible(box)) {
        ++g_failureBoxes;
        PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        return;
    }
    HWND dialog = FindWindowA("#32770", kConnectCaption);
    if (!dialog || !IsWindowVisible(dialog)) return;
    if (dialog != g_shownDialog) {
        g_shownDialog = dialog;
        g_shownAt = GetTickCount();
    }
    if (GetTickCount() - g_shownAt >= static_cast<DWORD>(g_attempt % 6) * 10) {
        PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    }
}

int CancelAttempts(int attempts) {
    UINT_PTR timer = SetTimer(nullptr, 0, 5, CancelTheDialog);
    int connected = 0;
    for (g_attempt = 0; g_attempt < attempts; ++g_attempt) {
        connected += ShowConnectDialog();
        g_shownDialog = nullptr;
    }
    KillTimer(nullptr, timer);
    return connected;
}

TEST(ConnectionHandles, HundredCancelledAttemptsLeaveTheHandleCountAsItWas) {
    g_setup.instance = GetModuleHandleA(nullptr);
    g_setup.connected = 0;
    // The first attempts load the remote API and the dialog's classes.
    ASSERT_EQ(CancelAttempts(2), 0);
    g_failureBoxes = 0;
    DWORD before = SettledHandleCount();
    EXPECT_EQ(CancelAttempts(kAttempts), 0);
    DWORD after = SettledHandleCount();
    EXPECT_LE(after, before + kMargin) << "handles before " << before << ", after " << kAttempts
                                       << " cancelled attempts " << after;
    EXPECT_EQ(g_failureBoxes, 0) << "an attempt failed because the one cancelled before it was still ending";
    printf("handle count: %lu before, %lu after %d cancelled connection attempts; %d failure boxes\n",
           static_cast<unsigned long>(before), static_cast<unsigned long>(after), kAttempts, g_failureBoxes);
}

}  // namespace
