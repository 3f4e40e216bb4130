#include "rapi/link.h"

#include <atomic>
#include <mutex>

namespace rapilink {

namespace {

const HRESULT kAlreadyStarted = static_cast<HRESULT>(0x80041001);  // CERAPI_E_ALREADYINITIALIZED
const DWORD kRetryMs = 40;

// The start-up in progress or done, and the link it made.
struct Link {
    std::mutex state;        // guards everything below but `pipe` use
    std::mutex calls;        // one round trip at a time
    bool started = false;    // between CeRapiInitEx and CeRapiUninit
    bool ending = false;     // CeRapiUninit is stopping the attempt
    RAPIINIT *record = nullptr;
    HANDLE startupEvent = nullptr;  // handed to the caller; ours to close
    HANDLE stopEvent = nullptr;
    HANDLE attempt = nullptr;       // the attempt thread
    HANDLE pipe = INVALID_HANDLE_VALUE;
    HANDLE ioEvent = nullptr;
    std::atomic<DWORD> lastError{0};  // the session's last error
};

Link &TheLink() {
    static Link *link = new Link();  // never destroyed: threads may outlive static destructors
    return *link;
}

// Moves `count` bytes over the pipe, giving up when `stop` is set.
bool Transfer(HANDLE pipe, HANDLE event, HANDLE stop, uint8_t *data, size_t count, bool reading) {
    while (count > 0) {
        OVERLAPPED overlapped = {};
        overlapped.hEvent = event;
        DWORD piece = static_cast<DWORD>(count), moved = 0;
        BOOL started = reading ? ReadFile(pipe, data, piece, nullptr, &overlapped)
                               : WriteFile(pipe, data, piece, nullptr, &overlapped);
        if (!started && GetLastError() != ERROR_IO_PENDING) return false;
        HANDLE events[2] = {event, stop};
        DWORD which = WaitForMultipleObjects(stop ? 2 : 1, events, FALSE, INFINITE);
        if (which != WAIT_OBJECT_0) {
            CancelIoEx(pipe, &overlapped);
            GetOverlappedResult(pipe, &overlapped, &moved, TRUE);
            return false;
        }
        if (!GetOverlappedResult(pipe, &overlapped, &moved, FALSE) || moved == 0) return false;
        data += moved;
        count -= moved;
    }
    return true;
}

// One frame out, one frame back.
bool RoundTrip(HANDLE pipe, HANDLE event, HANDLE stop, std::vector<uint8_t> &frame, std::vector<uint8_t> *body) {
    uint8_t header[4];
    if (!Transfer(pipe, event, stop, frame.data(), frame.size(), false)) return false;
    if (!Transfer(pipe, event, stop, header, sizeof header, true)) return false;
    uint32_t length = header[0] | (header[1] << 8) | (header[2] << 16) | (static_cast<uint32_t>(header[3]) << 24);
    if (length < 4 || length > wire::kMaxFrameBytes) return false;
    body->resize(length);
    return Transfer(pipe, event, stop, body->data(), length, true);
}

// Connects and says hello; INVALID_HANDLE_VALUE while the device is not
// there (try again), otherwise the pipe and the device's answer.
HANDLE TryConnect(const std::wstring &name, HANDLE stop, HRESULT *answer) {
    HANDLE pipe = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return pipe;
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    wire::Writer hello;
    hello.U32(wire::kHello);
    hello.U32(wire::kProtocolVersion);
    hello.U32(GetCurrentProcessId());
    std::vector<uint8_t> body;
    bool ok = RoundTrip(pipe, event, stop, hello.Finish(), &body);
    CloseHandle(event);
    wire::Reader in(body.data(), body.size());
    in.U32();
    *answer = static_cast<HRESULT>(in.I32());
    if (!ok || !in.ok()) {
        CloseHandle(pipe);
        return INVALID_HANDLE_VALUE;
    }
    return pipe;
}

DWORD WINAPI Attempt(void *) {
    Link &link = TheLink();
    std::wstring name = wire::PipeNameFromEnvironment();  // read at each start-up
    HRESULT answer = E_FAIL;
    HANDLE pipe = INVALID_HANDLE_VALUE;
    while (WaitForSingleObject(link.stopEvent, 0) == WAIT_TIMEOUT) {
        pipe = TryConnect(name, link.stopEvent, &answer);
        if (pipe != INVALID_HANDLE_VALUE) break;
        if (GetLastError() == ERROR_PIPE_BUSY) WaitNamedPipeW(name.c_str(), kRetryMs);
        WaitForSingleObject(link.stopEvent, kRetryMs);
    }
    std::lock_guard<std::mutex> lock(link.state);
    if (link.ending || pipe == INVALID_HANDLE_VALUE) {
        // CeRapiUninit came first: the caller's record is no longer ours.
        if (pipe != INVALID_HANDLE_VALUE) CloseHandle(pipe);
        return 0;
    }
    if (SUCCEEDED(answer)) {
        link.pipe = pipe;
    } else {
        CloseHandle(pipe);  // a refused start-up leaves no link
    }
    link.record->hrRapiInit = answer;
    SetEvent(link.startupEvent);
    return 0;
}

}  // namespace

HRESULT BeginStartup(RAPIINIT *record) {
    if (!record || record->cbSize != sizeof(RAPIINIT)) return E_INVALIDARG;
    Link &link = TheLink();
    std::lock_guard<std::mutex> lock(link.state);
    if (link.started) return kAlreadyStarted;
    link.startupEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    link.stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!link.ioEvent) link.ioEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    link.record = record;
    link.ending = false;
    record->heRapiInit = link.startupEvent;
    record->hrRapiInit = E_PENDING;
    link.attempt = CreateThread(nullptr, 0, Attempt, nullptr, 0, nullptr);
    if (!link.attempt) {
        CloseHandle(link.startupEvent);
        CloseHandle(link.stopEvent);
        link.startupEvent = link.stopEvent = nullptr;
        return E_OUTOFMEMORY;
    }
    link.started = true;
    return S_OK;
}

HRESULT End() {
    Link &link = TheLink();
    HANDLE attempt = nullptr;
    {
        std::lock_guard<std::mutex> lock(link.state);
        if (!link.started) return S_OK;
        link.ending = true;
        SetEvent(link.stopEvent);
        attempt = link.attempt;
    }
    // Every wait of the attempt also watches the stop event, so it ends at once.
    WaitForSingleObject(attempt, INFINITE);
    std::lock_guard<std::mutex> calls(link.calls);
    std::lock_guard<std::mutex> lock(link.state);
    CloseHandle(link.attempt);
    CloseHandle(link.stopEvent);
    CloseHandle(link.startupEvent);
    if (link.pipe != INVALID_HANDLE_VALUE) CloseHandle(link.pipe);
    link.attempt = link.stopEvent = link.startupEvent = nullptr;
    link.pipe = INVALID_HANDLE_VALUE;
    link.record = nullptr;
    link.started = false;
    return S_OK;
}

bool Call(wire::Writer &request, Answer *answer) {
    Link &link = TheLink();
    std::lock_guard<std::mutex> calls(link.calls);
    HANDLE pipe;
    {
        std::lock_guard<std::mutex> lock(link.state);
        pipe = link.pipe;
    }
    if (pipe == INVALID_HANDLE_VALUE) {
        link.lastError = kNoDevice;
        return false;
    }
    if (!RoundTrip(pipe, link.ioEvent, nullptr, request.Finish(), &answer->body)) {
        // Unplugged, or the link dropped: it stays down.
        std::lock_guard<std::mutex> lock(link.state);
        CloseHandle(link.pipe);
        link.pipe = INVALID_HANDLE_VALUE;
        link.lastError = kNoDevice;
        return false;
    }
    answer->in = wire::Reader(answer->body.data(), answer->body.size());
    uint32_t error = answer->in.U32();
    if (error != wire::kErrorUnchanged) link.lastError = error;
    return true;
}

DWORD LastError() { return TheLink().lastError; }

void SetLastError(DWORD error) { TheLink().lastError = error; }

}  // namespace rapilink
