// The stand-in rapi.dll as a bridge against peers that misbehave on
// purpose, on loopback: each row plays one misbehaviour and measures what
// it costs, against the bound the bridge must keep.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "device/rapi.h"
#include "tests/network/fake_device.h"

#include <tlhelp32.h>

namespace {

const DWORD kNoDevice = ERROR_DEVICE_NOT_CONNECTED;

DWORD Since(DWORD start) { return GetTickCount() - start; }

BOOL Alive() { return CeCloseHandle(reinterpret_cast<HANDLE>(0x10)); }

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
    void Listen2() {
        desktopPort2 = FreePort();
        SetEnvironmentVariableA("RAPI_DESKTOP2", (":" + std::to_string(desktopPort2)).c_str());
        Listen(FreePort());
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
void ServeHonestly(FakeDevice *device, size_t passwordBytes = 0) {
    device->Serve(
        [](const Bytes &) {
            Bytes body(12, 0);
            body[8] = 1;
            return Frame(body);
        },
        passwordBytes);
}

Bytes Challenged(uint8_t key) {
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

int Threads() {
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

DWORD CpuMs() {
    FILETIME created, ended, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user);
    auto ticks = [](const FILETIME &time) {
        return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    return static_cast<DWORD>((ticks(kernel) + ticks(user)) / 10000);
}

// Reads a request's first bytes, then answers a 400-byte reply one byte
// every 100 ms.
void Trickle(SOCKET session, const std::atomic<bool> &stop) {
    char request[64];
    recv(session, request, sizeof request, 0);
    Bytes head;
    PutU32(&head, 400);
    send(session, reinterpret_cast<const char *>(head.data()), 4, 0);
    for (int i = 0; i < 400 && !stop; ++i) {
        send(session, "\0", 1, 0);
        Sleep(100);
    }
}

void NeverRead(SOCKET, const std::atomic<bool> &stop) {
    while (!stop) Sleep(20);
}

// A Windows Mobile device greeting with `block`: the ms until the bridge
// closes its connection, or MAXDWORD when it stays open.
DWORD ClosedAfterGreeting(const Bytes &block) {
    FakeDevice docking;
    Bridge bridge;
    bridge.Listen2();
    DWORD start = GetTickCount();
    EXPECT_TRUE(docking.Dock(bridge.desktopPort2, Wm5Greeting(block), false));
    bool closed = docking.ClosedWithin(3000);
    DWORD took = Since(start);
    EXPECT_FALSE(bridge.Connected(0));
    return closed ? took : MAXDWORD;
}

// A good block whose name length is `units` while the name has 3.
Bytes NameLengthPastTheBlock(uint32_t units) {
    Bytes block = Wm5Block(0);
    for (int i = 0; i < 4; ++i) block[24 + i] = static_cast<uint8_t>(units >> (8 * i));
    return block;
}

struct HostilePeerRow {
    const char *what;
    const char *unit;
    DWORD bound;                 // what the row measures must not exceed it
    std::function<DWORD()> play;  // plays the misbehaviour; what it measured
};

const HostilePeerRow kHostilePeerRows[] = {
    {"a connection sending a zero word every second keeps no device from docking", "ms to dock", 2000,
     [] {
         FakeDevice device, idle, honest;
         ServeHonestly(&device);
         Bridge bridge;
         bridge.Listen(device.RapiPort());
         std::atomic<bool> done{false};
         EXPECT_TRUE(idle.Dock(bridge.desktopPort, Bytes(4, 0), false));
         std::thread zeros([&] {
             for (int i = 0; i < 120 && !done; ++i, Sleep(100)) {
                 if (i % 10 == 0) idle.SendControl(Bytes(4, 0));
             }
         });
         Sleep(200);
         DWORD start = GetTickCount();
         EXPECT_TRUE(honest.Dock(bridge.desktopPort, GoodInfoBlock()));
         bool connected = bridge.Connected(12000);
         DWORD took = Since(start);
         done = true;
         zeros.join();
         return connected ? took : MAXDWORD;
     }},
    {"a reply trickled a byte every 100 ms ends at the call's deadline (2 s)", "ms", 3000,
     [] {
         FakeDevice device;
         device.ServeRaw(Trickle);
         SetEnvironmentVariableA("RAPI_CALL_SECONDS", "2");
         Bridge bridge;
         bridge.Direct(device.RapiPort());
         EXPECT_TRUE(bridge.Connected(5000));
         DWORD start = GetTickCount();
         BOOL ok = Alive();
         DWORD took = Since(start);
         EXPECT_FALSE(ok);
         EXPECT_EQ(CeGetLastError(), kNoDevice);
         return took;
     }},
    {"a device that stops reading holds a write no longer than the call's deadline (2 s)", "ms", 3000,
     [] {
         FakeDevice device;
         device.ServeRaw(NeverRead, 4096);
         SetEnvironmentVariableA("RAPI_CALL_SECONDS", "2");
         Bridge bridge;
         bridge.Direct(device.RapiPort());
         EXPECT_TRUE(bridge.Connected(5000));
         std::vector<uint8_t> data(1u << 20, 7);
         DWORD written = 0, start = GetTickCount();
         BOOL ok = CeWriteFile(reinterpret_cast<HANDLE>(7), data.data(), static_cast<DWORD>(data.size()), &written,
                               nullptr);
         DWORD took = Since(start);
         EXPECT_FALSE(ok);
         EXPECT_EQ(CeGetLastError(), kNoDevice);
         return took;
     }},
    {"part of a control word left pending costs no CPU", "ms of CPU in 2 s", 400,
     [] {
         FakeDevice device, docking;
         ServeHonestly(&device);
         Bridge bridge;
         bridge.Listen(device.RapiPort());
         EXPECT_TRUE(docking.Dock(bridge.desktopPort, GoodInfoBlock(), false));
         EXPECT_TRUE(bridge.Connected(5000));
         EXPECT_TRUE(docking.SendControl(Bytes{0x78, 0x56}));
         DWORD before = CpuMs();
         Sleep(2000);
         DWORD used = CpuMs() - before;
         EXPECT_NE(Alive(), FALSE);
         return used;
     }},
    {"twenty password challenges without RAPI_PASSWORD show one box", "boxes", 1,
     [] {
         FakeDevice device;
         ServeHonestly(&device);
         Bridge bridge;
         bridge.Listen(device.RapiPort());
         int threads = Threads();
         for (int i = 0; i < 20; ++i) {
             FakeDevice docking;
             EXPECT_TRUE(docking.Dock(bridge.desktopPort, Challenged(0x33), false));
             EXPECT_EQ(docking.ControlReceived(64, 3000), Bytes()) << "something was sent to challenge " << i;
         }
         for (DWORD start = GetTickCount(); Boxes(false) == 0 && Since(start) < 3000;) Sleep(20);
         EXPECT_LE(Threads(), threads + 2) << "a thread per challenge";
         EXPECT_FALSE(bridge.Connected(0));
         int boxes = Boxes(false);
         CloseBoxes();
         return static_cast<DWORD>(boxes);
     }},
    {"a second device while one is docked is closed at once, and gets no password", "ms to close", 1000,
     [] {
         FakeDevice device, docked, second;
         ServeHonestly(&device, 8);
         SetEnvironmentVariableW(L"RAPI_PASSWORD", L"ab");
         SetEnvironmentVariableA("RAPI_PEER", "127.0.0.1");
         Bridge bridge;
         bridge.Listen(device.RapiPort());
         EXPECT_TRUE(docked.Dock(bridge.desktopPort, Challenged(0x5A), false));
         EXPECT_EQ(docked.ControlReceived(8, 3000).size(), 8u);
         EXPECT_TRUE(docked.SendControl(Bytes{1, 0}));
         EXPECT_TRUE(bridge.Connected(5000));
         DWORD start = GetTickCount();
         EXPECT_TRUE(second.Dock(bridge.desktopPort, Challenged(0x11), false));
         EXPECT_EQ(second.ControlReceived(64, 3000), Bytes());
         DWORD took = Since(start);
         EXPECT_NE(Alive(), FALSE);
         return took;
     }},
    {"an unanswered remote API port (RAPI_DEVICE): CeRapiUninit", "ms", 2000,
     [] {
         UnansweredPort port;
         Bridge bridge;
         bridge.Direct(port.port);
         EXPECT_FALSE(bridge.Connected(300));
         return bridge.TimedUninit();
     }},
    {"a docked device whose remote API port does not answer: CeRapiUninit", "ms", 2000,
     [] {
         UnansweredPort port;
         FakeDevice docking;
         Bridge bridge;
         bridge.Listen(port.port);
         EXPECT_TRUE(docking.Dock(bridge.desktopPort, GoodInfoBlock()));
         EXPECT_FALSE(bridge.Connected(500));
         return bridge.TimedUninit();
     }},
    {"a device from another address than RAPI_PEER is closed at once", "ms to close", 1000,
     [] {
         FakeDevice device, stranger;
         ServeHonestly(&device);
         SetEnvironmentVariableA("RAPI_PEER", "127.0.0.2");
         Bridge bridge;
         bridge.Listen(device.RapiPort());
         DWORD start = GetTickCount();
         EXPECT_TRUE(stranger.Dock(bridge.desktopPort, GoodInfoBlock(), false));
         bool closed = stranger.ClosedWithin(3000);
         DWORD took = Since(start);
         EXPECT_FALSE(bridge.Connected(0));
         return closed ? took : MAXDWORD;
     }},
    {"a Windows Mobile information block shorter than its fixed fields is closed at once", "ms to close", 1000,
     [] { return ClosedAfterGreeting(Bytes(20, 0)); }},
    {"a Windows Mobile name length past the block is closed at once", "ms to close", 1000,
     [] { return ClosedAfterGreeting(NameLengthPastTheBlock(0x7fffffff)); }},
    {"a Windows Mobile name of 32 characters is closed at once", "ms to close", 1000,
     [] { return ClosedAfterGreeting(Wm5Block(0, 32)); }},
    {"a Windows Mobile block of 64 KB announced is closed at once", "ms to close", 1000,
     [] {
         FakeDevice docking;
         Bridge bridge;
         bridge.Listen2();
         DWORD start = GetTickCount();
         EXPECT_TRUE(docking.Dock(bridge.desktopPort2, Words({4, 0x10000}), false));
         bool closed = docking.ClosedWithin(3000);
         return closed ? Since(start) : MAXDWORD;
     }},
    {"a Windows Mobile session connection with an unknown id is closed at once", "ms to close", 1000,
     [] {
         FakeDevice docking;
         Bridge bridge;
         bridge.Listen2();
         EXPECT_TRUE(docking.Dock(bridge.desktopPort2, Wm5Greeting(Wm5Block(0)), false));
         EXPECT_EQ(docking.ControlReceived(20, 3000), Words({3, 7, 8, 4, 5}));
         DWORD start = GetTickCount();
         EXPECT_TRUE(docking.ServeSession2(bridge.desktopPort2, [](const Bytes &) { return Bytes(); }, 3000, 1000));
         bool closed = docking.SessionClosedWithin(3000);
         DWORD took = Since(start);
         EXPECT_FALSE(bridge.Connected(0));
         return closed ? took : MAXDWORD;
     }},
    {"no address named: a host elsewhere cannot even connect", "connections", 0,
     [] {
         FakeDevice device, elsewhere;
         ServeHonestly(&device);
         Bridge bridge;
         bridge.Listen(device.RapiPort());
         // 127.0.0.2 is this machine too, but not the loopback address
         // the bridge listens on.
         SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
         sockaddr_in address = {};
         address.sin_family = AF_INET;
         address.sin_port = htons(bridge.desktopPort);
         address.sin_addr.s_addr = inet_addr("127.0.0.2");
         bool connected = connect(probe, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
         closesocket(probe);
         return connected ? 1u : 0u;
     }},
};

TEST(HostilePeer, EachMisbehaviourCostsNoMoreThanItsBound) {
    CloseBoxes();
    for (const HostilePeerRow &row : kHostilePeerRows) {
        SCOPED_TRACE(row.what);
        DWORD measured = row.play();
        printf("%-90s %lu %s\n", row.what, static_cast<unsigned long>(measured), row.unit);
        EXPECT_LE(measured, row.bound) << row.unit;
    }
}

}  // namespace
