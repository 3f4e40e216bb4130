// The connection to the handheld: opened on demand by the first action that
// needs the device, kept open until the program ends or until the device
// is found gone; the next action then connects afresh.
#pragma once

#include <windows.h>

// Connects when not connected yet (quick attempt, then the "Establishing
// Connection" dialog), and on every call classifies the device again and
// stores its platform code. A connected device whose version read fails
// for want of a link (1167) is taken for pulled: its connection is
// forgotten and a new one made as when none was open, with no box before.
// Any other failure of that read is the device's own answer. 1 when connected; 0
// when no connection could be made, after the "No device connection has
// been established." box.
int EnsureDeviceReady();

// For an action under way whose connection may have been forgotten since
// it began (a device report that found the device gone): connects again
// as EnsureDeviceReady does. True when connected; false after the "No
// device connection has been established." box. Asks nothing of a device
// that is connected.
bool ReconnectIfForgotten();

// The quick attempt of 250 ms, then the connection dialog when that fails.
// 1 connected, 0 the user cancelled. Leaves SetupState.connected alone.
int ConnectWithPrompt();

// Starts the remote API and waits for its start-up to end, for at most
// limitMs (or INFINITE), and until cancelEvent is signalled when one is
// given. 0 or more: started and connected, and it stays started. Negative:
// not connected, and the remote API is stopped again (unless the start-up
// call itself refused).
HRESULT TryConnect(HANDLE cancelEvent, DWORD limitMs);

// Ends the connection when one is open. Always 1.
int Disconnect();

// True when a device call's error code says that the link to the device is
// gone (the remote API's "device not connected").
bool IsLinkLost(DWORD error);

// True when the link to the device is gone: one version read, failed with
// 1167. A device that answers, even with an error, still has its link.
bool DeviceLinkLost();

// Stops using a connection whose device no longer answers: the remote API
// is stopped and SetupState.connected becomes 0, so that the next action
// that needs the device connects afresh.
void ForgetConnection();

// ForgetConnection when IsLinkLost(error); true then.
bool ForgetConnectionIfLost(DWORD error);

// The one box that tells of a lost link, after ForgetConnection: the
// sentences given (what was going on, what is missing, what to do; null
// ones left out), joined by spaces, captioned "Error" with a warning icon.
void ReportLinkLost(const char *first, const char *second, const char *third = nullptr);
