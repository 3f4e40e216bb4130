#include "rapi/network/network_link.h"
#include "rapi/startup.h"

#include <winsock2.h>

#include <atomic>

#include "protocol/rapi1.h"
#include "rapi/call_log.h"
#include "rapi/dock/dock_client.h"
#include "rapi/last_error.h"
#include "rapi/network/listen.h"
#include "rapi/network/wait.h"

namespace netlink {

namespace {

using netwait::CloseSocket;
using netwait::Deadline;
using netwait::Describe;
using netwait::Stopping;

// How long the device's remote API port may take to open (RAPI_DEVICE).
const DWORD kRapiPortMs = 5000;
// A device that is linked but does not end a call (its request taken and
// its whole reply given, a second frame included) within Choice::callMs is
// taken for gone.
const size_t kTrailerBytes = 64;
// How often a start-up looks whether its device is still docked.
const DWORD kDockedLookMs = 250;
const DWORD kDirectRetryMs = 100;

// The start-up in progress or done, and the sockets it made.
struct Net {
    rapistartup::Startup run;      // its worker finds the device and pings it; its
                                   // `state` guards what follows but the socket use
    Choice choice;
    SOCKET session = INVALID_SOCKET;
    HANDLE sessionNews = nullptr;  // set when the session's socket has bytes, room or an end
    bool mayHoldMore = false;      // the last receive filled the buffer: look again before waiting
    // Reply bytes received and not yet taken: inbox[inboxStart, inboxEnd).
    std::vector<uint8_t> inbox = std::vector<uint8_t>(64 * 1024);
    size_t inboxStart = 0, inboxEnd = 0;
    std::atomic<bool> lost{false};  // set by the watcher; the session is then shut down
    std::atomic<bool> stopping{false};  // CeRapiUninit is ending the start-up
    std::atomic<bool> rapi2{false};     // the device docked is a Windows Mobile 5/6 one
};

Net &TheNet() {
    static Net *net = new Net();  // never destroyed: threads may outlive static destructors
    return *net;
}

// The session's socket is non-blocking with an event, waited on in short
// slices after which the wait looks at the link's state: ending the
// start-up or losing the device ends a call waiting for its reply. Under
// Wine a blocking receive, or asking a socket what it holds, costs extra
// wineserver round trips; waiting for the event and then receiving costs
// the fewest. Replies are read through a buffer, so that a small reply
// costs one receive, length and body.
const DWORD kReceiveSliceMs = 250;

// Until the session's socket has news (true), or the slice is over.
bool AwaitSession(Net &net) { return WaitForSingleObject(net.sessionNews, kReceiveSliceMs) == WAIT_OBJECT_0; }

// Flags only: this is asked on every round trip, and an event's state
// would cost a call into the system each time.
bool Linked(Net &net) { return !net.lost && !net.stopping; }

bool CallTimedOut(const Deadline &deadline) {
    if (!deadline.Passed()) return false;
    calllog::Event("the device did not end the call within %lu ms", static_cast<unsigned long>(deadline.limitMs));
    return true;
}

// Makes the session's buffer hold at least `needed` bytes. The deadline is
// looked at on every pass, so a reply that trickles in ends at it too.
bool Fill(Net &net, SOCKET socket, size_t needed, const Deadline &deadline) {
    if (net.inboxEnd - net.inboxStart >= needed) return true;
    if (net.inboxStart > 0) {
        memmove(net.inbox.data(), net.inbox.data() + net.inboxStart, net.inboxEnd - net.inboxStart);
        net.inboxEnd -= net.inboxStart;
        net.inboxStart = 0;
    }
    if (net.inbox.size() < needed) net.inbox.resize(needed);
    while (net.inboxEnd < needed) {
        if (!Linked(net) || CallTimedOut(deadline)) return false;
        if (net.mayHoldMore || AwaitSession(net)) {
            const int room = static_cast<int>(net.inbox.size() - net.inboxEnd);
            int got = recv(socket, reinterpret_cast<char *>(net.inbox.data() + net.inboxEnd), room, 0);
            net.mayHoldMore = got == room;
            if (got > 0) {
                net.inboxEnd += static_cast<size_t>(got);
                continue;
            }
            if (got == 0 || WSAGetLastError() != WSAEWOULDBLOCK) return false;
        }
    }
    return true;
}

// Sends a request before the call's deadline: a device that stops reading
// cannot hold the call longer.
bool SendLinked(Net &net, SOCKET socket, const void *data, size_t count, const Deadline &deadline) {
    const char *at = static_cast<const char *>(data);
    while (count > 0) {
        if (!Linked(net) || CallTimedOut(deadline)) return false;
        int sent = send(socket, at, static_cast<int>(count), 0);
        if (sent > 0) {
            at += sent;
            count -= static_cast<size_t>(sent);
        } else if (sent == 0 || WSAGetLastError() != WSAEWOULDBLOCK) {
            return false;
        } else {
            // The socket's buffer is full. The wait may take the news of
            // bytes that arrived meanwhile, so the next receive looks first.
            AwaitSession(net);
            net.mayHoldMore = true;
        }
    }
    return true;
}

// The device is gone: every later call fails with "device not connected".
void MarkLost(Net &net, const char *why) {
    if (net.lost.exchange(true)) return;
    calllog::Event("device lost: %s", why);
    SectionGuard lock(net.run.state);
    // Wakes a call that waits for its reply; the socket is closed at the end.
    if (net.session != INVALID_SOCKET) shutdown(net.session, SD_BOTH);
}

// Publishes the session and tells the caller; false when the start-up was
// ended meanwhile (the caller's record is then no longer ours).
bool Announce(Net &net, SOCKET session, HRESULT result) {
    SectionGuard lock(net.run.state);
    if (net.run.ending) return false;
    net.session = session;
    if (session != INVALID_SOCKET &&
        (!net.sessionNews || WSAEventSelect(session, net.sessionNews, FD_READ | FD_WRITE | FD_CLOSE) != 0)) {
        calllog::Event("cannot watch the remote API session (error %d)", WSAGetLastError());
        closesocket(session);
        net.session = session = INVALID_SOCKET;
        result = HRESULT_FROM_WIN32(rapilink::kNoDevice);
    }
    net.inboxStart = net.inboxEnd = 0;
    net.mayHoldMore = false;
    net.lost = session == INVALID_SOCKET;
    rapistartup::Report(net.run, result);
    return true;
}

// Until the start-up ends, or its device is no longer docked (its pings
// unanswered, its control channel broken, or it docked again anew).
void WatchDocking(Net &net, uint64_t docking) {
    while (WaitForSingleObject(net.run.stopEvent, kDockedLookMs) == WAIT_TIMEOUT && !net.lost) {
        if (!netlisten::StillDocked(docking)) MarkLost(net, "the device is no longer docked");
    }
}

// RAPI_DOCK: takes a session from the docking service, which listens.
void AttendDockService(Net &net) {
    SOCKET session = INVALID_SOCKET;
    bool rapi2 = false;
    dockclient::Taken taken;
    HRESULT result = dockclient::AwaitSession(net.choice.dock, net.run.stopEvent, &session, &rapi2, &taken);
    if (result == S_FALSE) return;
    net.rapi2 = rapi2;
    if (!Announce(net, session, result)) {
        netwait::CloseSocket(&session);
    } else if (result == S_OK && dockclient::AwaitUndocked(taken, net.run.stopEvent)) {
        MarkLost(net, "the device is no longer docked");
    }
    dockclient::Close(&taken);
}

// RAPI_DESKTOP: takes the device the listener holds, or waits for one.
void AttendListening(Net &net) {
    if (!net.choice.dock.empty()) {
        AttendDockService(net);
        return;
    }
    SOCKET session = INVALID_SOCKET;
    uint64_t docking = 0;
    bool rapi2 = false;
    HRESULT result = netlisten::AwaitSession(net.run.stopEvent, &session, &docking, &rapi2);
    if (result == S_FALSE) return;
    net.rapi2 = rapi2;
    if (!Announce(net, session, result)) {
        netwait::CloseSocket(&session);
        return;
    }
    if (result == S_OK) WatchDocking(net, docking);
}

// RAPI_DEVICE: connects straight to the device's remote API port until it answers.
void AttendDirect(Net &net) {
    sockaddr_in device;
    if (!netwait::Resolve(net.choice.host, net.choice.port, &device)) {
        calllog::Event("RAPI_DEVICE: cannot resolve \"%s\"", net.choice.host.c_str());
        return;
    }
    while (!Stopping(net.run.stopEvent)) {
        SOCKET session = netwait::ConnectWithin(device, net.run.stopEvent, Deadline(kRapiPortMs));
        if (session != INVALID_SOCKET) {
            calllog::Event("remote API session open to %s", Describe(device).c_str());
            if (!Announce(net, session, S_OK)) closesocket(session);
            return;
        }
        WaitForSingleObject(net.run.stopEvent, kDirectRetryMs);
    }
}

DWORD WINAPI Attend(void *) {
    Net &net = TheNet();
    if (net.choice.transport == Transport::kListen) {
        AttendListening(net);
    } else {
        AttendDirect(net);
    }
    return 0;
}

}  // namespace

HRESULT BeginStartup(RAPIINIT *record, const Choice &choice) {
    if (!record || record->cbSize != sizeof(RAPIINIT)) return E_INVALIDARG;
    if (!choice.problem.empty()) {
        calllog::Event("%s", choice.problem.c_str());
        return E_INVALIDARG;
    }
    Net &net = TheNet();
    SectionGuard lock(net.run.state);
    if (net.run.started) return rapistartup::kAlreadyStarted;
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return E_FAIL;
    // With the docking service, it listens: this process does not.
    HRESULT listening =
        choice.transport == Transport::kListen && choice.dock.empty() ? netlisten::EnsureListening(choice) : S_OK;
    if (FAILED(listening)) {
        WSACleanup();
        return listening;
    }
    net.choice = choice;
    net.sessionNews = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    net.stopping = false;
    net.rapi2 = false;
    net.lost = true;  // until a session is open
    HRESULT launched = rapistartup::Launch(net.run, record, Attend);
    if (FAILED(launched)) {
        if (net.sessionNews) CloseHandle(net.sessionNews);
        net.sessionNews = nullptr;
        WSACleanup();
    }
    return launched;
}

namespace {

void WakeWaitingCall() {
    Net &net = TheNet();
    net.stopping = true;
    if (net.session != INVALID_SOCKET) shutdown(net.session, SD_BOTH);
}

void CloseSockets() {
    Net &net = TheNet();
    CloseSocket(&net.session);
    if (net.sessionNews) CloseHandle(net.sessionNews);
    net.sessionNews = nullptr;
    net.lost = true;
    WSACleanup();
    calllog::Event("ended");
}

}  // namespace

HRESULT End() { return rapistartup::End(TheNet().run, rapistartup::EndHooks{WakeWaitingCall, CloseSockets}); }

bool InUse() {
    Net &net = TheNet();
    SectionGuard lock(net.run.state);
    return net.run.started;
}

namespace {

// Receives one frame body of at most maxBody bytes.
bool ReceiveFrame(Net &net, SOCKET session, size_t maxBody, std::vector<uint8_t> *body, const Deadline &deadline) {
    if (!Fill(net, session, 4, deadline)) return false;
    uint32_t length = netwait::U32At(net.inbox.data() + net.inboxStart);
    if (length > maxBody) {
        calllog::Event("the device answered %u bytes where at most %u fit", length, static_cast<unsigned>(maxBody));
        return false;
    }
    if (!Fill(net, session, 4 + size_t(length), deadline)) return false;
    const uint8_t *at = net.inbox.data() + net.inboxStart + 4;
    body->assign(at, at + length);
    net.inboxStart += 4 + size_t(length);
    return true;
}

}  // namespace

Deadline CallDeadline() { return Deadline(TheNet().choice.callMs); }

bool Call(const std::vector<uint8_t> &frame, size_t maxReply, std::vector<uint8_t> *reply, int trailingFrames,
          const Deadline *whole) {
    Net &net = TheNet();
    SectionGuard calls(net.run.calls);
    SOCKET session;
    {
        SectionGuard lock(net.run.state);
        session = net.lost ? INVALID_SOCKET : net.session;
    }
    reply->clear();
    if (session == INVALID_SOCKET) {
        rapilink::SetLastError(rapilink::kNoDevice);
        return false;
    }
    std::vector<uint8_t> trailer;
    // One deadline for the whole call: request, reply and any second frame
    // (or the caller's, for a call made of several round trips).
    const Deadline deadline = whole ? *whole : Deadline(net.choice.callMs);
    bool ok = SendLinked(net, session, frame.data(), frame.size(), deadline) &&
              ReceiveFrame(net, session, maxReply, reply, deadline);
    for (int i = 0; ok && i < trailingFrames; ++i) {
        ok = ReceiveFrame(net, session, kTrailerBytes, &trailer, deadline);
    }
    if (!ok) {
        MarkLost(net, "the remote API session broke or sent more than the call allows");
        rapilink::SetLastError(rapilink::kNoDevice);
        reply->clear();
    }
    return ok;
}

void Drop(const char *why) { MarkLost(TheNet(), why); }

bool SpeaksRapi2() { return TheNet().rapi2; }

}  // namespace netlink
