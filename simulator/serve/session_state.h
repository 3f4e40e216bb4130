// What a network session's thread and the service's listener share about
// the session (network_service.cpp), and what the session's link watches
// (session_link.cpp).
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <stdint.h>

#include <atomic>

struct SessionState {
    std::atomic<bool> done{false};     // its thread has ended
    std::atomic<bool> closing{false};  // told to end (replaced by a newer session)
    std::atomic<DWORD> lastHeard{0};   // tick of its last bytes (or of its start)
    std::atomic<uint32_t> number{0};   // the device's session number, once open
    std::atomic<bool> served{false};   // it has completed a call
    HANDLE news = nullptr;  // set when its socket has news, or when it is told to end
};
