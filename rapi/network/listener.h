// The listener's shared record, between its start and end (rapi/network/listen.cpp)
// and its own thread's work (rapi/network/listen_serve.cpp).
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <stdint.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "rapi/network/rapi1_dock.h"
#include "rapi/section_lock.h"

namespace netlisten {

// A session asked of a Windows Mobile device: its connection, once one
// from the device's address opens with the id, waits here for the asker.
struct AskedSession {
    uint32_t id = 0;
    in_addr from = {};
    SOCKET session = INVALID_SOCKET;
};

// A connection being greeted on a thread of its own, which ends as soon as
// `stop` is set (the greeting made way, or the listener ends).
struct Greeting {
    SOCKET socket = INVALID_SOCKET;
    HANDLE stop = nullptr;  // its thread's; closed by it once it is forgotten
    in_addr from = {};
    bool madeWay = false;   // told to end, its thread not yet ended
};

// One listener, held by its own thread, its greeting threads and the
// start-ups that take its device: whoever lets go of it last frees it.
struct Listener {
    // What it listens for; fixed once started.
    std::string host;
    uint16_t port = 0;
    uint16_t devicePort = 0;
    bool anyPeer = true;
    in_addr peer = {};
    bool listen2 = false;  // also for Windows Mobile 5/6 devices, on a port of their own
    std::string host2;
    uint16_t port2 = 0;
    HANDLE quit = nullptr;  // set when a listener for another choice replaces it
    HANDLE wake = nullptr;  // set when a greeting has ended well
    SOCKET listener = INVALID_SOCKET;  // used by its own thread once started
    SOCKET listener2 = INVALID_SOCKET;  // the Windows Mobile port's, likewise
    bool awaiting2 = false;             // that port's address is not this PC's yet
    bool gaveUp2 = false;               // that port cannot be listened on (logged)
    std::set<std::pair<int, uint32_t>> told;  // (reason, address) already logged; its own thread's
    LONG holders = 1;
    // Guarded by `lock`.
    SectionLock lock;
    HRESULT failure = S_OK;                // it stopped listening for good
    netdock::Docked held;                  // the docked device; no control channel when none
    bool heldGone = false;                 // let go of; its channel is closed by the listener's thread
    uint64_t docking = 0;                  // counts the devices held
    std::vector<Greeting> greeting;        // connections being greeted, oldest first
    size_t greeters = 0;                   // greeting threads alive, those that made way too
    std::vector<netdock::Docked> arrived;  // greeted whole, not yet held
    std::vector<AskedSession> asked;       // Windows Mobile sessions asked for
    uint32_t lastSessionId = 0;
};

void Hold(Listener *listener);
void Release(Listener *listener);
void CloseDocked(netdock::Docked *docked);
// Lets the held device go (with `lock` held); start-ups using it then
// find it gone. Its control channel is only shut down here: the
// listener's thread watches it, and closes it itself.
void LetGo(Listener &l, const char *why);
// A device is held and not let go of (with `lock` held).
bool Holds(const Listener &l);

// The listener's thread, once it listens: takes docking connections, has
// each greeted on a thread of its own, holds the device greeted first and
// pings it, until the listener is replaced.
void Serve(Listener &l);

// Greeting threads (rapi/network/listen_greet.cpp).
// Has the connection greeted on a thread of its own, within the bounds of
// listen.h: too many greetings at once make an older one end at once; with
// kMaxGreeters threads alive the connection is closed unread. From the
// listener's thread only.
void StartGreeting(Listener &l, SOCKET socket, const sockaddr_in &from, bool rapi2);
// Removes a connection from those being greeted (with `lock` held).
void Forget(Listener &l, SOCKET socket);
// Ends every greeting (with `lock` held): the listener ends.
void EndGreetings(Listener &l);

// Windows Mobile 5/6 devices (rapi/network/rapi2_listen.cpp).
// Listens on their port when wanted and not yet done: at once, or again
// while its address is not this PC's (a failure for another reason gives
// the port up, logged; older devices dock as before).
// Once listening, sends the trigger (protocol/rapi2.h) to the address a
// device is expected on, kUsbLinkDevice unless RAPI_PEER names one.
void TryListen2(Listener &l);
// While listening: when the port's address is no longer this PC's, stops
// listening there, lets a Windows Mobile device held go, and waits for the
// address again (true); listening anew then sends the trigger again.
bool LostAddress2(Listener &l);
// A Windows Mobile device's own address on its USB link, when its DHCP
// server gave the PC the fallback 169.254.2.2.
const char kUsbLinkDevice[] = "169.254.2.1";
enum class Greeted { kDocked, kHandedOver, kFailed };
// A connection to their port, on its greeting thread: a device's
// handshake (kDocked, with its first session open), or the session
// connection that one asked for (kHandedOver: the asker has the socket).
// Ends early once `stop` is set.
Greeted GreetWm5(Listener &l, SOCKET socket, HANDLE stop, netdock::Docked *docked);
// Asks the device on `control` for a session, and waits kSessionMs for
// its connection. With `docking`, asked only while that docking is held.
SOCKET OpenSession2(Listener &l, SOCKET control, const sockaddr_in &device, uint64_t docking, HANDLE stop);
// Closes the sessions that came and were not taken (with `lock` held).
void DropAskedSessions(Listener &l);

}  // namespace netlisten
