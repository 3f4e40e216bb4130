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
#include "tests/network/hostile_peer.h"

namespace {

using namespace hostile;

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

// An invocation's reply frame (12 bytes of output) sent after `delayMs`,
// without the empty second frame that should follow it.
void LateInvocationWithoutItsSecondFrame(SOCKET session, const std::atomic<bool> &stop) {
    char request[256];
    recv(session, request, sizeof request, 0);
    for (int waited = 0; waited < 1500 && !stop; waited += 20) Sleep(20);
    Bytes body;
    for (uint32_t field : {0u, 0u, 0u, 12u}) PutU32(&body, field);
    body.resize(body.size() + 12, 0);
    Bytes frame = Frame(body);
    send(session, reinterpret_cast<const char *>(frame.data()), static_cast<int>(frame.size()), 0);
    while (!stop) Sleep(20);
}

// A device docked with a password challenge that is answered, and then
// never gives its verdict.
void DockWithoutVerdict(FakeDevice *docking, uint16_t desktopPort) {
    SetEnvironmentVariableW(L"RAPI_PASSWORD", L"ab");
    EXPECT_TRUE(docking->Dock(desktopPort, Challenged(0x44), false));
    EXPECT_EQ(docking->ControlReceived(8, 3000).size(), 8u);
}

// Milliseconds until an honest device docking now is connected, while
// `stalling` is being greeted.
DWORD HonestDockingBeside(Bridge &bridge, const std::function<void()> &stalling) {
    FakeDevice honest;
    stalling();
    DWORD start = GetTickCount();
    EXPECT_TRUE(honest.Dock(bridge.desktopPort, GoodInfoBlock()));
    bool connected = bridge.Connected(12000);
    return connected ? Since(start) : MAXDWORD;
}

// Writes `bytes` to a device whose calls may take 2 s (RAPI_CALL_SECONDS);
// the write must fail with "device not connected". Milliseconds it took.
DWORD FailedWriteMs(const FakeDevice &device, size_t bytes) {
    SetEnvironmentVariableA("RAPI_CALL_SECONDS", "2");
    Bridge bridge;
    bridge.Direct(device.RapiPort());
    EXPECT_TRUE(bridge.Connected(5000));
    std::vector<uint8_t> data(bytes, 7);
    DWORD written = 0, start = GetTickCount();
    BOOL ok = CeWriteFile(reinterpret_cast<HANDLE>(7), data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
    DWORD took = Since(start);
    EXPECT_FALSE(ok);
    EXPECT_EQ(CeGetLastError(), kNoDevice);
    return took;
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
         return FailedWriteMs(device, 1u << 20);
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
    {"a second device while one that answers is docked is closed at once, and gets no password", "ms to close", 1000,
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
         docked.Echo();
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
         DockWm5(docking, bridge.desktopPort2);
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
    {"an invocation's late reply without its second frame ends at the call's deadline (2 s)", "ms", 3000,
     [] {
         FakeDevice device;
         device.ServeRaw(LateInvocationWithoutItsSecondFrame);
         SetEnvironmentVariableA("RAPI_CALL_SECONDS", "2");
         Bridge bridge;
         bridge.Direct(device.RapiPort());
         EXPECT_TRUE(bridge.Connected(5000));
         BYTE *input = static_cast<BYTE *>(LocalAlloc(LMEM_FIXED, 8));
         DWORD outputSize = 0;
         BYTE *output = nullptr;
         DWORD start = GetTickCount();
         HRESULT result = CeRapiInvoke(L"\\Windows\\tarnlib.dll", L"CloseApp", 8, input, &outputSize, &output,
                                       nullptr, 0);
         DWORD took = Since(start);
         if (output) LocalFree(output);
         EXPECT_EQ(result, HRESULT_FROM_WIN32(kNoDevice));
         return took;
     }},
    {"a 3 MB write whose every 1 MB piece is answered after 1.2 s ends at the call's deadline (2 s)", "ms", 3000,
     [] {
         FakeDevice device;
         device.Serve([](const Bytes &) {
             Sleep(1200);
             Bytes body;
             for (uint32_t field : {0u, 0u, 1u, 1u << 20}) PutU32(&body, field);
             return Frame(body);
         });
         return FailedWriteMs(device, 3u << 20);
     }},
    {"a docking connection that never greets is closed after its deadline (10 s)", "ms to close", 11000,
     [] {
         FakeDevice device, silent;
         ServeHonestly(&device);
         Bridge bridge;
         bridge.Listen(device.RapiPort());
         DWORD start = GetTickCount();
         EXPECT_TRUE(silent.Dock(bridge.desktopPort, Bytes(), false));
         bool closed = silent.ClosedWithin(13000);
         return closed ? Since(start) : MAXDWORD;
     }},
    {"an honest device docks beside one whose remote API port refuses", "ms to dock", 2000,
     [] {
         FakeDevice device, refusing;
         ServeHonestly(&device);
         Bridge bridge;
         bridge.Listen(device.RapiPort());
         // Nothing serves the remote API on 127.0.0.2.
         return HonestDockingBeside(bridge, [&] { EXPECT_TRUE(refusing.Dock(bridge.desktopPort, GoodInfoBlock(), true, "127.0.0.2")); });
     }},
    {"an honest device docks beside one that never gives its password verdict", "ms to dock", 2000,
     [] {
         FakeDevice device, silent;
         ServeHonestly(&device, 8);
         Bridge bridge;
         bridge.Listen(device.RapiPort());
         return HonestDockingBeside(bridge, [&] { DockWithoutVerdict(&silent, bridge.desktopPort); });
     }},
    {"a device silent on its password verdict is closed as silent, with no box about the password", "boxes", 0,
     [] {
         FakeDevice device, silent;
         ServeHonestly(&device, 8);
         Bridge bridge;
         bridge.Listen(device.RapiPort());
         DockWithoutVerdict(&silent, bridge.desktopPort);
         EXPECT_TRUE(silent.ClosedWithin(13000));
         EXPECT_FALSE(bridge.Connected(0));
         int boxes = Boxes(false);
         CloseBoxes();
         return static_cast<DWORD>(boxes);
     }},
    {"a device docking again from the docked one's address, whose old link is silent, replaces it", "ms to replace",
     3000,
     [] {
         FakeDevice device, old, again;
         ServeHonestly(&device);
         Bridge bridge;
         bridge.Listen(device.RapiPort());
         EXPECT_TRUE(old.Dock(bridge.desktopPort, GoodInfoBlock(), false));
         EXPECT_TRUE(bridge.Connected(5000));
         DWORD start = GetTickCount();
         EXPECT_TRUE(again.Dock(bridge.desktopPort, GoodInfoBlock(), true));
         bool replaced = old.ClosedWithin(5000);
         DWORD took = Since(start);
         EXPECT_FALSE(again.ClosedWithin(300)) << "the device docking again was turned away";
         EXPECT_EQ(Alive(), FALSE) << "the start-up still used the old link";
         CeRapiUninit();
         bridge.Start();
         EXPECT_TRUE(bridge.Connected(1000));
         EXPECT_NE(Alive(), FALSE);
         return replaced ? took : MAXDWORD;
     }},
    {"RAPI_DESKTOP naming an address this PC does not have: the start-up waits; CeRapiUninit", "ms", 500,
     [] {
         Bridge bridge;
         // A documentation address, never this PC's: binding to it sends nothing.
         SetEnvironmentVariableA("RAPI_DESKTOP", "192.0.2.1:5679");
         bridge.Start();
         EXPECT_EQ(WaitForSingleObject(bridge.init.heRapiInit, 1500), static_cast<DWORD>(WAIT_TIMEOUT));
         EXPECT_EQ(bridge.init.hrRapiInit, E_PENDING);
         return bridge.TimedUninit();
     }},
};

TEST(HostilePeer, EachMisbehaviourCostsNoMoreThanItsBound) { PlayRows(kHostilePeerRows); }

}  // namespace
