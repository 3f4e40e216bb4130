// The bridge's listener against storms and against peers that take what is
// not theirs, on loopback: connections by the hundred from a stranger, a
// held device flooding its control channel, a session connection from
// another address, devices that never finish. Each row measures what it
// costs, against the bound the listener must keep.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "device/rapi.h"
#include "tests/network/fake_device.h"
#include "tests/network/hostile_peer.h"

namespace {

using namespace hostile;

const char kStranger[] = "127.0.0.2";
const uint32_t kUnlockKey = 0xFFFFFFFFu;

// A connection from `from` to the bridge's port, the greeting sent; it is
// closed when it did not connect at once.
SOCKET Connect(uint16_t port, const char *from, const Bytes &greeting) {
    SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in local = {}, desktop = {};
    local.sin_family = desktop.sin_family = AF_INET;
    local.sin_addr.s_addr = inet_addr(from);
    desktop.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    desktop.sin_port = htons(port);
    u_long nonBlocking = 1;
    ioctlsocket(socket, FIONBIO, &nonBlocking);
    bind(socket, reinterpret_cast<sockaddr *>(&local), sizeof local);
    connect(socket, reinterpret_cast<sockaddr *>(&desktop), sizeof desktop);
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(socket, &writable);
    timeval wait = {0, 50000};
    if (select(0, nullptr, &writable, nullptr, &wait) != 1 ||
        (!greeting.empty() &&
         send(socket, reinterpret_cast<const char *>(greeting.data()), static_cast<int>(greeting.size()), 0) <= 0)) {
        closesocket(socket);
        return INVALID_SOCKET;
    }
    return socket;
}

// True when the bridge closes the connection within timeoutMs.
bool ClosedWithin(SOCKET socket, DWORD timeoutMs) {
    u_long blocking = 0;
    ioctlsocket(socket, FIONBIO, &blocking);
    DWORD timeout = timeoutMs;
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&timeout), sizeof timeout);
    char byte;
    for (DWORD start = GetTickCount(); Since(start) < timeoutMs;) {
        int got = recv(socket, &byte, 1, 0);
        if (got == 0 || (got < 0 && WSAGetLastError() != WSAETIMEDOUT)) return true;
    }
    return false;
}

// A stranger opening `perSecond` connections a second to `port`, each
// sending `greeting` and held open, until it is ended.
struct Storm {
    std::atomic<bool> done{false};
    std::vector<SOCKET> held;
    std::thread thread;
    Storm(uint16_t port, const Bytes &greeting, int perSecond) {
        thread = std::thread([this, port, greeting, perSecond] {
            for (DWORD start = GetTickCount(), opened = 0; !done;) {
                if (opened * 1000 > Since(start) * static_cast<DWORD>(perSecond)) {
                    Sleep(1);
                    continue;
                }
                ++opened;
                SOCKET socket = Connect(port, kStranger, greeting);
                if (socket != INVALID_SOCKET) held.push_back(socket);
            }
        });
    }
    ~Storm() { End(); }
    void End() {
        done = true;
        if (thread.joinable()) thread.join();
        for (SOCKET socket : held) closesocket(socket);
        held.clear();
    }
};

// The most threads the process had beyond `before` while sampling for `ms`.
DWORD MostThreadsBeyond(int before, DWORD ms) {
    int most = before;
    for (DWORD start = GetTickCount(); Since(start) < ms; Sleep(50)) most = std::max(most, Threads());
    return static_cast<DWORD>(most - before);
}

// A Windows Mobile device greeted whole (no password), its session request
// read: the id it is asked to open the session with.
uint32_t AskedId(FakeDevice &device, uint16_t port2) {
    DockWm5(device, port2);
    Bytes request = device.ControlReceived(12, 3000);
    if (request.size() != 12) return 0;
    return request[8] | (request[9] << 8) | (request[10] << 16) | (static_cast<uint32_t>(request[11]) << 24);
}

// The event a process of its own sets as its test returns.
std::wstring ReturningEvent(DWORD process) { return L"Local\\tesh-returning-" + std::to_wstring(process); }

// Runs the flood below in a process of its own: the ms from its test's
// return until the process has ended, or MAXDWORD.
DWORD EndAfterFloodMs() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring command = std::wstring(L"\"") + path +
                           L"\" --gtest_also_run_disabled_tests "
                           L"--gtest_filter=HostilePeer.DISABLED_FloodOfSilentConnectionsThenReturn";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr, &startup,
                        &child)) {
        return MAXDWORD;
    }
    HANDLE returning = CreateEventW(nullptr, TRUE, FALSE, ReturningEvent(child.dwProcessId).c_str());
    ResumeThread(child.hThread);
    HANDLE either[2] = {returning, child.hProcess};
    bool returned = WaitForMultipleObjects(2, either, FALSE, 60000) == WAIT_OBJECT_0;
    DWORD start = GetTickCount();
    bool ended = WaitForSingleObject(child.hProcess, 10000) == WAIT_OBJECT_0;
    DWORD took = Since(start);
    if (!ended) TerminateProcess(child.hProcess, 1);
    for (HANDLE handle : {returning, child.hThread, child.hProcess}) CloseHandle(handle);
    return returned && ended ? took : MAXDWORD;
}

const HostilePeerRow kStormRows[] = {
    {"a stranger's storm of handshakes to unlock on the device (200 a second, 3 s): threads the bridge grew by",
     "threads", 20,
     [] {
         Bridge bridge;
         bridge.Listen2();
         int before = Threads();
         Storm storm(bridge.desktopPort2, Wm5Greeting(Wm5Block(kUnlockKey)), 200);
         DWORD grown = MostThreadsBeyond(before + 1, 3000);  // the storm's own thread
         storm.End();
         CloseBoxes();
         return grown;
     }},
    {"a stranger's storm of connections (200 a second, 2 s): descriptors left 1 s after it ends", "handles", 12,
     [] {
         Bridge bridge;
         bridge.Listen2();
         Sleep(200);
         DWORD before = 0, after = 0;
         GetProcessHandleCount(GetCurrentProcess(), &before);
         {
             Storm storm(bridge.desktopPort, Bytes(), 200);
             Sleep(2000);
         }
         Sleep(1000);
         GetProcessHandleCount(GetCurrentProcess(), &after);
         return after > before ? after - before : 0;
     }},
    {"an honest device, slow to greet, docks while a stranger storms handshakes (200 a second)", "ms to dock", 5000,
     [] {
         FakeDevice device, honest;
         ServeHonestly(&device);
         Bridge bridge;
         bridge.Listen2(device.RapiPort());
         Storm storm(bridge.desktopPort2, Wm5Greeting(Wm5Block(kUnlockKey)), 200);
         Sleep(500);
         DWORD start = GetTickCount();
         EXPECT_TRUE(honest.Dock(bridge.desktopPort, Bytes(4, 0), false));
         Sleep(300);
         EXPECT_TRUE(honest.SendControl(GoodInfoBlock()));
         honest.Echo();
         bool connected = bridge.Connected(10000);
         DWORD took = Since(start);
         storm.End();
         CloseBoxes();
         return connected ? took : MAXDWORD;
     }},
    {"a held Windows Mobile device flooding its control channel: the next start-up's session", "ms to connect", 5000,
     [] {
         FakeDevice device;
         Bridge bridge;
         bridge.Listen2();
         DockWm5(device, bridge.desktopPort2);
         EXPECT_TRUE(device.ServeSession2(bridge.desktopPort2, [](const Bytes &) { return Bytes(); }, 3000));
         EXPECT_TRUE(bridge.Connected(5000));
         std::atomic<bool> done{false};
         std::thread flood([&] {
             while (!done && device.SendControl(Bytes(1 << 16, 0))) {
             }
         });
         Sleep(500);
         CeRapiUninit();
         DWORD start = GetTickCount();
         bridge.Start();
         bool connected = bridge.Connected(8000);
         DWORD took = Since(start);
         done = true;
         device.Undock();
         flood.join();
         return connected ? took : MAXDWORD;
     }},
    {"a session connection with the asked id from another address is closed at once", "ms to close", 1000,
     [] {
         FakeDevice device;
         Bridge bridge;
         bridge.Listen2();
         uint32_t id = AskedId(device, bridge.desktopPort2);
         DWORD start = GetTickCount();
         SOCKET taker = Connect(bridge.desktopPort2, kStranger, Words({id}));
         bool closed = taker != INVALID_SOCKET && ClosedWithin(taker, 2000);
         DWORD took = Since(start);
         if (taker != INVALID_SOCKET) closesocket(taker);
         EXPECT_FALSE(bridge.Connected(0));
         return closed ? took : MAXDWORD;
     }},
    {"a Windows Mobile device that never opens the session asked of it is closed after 5 s", "ms to close", 6500,
     [] {
         FakeDevice device;
         Bridge bridge;
         bridge.Listen2();
         EXPECT_NE(AskedId(device, bridge.desktopPort2), 0u);
         DWORD start = GetTickCount();
         bool closed = device.ClosedWithin(9000);
         return closed ? Since(start) : MAXDWORD;
     }},
    {"a docked device whose remote API port does not answer is closed after 5 s", "ms to close", 6500,
     [] {
         UnansweredPort port;
         FakeDevice docking;
         Bridge bridge;
         bridge.Listen(port.port);
         DWORD start = GetTickCount();
         EXPECT_TRUE(docking.Dock(bridge.desktopPort, GoodInfoBlock(), false));
         bool closed = docking.ClosedWithin(9000);
         return closed ? Since(start) : MAXDWORD;
     }},
    {"after a flood of 1,000 silent connections, the process ends after its main returns", "ms", 5000,
     EndAfterFloodMs},
    {"a device with a password docks while another's box to unlock it is up", "ms to dock", 3000,
     [] {
         FakeDevice device, locked, keyed;
         ServeHonestly(&device, 8);
         SetEnvironmentVariableW(L"RAPI_PASSWORD", L"ab");
         Bridge bridge;
         bridge.Listen2(device.RapiPort());
         EXPECT_TRUE(locked.Dock(bridge.desktopPort2, Wm5Greeting(Wm5Block(kUnlockKey)), false));
         for (DWORD start = GetTickCount(); Boxes(false) == 0 && Since(start) < 3000;) Sleep(20);
         DWORD start = GetTickCount();
         EXPECT_TRUE(keyed.Dock(bridge.desktopPort, Challenged(0x5A), false));
         EXPECT_EQ(keyed.ControlReceived(8, 3000).size(), 8u) << "no password for the second device";
         EXPECT_TRUE(keyed.SendControl(Bytes{1, 0}));
         bool connected = bridge.Connected(5000);
         DWORD took = Since(start);
         CloseBoxes();
         return connected ? took : MAXDWORD;
     }},
};

TEST(HostilePeer, StormsAndTakersCostNoMoreThanTheirBound) { PlayRows(kStormRows); }

// Played by the row above in a process of its own: 1,000 silent
// connections to the listener, then the test returns, and main with it.
TEST(HostilePeer, DISABLED_FloodOfSilentConnectionsThenReturn) {
    HANDLE returning = OpenEventW(EVENT_MODIFY_STATE, FALSE, ReturningEvent(GetCurrentProcessId()).c_str());
    ASSERT_NE(returning, nullptr) << "played only by the row that measures it";
    {
        Bridge bridge;
        bridge.Listen(FreePort());
        // Opened at once without waiting: each is taken as the listener
        // gets to it, and says nothing.
        sockaddr_in desktop = {};
        desktop.sin_family = AF_INET;
        desktop.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        desktop.sin_port = htons(bridge.desktopPort);
        std::vector<SOCKET> silent;
        for (int i = 0; i < 1000; ++i) {
            SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
            u_long nonBlocking = 1;
            ioctlsocket(socket, FIONBIO, &nonBlocking);
            connect(socket, reinterpret_cast<sockaddr *>(&desktop), sizeof desktop);
            silent.push_back(socket);
            if (i % 50 == 49) Sleep(50);
        }
        Sleep(1000);
        for (SOCKET socket : silent) closesocket(socket);
    }
    SetEvent(returning);
    CloseHandle(returning);
}

}  // namespace
