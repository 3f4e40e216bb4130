// The listener's side of Windows Mobile 5/6 devices (RAPI_DESKTOP2): their
// port, their greeting, and their sessions, which the device opens to
// that port when asked on its control channel, the id as the first word.
#include "rapi/network/listener.h"

#include "protocol/rapi2.h"
#include "rapi/call_log.h"
#include "rapi/network/docking.h"
#include "rapi/network/rapi2_dock.h"
#include "rapi/network/wait.h"

namespace netlisten {

namespace {

using netwait::Deadline;
using netwait::Describe;

// How often a wait for a session's connection looks again.
const DWORD kSessionSliceMs = 20;

// The connection opened with `id` from the device's address: it is the
// session asked for, given to its asker; false when no one asked for it.
bool HandOver(Listener &l, SOCKET socket, const sockaddr_in &from, uint32_t id) {
    SectionGuard guard(l.lock);
    for (AskedSession &asked : l.asked) {
        if (asked.id != id || asked.from.s_addr != from.sin_addr.s_addr || asked.session != INVALID_SOCKET) continue;
        Forget(l, socket);
        asked.session = socket;
        calllog::Event("remote API session open from %s (id %u)", Describe(from).c_str(), id);
        return true;
    }
    return false;
}

// Takes the session asked for with `id` once it came (true, also when the
// wait is over: `*session` is then INVALID_SOCKET and the ask withdrawn).
bool TakeAsked(Listener &l, uint32_t id, bool over, SOCKET *session) {
    SectionGuard guard(l.lock);
    for (size_t i = 0; i < l.asked.size(); ++i) {
        if (l.asked[i].id != id) continue;
        if (l.asked[i].session == INVALID_SOCKET && !over) return false;
        *session = l.asked[i].session;
        l.asked.erase(l.asked.begin() + static_cast<std::ptrdiff_t>(i));
        return true;
    }
    return true;
}

// Registers the ask and sends it, unless the docking asked for is no
// longer held. The id, or 0 when nothing was asked.
uint32_t Ask(Listener &l, SOCKET control, const sockaddr_in &device, uint64_t docking) {
    SectionGuard guard(l.lock);
    if (docking && !(Holds(l) && l.docking == docking)) return 0;
    l.lastSessionId = netdock2::NextSessionId(l.lastSessionId);
    AskedSession asked;
    asked.id = l.lastSessionId;
    asked.from = device.sin_addr;
    calllog::Event("asking the device at %s for a remote API session (id %u)", Describe(device).c_str(), asked.id);
    if (!netdock2::AskForSession(control, asked.id)) return 0;
    l.asked.push_back(asked);
    return asked.id;
}

// Where a Windows Mobile device is expected: the one address it may dock
// from (RAPI_PEER); else, listening on loopback, this machine; else its
// address on its USB link when its own DHCP server gave none other.
in_addr TriggerTarget(const Listener &l, const sockaddr_in &listening) {
    in_addr target = {};
    if (!l.anyPeer) return l.peer;
    const bool loopback = (ntohl(listening.sin_addr.s_addr) >> 24) == 127;
    target.s_addr = inet_addr(loopback ? "127.0.0.1" : kUsbLinkDevice);
    return target;
}

// The trigger: one datagram, the byte 0x7F, to the device's UDP port. A
// device connects once it has it; one that docks without it is greeted
// all the same. The socket is left unbound: the route to the device picks
// the link and its address (Wine would tie a bound datagram socket to
// that address's interface, and a device on this very machine, as in a
// network namespace, would then not get it).
void SendTrigger(const Listener &l, const sockaddr_in &listening) {
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(rapi2::kTriggerPort);
    to.sin_addr = TriggerTarget(l, listening);
    SOCKET socket = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    const char trigger = static_cast<char>(rapi2::kTrigger);
    bool sent = socket != INVALID_SOCKET &&
                sendto(socket, &trigger, 1, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to) == 1;
    if (sent) {
        calllog::Event("told the device at %s that this PC listens (trigger sent)", Describe(to).c_str());
    } else {
        calllog::Event("cannot send the trigger to %s (error %d); a device that docks anyway is greeted",
                       Describe(to).c_str(), WSAGetLastError());
    }
    if (socket != INVALID_SOCKET) closesocket(socket);
}

// True while `address` is still one of this PC's (false once the link
// that had it went down: an unplugged device's USB link, say).
bool StillOurs(const sockaddr_in &address) {
    if (address.sin_addr.s_addr == htonl(INADDR_ANY)) return true;
    sockaddr_in probe = address;
    probe.sin_port = 0;
    // A stream socket: Wine lets a datagram socket bind to any address.
    SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (socket == INVALID_SOCKET) return true;
    bool ours = bind(socket, reinterpret_cast<const sockaddr *>(&probe), sizeof probe) == 0 ||
                WSAGetLastError() != WSAEADDRNOTAVAIL;
    closesocket(socket);
    return ours;
}

}  // namespace

void TryListen2(Listener &l) {
    if (!l.listen2 || l.gaveUp2 || l.listener2 != INVALID_SOCKET) return;
    sockaddr_in address;
    if (!netwait::Resolve(l.host2, l.port2, &address)) {
        calllog::Event("RAPI_DESKTOP2: cannot resolve \"%s\"; older devices dock as before", l.host2.c_str());
        l.gaveUp2 = true;
        return;
    }
    int error = netdock2::TryListen(address, &l.listener2);
    if (error == WSAEADDRNOTAVAIL) {
        l.awaiting2 = true;
        return;
    }
    l.awaiting2 = false;
    l.gaveUp2 = error != 0;
    if (error == 0) SendTrigger(l, address);
}

bool LostAddress2(Listener &l) {
    sockaddr_in address;
    if (l.listener2 == INVALID_SOCKET || !netwait::Resolve(l.host2, l.port2, &address) || StillOurs(address)) {
        return false;
    }
    calllog::Event("%s is no longer an address of this PC (the link to the device went down): waiting for it again",
                   netwait::DescribeHost(address.sin_addr).c_str());
    netwait::CloseSocket(&l.listener2);
    l.awaiting2 = true;
    SectionGuard guard(l.lock);
    if (l.held.rapi2) LetGo(l, "its link went down");
    return true;
}

Greeted GreetWm5(Listener &l, SOCKET socket, HANDLE stop, netdock::Docked *docked) {
    Deadline deadline(netdock::kGreetingMs);
    sockaddr_in from = {};
    int size = sizeof from;
    uint32_t first = 0;
    if (getpeername(socket, reinterpret_cast<sockaddr *>(&from), &size) != 0) return Greeted::kFailed;
    const std::string where = Describe(from);
    if (!netdock2::FirstWord(socket, stop, deadline, &first)) {
        if (!netwait::Stopping(stop)) calllog::Event("the connection from %s sent no first word: closed", where.c_str());
        return Greeted::kFailed;
    }
    if (!netdock2::IsHandshakeWord(first)) {
        if (HandOver(l, socket, from, first)) return Greeted::kHandedOver;
        calllog::Event("a connection from %s opened with 0x%08x, which is no session asked for: closed", where.c_str(),
                       first);
        return Greeted::kFailed;
    }
    if (!netdock2::Greet(socket, first, where, stop, deadline)) return Greeted::kFailed;
    docked->session = OpenSession2(l, socket, from, 0, stop);
    if (docked->session == INVALID_SOCKET) return Greeted::kFailed;
    docked->control = socket;
    docked->device = from;
    docked->rapi2 = true;
    return Greeted::kDocked;
}

SOCKET OpenSession2(Listener &l, SOCKET control, const sockaddr_in &device, uint64_t docking, HANDLE stop) {
    uint32_t id = Ask(l, control, device, docking);
    if (id == 0) return INVALID_SOCKET;
    Deadline deadline(netdock2::kSessionMs);
    SOCKET session = INVALID_SOCKET;
    for (;;) {
        bool over = deadline.Passed() || netwait::Stopping(stop) || netwait::Stopping(l.quit);
        if (TakeAsked(l, id, over, &session)) break;
        WaitForSingleObject(stop, kSessionSliceMs);
    }
    if (session == INVALID_SOCKET && deadline.Passed()) {
        calllog::Event("the device at %s opened no session within 5 s", Describe(device).c_str());
    }
    if (session != INVALID_SOCKET) netwait::SendAtOnce(session);
    return session;
}

void DropAskedSessions(Listener &l) {
    for (AskedSession &asked : l.asked) netwait::CloseSocket(&asked.session);
    l.asked.clear();
}

}  // namespace netlisten
