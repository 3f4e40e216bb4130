// The simulated Windows Mobile device on the network: its handshake with a
// desktop of our own in each password mode, the sessions it opens there,
// the bare sessions it serves on a port of its own, and when devices of
// either protocol call the desktop.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/rapi2.h"
#include "tests/support/fake_desktop.h"
#include "tests/support/rapi1_client.h"
#include "tests/support/test_device.h"

namespace {

const DWORD kWaitMs = kFakeDesktopWaitMs;

uint32_t U32At(const std::vector<uint8_t> &bytes, size_t at) {
    return bytes[at] | (bytes[at + 1] << 8) | (bytes[at + 2] << 16) | (static_cast<uint32_t>(bytes[at + 3]) << 24);
}

// A Windows Mobile device calls the desktop from its own address, shakes
// hands with its information block and the password key of each mode,
// echoes pings, and opens each session asked for, the id first; a
// malformed request closes that session alone.
TEST(Network, AWindowsMobileDeviceShakesHandsInEachPasswordModeAndOpensTheSessionsAskedFor) {
    const struct {
        const char *what, *profile, *password, *unlockMs;
        uint32_t minor;
    } rows[] = {
        {"no password", "wm5ppc", "", "", 1},
        {"a password the desktop sends", "wm6ppc", "1234", "", 2},
        {"unlocked on the device", "wm5ppc", "1234", "0", 1},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        FakeDesktop desktop;
        desktop.Listen();
        TestDevice device(row.profile);
        device.SetFault("password", row.password);
        device.SetFault("unlock_on_device_ms", row.unlockMs);
        std::string address = "127.0." + std::to_string(GetCurrentProcessId() % 200 + 20) + ".2";
        ASSERT_NE(device.ServeNetwork(desktop.Where(), address, TestDevice::Docking::kForgiving), 0);
        std::string source;
        ASSERT_TRUE(desktop.Accept(&source));
        EXPECT_EQ(source, address);
        ASSERT_EQ(desktop.ReadU32(), rapi2::kInitial);
        desktop.Write(Words({3}));
        ASSERT_EQ(desktop.ReadU32(), rapi2::kVersionQuery);
        desktop.Write(Words({7, 8, 4, 5}));
        ASSERT_EQ(desktop.ReadU32(), rapi2::kInfoFollows);
        std::vector<uint8_t> block(desktop.ReadU32());
        ASSERT_LE(block.size(), rapi2::kMaxInfoBlockBytes);
        ASSERT_TRUE(desktop.Read(block.data(), static_cast<int>(block.size())));
        rapi2::DeviceInfo info;
        const char *problem = "";
        ASSERT_TRUE(rapi2::ParseInfoBlock(block.data(), block.size(), &info, &problem)) << problem;
        EXPECT_EQ(info.major, 5u);
        EXPECT_EQ(info.minor, row.minor);
        EXPECT_EQ(info.processor, 2577u);
        EXPECT_EQ(info.platform, "PocketPC");
        EXPECT_EQ(info.name, L"Pocket_PC");
        if (!*row.password) {
            EXPECT_EQ(info.key, rapi2::kKeyNone);
        } else if (*row.unlockMs) {
            ASSERT_EQ(info.key, rapi2::kKeyUnlockOnDevice);
            desktop.Write(Words({rapi2::kUnlockRequest}));
            EXPECT_EQ(desktop.ReadU32(), rapi2::kUnlocked);
            desktop.Write(Words({0, 0x0C}));
        } else {
            ASSERT_NE(info.key, rapi2::kKeyNone);
            ASSERT_NE(info.key, rapi2::kKeyUnlockOnDevice);
            uint8_t verdict[2] = {9, 9};
            desktop.Write(rapi2::EncodePassword(L"4321", info.key));
            ASSERT_TRUE(desktop.Read(verdict, 2));
            EXPECT_EQ(verdict[0] | verdict[1], 0) << "a wrong password is refused";
            desktop.Write(rapi2::EncodePassword(L"1234", info.key));
            ASSERT_TRUE(desktop.Read(verdict, 2));
            EXPECT_NE(verdict[0] | verdict[1], 0);
        }
        desktop.Write(Words({rapi2::kPing}));
        EXPECT_EQ(desktop.ReadU32(), rapi2::kPingEcho);
        for (uint32_t id : {7u, 9u}) {
            desktop.Write(Words({5, 4, id}));
            ASSERT_TRUE(desktop.Accept(&source, true));
            EXPECT_EQ(source, address);
            EXPECT_EQ(desktop.ReadU32(true), id);
            // GetFileAttributes of \Windows, in the newer frames.
            std::vector<uint8_t> request = Words({26, 0x14, 18});
            for (wchar_t unit : std::wstring(L"\\Windows")) request.insert(request.end(), {uint8_t(unit), 0});
            request.insert(request.end(), {0, 0});
            desktop.Write(request, true);
            EXPECT_EQ(desktop.ReadU32(true), 8u);
            EXPECT_EQ(desktop.ReadU32(true), 0u);
            EXPECT_EQ(desktop.ReadU32(true), static_cast<uint32_t>(FILE_ATTRIBUTE_DIRECTORY));
        }
        // A command with no known layout closes its session, not the link.
        desktop.Write(Words({8, 0x3e, 0}), true);
        EXPECT_TRUE(desktop.Closed(true));
        desktop.Write(Words({rapi2::kPing}));
        EXPECT_EQ(desktop.ReadU32(), rapi2::kPingEcho);
        // A desktop that speaks something else is let go after a few words.
        std::vector<uint8_t> noise;
        for (int i = 0; i < 17; ++i) noise.insert(noise.end(), {0x99, 0x99, 0x99, 0x99});
        desktop.Write(noise);
        EXPECT_TRUE(desktop.Closed());
    }
}

// Bare sessions, as a connection manager's proxy socket hands them on to
// SynCE's tools: the first request frame is the first byte, no password.
TEST(Network, AWindowsMobileDeviceServesBareSessionsOnAPortOfTheirOwn) {
    TestDevice device("wm5ppc");
    device.SetFault("password", "1234");
    uint16_t port = device.ServeNetwork();
    ASSERT_NE(port, 0);
    Rapi1Client client;
    ASSERT_TRUE(client.Connect(port));
    rapi1::Writer version;
    version.U32(rapi2::kGetVersionEx);
    std::vector<uint8_t> reply;
    ASSERT_TRUE(client.Call(version, &reply));
    ASSERT_EQ(reply.size(), 12u + rapi2::kOsVersionInfoBytes);
    EXPECT_EQ(U32At(reply, 0), 0u);
    EXPECT_EQ(U32At(reply, 4), 1u);
    EXPECT_EQ(U32At(reply, 8), rapi2::kOsVersionInfoBytes);
    EXPECT_EQ(U32At(reply, 16), 5u);
    EXPECT_EQ(U32At(reply, 20), 1u);
    // An older device's request is no request here: the session closes.
    ASSERT_TRUE(client.SendBytes(Words({8, 0x3b, 0})));
    EXPECT_TRUE(client.EndedUnanswered(kWaitMs));
}

// Sends one datagram to the trigger port of `address`.
void SendDatagram(const std::string &address, const std::string &bytes) {
    SOCKET sender = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(rapi2::kTriggerPort);
    to.sin_addr.s_addr = inet_addr(address.c_str());
    EXPECT_EQ(sendto(sender, bytes.data(), static_cast<int>(bytes.size()), 0, reinterpret_cast<sockaddr *>(&to),
                     sizeof to),
              static_cast<int>(bytes.size()));
    closesocket(sender);
}

// As real handhelds do: a device calls the desktop when it is plugged in,
// and finding nothing listening does not call again on a timer (the
// forgiving mode's retries, 0.2 s and 3 s, would come within the wait). A
// Windows Mobile device calls when the desktop's trigger comes, a datagram
// of the single byte 0x7F, and not for another datagram; an older one when
// it is re-seated.
TEST(Network, DevicesCallTheDesktopWhenPluggedInAndOnTheTriggerNotOnATimer) {
    const struct {
        const char *profile;
        bool mobile;
    } rows[] = {{"wm5ppc", true}, {"pocketpc", false}};
    const DWORD kNoCallMs = 3500;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.profile);
        FakeDesktop desktop;  // refuses until it listens
        TestDevice device(row.profile);
        const std::string address = "127.0." + std::to_string(GetCurrentProcessId() % 200 + 20) + ".3";
        ASSERT_NE(device.ServeNetwork(desktop.Where(), address), 0);
        Sleep(500);  // its one call, refused
        desktop.Listen();
        std::string source;
        if (row.mobile) SendDatagram(address, std::string("\x7f\x7f", 2));
        EXPECT_FALSE(desktop.Accept(&source, false, kNoCallMs)) << "called again on a timer, or for a wrong datagram";
        if (row.mobile) {
            SendDatagram(address, "\x7f");
        } else {
            device.Unplug();
            ASSERT_NE(device.ServeNetwork(desktop.Where(), address), 0);
        }
        ASSERT_TRUE(desktop.Accept(&source)) << "did not call on the trigger, or when re-seated";
        EXPECT_EQ(source, address);
    }
}

}  // namespace
