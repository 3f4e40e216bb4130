// One remote API session of the network service, as the device receives it:
// the session's socket (SessionLink) and the requests read from it frame
// by frame (FrameReader).
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <stdint.h>

#include <atomic>
#include <vector>

#include "serve/session_state.h"

// A session's socket, non-blocking, with an event that the system sets
// when bytes arrive, room to send frees up or the peer goes. Under Wine a
// blocking receive that finds nothing costs several wineserver round
// trips before it even waits, and so does asking the socket what it
// holds, and so does waiting on two events where one would do. So the
// session waits on that event alone and then receives; it receives again
// without waiting only when the last receive filled the buffer, because
// more may then be there. Undocking shuts the socket down, which sets the
// event; the undock flag, the session's own closing flag and how long the
// peer has been silent are looked at between slices of the wait as well.
class SessionLink {
public:
    // A session silent this long in the middle of a frame (or of its
    // password) is closed; between frames a session may wait as long as it
    // likes.
    static const DWORD kSilentMidFrameMs = 60000;

    SessionLink(SOCKET socket, const std::atomic<bool> &undocking, SessionState &state);
    ~SessionLink();
    SessionLink(const SessionLink &) = delete;
    SessionLink &operator=(const SessionLink &) = delete;

    // Some bytes (at most `count`); 0 when the link ended, was cut, the
    // device was undocked, the session was closed, or the peer stayed
    // silent for silentLimitMs.
    size_t Receive(uint8_t *data, size_t count, DWORD silentLimitMs = kSilentMidFrameMs);
    bool ReceiveAll(uint8_t *data, size_t count);
    // One send for a whole frame, unless the socket's buffer is full.
    bool SendAll(const uint8_t *data, size_t count);
    bool WentSilent() const { return silent_; }

private:
    // Until the socket has news (false once the device is undocked, the
    // session is closed, or nothing came for silentLimitMs).
    bool Await(DWORD silentLimitMs);

    SOCKET socket_;
    const std::atomic<bool> &undocking_;
    SessionState &state_;
    bool silent_ = false;
    HANDLE ready_;
    bool mayHoldMore_ = false;
};

// The requests of one session as they arrive. Each receive takes whatever
// the socket holds, so a request usually costs one call, length and body.
class FrameReader {
public:
    enum Status { kFrame, kEnded, kTooLarge, kCutShort };

    // The next body, valid until the next call.
    Status Next(SessionLink &link, const uint8_t **body, uint32_t *length);
    size_t Held() const { return end_ - begin_; }

private:
    // The buffer grows as bytes arrive, never ahead of them on the word
    // of a length: a peer that announces a large frame and sends nothing
    // costs no more than one that announces a small one.
    bool Fill(SessionLink &link, size_t needed);

    std::vector<uint8_t> buffer_ = std::vector<uint8_t>(64 * 1024);
    size_t begin_ = 0, end_ = 0;
};
