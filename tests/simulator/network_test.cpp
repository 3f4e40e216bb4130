// The device on the network: a probe-style client of our own does over TCP
// what a general file client does, and the image is then checked; several
// sessions at once, bad input on one of them, undocking; and the control
// channel out to a desktop (information block, pings, password, retries).
#include <gtest/gtest.h>

#include <ws2tcpip.h>
#include <psapi.h>

#include <algorithm>
#include <string>
#include <vector>

#include "protocol/rapi1.h"
#include "tests/support/fake_desktop.h"
#include "tests/support/rapi1_client.h"
#include "tests/support/test_device.h"

namespace {

const DWORD kWaitMs = 15000;

bool Contains(const std::vector<std::wstring> &names, const std::wstring &name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

// The reply of a call that answers last error, BOOL and one optional value
// of `size` bytes; false when it is not that.
bool OptionalReply(Rapi1Client &client, const rapi1::Writer &request, uint32_t size, std::vector<uint8_t> *value) {
    std::vector<uint8_t> body;
    if (!client.Call(request, &body)) return false;
    rapi1::Reader in(body.data(), body.size());
    uint32_t hresult = 0;
    if (in.ReplyHead(&hresult) != 0) return false;
    in.U32();
    bool ok = in.U32() != 0;
    rapi1::Optional optional = in.OptionalArgument();
    if (!ok || !in.Exhausted() || !optional.hasValue || optional.size != size) return false;
    value->assign(optional.data, optional.data + size);
    return true;
}

uint32_t U32At(const std::vector<uint8_t> &bytes, size_t at) {
    return bytes[at] | (bytes[at + 1] << 8) | (bytes[at + 2] << 16) | (static_cast<uint32_t>(bytes[at + 3]) << 24);
}

TEST(Network, AProbeClientWorksTheDeviceOverTcpAndTheImageHoldsWhatItWasTold) {
    TestDevice device("pocketpc");
    device.WriteFile(L"\\My Documents\\notes.txt", "written on the device");
    device.WriteFile(L"\\Windows\\reader.exe", "CEAPP\tWINDOW\tReaderClass\tReader\r\n");
    uint16_t port = device.ServeNetwork();
    ASSERT_NE(port, 0);
    Rapi1Client client;
    ASSERT_TRUE(client.Connect(port));

    std::vector<std::wstring> root = client.List(L"\\*");
    EXPECT_TRUE(Contains(root, L"My Documents/") && Contains(root, L"Windows/")) << root.size() << " entries";

    // Copy to the device in 16 KB pieces, and back from it.
    ASSERT_TRUE(client.PathCall(rapi1::kCreateDirectory, L"\\Books"));
    std::string book(40000, '\0');
    for (size_t i = 0; i < book.size(); ++i) book[i] = static_cast<char>(i * 7 + i / 251);
    uint32_t file = client.CreateFile(L"\\Books\\book.bin", GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(file, rapi1::kInvalidHandle);
    for (size_t at = 0; at < book.size(); at += 16384) {
        uint32_t size = static_cast<uint32_t>(std::min<size_t>(16384, book.size() - at)), written = 0;
        ASSERT_TRUE(client.WriteFile(file, book.data() + at, size, &written));
        EXPECT_EQ(written, size);
    }
    EXPECT_TRUE(client.CloseHandle(file));
    file = client.CreateFile(L"\\My Documents\\notes.txt", GENERIC_READ, OPEN_EXISTING);
    std::string copied, piece;
    while (client.ReadFile(file, 8, &piece) && !piece.empty()) copied += piece;
    EXPECT_EQ(copied, "written on the device");
    EXPECT_TRUE(client.CloseHandle(file));

    // Folders, moves, deletions, a shortcut.
    EXPECT_TRUE(client.PathCall(rapi1::kCreateDirectory, L"\\Scratch"));
    EXPECT_TRUE(client.PathCall(rapi1::kRemoveDirectory, L"\\Scratch"));
    EXPECT_TRUE(client.PathCall(rapi1::kMoveFile, L"\\Books\\book.bin", L"\\Books\\moved.bin"));
    EXPECT_TRUE(client.PathCall(rapi1::kDeleteFile, L"\\My Documents\\notes.txt"));
    uint32_t error = 0;
    EXPECT_FALSE(client.PathCall(rapi1::kDeleteFile, L"\\My Documents\\notes.txt", L"", &error));
    EXPECT_EQ(error, static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(client.PathCall(rapi1::kSHCreateShortcut, L"\\Windows\\Start Menu\\Programs\\Reader.lnk",
                                L"\\Windows\\reader.exe"));

    // Start a program.
    rapi1::Writer start;
    start.U32(rapi1::kCreateProcess);
    start.OptionalString(L"\\Windows\\reader.exe");
    start.Absent();
    for (int i = 0; i < 7; ++i) start.U32(0);
    start.OutBuffer(rapi1::kProcessInformationBytes);
    std::vector<uint8_t> information;
    EXPECT_TRUE(OptionalReply(client, start, rapi1::kProcessInformationBytes, &information));

    // The identity value, through a key of this session.
    rapi1::Writer open;
    open.U32(rapi1::kRegOpenKeyEx);
    open.U32(rapi1::kRootLocalMachine);
    open.String(L"Ident");
    std::vector<uint8_t> body;
    ASSERT_TRUE(client.Call(open, &body));
    ASSERT_EQ(body.size(), 16u);
    uint32_t key = U32At(body, 12);
    rapi1::Writer query;
    query.U32(rapi1::kRegQueryValueEx);
    query.U32(key);
    query.OptionalString(L"OrigName");
    query.Absent();
    query.OutBuffer(4);
    query.OutBuffer(512);
    uint8_t room[4] = {0, 2, 0, 0};
    query.InOutBuffer(room, 4);
    ASSERT_TRUE(client.Call(query, &body));
    rapi1::Reader in(body.data(), body.size());
    uint32_t hresult = 0;
    in.ReplyHead(&hresult);
    in.U32();
    EXPECT_EQ(in.U32(), static_cast<uint32_t>(ERROR_SUCCESS));
    in.OptionalArgument();
    rapi1::Optional value = in.OptionalArgument();
    ASSERT_TRUE(value.hasValue);
    EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t *>(value.data), value.size / 2 - 1), L"Pocket_PC");

    // The device's status.
    rapi1::Writer store;
    store.U32(rapi1::kGetStoreInformation);
    store.OutBuffer(rapi1::kStoreInformationBytes);
    std::vector<uint8_t> storeInfo, power;
    ASSERT_TRUE(OptionalReply(client, store, rapi1::kStoreInformationBytes, &storeInfo));
    EXPECT_GE(U32At(storeInfo, 0), U32At(storeInfo, 4) + 40000u) << "size holds the free space and the book";
    rapi1::Writer status;
    status.U32(rapi1::kGetSystemPowerStatusEx);
    status.OutBuffer(rapi1::kPowerStatusBytes);
    status.U32(1);
    ASSERT_TRUE(OptionalReply(client, status, rapi1::kPowerStatusBytes, &power));
    EXPECT_EQ(power[0], 1) << "on the cradle's power";

    // A second session at once: its own handles, and none of the first's.
    Rapi1Client second;
    ASSERT_TRUE(second.Connect(port));
    uint32_t held = client.CreateFile(L"\\Books\\held.txt", GENERIC_WRITE, CREATE_ALWAYS);
    EXPECT_FALSE(second.CloseHandle(held));
    EXPECT_FALSE(second.WriteFile(held, "x", 1));
    EXPECT_EQ(second.GetFileAttributes(L"\\Books"), static_cast<uint32_t>(FILE_ATTRIBUTE_DIRECTORY));
    // A frame above the limit closes that session only.
    Rapi1Client bad;
    ASSERT_TRUE(bad.Connect(port));
    ASSERT_TRUE(bad.SendBytes({0xff, 0xff, 0xff, 0x7f, 0, 0, 0, 0}));
    EXPECT_TRUE(bad.EndedUnanswered(kWaitMs));
    EXPECT_TRUE(client.WriteFile(held, "kept", 4));

    // Undocking drops every session; the image keeps what was answered.
    device.Unplug();
    EXPECT_TRUE(client.EndedUnanswered(kWaitMs));
    EXPECT_TRUE(second.EndedUnanswered(kWaitMs));
    EXPECT_EQ(device.ReadFile(L"\\Books\\moved.bin"), book);
    EXPECT_FALSE(device.Exists(L"\\Books\\book.bin"));
    EXPECT_FALSE(device.Exists(L"\\My Documents\\notes.txt"));
    EXPECT_FALSE(device.Exists(L"\\Scratch"));
    EXPECT_EQ(device.ReadFile(L"\\Windows\\Start Menu\\Programs\\Reader.lnk"), "19#\\Windows\\reader.exe");
    EXPECT_TRUE(device.IsRunning(L"\\Windows\\reader.exe"));
    EXPECT_EQ(device.ReadFile(L"\\Books\\held.txt"), "kept");
}

TEST(Network, TheDeviceCallsTheDesktopIntroducesItselfEchoesPingsAndRetriesQuietly) {
    FakeDesktop desktop;  // not listening yet: the device must retry
    TestDevice device("hpc2000");
    // A loopback address of this test's own, so that the source of the
    // device's connection tells whether it came from there.
    std::string address = "127.0." + std::to_string(GetCurrentProcessId() % 200 + 20) + ".1";
    ASSERT_NE(device.ServeNetwork(desktop.Where(), address, TestDevice::Docking::kForgiving), 0);
    Sleep(4000);  // one retry interval and more
    desktop.Listen();
    std::string source;
    ASSERT_TRUE(desktop.Accept(&source));
    EXPECT_EQ(source, address) << "from the device's own address";
    uint32_t size = desktop.ReadU32();
    ASSERT_GE(size, rapi1::kInfoBlockMinBytes);
    ASSERT_LT(size, rapi1::kPasswordChallengeBase);
    std::vector<uint8_t> block(size);
    ASSERT_TRUE(desktop.Read(block.data(), static_cast<int>(size)));
    rapi1::DeviceInfo info;
    ASSERT_TRUE(rapi1::ParseInfoBlock(block.data(), block.size(), &info));
    EXPECT_EQ(info.major, 3);
    EXPECT_EQ(info.minor, 0);
    EXPECT_EQ(info.processor, 4000);
    EXPECT_EQ(info.platform, L"Handheld_PC");
    EXPECT_EQ(info.name, L"HPC2000");
    EXPECT_FALSE(info.model.empty());
    for (int ping = 0; ping < 2; ++ping) {
        desktop.Write({0x78, 0x56, 0x34, 0x12});
        EXPECT_EQ(desktop.ReadU32(), rapi1::kPing);
    }
    std::vector<std::string> log = device.Log();
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const std::string &line) { return line.find("no desktop listening") != std::string::npos; }),
              1) << "one line for the whole outage";
}

TEST(Network, APasswordIsAskedOnTheControlChannelAndByEverySession) {
    FakeDesktop desktop;
    desktop.Listen();
    TestDevice device("pocketpc");
    device.SetFault("password", "1234");
    uint16_t port = device.ServeNetwork(desktop.Where(), "127.0.0.1", TestDevice::Docking::kForgiving);
    ASSERT_NE(port, 0);
    std::string source;
    ASSERT_TRUE(desktop.Accept(&source));
    uint32_t challenge = desktop.ReadU32();
    ASSERT_GE(challenge, rapi1::kPasswordChallengeBase);
    uint8_t key = static_cast<uint8_t>(challenge & 0xff);
    std::vector<uint8_t> block(desktop.ReadU32());
    ASSERT_TRUE(desktop.Read(block.data(), static_cast<int>(block.size())));
    uint8_t reply[2] = {9, 9};
    desktop.Write(desktop.Password(L"4321", key));
    ASSERT_TRUE(desktop.Read(reply, 2));
    EXPECT_EQ(reply[0] | (reply[1] << 8), 0) << "a wrong password is refused";
    desktop.Write(desktop.Password(L"1234", key));
    ASSERT_TRUE(desktop.Read(reply, 2));
    EXPECT_EQ(reply[0] | (reply[1] << 8), 1);

    // A session serves only after the password.
    Rapi1Client wrong, right;
    ASSERT_TRUE(wrong.Connect(port) && right.Connect(port));
    ASSERT_TRUE(wrong.SendBytes(desktop.Password(L"12345", key)));
    ASSERT_TRUE(right.SendBytes(desktop.Password(L"1234", key)));
    uint8_t byte = 0;
    EXPECT_TRUE(wrong.Receive(&byte, 1));
    EXPECT_EQ(byte, 0);
    EXPECT_TRUE(wrong.EndedUnanswered(kWaitMs));
    EXPECT_TRUE(right.Receive(&byte, 1));
    EXPECT_EQ(byte, 1);
    EXPECT_EQ(right.GetFileAttributes(L"\\Windows"), static_cast<uint32_t>(FILE_ATTRIBUTE_DIRECTORY));
}

SIZE_T MemoryInUse() {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters.WorkingSetSize;  // what Wine reports of it
}

// Half-open connections that each announce the largest frame and send no
// more cost the device little: its buffers grow with what arrives, and
// beyond 16 sessions the one silent longest makes way. An honest session
// opened after the flood is answered at once.
TEST(Network, AFloodOfHalfOpenConnectionsCostsLittleAndLetsAnHonestSessionIn) {
    const int kFlood = 1000;
    TestDevice device("pocketpc");
    uint16_t port = device.ServeNetwork();
    ASSERT_NE(port, 0);
    SIZE_T before = MemoryInUse();
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<SOCKET> flood;
    const uint8_t announce[4] = {0, 0, 0x40, 0};  // 4 MiB
    for (int i = 0; i < kFlood; ++i) {
        SOCKET half = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (connect(half, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
            send(half, reinterpret_cast<const char *>(announce), 4, 0);
        }
        flood.push_back(half);
    }
    Rapi1Client honest;
    DWORD start = GetTickCount();
    ASSERT_TRUE(honest.Connect(port));
    EXPECT_EQ(honest.GetFileAttributes(L"\\Windows"), static_cast<uint32_t>(FILE_ATTRIBUTE_DIRECTORY));
    DWORD answeredMs = GetTickCount() - start;
    SIZE_T after = MemoryInUse();
    SIZE_T grownMb = (after - std::min(before, after)) >> 20;
    printf("%d half-open connections: %lu MB more, an honest session answered in %lu ms\n", kFlood,
           static_cast<unsigned long>(grownMb), static_cast<unsigned long>(answeredMs));
    // 16 sessions of a 64 KiB buffer each, their threads, and the flood's
    // own sockets: far below the 64 MB that 16 buffers of 4 MiB would take.
    EXPECT_LT(grownMb, 50u);
    EXPECT_LT(answeredMs, 1000u);
    std::vector<std::string> log = device.Log();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(),
                            [](const std::string &line) { return line.find("to make room") != std::string::npos; }));
    for (SOCKET half : flood) closesocket(half);
}

}  // namespace

namespace {

// A desktop that has worked with the device and then sits idle is the
// session silent longest; connections that never complete a call make way
// before it when room is needed.
TEST(Network, SessionsThatNeverCompletedACallMakeWayBeforeAnIdleDesktop) {
    TestDevice device("pocketpc");
    uint16_t port = device.ServeNetwork();
    ASSERT_NE(port, 0);
    Rapi1Client desktop;
    ASSERT_TRUE(desktop.Connect(port));
    ASSERT_EQ(desktop.GetFileAttributes(L"\\Windows"), static_cast<uint32_t>(FILE_ATTRIBUTE_DIRECTORY));
    Sleep(50);  // the desktop is now silent longer than any newcomer
    const size_t kSessionsAtOnce = 16;  // the device serves no more at once
    std::vector<Rapi1Client> silent(kSessionsAtOnce);
    for (Rapi1Client &client : silent) ASSERT_TRUE(client.Connect(port));
    // One of them made way: the newest connections were all admitted.
    Rapi1Client last;
    ASSERT_TRUE(last.Connect(port));
    EXPECT_EQ(last.GetFileAttributes(L"\\Windows"), static_cast<uint32_t>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(desktop.GetFileAttributes(L"\\Windows"), static_cast<uint32_t>(FILE_ATTRIBUTE_DIRECTORY))
        << "the idle desktop made way for connections that never completed a call";
}

}  // namespace
