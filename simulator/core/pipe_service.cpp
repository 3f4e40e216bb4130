#include "core/pipe_service.h"

#include <vector>

#include "core/device.h"
#include "core/wire.h"

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

bool Transfer(HANDLE pipe, HANDLE event, HANDLE stop, uint8_t *data, size_t count, bool reading) {
    while (count > 0) {
        OVERLAPPED overlapped = {};
        overlapped.hEvent = event;
        DWORD piece = static_cast<DWORD>(count), moved = 0;
        BOOL started = reading ? ReadFile(pipe, data, piece, nullptr, &overlapped)
                               : WriteFile(pipe, data, piece, nullptr, &overlapped);
        if (!started && GetLastError() != ERROR_IO_PENDING) return false;
        if (!Complete(pipe, &overlapped, stop, &moved) || moved == 0) return false;
        data += moved;
        count -= moved;
    }
    return true;
}

}  // namespace

PipeService::PipeService(Device &device, const std::wstring &pipeName) : device_(device), pipeName_(pipeName) {}

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
    std::vector<uint8_t> body;
    for (;;) {
        uint8_t header[4];
        if (!Transfer(pipe, event, stop_, header, sizeof header, true)) break;
        uint32_t length = header[0] | (header[1] << 8) | (header[2] << 16) | (static_cast<uint32_t>(header[3]) << 24);
        if (length < 4 || length > wire::kMaxFrameBytes) {
            device_.Note("[" + std::to_string(session) + "] malformed request (frame of " + std::to_string(length) +
                         " bytes): link dropped");
            break;
        }
        body.resize(length);
        if (!Transfer(pipe, event, stop_, body.data(), length, true)) {
            device_.Note("[" + std::to_string(session) + "] request cut short: link dropped");
            break;
        }
        wire::Writer answer;
        if (device_.Serve(session, body.data(), length, &answer) == Device::Outcome::kDrop) break;
        std::vector<uint8_t> &frame = answer.Finish();
        if (!Transfer(pipe, event, stop_, frame.data(), frame.size(), false)) break;
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
