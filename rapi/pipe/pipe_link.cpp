#include "rapi/pipe/pipe_link.h"

#include "rapi/last_error.h"
#include "rapi/startup.h"

namespace rapilink {

namespace {

const DWORD kRetryMs = 40;

// The start-up in progress or done, and the pipe it opened.
struct Link {
    rapistartup::Startup run;  // its `state` also guards `pipe`, but not the pipe's use
    HANDLE pipe = INVALID_HANDLE_VALUE;
};

Link &TheLink() {
    static Link *link = new Link();  // never destroyed: threads may outlive static destructors
    return *link;
}

// The link's pipe is synchronous, the cheapest way to make a round trip;
// only the start-up's wait for the device's first answer must be
// interruptible, and it polls instead of blocking.
bool Move(HANDLE pipe, uint8_t *data, size_t count, bool reading) {
    return wire::MovePipeBytes(pipe, data, count, reading);
}

// Receives one answer frame. The first read takes whatever has arrived (a
// whole small answer, usually), so most answers cost one read.
bool ReceiveAnswer(HANDLE pipe, std::vector<uint8_t> *body) {
    uint8_t first[4096];
    DWORD got = 0;
    if (!ReadFile(pipe, first, sizeof first, &got, nullptr) || got == 0) return false;
    size_t have = got;
    while (have < 4) {
        if (!ReadFile(pipe, first + have, static_cast<DWORD>(4 - have), &got, nullptr) || got == 0) return false;
        have += got;
    }
    uint32_t length = first[0] | (first[1] << 8) | (first[2] << 16) | (static_cast<uint32_t>(first[3]) << 24);
    if (length < 4 || length > wire::kMaxFrameBytes || have - 4 > length) return false;
    body->assign(first + 4, first + have);
    size_t already = body->size();
    body->resize(length);
    return Move(pipe, body->data() + already, length - already, true);
}

bool RoundTrip(HANDLE pipe, std::vector<uint8_t> &frame, std::vector<uint8_t> *body) {
    return Move(pipe, frame.data(), frame.size(), false) && ReceiveAnswer(pipe, body);
}

// Waits until the pipe has something to read, the pipe breaks (false) or
// `stop` is set (false).
bool AwaitAnswer(HANDLE pipe, HANDLE stop) {
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) return false;
        if (available > 0) return true;
        if (WaitForSingleObject(stop, 2) != WAIT_TIMEOUT) return false;
    }
}

// Connects and says hello; INVALID_HANDLE_VALUE while the device is not
// there (try again), otherwise the pipe and the device's answer.
HANDLE TryConnect(const std::wstring &name, HANDLE stop, HRESULT *answer) {
    HANDLE pipe = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return pipe;
    wire::Writer hello;
    hello.U32(wire::kHello);
    hello.U32(wire::kProtocolVersion);
    hello.U32(GetCurrentProcessId());
    std::vector<uint8_t> &frame = hello.Finish();
    std::vector<uint8_t> body;
    bool ok = Move(pipe, frame.data(), frame.size(), false) && AwaitAnswer(pipe, stop) && ReceiveAnswer(pipe, &body);
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
    while (WaitForSingleObject(link.run.stopEvent, 0) == WAIT_TIMEOUT) {
        pipe = TryConnect(name, link.run.stopEvent, &answer);
        if (pipe != INVALID_HANDLE_VALUE) break;
        if (GetLastError() == ERROR_PIPE_BUSY) WaitNamedPipeW(name.c_str(), kRetryMs);
        WaitForSingleObject(link.run.stopEvent, kRetryMs);
    }
    SectionGuard lock(link.run.state);
    if (link.run.ending || pipe == INVALID_HANDLE_VALUE) {
        // CeRapiUninit came first: the caller's record is no longer ours.
        if (pipe != INVALID_HANDLE_VALUE) CloseHandle(pipe);
        return 0;
    }
    if (SUCCEEDED(answer)) {
        link.pipe = pipe;
    } else {
        CloseHandle(pipe);  // a refused start-up leaves no link
    }
    rapistartup::Report(link.run, answer);
    return 0;
}

}  // namespace

HRESULT BeginStartup(RAPIINIT *record) {
    if (!record || record->cbSize != sizeof(RAPIINIT)) return E_INVALIDARG;
    Link &link = TheLink();
    SectionGuard lock(link.run.state);
    if (link.run.started) return rapistartup::kAlreadyStarted;
    return rapistartup::Launch(link.run, record, Attempt);
}

namespace {

// Every wait of the attempt watches the stop event, so nothing more wakes it.
void WakeNothing() {}

void ClosePipe() {
    Link &link = TheLink();
    if (link.pipe != INVALID_HANDLE_VALUE) CloseHandle(link.pipe);
    link.pipe = INVALID_HANDLE_VALUE;
}

}  // namespace

HRESULT End() { return rapistartup::End(TheLink().run, rapistartup::EndHooks{WakeNothing, ClosePipe}); }

bool Call(wire::Writer &request, Answer *answer) {
    Link &link = TheLink();
    SectionGuard calls(link.run.calls);
    HANDLE pipe;
    {
        SectionGuard lock(link.run.state);
        pipe = link.pipe;
    }
    if (pipe == INVALID_HANDLE_VALUE) {
        SetLastError(kNoDevice);
        return false;
    }
    if (!RoundTrip(pipe, request.Finish(), &answer->body)) {
        // Unplugged, or the link dropped: it stays down.
        SectionGuard lock(link.run.state);
        CloseHandle(link.pipe);
        link.pipe = INVALID_HANDLE_VALUE;
        SetLastError(kNoDevice);
        return false;
    }
    answer->in = wire::Reader(answer->body.data(), answer->body.size());
    uint32_t error = answer->in.U32();
    if (error != wire::kErrorUnchanged) SetLastError(error);
    return true;
}

}  // namespace rapilink
