#include "serve/pipe_service.h"

#include <string.h>

#include <vector>

#include "model/device.h"
#include "protocol/wire.h"
#include "serve/link_speed.h"
#include "serve/pipe_translator.h"

namespace {

const DWORD kPipeBuffer = 64 * 1024;

// Completes an overlapped operation started on `pipe`, unless `stop` is set
// first (then the operation is cancelled). True with the bytes moved.
bool Complete(HANDLE pipe, OVERLAPPED *overlapped, HANDLE stop, DWORD *moved) {
    HANDLE events[2] = {overlapped->hEvent, stop};
    DWORD which = WaitForMultipleObjects(2, events, FALSE, INFINITE);
    if (which != WAIT_OBJECT_0) {
        CancelIoEx(pipe, overlapped);
        GetOverlappedResult(pipe, overlapped, moved, TRUE);
        return false;
    }
    return GetOverlappedResult(pipe, overlapped, moved, FALSE) != FALSE;
}

// Reads or writes once: the bytes moved, or 0 when the link ended or
// `stop` was set.
DWORD MoveOnce(HANDLE pipe, HANDLE event, HANDLE stop, uint8_t *data, size_t count, bool reading) {
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event;
    DWORD moved = 0;
    BOOL started = reading ? ReadFile(pipe, data, static_cast<DWORD>(count), nullptr, &overlapped)
                           : WriteFile(pipe, data, static_cast<DWORD>(count), nullptr, &overlapped);
    if (started) return GetOverlappedResult(pipe, &overlapped, &moved, FALSE) ? moved : 0;  // done at once
    if (GetLastError() != ERROR_IO_PENDING) return 0;
    return Complete(pipe, &overlapped, stop, &moved) ? moved : 0;
}

bool WriteAll(HANDLE pipe, HANDLE event, HANDLE stop, const uint8_t *data, size_t count) {
    while (count > 0) {
        DWORD moved = MoveOnce(pipe, event, stop, const_cast<uint8_t *>(data), count, false);
        if (moved == 0) return false;
        data += moved;
        count -= moved;
    }
    return true;
}

// The requests of one session as they arrive. Each read takes whatever the
// pipe holds, so a request usually costs one read, length and body alike.
class Inbox {
public:
    enum Status { kFrame, kEnded, kMalformed };

    // The next request body, valid until the next call.
    Status Next(HANDLE pipe, HANDLE event, HANDLE stop, const uint8_t **body, uint32_t *length) {
        if (!Fill(pipe, event, stop, 4)) return kEnded;
        const uint8_t *at = buffer_.data() + begin_;
        *length = at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<uint32_t>(at[3]) << 24);
        if (*length < 4 || *length > wire::kMaxFrameBytes) return kMalformed;
        if (!Fill(pipe, event, stop, 4 + size_t(*length))) return kEnded;
        *body = buffer_.data() + begin_ + 4;
        begin_ += 4 + size_t(*length);
        return kFrame;
    }
    bool Truncated() const { return end_ > begin_; }

private:
    bool Fill(HANDLE pipe, HANDLE event, HANDLE stop, size_t needed) {
        if (end_ - begin_ >= needed) return true;
        if (begin_ > 0) {
            memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
            end_ -= begin_;
            begin_ = 0;
        }
        if (buffer_.size() < needed) buffer_.resize(needed);
        while (end_ < needed) {
            DWORD moved = MoveOnce(pipe, event, stop, buffer_.data() + end_, buffer_.size() - end_, true);
            if (moved == 0) return false;
            end_ += moved;
        }
        return true;
    }
    std::vector<uint8_t> buffer_ = std::vector<uint8_t>(kPipeBuffer + 4096);
    size_t begin_ = 0, end_ = 0;
};

}  // namespace

PipeService::PipeService(Device &device, LinkSpeed &link, const std::wstring &pipeName)
    : device_(device), link_(link), pipeName_(pipeName) {}

PipeService::~PipeService() { Stop(); }

HANDLE PipeService::NewInstance(bool first) {
    DWORD mode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    return CreateNamedPipeW(pipeName_.c_str(), mode, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                            PIPE_UNLIMITED_INSTANCES, kPipeBuffer, kPipeBuffer, 0, nullptr);
}

bool PipeService::Start(std::string *error) {
    if (Serving()) return true;
    HANDLE first = NewInstance(true);
    if (first == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        *error = code == ERROR_ACCESS_DENIED || code == ERROR_PIPE_BUSY
                     ? "another device is served on this pipe already"
                     : "cannot create the pipe (error " + std::to_string(code) + ")";
        return false;
    }
    stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    listener_ = std::thread(&PipeService::Listen, this, first);
    return true;
}

void PipeService::Stop() {
    if (!Serving()) return;
    SetEvent(stop_);
    listener_.join();
    ReapSessions(true);
    CloseHandle(stop_);
    stop_ = nullptr;
}

void PipeService::Listen(HANDLE pipe) {
    HANDLE connected = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    while (WaitForSingleObject(stop_, 0) == WAIT_TIMEOUT) {
        if (pipe == INVALID_HANDLE_VALUE) {
            // Out of pipe instances for the moment: try again shortly.
            WaitForSingleObject(stop_, 50);
            pipe = NewInstance(false);
            continue;
        }
        OVERLAPPED overlapped = {};
        overlapped.hEvent = connected;
        ResetEvent(connected);
        bool client = ConnectNamedPipe(pipe, &overlapped) != FALSE;
        DWORD code = GetLastError();
        DWORD ignored = 0;
        if (!client && code == ERROR_PIPE_CONNECTED) client = true;
        if (!client && code == ERROR_IO_PENDING) client = Complete(pipe, &overlapped, stop_, &ignored);
        if (client) {
            auto done = std::make_shared<std::atomic<bool>>(false);
            std::lock_guard<std::mutex> lock(sessionsLock_);
            sessions_.push_back(Session{std::thread(&PipeService::RunSession, this, pipe, done), done});
        } else {
            CloseHandle(pipe);
        }
        pipe = INVALID_HANDLE_VALUE;
        ReapSessions(false);
        if (WaitForSingleObject(stop_, 0) == WAIT_TIMEOUT) pipe = NewInstance(false);
    }
    if (pipe != INVALID_HANDLE_VALUE) CloseHandle(pipe);
    CloseHandle(connected);
}

void PipeService::RunSession(HANDLE pipe, std::shared_ptr<std::atomic<bool>> done) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    uint32_t session = device_.OpenSession();
    std::string name = "[" + std::to_string(session) + "] ";
    Inbox inbox;
    for (;;) {
        const uint8_t *body = nullptr;
        uint32_t length = 0;
        Inbox::Status status = inbox.Next(pipe, event, stop_, &body, &length);
        if (status == Inbox::kMalformed) {
            device_.Note(name + "malformed request (frame of " + std::to_string(length) + " bytes): link dropped");
            break;
        }
        if (status == Inbox::kEnded) {
            if (inbox.Truncated()) device_.Note(name + "request cut short: link dropped");
            break;
        }
        wire::Writer answer;
        ServeOutcome outcome = ServePipeRequest(device_, link_, session, body, length, &answer);
        // The request crossed the cable, and so does its answer (length
        // prefixes included); other sessions go on meanwhile.
        link_.Pace(4 + length + (outcome == ServeOutcome::kAnswer ? answer.Size() : 0));
        // The round trip's delay, the model free meanwhile.
        link_.Delay();
        if (outcome == ServeOutcome::kDrop) break;
        std::vector<uint8_t> &frame = answer.Finish();
        if (!WriteAll(pipe, event, stop_, frame.data(), frame.size())) break;
    }
    CloseHandle(pipe);
    CloseHandle(event);
    device_.CloseSession(session);
    *done = true;
}

void PipeService::ReapSessions(bool all) {
    std::list<Session> finished;
    {
        std::lock_guard<std::mutex> lock(sessionsLock_);
        for (auto it = sessions_.begin(); it != sessions_.end();) {
            if (all || *it->done) {
                finished.splice(finished.end(), sessions_, it++);
            } else {
                ++it;
            }
        }
    }
    for (Session &session : finished) session.thread.join();
}
