#include "device/connect_dialog.h"

#include "device/connection.h"
#include "device/rapi.h"
#include "resources/resource_ids.h"
#include "resources/texts.h"
#include "shell/message_box.h"
#include "shell/setup_state.h"

// One run of the dialog and its worker. The dialog can end (Cancel) while
// the worker still waits, so each holds a share and whichever lets go last
// releases the record and its cancel event. The outcome is claimed once:
// either the worker claims the connection or the dialog claims the
// cancellation, never both unnoticed.
struct ConnectAttempt {
    HANDLE cancelEvent;
    LONG outcome;
    LONG holders;
};

namespace {

const LONG kOutcomeOpen = 0;
const LONG kOutcomeConnected = 1;
const LONG kOutcomeCancelled = 2;

ConnectRequest g_connectRequest;

ConnectAttempt *NewAttempt() {
    HANDLE cancelEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!cancelEvent) return nullptr;
    ConnectAttempt *attempt = new ConnectAttempt;
    attempt->cancelEvent = cancelEvent;
    attempt->outcome = kOutcomeOpen;
    attempt->holders = 1;  // the dialog; the worker's share is added when it starts
    return attempt;
}

void ReleaseAttempt(ConnectAttempt *attempt) {
    if (InterlockedDecrement(&attempt->holders) != 0) return;
    CloseHandle(attempt->cancelEvent);
    delete attempt;
}

// True when this side settled the outcome as wanted; false when the other
// side had settled it first.
bool ClaimOutcome(ConnectAttempt *attempt, LONG outcome) {
    return InterlockedCompareExchange(&attempt->outcome, outcome, kOutcomeOpen) == kOutcomeOpen;
}

ConnectAttempt *AttemptOf(HWND dialog) {
    return reinterpret_cast<ConnectAttempt *>(GetWindowLongPtrA(dialog, DWLP_USER));
}

// Starts the worker for this dialog. When it cannot start, the dialog shows
// the failure as a failed connection would, and only Cancel is left.
void StartWorker(HWND dialog) {
    ConnectAttempt *attempt = NewAttempt();
    SetWindowLongPtrA(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(attempt));
    if (!attempt) {
        PostMessageA(dialog, WM_CONNECT_FAILED, 0, 0);
        return;
    }
    g_connectRequest.dialog = dialog;
    g_connectRequest.successMessage = WM_CONNECT_SUCCEEDED;
    g_connectRequest.failureMessage = WM_CONNECT_FAILED;
    g_connectRequest.cancelEvent = attempt->cancelEvent;
    g_connectRequest.attempt = attempt;
    InterlockedIncrement(&attempt->holders);
    HANDLE worker = CreateThread(nullptr, 0, ConnectWorker, &g_connectRequest, 0, nullptr);
    if (!worker) {
        ReleaseAttempt(attempt);
        PostMessageA(dialog, WM_CONNECT_FAILED, 0, 0);
        return;
    }
    // Nobody waits for the worker: it ends by itself.
    CloseHandle(worker);
}

void CancelConnection(HWND dialog) {
    ConnectAttempt *attempt = AttemptOf(dialog);
    if (attempt) {
        SetEvent(attempt->cancelEvent);
        // The worker may have connected a moment ago, its success message
        // still on the way: the user's Cancel stands, so stop the remote
        // API again rather than leave it started with no connection noted.
        if (!ClaimOutcome(attempt, kOutcomeCancelled)) CeRapiUninit();
    }
    EndDialog(dialog, 0);
}

void ReleaseDialogShare(HWND dialog) {
    ConnectAttempt *attempt = AttemptOf(dialog);
    if (!attempt) return;
    SetWindowLongPtrA(dialog, DWLP_USER, 0);
    ReleaseAttempt(attempt);
}

INT_PTR CALLBACK ConnectDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        StartWorker(dialog);
        return TRUE;  // the focus goes to Cancel
    case WM_CONNECT_SUCCEEDED:
        EndDialog(dialog, 1);
        return TRUE;
    case WM_CONNECT_FAILED:
        // The dialog stays, still waiting in looks; only Cancel ends it now.
        ShowMessage(kTextConnectFailure, kCaptionDebug, MB_OK);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDCANCEL) {
            CancelConnection(dialog);
            return TRUE;
        }
        return FALSE;
    case WM_DESTROY:
        ReleaseDialogShare(dialog);
        return FALSE;
    default:
        return FALSE;
    }
}

}  // namespace

DWORD WINAPI ConnectWorker(LPVOID parameter) {
    const ConnectRequest request = *static_cast<const ConnectRequest *>(parameter);
    const HRESULT result = TryConnect(request.cancelEvent, INFINITE);
    bool connected = result >= 0;
    // A start-up that completed as the user cancelled must not stay open:
    // nobody would note it as connected.
    if (connected && !ClaimOutcome(request.attempt, kOutcomeConnected)) {
        CeRapiUninit();
        connected = false;
    }
    // After a Cancel the dialog is gone and the message is lost, as intended.
    PostMessageA(request.dialog, connected ? request.successMessage : request.failureMessage, 0, 0);
    ReleaseAttempt(request.attempt);
    return 1;
}

int ShowConnectDialog() {
    return static_cast<int>(
        DialogBoxParamA(g_setup.instance, MAKEINTRESOURCEA(IDD_CONNECT), nullptr, ConnectDialogProc, 0));
}
