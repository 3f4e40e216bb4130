// The stand-in's side of the docking service (rapi/dock/dock_channel.h):
// when RAPI_DOCK names the service's pipe, a start-up that listens takes
// its session from the service, which has listened since the wizard
// started, instead of listening itself.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <string>

#include "rapi/dock/dock_channel.h"

namespace dockclient {

// A session taken from the service, and the pipe that stays open for as
// long as its device is docked.
struct Taken {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    dockchannel::Watch watch;
};

// Waits until the service gives a session: S_OK with it (and whether the
// device speaks the Windows Mobile 5/6 protocol), S_FALSE once `stop` is
// set, or the listener's failure. Until the service answers, it is asked
// again every moment, as a device that is not there yet.
HRESULT AwaitSession(const std::string &pipeName, HANDLE stop, SOCKET *session, bool *rapi2, Taken *taken);

// Until the device is no longer docked (true) or `stop` is set (false).
bool AwaitUndocked(Taken &taken, HANDLE stop);

void Close(Taken *taken);

}  // namespace dockclient
