// The listener's own thread: taking docking connections, greeting each on
// a thread of its own, holding and pinging the docked device.
#include "rapi/network/listener.h"

#include "protocol/little_endian.h"
#include "protocol/rapi1.h"
#include "protocol/rapi2.h"
#include "rapi/call_log.h"
#include "rapi/network/network_link.h"
#include "rapi/network/listen.h"
#include "rapi/network/wait.h"

namespace netlisten {

namespace {

using netwait::Describe;
using netwait::DescribeHost;

enum Reason { kNotThePeer, kDeviceDocked, kAcceptFailed };

bool Told(Listener &l, Reason reason, const in_addr &from) { return !l.told.insert({reason, from.s_addr}).second; }

// The held device's control channel as the listener watches it: its words
// read as they arrive (never peeked), its pings, and a connection from its
// address parked while the device is asked whether it is still there.
struct Watch {
    SOCKET control = INVALID_SOCKET;
    in_addr from = {};  // the held device's address
    // A Windows Mobile device's ping and echo are words of their own, and
    // its missed echoes count only once it answered one.
    uint32_t ping = rapi1::kPing;
    uint32_t echo = rapi1::kPing;
    bool echoed = true;
    uint8_t word[4] = {};
    size_t have = 0;
    int unanswered = 0;
    DWORD lastPing = 0;
    SOCKET parked = INVALID_SOCKET;
    netdock::Docked parkedDocked;  // or a Windows Mobile device greeted whole from that address
    sockaddr_in parkedFrom = {};
    DWORD parkedAt = 0;
};

// Under the lock: a start-up may be asking the same channel for a session.
bool Ping(Listener &l, Watch &watch) {
    uint8_t ping[4];
    StoreU32(ping, watch.ping);
    watch.lastPing = GetTickCount();
    ++watch.unanswered;
    SectionGuard guard(l.lock);
    return netwait::SendAll(watch.control, ping, 4);
}

// Takes what the control channel holds, at most kMaxWordsPerTurn words (a
// flood waits for the next turn); false when it broke.
bool TakeWords(Watch &watch) {
    uint8_t bytes[kMaxWordsPerTurn * 4];
    int got = recv(watch.control, reinterpret_cast<char *>(bytes), sizeof bytes, 0);
    if (got == 0) return false;
    if (got < 0) return WSAGetLastError() == WSAEWOULDBLOCK;
    for (int i = 0; i < got; ++i) {
        watch.word[watch.have++] = bytes[i];
        if (watch.have < 4) continue;
        watch.have = 0;
        if (netwait::U32At(watch.word) != watch.echo) continue;
        watch.unanswered = 0;
        watch.echoed = true;
    }
    return true;
}

// The held device still answers: the parked connection was another one.
void TurnAway(Listener &l, SOCKET socket, const sockaddr_in &from) {
    closesocket(socket);
    if (!Told(l, kDeviceDocked, from.sin_addr)) {
        calllog::Event("a connection from %s while a device is docked: closed", DescribeHost(from.sin_addr).c_str());
    }
}

bool HasParked(const Watch &watch) {
    return watch.parked != INVALID_SOCKET || watch.parkedDocked.control != INVALID_SOCKET;
}

void TurnAwayParked(Listener &l, Watch &watch) {
    if (watch.parked != INVALID_SOCKET) TurnAway(l, watch.parked, watch.parkedFrom);
    watch.parked = INVALID_SOCKET;
    if (watch.parkedDocked.control == INVALID_SOCKET) return;
    calllog::Event("a device from %s greeted while another is docked: closed",
                   DescribeHost(watch.parkedFrom.sin_addr).c_str());
    CloseDocked(&watch.parkedDocked);
}

// The held device is gone; the next turn closes its channel, and greets
// a connection parked meanwhile.
void Lost(Listener &l, const char *why) {
    SectionGuard guard(l.lock);
    LetGo(l, why);
}

void Park(Listener &l, Watch &watch, SOCKET socket, const netdock::Docked *docked, const sockaddr_in &from) {
    netwait::CloseSocket(&watch.parked);  // an older one from the same address
    CloseDocked(&watch.parkedDocked);
    if (docked) {
        watch.parkedDocked = *docked;
    } else {
        watch.parked = socket;
    }
    watch.parkedFrom = from;
    watch.parkedAt = GetTickCount();
    if (!Ping(l, watch)) Lost(l, "the control channel broke");
}

// Takes the connections waiting, at most kMaxAcceptsPerTurn of them; false
// when taking one failed for another reason than none waiting.
// A connection to the Windows Mobile port (`rapi2`) from the docked
// device's address is greeted too: it may be the session asked of it.
bool AcceptTurn(Listener &l, Watch &watch, SOCKET listener, bool rapi2) {
    for (int turn = 0; listener != INVALID_SOCKET && turn < kMaxAcceptsPerTurn; ++turn) {
        sockaddr_in from = {};
        int size = sizeof from;
        SOCKET socket = accept(listener, reinterpret_cast<sockaddr *>(&from), &size);
        if (socket == INVALID_SOCKET) {
            int error = WSAGetLastError();
            if (error == WSAEWOULDBLOCK) return true;
            if (!Told(l, kAcceptFailed, in_addr{})) calllog::Event("cannot take a docking connection (error %d)", error);
            return false;
        }
        // Accepted sockets inherit the listener's event; a greeting waits
        // on its own.
        WSAEventSelect(socket, nullptr, 0);
        if (!l.anyPeer && from.sin_addr.s_addr != l.peer.s_addr) {
            closesocket(socket);
            if (!Told(l, kNotThePeer, from.sin_addr)) {
                calllog::Event("a connection from %s, which is not RAPI_PEER's address: closed",
                               DescribeHost(from.sin_addr).c_str());
            }
            continue;
        }
        if (watch.control == INVALID_SOCKET || (rapi2 && from.sin_addr.s_addr == watch.from.s_addr)) {
            StartGreeting(l, socket, from, rapi2);
        } else if (from.sin_addr.s_addr == watch.from.s_addr) {
            Park(l, watch, socket, nullptr, from);
        } else {
            TurnAway(l, socket, from);
        }
    }
    return true;
}

// Closes a device let go of; holds the first device greeted whole while
// none is held, and lets any other go, but for a Windows Mobile device
// greeted from the watched device's own address: parked like a connection
// from there, it may be that device docking again. Returns the held device.
netdock::Docked TakeArrivals(Listener &l, Watch &watch) {
    SectionGuard guard(l.lock);
    if (l.heldGone) {
        closesocket(l.held.control);
        l.held = netdock::Docked();
        l.heldGone = false;
    }
    for (netdock::Docked &docked : l.arrived) {
        if (l.held.control == INVALID_SOCKET) {
            l.held = docked;
            ++l.docking;
            calllog::Event("device docked: held until it goes");
            continue;
        }
        sockaddr_in from = {};
        int size = sizeof from;
        getpeername(docked.control, reinterpret_cast<sockaddr *>(&from), &size);
        if (docked.rapi2 && Holds(l) && watch.control == l.held.control && from.sin_addr.s_addr == watch.from.s_addr) {
            Park(l, watch, INVALID_SOCKET, &docked, from);
            continue;
        }
        calllog::Event("a device from %s greeted while another is docked: closed", DescribeHost(from.sin_addr).c_str());
        CloseDocked(&docked);
    }
    l.arrived.clear();
    return l.held;
}

// Watches a newly held device (or none), on the listener's event. A
// connection parked while the last one was asked about is greeted once no
// device is held.
void Arm(Listener &l, Watch &watch, const netdock::Docked &held, WSAEVENT news) {
    if (held.control == watch.control) return;
    watch.control = held.control;
    watch.from = held.device.sin_addr;
    watch.have = 0;
    watch.unanswered = 0;
    watch.lastPing = GetTickCount();
    watch.ping = held.rapi2 ? rapi2::kPing : rapi1::kPing;
    watch.echo = held.rapi2 ? rapi2::kPingEcho : rapi1::kPing;
    watch.echoed = !held.rapi2;
    if (held.control != INVALID_SOCKET) {
        WSAEventSelect(held.control, news, FD_READ | FD_CLOSE);
        TurnAwayParked(l, watch);
    } else if (watch.parked != INVALID_SOCKET) {
        SOCKET socket = watch.parked;
        watch.parked = INVALID_SOCKET;
        StartGreeting(l, socket, watch.parkedFrom, false);
    } else if (watch.parkedDocked.control != INVALID_SOCKET) {
        SectionGuard guard(l.lock);
        l.arrived.push_back(watch.parkedDocked);
        watch.parkedDocked = netdock::Docked();
        SetEvent(l.wake);
    }
}

// Pings the held device every few seconds (three pings without an echo,
// or a broken channel, mean it is gone) and settles a parked connection.
// Returns how long the listener may sleep.
DWORD Tend(Listener &l, Watch &watch) {
    DWORD now = GetTickCount();
    DWORD sleep = netlink::kPingIntervalMs;
    if (watch.control == INVALID_SOCKET) return sleep;
    if (HasParked(watch)) {
        if (now - watch.parkedAt >= kProbeMs) {
            Lost(l, "it docked again from its address, and the old link no longer answers");
            return 0;
        }
        sleep = kProbeMs - (now - watch.parkedAt);
    }
    if (now - watch.lastPing >= netlink::kPingIntervalMs) {
        if (watch.unanswered >= netlink::kMissedPingsForGone && watch.echoed) {
            Lost(l, "three pings without an echo");
            return 0;
        }
        if (!Ping(l, watch)) {
            Lost(l, "the control channel broke");
            return 0;
        }
        now = watch.lastPing;
    }
    DWORD toPing = netlink::kPingIntervalMs - (now - watch.lastPing);
    return toPing < sleep ? toPing : sleep;
}

// While the Windows Mobile port's address is not this PC's yet, tries to
// listen there again every kListenRetryMs; while listening, looks every
// kAddressLookMs that the address is still there. Returns how long the
// listener may sleep.
DWORD AwaitAddress2(Listener &l, WSAEVENT news, DWORD *lastTry, DWORD sleep) {
    if (!l.listen2 || l.gaveUp2) return sleep;
    DWORD now = GetTickCount();
    DWORD every = l.awaiting2 ? kListenRetryMs : kAddressLookMs;
    if (now - *lastTry >= every) {
        *lastTry = now;
        if (l.awaiting2 || LostAddress2(l)) {
            TryListen2(l);
            if (l.listener2 != INVALID_SOCKET) WSAEventSelect(l.listener2, news, FD_ACCEPT);
        }
        every = l.awaiting2 ? kListenRetryMs : kAddressLookMs;
    }
    const DWORD elapsed = GetTickCount() - *lastTry;
    const DWORD next = elapsed < every ? every - elapsed : 0;
    return next < sleep ? next : sleep;
}

}  // namespace

void Serve(Listener &l) {
    WSAEVENT news = WSACreateEvent();
    WSAEventSelect(l.listener, news, FD_ACCEPT);
    if (l.listener2 != INVALID_SOCKET) WSAEventSelect(l.listener2, news, FD_ACCEPT);
    Watch watch;
    HANDLE events[3] = {news, l.wake, l.quit};
    DWORD lastTry2 = GetTickCount();
    for (;;) {
        Arm(l, watch, TakeArrivals(l, watch), news);
        DWORD sleep = Tend(l, watch);
        if (sleep == 0) continue;
        sleep = AwaitAddress2(l, news, &lastTry2, sleep);
        DWORD which = WaitForMultipleObjects(3, events, FALSE, sleep);
        if (which == WAIT_OBJECT_0 + 2 || which == WAIT_FAILED) break;
        if (which != WAIT_OBJECT_0) continue;
        WSAResetEvent(news);
        if (watch.control != INVALID_SOCKET) {
            if (!TakeWords(watch)) {
                Lost(l, "the control channel broke");
            } else if (watch.unanswered == 0) {
                TurnAwayParked(l, watch);
            }
        }
        bool accepted = AcceptTurn(l, watch, l.listener, false);
        if (!AcceptTurn(l, watch, l.listener2, true) || !accepted) WaitForSingleObject(l.quit, kAcceptRestMs);
    }
    netwait::CloseSocket(&watch.parked);
    CloseDocked(&watch.parkedDocked);
    WSACloseEvent(news);
}

}  // namespace netlisten
