#include "serve/session_link.h"

#include <string.h>

#include <algorithm>

#include "protocol/rapi1.h"

namespace {

const DWORD kUndockCheckMs = 250;  // how often a waiting session looks at the undock flag

}  // namespace

SessionLink::SessionLink(SOCKET socket, const std::atomic<bool> &undocking, SessionState &state)
    : socket_(socket), undocking_(undocking), state_(state), ready_(state.news) {
    if (ready_ && WSAEventSelect(socket_, ready_, FD_READ | FD_WRITE | FD_CLOSE) != 0) {
        ready_ = nullptr;
    }
}

SessionLink::~SessionLink() {
    if (!ready_) return;
    WSAEventSelect(socket_, nullptr, 0);
}

size_t SessionLink::Receive(uint8_t *data, size_t count, DWORD silentLimitMs) {
    if (!ready_) return 0;
    const int asked = static_cast<int>(std::min<size_t>(count, 1u << 30));
    for (;;) {
        if (!mayHoldMore_ && !Await(silentLimitMs)) return 0;
        int got = recv(socket_, reinterpret_cast<char *>(data), asked, 0);
        mayHoldMore_ = got == asked;
        if (got > 0) {
            state_.lastHeard = GetTickCount();
            return static_cast<size_t>(got);
        }
        if (got == 0 || WSAGetLastError() != WSAEWOULDBLOCK) return 0;
    }
}

bool SessionLink::ReceiveAll(uint8_t *data, size_t count) {
    while (count > 0) {
        size_t got = Receive(data, count);
        if (got == 0) return false;
        data += got;
        count -= got;
    }
    return true;
}

bool SessionLink::SendAll(const uint8_t *data, size_t count) {
    if (!ready_) return false;
    while (count > 0) {
        int sent = send(socket_, reinterpret_cast<const char *>(data), static_cast<int>(std::min<size_t>(count, 1u << 20)), 0);
        if (sent > 0) {
            data += sent;
            count -= static_cast<size_t>(sent);
        } else if (sent == 0 || WSAGetLastError() != WSAEWOULDBLOCK || !Await(kSilentMidFrameMs)) {
            return false;
        } else {
            mayHoldMore_ = true;  // the wait may have taken the news of bytes that arrived
        }
    }
    return true;
}

bool SessionLink::Await(DWORD silentLimitMs) {
    DWORD start = GetTickCount();
    for (;;) {
        if (undocking_ || state_.closing) return false;
        if (WaitForSingleObject(ready_, kUndockCheckMs) == WAIT_OBJECT_0) return true;
        if (silentLimitMs != INFINITE && GetTickCount() - start >= silentLimitMs) {
            silent_ = true;
            return false;
        }
    }
}

FrameReader::Status FrameReader::Next(SessionLink &link, const uint8_t **body, uint32_t *length) {
    if (!Fill(link, 4)) return Held() ? kCutShort : kEnded;
    if (!rapi1::FrameLength(buffer_.data() + begin_, length)) return kTooLarge;
    if (!Fill(link, 4 + size_t(*length))) return kCutShort;
    *body = buffer_.data() + begin_ + 4;
    begin_ += 4 + size_t(*length);
    return kFrame;
}

bool FrameReader::Fill(SessionLink &link, size_t needed) {
    if (Held() >= needed) return true;
    if (begin_ > 0) {
        memmove(buffer_.data(), buffer_.data() + begin_, Held());
        end_ -= begin_;
        begin_ = 0;
    }
    // Between frames the peer may stay silent; within one, not for long.
    DWORD silentLimit = Held() == 0 && needed == 4 ? INFINITE : SessionLink::kSilentMidFrameMs;
    while (end_ < needed) {
        if (end_ == buffer_.size()) buffer_.resize(std::min(needed, 2 * buffer_.size()));
        size_t got = link.Receive(buffer_.data() + end_, buffer_.size() - end_, silentLimit);
        if (got == 0) return false;
        end_ += got;
    }
    return true;
}
