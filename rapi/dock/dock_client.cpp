#include "rapi/dock/dock_client.h"

#include "rapi/call_log.h"
#include "rapi/network/wait.h"

namespace dockclient {

namespace {

// Between two tries to reach the service, and how long one answer may take
// to come once the service has a session to give.
const DWORD kRetryMs = 100;
const DWORD kReplyMs = 5000;

HANDLE Open(const std::wstring &name) {
    return CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                       nullptr);
}

// One request: S_OK, S_FALSE (stopped) or the listener's failure; E_FAIL
// when the service broke off (asked again).
HRESULT Ask(HANDLE pipe, HANDLE stop, SOCKET *session, bool *rapi2) {
    const DWORD me = GetCurrentProcessId();
    dockchannel::Reply reply;
    if (!dockchannel::WriteWhole(pipe, &me, sizeof me, stop, kReplyMs)) return netwait::Stopping(stop) ? S_FALSE : E_FAIL;
    // The first word comes once a device is docked: no limit but `stop`.
    if (!dockchannel::ReadWhole(pipe, &reply.result, sizeof reply.result, stop, INFINITE) ||
        !dockchannel::ReadWhole(pipe, &reply.rapi2, sizeof reply.rapi2, stop, kReplyMs)) {
        return netwait::Stopping(stop) ? S_FALSE : E_FAIL;
    }
    HRESULT result = static_cast<HRESULT>(reply.result);
    if (FAILED(result)) return result;
    if (!dockchannel::ReadWhole(pipe, &reply.session, sizeof reply.session, stop, kReplyMs)) {
        return netwait::Stopping(stop) ? S_FALSE : E_FAIL;
    }
    *session = WSASocketW(FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, &reply.session, 0,
                          WSA_FLAG_OVERLAPPED);
    if (*session == INVALID_SOCKET) {
        calllog::Event("the docking service's session could not be taken over (error %d)", WSAGetLastError());
        return E_FAIL;
    }
    *rapi2 = reply.rapi2 != 0;
    return S_OK;
}

}  // namespace

HRESULT AwaitSession(const std::string &pipeName, HANDLE stop, SOCKET *session, bool *rapi2, Taken *taken) {
    const std::wstring name(pipeName.begin(), pipeName.end());
    bool told = false;
    while (!netwait::Stopping(stop)) {
        HANDLE pipe = Open(name);
        if (pipe == INVALID_HANDLE_VALUE) {
            if (!told) calllog::Event("the docking service at %s does not answer yet (error %lu)", pipeName.c_str(),
                                      static_cast<unsigned long>(GetLastError()));
            told = true;
            WaitForSingleObject(stop, kRetryMs);
            continue;
        }
        HRESULT result = Ask(pipe, stop, session, rapi2);
        if (result == S_OK && dockchannel::BeginWatch(pipe, &taken->watch)) {
            calllog::Event("remote API session taken from the docking service");
            taken->pipe = pipe;
            return S_OK;
        }
        if (result == S_OK) netwait::CloseSocket(session);
        CloseHandle(pipe);
        if (result == S_FALSE || (FAILED(result) && result != E_FAIL)) return result;
        WaitForSingleObject(stop, kRetryMs);
    }
    return S_FALSE;
}

bool AwaitUndocked(Taken &taken, HANDLE stop) { return dockchannel::AwaitEnd(taken.watch, stop, INFINITE); }

void Close(Taken *taken) {
    if (taken->pipe == INVALID_HANDLE_VALUE) return;
    dockchannel::EndWatch(taken->pipe, &taken->watch);
    CloseHandle(taken->pipe);
    taken->pipe = INVALID_HANDLE_VALUE;
}

}  // namespace dockclient
