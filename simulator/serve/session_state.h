// What a network session's thread and the service's listener share about
// the session (network_service.cpp), and what the session's link watches
// (session_link.cpp).
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <stdint.h>

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

struct SessionState {
    std::atomic<bool> done{false};     // its thread has ended
    std::atomic<bool> closing{false};  // told to end (replaced by a newer session)
    std::atomic<DWORD> lastHeard{0};   // tick of its last bytes (or of its start)
    std::atomic<uint32_t> number{0};   // the device's session number, once open
    std::atomic<bool> served{false};   // it has completed a call
    HANDLE news = nullptr;  // set when its socket has news, or when it is told to end
};

// A session being served on a thread of its own: its socket is closed by
// whoever joins the thread, so that its handle cannot be reused while a
// service may still shut it.
struct ServedSession {
    std::thread thread;
    SOCKET socket;
    std::shared_ptr<SessionState> state;
};

// Joins and closes the sessions that ended, or (all) every session: those
// still running are first told to end and their sockets shut down.
void ReapServedSessions(std::mutex &lock, std::list<ServedSession> &sessions, bool all);
