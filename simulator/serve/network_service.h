// Serves a device as a docked Windows CE 3.x/4.x device does on its
// network link: the remote API on a TCP port of its own address (990 by
// default), one thread per session and no greeting; and, when a desktop is
// named, the control channel out to it (port 5679 by default), connected
// from the device's own address so that the desktop finds the remote API
// at the connection's source. Stopping the service is pulling the device
// out: listening ends and every session and the control channel drop.
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

#include "serve/session_state.h"

class Device;
class LinkSpeed;

class NetworkService {
public:
    struct Endpoint {
        std::string host;
        uint16_t port = 0;
    };
    // "ADDRESS[:PORT]"; the port defaults to defaultPort. False for a text
    // that is no address and port.
    static bool ParseEndpoint(const std::string &text, uint16_t defaultPort, Endpoint *endpoint);

    // `desktop` empty (no host): no control channel.
    // Every request and its answer cross `link`, the device's one cable.
    // bareRapi2: the sessions speak the Windows Mobile protocol (RAPI2)
    // from their first byte, with no password and no control channel, as
    // a desktop's connection manager hands a session on to its clients
    // (SynCE's proxy socket, say).
    NetworkService(Device &device, LinkSpeed &link, const Endpoint &rapi, const Endpoint &desktop,
                   bool bareRapi2 = false);
    ~NetworkService();
    NetworkService(const NetworkService &) = delete;
    NetworkService &operator=(const NetworkService &) = delete;

    // Returns once the port listens. False and why when it cannot (address
    // unknown, port taken, or a port below 1024 without the right to it).
    bool Start(std::string *error);
    void Stop();
    // The port the remote API is served on (the one the system chose when
    // asked for port 0).
    uint16_t Port() const { return port_; }
    // The control channel is up and past its password, if any.
    bool DesktopReady() const { return desktopReady_; }
    // A real device calls the desktop once, when its link comes up (at
    // Start), and not again until it is re-seated (a new Start). Forgiving,
    // a test option, it calls again every few seconds until answered and
    // after every end of the link.
    void SetForgiving(bool forgiving) { forgiving_ = forgiving; }

    // Sessions served at once; a new connection beyond them replaces a
    // session that has never completed a call (the one silent longest of
    // them), else the one silent longest: an idle desktop that has worked
    // with the device does not make way for connections that never have.
    static const size_t kMaxSessions = 16;

private:
    void Listen();
    void Admit(SOCKET client, const sockaddr_in &peer);
    void RunSession(SOCKET socket, std::string peer, std::shared_ptr<SessionState> state);
    void RunDesktopLink();
    void TalkToDesktop(SOCKET socket);
    void ReapSessions(bool all);

    Device &device_;
    LinkSpeed &link_;
    Endpoint rapi_, desktop_;
    bool bareRapi2_ = false;
    bool forgiving_ = false;
    sockaddr_in rapiAddress_ = {};
    uint16_t port_ = 0;
    uint8_t passwordKey_ = 1;
    bool winsock_ = false;
    SOCKET listener_ = INVALID_SOCKET;
    HANDLE stop_ = nullptr;    // manual-reset: set while stopping
    std::atomic<bool> undocking_{false};  // the same, read without a system call
    HANDLE accept_ = nullptr;  // signalled when a client waits to be accepted
    std::thread listenThread_, desktopThread_;
    std::mutex lock_;          // guards sessions_ and control_
    std::list<ServedSession> sessions_;
    SOCKET control_ = INVALID_SOCKET;
    std::atomic<bool> desktopReady_{false};
};
