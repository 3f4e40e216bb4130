// rapidock.exe: the docking service the Linux launcher starts first. It
// listens for a docking handheld where the stand-in rapi.dll would
// (RAPI_DESKTOP, RAPI_DESKTOP2, RAPI_PEER...), from its own start, as the
// platform's sync service listens whatever program runs; then it runs the
// program its command line names (setup.exe and its arguments) with
// RAPI_DOCK naming its pipe, hands that program's stand-in the docked
// device's sessions (rapi/dock/dock_channel.h), and ends with it, with its
// exit code. setup.exe knows nothing of it.
#include <winsock2.h>
#include <windows.h>
#include <stdio.h>

#include <string>

#include "rapi/call_log.h"
#include "rapi/dockservice/dock_service.h"
#include "rapi/network/listen.h"
#include "rapi/network/network_link.h"

namespace {

const char kUsage[] =
    "usage: rapidock PROGRAM [ARGUMENTS...]\n"
    "  Listens for a docking handheld as RAPI_DESKTOP, RAPI_DESKTOP2 and\n"
    "  RAPI_PEER say, then runs PROGRAM, whose stand-in rapi.dll takes the\n"
    "  docked device from it (RAPI_DOCK), and ends when PROGRAM ends.\n";

// The command line after the first word (this program's name), as given.
const wchar_t *Rest(const wchar_t *line) {
    bool quoted = false;
    for (; *line && (quoted || (*line != L' ' && *line != L'\t')); ++line) {
        if (*line == L'"') quoted = !quoted;
    }
    while (*line == L' ' || *line == L'\t') ++line;
    return line;
}

// Starts listening and the pipe; false (told why) when the program is to
// run without the service: it then listens itself, as without rapidock.
bool StartService() {
    netlink::Choice choice = netlink::ChooseFromEnvironment();
    if (choice.transport != netlink::Transport::kListen) return false;
    if (!choice.problem.empty()) {
        fprintf(stderr, "rapidock: %s\n", choice.problem.c_str());
        return false;
    }
    HRESULT listening = netlisten::EnsureListening(choice);
    if (FAILED(listening)) {
        fprintf(stderr, "rapidock: cannot listen for the device on %s:%u (error 0x%08lx; RAPI_LOG has more)\n",
                choice.host.c_str(), choice.port, static_cast<unsigned long>(listening));
        return false;
    }
    wchar_t name[64];
    swprintf(name, 64, L"\\\\.\\pipe\\rapidock-%lu", static_cast<unsigned long>(GetCurrentProcessId()));
    if (!dockservice::Start(name)) {
        fprintf(stderr, "rapidock: cannot make the pipe %ls (error %lu)\n", name,
                static_cast<unsigned long>(GetLastError()));
        return false;
    }
    SetEnvironmentVariableW(L"RAPI_DOCK", name);
    calllog::Event("docking service: listening from the start; the program takes the device on %ls", name);
    return true;
}

}  // namespace

int wmain(int argc, wchar_t **) {
    if (argc < 2) {
        fputs(kUsage, stderr);
        return 2;
    }
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 1;
    SetEnvironmentVariableW(L"RAPI_DOCK", nullptr);  // only this service names its own pipe
    StartService();
    std::wstring command = Rest(GetCommandLineW());
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        fprintf(stderr, "rapidock: cannot start %ls (error %lu)\n", command.c_str(),
                static_cast<unsigned long>(GetLastError()));
        return 127;
    }
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
}
