// The "Establishing Connection" dialog and its worker thread, which waits
// for the device without a time limit until it connects or the user cancels.
#pragma once

#include <windows.h>

struct ConnectAttempt;

// What the dialog hands its worker; the worker reads it once, at its start.
struct ConnectRequest {
    HWND dialog;
    UINT successMessage;  // WM_CONNECT_SUCCEEDED
    UINT failureMessage;  // WM_CONNECT_FAILED
    HANDLE cancelEvent;   // manual reset; signalled when the user cancels
    // The attempt's shared record, which settles a connection that
    // completes at the moment the user cancels.
    ConnectAttempt *attempt;
};

// Runs dialog template 106 modally: 1 when the device connected, 0 when the
// user cancelled.
int ShowConnectDialog();

// Thread procedure of the worker: starts the remote API and posts the
// success or failure message to the dialog. Exit code 1.
DWORD WINAPI ConnectWorker(LPVOID request);
