// The "Establishing Connection" dialog and its worker thread, which waits
// for the device without a time limit until it connects or the user cancels.
#pragma once

#include <windows.h>

// What the dialog hands its worker.
struct ConnectRequest {
    HWND dialog;
    UINT successMessage;  // WM_CONNECT_SUCCEEDED
    UINT failureMessage;  // WM_CONNECT_FAILED
    HANDLE cancelEvent;   // manual reset; signalled when the user cancels
};

// How one run of the dialog ended. The worker settles "connected" or
// "refused", the dialog settles "cancelled"; whichever comes first holds.
enum ConnectOutcome : LONG {
    kConnectPending = 0,
    kConnectConnected = 1,
    kConnectRefused = 2,
    kConnectCancelled = 3,
    // The dialog has shown the "Failure" box for a refusal.
    kConnectFailureShown = 4,
};

// One run of the dialog and its worker, the only place its state lives.
// Every run has a record of its own, handed to its worker as the thread
// parameter, so a worker that starts late still works for its own run.
// The dialog and the worker each hold a share (holders); whichever lets go
// last releases the record and its cancel event.
struct ConnectAttempt {
    ConnectRequest request;
    LONG outcome;  // a ConnectOutcome, changed only by interlocked calls
    LONG holders;
};

// A new attempt for dialog, with a fresh cancel event (manual reset, not
// signalled) and one share held by the caller; nullptr when the record or
// the event cannot be had.
ConnectAttempt *NewConnectAttempt(HWND dialog);

// Lets go of one share; the last one releases the record and its event.
void ReleaseConnectAttempt(ConnectAttempt *attempt);

// Runs dialog template 106 modally: 1 when the device connected, 0 when the
// user cancelled, -1 when the dialog could not be shown.
int ShowConnectDialog();

// Thread procedure of the worker. The parameter is its ConnectAttempt, with
// a share held for the worker, which the worker lets go of when it ends.
// Starts the remote API and posts the success or failure message to the
// dialog. Exit code 1.
DWORD WINAPI ConnectWorker(LPVOID attempt);
