// The docking service's pipe (rapi/dock/dock_channel.h): each client that
// connects is given a remote API session to the device the listener holds
// (waiting for one to dock), the socket duplicated into its process, and
// is told when that device is lost by the pipe closing.
#pragma once

#include <string>

namespace dockservice {

// Serves the pipe on threads of its own for as long as the process runs;
// false when the pipe cannot be made (one of that name exists already).
bool Start(const std::wstring &pipeName);

}  // namespace dockservice
