#include "rapi/network/listen.h"
#include "rapi/network/listener.h"

#include <string>

#include "protocol/rapi1.h"
#include "rapi/call_log.h"
#include "rapi/network/rapi1_dock.h"
#include "rapi/network/wait.h"
#include "rapi/section_lock.h"

namespace netlisten {

void Hold(Listener *listener) { InterlockedIncrement(&listener->holders); }

void Release(Listener *listener) {
    if (InterlockedDecrement(&listener->holders) != 0) return;
    CloseHandle(listener->quit);
    CloseHandle(listener->wake);
    delete listener;
    WSACleanup();  // the listener's own start of the socket library
}

void CloseDocked(netdock::Docked *docked) {
    netwait::CloseSocket(&docked->control);
    netwait::CloseSocket(&docked->session);
}

void LetGo(Listener &l, const char *why) {
    if (l.held.control == INVALID_SOCKET || l.heldGone) return;
    calllog::Event("device lost: %s", why);
    l.heldGone = true;
    shutdown(l.held.control, SD_BOTH);
    netwait::CloseSocket(&l.held.session);
    SetEvent(l.wake);
}

bool Holds(const Listener &l) { return l.held.control != INVALID_SOCKET && !l.heldGone; }

namespace {

using netwait::Deadline;
using netwait::Describe;
using netwait::DescribeHost;

// How often a start-up waiting for a docked device looks again.
const DWORD kAwaitSliceMs = 50;

SectionLock &CurrentLock() {
    static SectionLock *lock = new SectionLock();  // never destroyed: threads may outlive static destructors
    return *lock;
}
Listener *g_current = nullptr;

Listener *Current() {
    SectionGuard guard(CurrentLock());
    if (g_current) Hold(g_current);
    return g_current;
}

void LetGoOf(Listener &l, uint64_t docking, const char *why) {
    SectionGuard guard(l.lock);
    if (l.docking == docking) LetGo(l, why);
}

void Fail(Listener &l, HRESULT failure) {
    SectionGuard guard(l.lock);
    l.failure = failure;
}

// One try: 0 when listening, else the socket error.
int TryListen(Listener &l, const sockaddr_in &address) {
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    u_long nonBlocking = 1;
    if (listener == INVALID_SOCKET || bind(listener, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
        listen(listener, 8) != 0 || ioctlsocket(listener, FIONBIO, &nonBlocking) != 0) {
        int error = WSAGetLastError();
        if (listener != INVALID_SOCKET) closesocket(listener);
        if (error != WSAEADDRNOTAVAIL) {
            calllog::Event("cannot listen on %s (error %d)", Describe(address).c_str(), error);
        }
        return error;
    }
    l.listener = listener;
    return 0;
}

// Until the address is this PC's (true), tries to listen every kListenRetryMs;
// false when listening failed otherwise, or the listener was replaced.
bool AwaitAddress(Listener &l, const sockaddr_in &address) {
    bool toldWhy = false;
    for (;;) {
        TryListen2(l);  // the Windows Mobile port's address is waited for alike
        int error = TryListen(l, address);
        if (error == 0) return true;
        if (error != WSAEADDRNOTAVAIL) {
            Fail(l, HRESULT_FROM_WIN32(error));
            return false;
        }
        if (!toldWhy) {
            calllog::Event("%s is not an address of this PC yet: waiting for the link to the device",
                           DescribeHost(address.sin_addr).c_str());
            toldWhy = true;
        }
        if (WaitForSingleObject(l.quit, kListenRetryMs) != WAIT_TIMEOUT) return false;
    }
}

void LogListening(const Listener &l, const sockaddr_in &address) {
    calllog::Event("listening for devices on %s", Describe(address).c_str());
    if (address.sin_addr.s_addr == htonl(INADDR_LOOPBACK)) {
        calllog::Event("loopback only: a device on a link docks when RAPI_DESKTOP names the link's own address");
    } else if (address.sin_addr.s_addr == htonl(INADDR_ANY)) {
        calllog::Event("on every address: any host that can reach this port may dock");
    }
    if (!l.anyPeer) calllog::Event("only a device connecting from %s is attended", DescribeHost(l.peer).c_str());
}

DWORD WINAPI Run(void *parameter) {
    Listener &l = *static_cast<Listener *>(parameter);
    sockaddr_in address;
    bool listening = l.listener != INVALID_SOCKET;
    if (!netwait::Resolve(l.host, l.port, &address)) {
        calllog::Event("RAPI_DESKTOP: cannot resolve \"%s\"", l.host.c_str());
        Fail(l, HRESULT_FROM_WIN32(WSAHOST_NOT_FOUND));
    } else if (listening || AwaitAddress(l, address)) {
        TryListen2(l);
        LogListening(l, address);
        Serve(l);
    }
    netwait::CloseSocket(&l.listener);
    netwait::CloseSocket(&l.listener2);
    {
        SectionGuard guard(l.lock);
        DropAskedSessions(l);
        CloseDocked(&l.held);
        for (netdock::Docked &docked : l.arrived) CloseDocked(&docked);
        l.arrived.clear();
        EndGreetings(l);
        if (l.failure == S_OK) l.failure = E_ABORT;
    }
    Release(&l);
    return 0;
}

bool SameChoice(const Listener &l, const netlink::Choice &choice) {
    return l.host == choice.host && l.port == choice.port && l.devicePort == choice.devicePort &&
           l.anyPeer == choice.peer.empty() && (l.anyPeer || l.peer.s_addr == inet_addr(choice.peer.c_str())) &&
           l.listen2 == choice.listen2 && (!l.listen2 || (l.host2 == choice.host2 && l.port2 == choice.port2));
}

bool StillDocked(Listener &l, uint64_t docking) {
    SectionGuard guard(l.lock);
    return Holds(l) && l.docking == docking;
}

bool Failed(Listener &l) {
    SectionGuard guard(l.lock);
    return FAILED(l.failure);
}

}  // namespace

HRESULT EnsureListening(const netlink::Choice &choice) {
    SectionGuard guard(CurrentLock());
    if (g_current && SameChoice(*g_current, choice) && !Failed(*g_current)) return S_OK;
    if (g_current) {
        SetEvent(g_current->quit);
        Release(g_current);
        g_current = nullptr;
    }
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return E_FAIL;
    Listener *l = new Listener;
    l->host = choice.host;
    l->port = choice.port;
    l->devicePort = choice.devicePort;
    l->anyPeer = choice.peer.empty();
    l->peer.s_addr = inet_addr(choice.peer.c_str());
    l->listen2 = choice.listen2;
    l->host2 = choice.host2;
    l->port2 = choice.port2;
    l->quit = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    l->wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    // A dotted address is tried at once, so that a port in use or a port
    // without the right to it fails the start-up itself; a name is looked
    // up by the listener's thread, never here.
    sockaddr_in address;
    int error = netwait::IsDotted(choice.host) && netwait::Resolve(choice.host, choice.port, &address)
                    ? TryListen(*l, address)
                    : 0;
    // The Windows Mobile port likewise; failing there fails nothing.
    if (error == 0 && netwait::IsDotted(choice.host2)) TryListen2(*l);
    HANDLE thread = nullptr;
    if (error == 0 || error == WSAEADDRNOTAVAIL) {
        Hold(l);
        thread = l->quit && l->wake ? CreateThread(nullptr, 0, Run, l, 0, nullptr) : nullptr;
        if (!thread) {
            InterlockedDecrement(&l->holders);
            error = ERROR_NOT_ENOUGH_MEMORY;
        }
    }
    if (!thread) {
        netwait::CloseSocket(&l->listener);
        netwait::CloseSocket(&l->listener2);
        Release(l);
        return HRESULT_FROM_WIN32(error);
    }
    CloseHandle(thread);
    g_current = l;
    return S_OK;
}

HRESULT AwaitSession(HANDLE stop, SOCKET *session, uint64_t *docking, bool *rapi2) {
    Listener *l = Current();
    if (!l) return E_FAIL;
    HRESULT result = S_FALSE;
    while (!netwait::Stopping(stop)) {
        sockaddr_in device = {};
        int key = -1;
        SOCKET control = INVALID_SOCKET;
        uint64_t number = 0;
        {
            SectionGuard guard(l->lock);
            if (FAILED(l->failure)) {
                result = l->failure;
                break;
            }
            number = Holds(*l) ? l->docking : 0;
            *rapi2 = l->held.rapi2;
            if (number && l->held.session != INVALID_SOCKET) {
                *session = l->held.session;
                *docking = number;
                l->held.session = INVALID_SOCKET;
                result = S_OK;
                break;
            }
            device = l->held.device;
            key = l->held.key;
            control = l->held.control;
        }
        if (number) {
            // The held device's session went with an earlier start-up: a
            // new one is opened to it.
            SOCKET opened = *rapi2 ? OpenSession2(*l, control, device, number, stop)
                                   : netdock::OpenSessionTo(device, key, stop, netdock::kRapiPortMs);
            if (opened != INVALID_SOCKET && StillDocked(*l, number)) {
                *session = opened;
                *docking = number;
                result = S_OK;
                break;
            }
            netwait::CloseSocket(&opened);  // to a device let go of meanwhile
            if (!netwait::Stopping(stop)) {
                LetGoOf(*l, number, *rapi2 ? "it opened no session when asked" : "its remote API port no longer answers");
            }
        }
        WaitForSingleObject(stop, kAwaitSliceMs);
    }
    Release(l);
    return result;
}

bool StillDocked(uint64_t docking) {
    Listener *l = Current();
    if (!l) return false;
    bool docked = StillDocked(*l, docking);
    Release(l);
    return docked;
}

}  // namespace netlisten
