// Docks the device as a Windows Mobile 5/6 handheld does on its network
// link (RNDIS): it connects from its own address to the desktop's port
// (990 by default), goes through the handshake of protocol/rapi2.h with
// its information block and password key, echoes the desktop's pings,
// and each time the desktop asks for a session, opens a new connection
// to the same port whose first four bytes are the request's id and which
// then carries RAPI2 frames, one thread per session. It calls the desktop
// when it starts (its link coming up) and each time the desktop's trigger
// (protocol/rapi2.h) reaches its UDP port, never on a timer: turned away,
// or its control connection ended, it waits for the next trigger, as a
// real handheld does. Forgiving, a test option, it calls every 0.2 s
// until answered instead. Stopping it is pulling the device out.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <stdint.h>

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "model/device.h"
#include "serve/network_service.h"
#include "serve/session_state.h"

class LinkSpeed;

class Rapi2Dock {
public:
    // The device connects from `device`'s address (its port is not used)
    // to `desktop`.
    Rapi2Dock(Device &device, LinkSpeed &link, const NetworkService::Endpoint &device_address,
              const NetworkService::Endpoint &desktop);
    ~Rapi2Dock();
    Rapi2Dock(const Rapi2Dock &) = delete;
    Rapi2Dock &operator=(const Rapi2Dock &) = delete;

    // False and why when an address is unknown.
    bool Start(std::string *error);
    void Stop();
    // The handshake is through (and the password, if any, accepted).
    bool DesktopReady() const { return ready_; }
    // Before Start: call the desktop on a timer instead of on its trigger.
    void SetForgiving(bool forgiving) { forgiving_ = forgiving; }

    // Sessions served at once; a request beyond them is not answered.
    static const size_t kMaxSessions = 16;
    // Between attempts to reach the desktop.
    static const DWORD kRetryMs = 200;
    // How often the trigger's port is read while the device waits for it.
    static const DWORD kTriggerSliceMs = 250;
    // How long the desktop may take over each answer of the handshake.
    static const DWORD kAnswerMs = 10000;
    // Words on the control connection that are no request, before it closes.
    static const int kMaxIgnoredWords = 16;

private:
    void RunControl();
    // The handshake, then the desktop's requests, until the link ends.
    void Talk(SOCKET control);
    bool Greet(SOCKET control, uint32_t key);
    bool Unlock(SOCKET control, const Device::Introduction &introduction, uint32_t key);
    void OpenSession(uint32_t id);
    void RunSession(SOCKET socket, uint32_t id, std::shared_ptr<SessionState> state);
    // Ends every session (all) or reaps those that ended.
    void ReapSessions(bool all);
    SOCKET Connect();
    // Listens for the trigger on the device's address; false when it cannot
    // (noted: the device then calls only when it starts).
    bool HearTriggers();
    // Until a trigger comes (true) or the device is pulled out (false).
    bool AwaitTrigger();
    // Triggers that came before a connection were answered by it; those
    // that come while docked (the desktop listening anew) still count.
    void DropTriggers();

    Device &device_;
    LinkSpeed &link_;
    NetworkService::Endpoint from_, desktop_;
    sockaddr_in fromAddress_ = {}, desktopAddress_ = {};
    bool winsock_ = false;
    bool forgiving_ = false;
    SOCKET trigger_ = INVALID_SOCKET;  // the UDP port the trigger comes to
    HANDLE triggerNews_ = nullptr;     // set when a datagram waits there
    HANDLE stop_ = nullptr;
    std::atomic<bool> undocking_{false};
    std::atomic<bool> ready_{false};
    std::thread controlThread_;
    std::mutex lock_;  // guards sessions_ and control_
    std::list<ServedSession> sessions_;
    SOCKET control_ = INVALID_SOCKET;
};
