// The bridge's listener for docking devices (RAPI_DESKTOP, and
// RAPI_DESKTOP2 for Windows Mobile 5/6 devices: the port a connection
// arrives on decides the protocol). It starts with
// the first start-up that listens and runs for as long as the program does,
// not only while a start-up waits: a device docks by connecting as soon as
// its link comes up, and may not try again, so a handheld docked between
// two actions is attended then, greeted, and held (its control channel
// pinged, a remote API session to it kept open); the next start-up takes
// it at once. Ending a start-up ends its session, never the docking.
//
// An address that this PC does not have yet (the link to the device is not
// up) is waited for: the listen is tried again every kListenRetryMs. Every docking
// device is greeted on a thread of its own; a device that docks again from
// the held device's address (its link went and came back) replaces the held
// one unless that one still answers.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <stdint.h>

#include "rapi/network/transport_choice.h"

namespace netlisten {

// Between two tries to listen on an address this PC does not have yet (and
// looks that a Windows Mobile port's address is still there): a device
// calls once, as soon as its link is up, so the listener must be there
// within a moment of the address.
const DWORD kListenRetryMs = 100;
// While listening, how often the Windows Mobile port's address is looked
// at: gone (the device unplugged), the port is listened on anew once it is
// back, and the device told again.
const DWORD kAddressLookMs = 1000;
// How long the held device has to answer a ping when a connection comes
// from its address, before that connection is taken for the device
// docking again.
const DWORD kProbeMs = 2000;
// Every thread the listener starts greets one connection: a device's
// greeting, its password verdict, its unlock on its own screen, the session
// it is asked for, or a session connection itself. Greetings at once: a new
// one beyond makes an older one end, the oldest from the address greeted
// most often. So a stranger's storm from one address never pushes out a
// device docking from another.
const size_t kMaxGreetings = 8;
// A greeting told to end ends within one slice of its waits (20 ms); while
// this many greeting threads are still alive, a new connection is closed as
// it is taken, unread: threads, descriptors and memory stay bounded under
// any storm.
const size_t kMaxGreeters = 12;
// Connections taken from the listener in one turn; after a failure other
// than "none waiting" (no socket left, say), the listener rests a moment.
const int kMaxAcceptsPerTurn = 16;
// Words taken from the held device's control channel in one turn: a device
// flooding it keeps the listener from nothing else.
const int kMaxWordsPerTurn = 64;
const DWORD kAcceptRestMs = 100;

// Listens where the choice says, unless the listener runs for it already
// (one for another choice is ended first). Fails only as listening fails
// for another reason than a missing address: the port in use, no right to
// it. A host name is looked up by the listener's own thread.
HRESULT EnsureListening(const netlink::Choice &choice);

// Waits until a device is docked: S_OK with a remote API session to it,
// the number of its docking, and whether it speaks the Windows Mobile 5/6
// protocol; S_FALSE once `stop` is set; the failure
// when the listener stopped listening for good.
HRESULT AwaitSession(HANDLE stop, SOCKET *session, uint64_t *docking, bool *rapi2);

// True while the device of that docking is still held.
bool StillDocked(uint64_t docking);

}  // namespace netlisten
