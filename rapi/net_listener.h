// The listener's shared record, between its start and end (net_listen.cpp)
// and its own thread's work (net_listen_serve.cpp).
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <stdint.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "rapi/net_dock.h"
#include "rapi/section_lock.h"

namespace netlisten {

// the start-ups that take its device: whoever lets go of it last frees it.
struct Listener {
    // What it listens for; fixed once started.
    std::string host;
    uint16_t port = 0;
    uint16_t devicePort = 0;
    bool anyPeer = true;
    in_addr peer = {};
    HANDLE quit = nullptr;  // set when a listener for another choice replaces it
    HANDLE wake = nullptr;  // set when a greeting has ended well
    SOCKET listener = INVALID_SOCKET;  // used by its own thread once started
    std::set<std::pair<int, uint32_t>> told;  // (reason, address) already logged; its own thread's
    LONG holders = 1;
    // Guarded by `lock`.
    SectionLock lock;
    HRESULT failure = S_OK;                // it stopped listening for good
    netdock::Docked held;                  // the docked device; no control channel when none
    bool heldGone = false;                 // let go of; its channel is closed by the listener's thread
    uint64_t docking = 0;                  // counts the devices held
    std::vector<SOCKET> greeting;          // connections being greeted, oldest first
    std::vector<netdock::Docked> arrived;  // greeted whole, not yet held
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

}  // namespace netlisten
