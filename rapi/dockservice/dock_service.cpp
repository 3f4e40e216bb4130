#include "rapi/dockservice/dock_service.h"

#include <winsock2.h>
#include <windows.h>

#include "rapi/call_log.h"
#include "rapi/dock/dock_channel.h"
#include "rapi/network/listen.h"
#include "rapi/network/wait.h"

namespace dockservice {

namespace {

// Clients attended at once: the wizard takes one session at a time; more
// are a mistake, turned away until one ends.
const DWORD kMaxClients = 4;
const DWORD kRequestMs = 5000;
// How often a client's device is looked at while its session is out.
const DWORD kDockedLookMs = 250;

std::wstring g_name;

HANDLE MakeInstance(bool first) {
    return CreateNamedPipeW(g_name.c_str(),
                            PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
                            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, kMaxClients,
                            4096, 4096, 0, nullptr);
}

// The client's process, from the system when it can tell, else as the
// client said.
DWORD ClientProcess(HANDLE pipe, DWORD said) {
    ULONG process = 0;
    return GetNamedPipeClientProcessId(pipe, &process) && process ? static_cast<DWORD>(process) : said;
}

// Waits for the held device's session and hands it over; the number of
// its docking, or 0 when none was handed over.
uint64_t HandOver(HANDLE pipe, DWORD process, HANDLE clientGone) {
    dockchannel::Reply reply;
    SOCKET session = INVALID_SOCKET;
    uint64_t docking = 0;
    bool rapi2 = false;
    HRESULT result = netlisten::AwaitSession(clientGone, &session, &docking, &rapi2);
    if (result == S_FALSE) return 0;
    if (result == S_OK && WSADuplicateSocketW(session, process, &reply.session) != 0) {
        calllog::Event("docking service: the session cannot be handed to process %lu (error %d)",
                       static_cast<unsigned long>(process), WSAGetLastError());
        result = E_FAIL;
    }
    netwait::CloseSocket(&session);  // the client has its own now
    reply.result = static_cast<uint32_t>(result);
    reply.rapi2 = rapi2 ? 1 : 0;
    const DWORD size = result == S_OK ? sizeof reply : sizeof reply.result + sizeof reply.rapi2;
    if (!dockchannel::WriteWhole(pipe, &reply, size, clientGone, kRequestMs) || result != S_OK) return 0;
    calllog::Event("docking service: session handed to process %lu", static_cast<unsigned long>(process));
    return docking;
}

DWORD WINAPI Attend(void *parameter) {
    HANDLE pipe = parameter;
    DWORD said = 0;
    dockchannel::Watch watch;
    if (dockchannel::ReadWhole(pipe, &said, sizeof said, nullptr, kRequestMs) &&
        dockchannel::BeginWatch(pipe, &watch)) {
        // The pending read ends when the client goes: its start-up ended.
        uint64_t docking = HandOver(pipe, ClientProcess(pipe, said), watch.overlapped.hEvent);
        while (docking && !dockchannel::AwaitEnd(watch, nullptr, kDockedLookMs)) {
            if (!netlisten::StillDocked(docking)) break;
        }
    }
    dockchannel::EndWatch(pipe, &watch);
    DisconnectNamedPipe(pipe);
    CloseHandle(pipe);
    return 0;
}

// Takes one client on `pipe` and attends it on a thread of its own.
void Accept(HANDLE pipe) {
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    bool connected = overlapped.hEvent && (ConnectNamedPipe(pipe, &overlapped) || GetLastError() == ERROR_PIPE_CONNECTED);
    if (!connected && overlapped.hEvent && GetLastError() == ERROR_IO_PENDING) {
        DWORD ignored = 0;
        connected = GetOverlappedResult(pipe, &overlapped, &ignored, TRUE) != 0;
    }
    if (overlapped.hEvent) CloseHandle(overlapped.hEvent);
    HANDLE thread = nullptr;
    if (connected) thread = CreateThread(nullptr, 0, Attend, pipe, 0, nullptr);
    if (thread) {
        CloseHandle(thread);
    } else {
        CloseHandle(pipe);
    }
}

DWORD WINAPI Serve(void *parameter) {
    HANDLE pipe = parameter;
    for (;;) {
        Accept(pipe);
        // All instances busy: a moment until one is free.
        while ((pipe = MakeInstance(false)) == INVALID_HANDLE_VALUE) Sleep(kDockedLookMs);
    }
}

}  // namespace

bool Start(const std::wstring &pipeName) {
    g_name = pipeName;
    HANDLE pipe = MakeInstance(true);
    if (pipe == INVALID_HANDLE_VALUE) return false;
    HANDLE thread = CreateThread(nullptr, 0, Serve, pipe, 0, nullptr);
    if (!thread) {
        CloseHandle(pipe);
        return false;
    }
    CloseHandle(thread);
    return true;
}

}  // namespace dockservice
