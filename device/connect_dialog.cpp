#include "device/connect_dialog.h"

#include <new>

#include "device/connection.h"
#include "device/message_wait.h"
#include "device/rapi.h"
#include "resources/resource_ids.h"
#include "resources/texts.h"
#include "base/message_box.h"
#include "base/setup_state.h"

namespace {

// True when this side settled the outcome from `from` to `to`; false when
// it stood otherwise (the other side had settled it first).
bool MoveOutcome(ConnectAttempt *attempt, LONG from, LONG to) {
    return InterlockedCompareExchange(&attempt->outcome, to, from) == from;
}

LONG OutcomeOf(ConnectAttempt *attempt) { return InterlockedCompareExchange(&attempt->outcome, 0, 0); }

ConnectAttempt *AttemptOf(HWND dialog) {
    return reinterpret_cast<ConnectAttempt *>(GetWindowLongPtrA(dialog, DWLP_USER));
}

bool IsSignalled(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

// The worker of the latest run. A cancelled worker still stops the remote
// API's start-up as it ends; a new run that began before that would find
// the remote API started and fail at once ("Failure"). So each run first
// lets the worker before it end, which takes a moment after a Cancel.
HANDLE g_lastWorker = nullptr;
const DWORD kWorkerEndMs = 5000;

void AwaitEndOfLastWorker() {
    if (!g_lastWorker) return;
    WaitWithMessages(1, &g_lastWorker, kWorkerEndMs);
    CloseHandle(g_lastWorker);
    g_lastWorker = nullptr;
}

// Starts the worker for this dialog. A worker that cannot start counts as a
// refused start-up: the dialog shows the failure, and only Cancel is left.
// Without even an attempt record there is nothing to wait for: the dialog
// ends as cancelled.
void StartWorker(HWND dialog) {
    ConnectAttempt *attempt = NewConnectAttempt(dialog);
    if (!attempt) {
        EndDialog(dialog, 0);
        return;
    }
    SetWindowLongPtrA(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(attempt));
    InterlockedIncrement(&attempt->holders);
    HANDLE worker = CreateThread(nullptr, 0, ConnectWorker, attempt, 0, nullptr);
    if (!worker) {
        ReleaseConnectAttempt(attempt);
        MoveOutcome(attempt, kConnectPending, kConnectRefused);
        PostMessageA(dialog, WM_CONNECT_FAILED, 0, 0);
        return;
    }
    // The worker ends by itself; the next run waits for that.
    g_lastWorker = worker;
}

void CancelConnection(HWND dialog) {
    ConnectAttempt *attempt = AttemptOf(dialog);
    if (attempt) {
        SetEvent(attempt->request.cancelEvent);
        // The worker may have connected a moment ago, its success message
        // still on the way: the user's Cancel stands, so stop the remote
        // API again rather than leave it started with no connection noted.
        if (!MoveOutcome(attempt, kConnectPending, kConnectCancelled) && OutcomeOf(attempt) == kConnectConnected)
            CeRapiUninit();
    }
    EndDialog(dialog, 0);
}

// The worker's messages share their numbers with the dialog manager's
// DM_SETDEFID and DM_REPOSITION, so each counts only when the attempt's
// outcome says it came from the worker; otherwise the dialog manager gets it.
BOOL OnConnectSucceeded(HWND dialog) {
    ConnectAttempt *attempt = AttemptOf(dialog);
    if (!attempt || OutcomeOf(attempt) != kConnectConnected) return FALSE;
    EndDialog(dialog, 1);
    return TRUE;
}

BOOL OnConnectFailed(HWND dialog) {
    ConnectAttempt *attempt = AttemptOf(dialog);
    if (!attempt || !MoveOutcome(attempt, kConnectRefused, kConnectFailureShown)) return FALSE;
    // The dialog stays, still waiting in looks; only Cancel ends it now.
    // A refusal can arrive before the dialog manager's first idle moment,
    // which is when a modal dialog is first shown; the box must then stand
    // in front of the waiting dialog, not alone on the screen.
    if (!IsWindowVisible(dialog)) ShowWindow(dialog, SW_SHOWNORMAL);
    ShowMessage(kTextConnectFailure, kCaptionDebug, MB_OK);
    return TRUE;
}

void ReleaseDialogShare(HWND dialog) {
    ConnectAttempt *attempt = AttemptOf(dialog);
    if (!attempt) return;
    SetWindowLongPtrA(dialog, DWLP_USER, 0);
    ReleaseConnectAttempt(attempt);
}

INT_PTR CALLBACK ConnectDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        StartWorker(dialog);
        return TRUE;  // the focus goes to Cancel
    case WM_CONNECT_SUCCEEDED:
        return OnConnectSucceeded(dialog);
    case WM_CONNECT_FAILED:
        return OnConnectFailed(dialog);
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

ConnectAttempt *NewConnectAttempt(HWND dialog) {
    ConnectAttempt *attempt = new (std::nothrow) ConnectAttempt;
    if (!attempt) return nullptr;
    attempt->request.dialog = dialog;
    attempt->request.successMessage = WM_CONNECT_SUCCEEDED;
    attempt->request.failureMessage = WM_CONNECT_FAILED;
    attempt->request.cancelEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    attempt->outcome = kConnectPending;
    attempt->holders = 1;
    if (!attempt->request.cancelEvent) {
        delete attempt;
        return nullptr;
    }
    return attempt;
}

void ReleaseConnectAttempt(ConnectAttempt *attempt) {
    if (InterlockedDecrement(&attempt->holders) != 0) return;
    CloseHandle(attempt->request.cancelEvent);
    delete attempt;
}

DWORD WINAPI ConnectWorker(LPVOID parameter) {
    ConnectAttempt *attempt = static_cast<ConnectAttempt *>(parameter);
    const ConnectRequest &request = attempt->request;
    // A worker that gets to run only after its run was cancelled has
    // nothing to do, and must not start the remote API under a later run.
    bool connected = !IsSignalled(request.cancelEvent) && TryConnect(request.cancelEvent, INFINITE) >= 0;
    if (connected) {
        // A start-up that completed as the user cancelled must not stay
        // open: nobody would note it as connected.
        if (!MoveOutcome(attempt, kConnectPending, kConnectConnected)) {
            CeRapiUninit();
            connected = false;
        }
    } else {
        MoveOutcome(attempt, kConnectPending, kConnectRefused);
    }
    // After a Cancel the dialog is gone and the message is lost, as intended.
    PostMessageA(request.dialog, connected ? request.successMessage : request.failureMessage, 0, 0);
    ReleaseConnectAttempt(attempt);
    return 1;
}

int ShowConnectDialog() {
    AwaitEndOfLastWorker();
    return static_cast<int>(
        DialogBoxParamA(g_setup.instance, MAKEINTRESOURCEA(IDD_CONNECT), nullptr, ConnectDialogProc, 0));
}
