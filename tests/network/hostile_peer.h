// What the hostile-peer tables share: the bridge set up as a row needs it,
// honest devices beside the hostile ones, and what a row measures.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <tlhelp32.h>

#include <gtest/gtest.h>
#include <stdio.h>

#include <functional>
#include <string>
#include <vector>

#include "device/rapi.h"
#include "tests/network/fake_device.h"

namespace hostile {

const DWORD kNoDevice = ERROR_DEVICE_NOT_CONNECTED;

inline DWORD Since(DWORD start) { return GetTickCount() - start; }

inline BOOL Alive() { return CeCloseHandle(reinterpret_cast<HANDLE>(0x10)); }

// The bridge, set up as a row needs it; ended and forgotten at the end.
struct Bridge {
    RAPIINIT init{};
    uint16_t desktopPort = 0;
    uint16_t desktopPort2 = 0;
    ~Bridge() {
        CeRapiUninit();
        for (const char *name : {"RAPI_DESKTOP", "RAPI_DESKTOP2", "RAPI_DEVICE", "RAPI_DEVICE_PORT", "RAPI_PEER", "RAPI_CALL_SECONDS",
                                 "RAPI_PASSWORD"}) {
            SetEnvironmentVariableA(name, nullptr);
        }
    }
    // RAPI_DESKTOP naming a port and no address: loopback only.
    void Listen(uint16_t rapiPort) {
        desktopPort = FreePort();
        SetEnvironmentVariableA("RAPI_DESKTOP", (":" + std::to_string(desktopPort)).c_str());
        SetEnvironmentVariableA("RAPI_DEVICE_PORT", std::to_string(rapiPort).c_str());
        Start();
    }
    // Also for Windows Mobile devices, on a port of their own.
    void Listen2(uint16_t rapiPort = 0) {
        desktopPort2 = FreePort();
        SetEnvironmentVariableA("RAPI_DESKTOP2", (":" + std::to_string(desktopPort2)).c_str());
        Listen(rapiPort ? rapiPort : FreePort());
    }
    void Direct(uint16_t rapiPort) {
        SetEnvironmentVariableA("RAPI_DEVICE", ("127.0.0.1:" + std::to_string(rapiPort)).c_str());
        Start();
    }
    void Start() {
        init = RAPIINIT{sizeof init, nullptr, E_FAIL};
        EXPECT_EQ(CeRapiInitEx(&init), S_OK);
    }
    bool Connected(DWORD timeoutMs) {
        return WaitForSingleObject(init.heRapiInit, timeoutMs) == WAIT_OBJECT_0 && SUCCEEDED(init.hrRapiInit);
    }
    DWORD TimedUninit() {
        DWORD start = GetTickCount();
        CeRapiUninit();
        return Since(start);
    }
};

// A device whose every call is answered with success (after a password
// of `passwordBytes`, when not 0).
inline void ServeHonestly(FakeDevice *device, size_t passwordBytes = 0) {
    device->Serve(
        [](const Bytes &) {
            Bytes body(12, 0);
            body[8] = 1;
            return Frame(body);
        },
        passwordBytes);
}

inline Bytes Challenged(uint8_t key) {
    Bytes greeting;
    PutU32(&greeting, 0x200 | key);
    Bytes block = GoodInfoBlock();
    greeting.insert(greeting.end(), block.begin(), block.end());
    return greeting;
}

// A port whose queue of waiting connections is full: a new connection to
// it is neither accepted nor refused, its opening packets dropped.
struct UnansweredPort {
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    std::vector<SOCKET> waiting;
    uint16_t port = 0;
    UnansweredPort() {
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address);
        listen(listener, 1);
        int size = sizeof address;
        getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size);
        port = ntohs(address.sin_port);
        for (int i = 0; i < 4; ++i) {
            SOCKET filler = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
            u_long nonBlocking = 1;
            ioctlsocket(filler, FIONBIO, &nonBlocking);
            connect(filler, reinterpret_cast<sockaddr *>(&address), sizeof address);
            waiting.push_back(filler);
        }
        Sleep(100);  // lets the queue fill; nothing is measured on it
    }
    ~UnansweredPort() {
        for (SOCKET filler : waiting) closesocket(filler);
        closesocket(listener);
    }
};

inline int Threads() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
    }
    CloseHandle(snapshot);
    return count;
}

inline DWORD CpuMs() {
    FILETIME created, ended, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user);
    auto ticks = [](const FILETIME &time) {
        return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    return static_cast<DWORD>((ticks(kernel) + ticks(user)) / 10000);
}

struct HostilePeerRow {
    const char *what;
    const char *unit;
    DWORD bound;                 // what the row measures must not exceed it
    std::function<DWORD()> play;  // plays the misbehaviour; what it measured
};

// A Windows Mobile device (no password) greeted whole: the desktop's
// answers to its handshake came.
inline void DockWm5(FakeDevice &device, uint16_t port2) {
    EXPECT_TRUE(device.Dock(port2, Wm5Greeting(Wm5Block(0)), false));
    EXPECT_EQ(device.ControlReceived(20, 3000), Words({3, 7, 8, 4, 5}));
}

// Plays each row, prints what it measured, and checks it against its bound.
template <size_t N> void PlayRows(const HostilePeerRow (&rows)[N]) {
    CloseBoxes();
    for (const HostilePeerRow &row : rows) {
        SCOPED_TRACE(row.what);
        DWORD measured = row.play();
        printf("%-90s %lu %s\n", row.what, static_cast<unsigned long>(measured), row.unit);
        EXPECT_LE(measured, row.bound) << row.unit;
    }
}

}  // namespace hostile
