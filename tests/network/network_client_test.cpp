// The stand-in rapi.dll as a network client (RAPI_DEVICE, RAPI_DESKTOP)
// against a fake device on loopback that sends what the table says: every
// size and count a device sends must be checked before it is used, a
// docking device's greeting must hold together, and a device that stops
// answering pings is gone.
#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <functional>
#include <string>

#include "device/rapi.h"
#include "tests/network/fake_device.h"

namespace {

const DWORD kNoDevice = ERROR_DEVICE_NOT_CONNECTED;
const uint32_t kNoHandle = 0xFFFFFFFFu;
const uint8_t kCanary = 0xCD;

// A small call the fake devices below answer with success.
BOOL Alive() { return CeCloseHandle(reinterpret_cast<HANDLE>(0x10)); }

// A reply body: result_1 0, then the words; raw bytes may follow.
Bytes Reply(std::initializer_list<uint32_t> words, const Bytes &tail = Bytes()) {
    Bytes body;
    PutU32(&body, 0);
    for (uint32_t word : words) PutU32(&body, word);
    body.insert(body.end(), tail.begin(), tail.end());
    return Frame(body);
}

Bytes Filled(size_t count, uint8_t value = 0x41) { return Bytes(count, value); }

// A find-data record of `size` bytes naming "book.vbk".
Bytes FindData(uint32_t size) {
    Bytes record;
    PutU32(&record, size);
    Bytes data(size, 0);
    const wchar_t name[] = L"book.vbk";
    for (size_t i = 0; i < 8 && 40 + 2 * i + 1 < size; ++i) data[40 + 2 * i] = static_cast<uint8_t>(name[i]);
    record.insert(record.end(), data.begin(), data.end());
    return record;
}

bool CanaryIntact(const uint8_t *bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (bytes[i] != kCanary) return false;
    }
    return true;
}

// One call made with a buffer that has room for what it asked and a canary
// behind it; true when the call reported success.
struct Outcome {
    bool succeeded;
    bool canaryIntact;
};

struct HostileRow {
    const char *what;
    Bytes reply;                   // what the device answers the call
    std::function<Outcome()> call; // the call, through the stand-in
    bool succeeds;
    DWORD lastError;               // after a failure
};

Outcome VersionCall() {
    struct {
        CEOSVERSIONINFO info;
        uint8_t canary[64];
    } room;
    memset(&room, kCanary, sizeof room);
    room.info.dwOSVersionInfoSize = sizeof room.info;
    BOOL ok = CeGetVersionEx(&room.info);
    bool right = !ok || (room.info.dwMajorVersion == 3 && room.info.dwMinorVersion == 0);
    return {ok != FALSE && right, CanaryIntact(room.canary, sizeof room.canary)};
}

Outcome FindCall() {
    struct {
        CE_FIND_DATA found;
        uint8_t canary[64];
    } room;
    memset(&room, kCanary, sizeof room);
    HANDLE search = CeFindFirstFile(L"\\*", &room.found);
    bool right = search == INVALID_HANDLE_VALUE || wcscmp(room.found.cFileName, L"book.vbk") == 0;
    return {search != INVALID_HANDLE_VALUE && right, CanaryIntact(room.canary, sizeof room.canary)};
}

const DWORD kListedFields = FAF_NAME | FAF_ATTRIBUTES | FAF_LASTWRITE_TIME | FAF_SIZE_HIGH | FAF_SIZE_LOW;

// A listing whose first file is book.vbk and whose second is 8192 bytes.
Outcome ListCall() {
    DWORD count = 0;
    CE_FIND_DATA *found = nullptr;
    BOOL ok = CeFindAllFiles(L"\\Books\\*", kListedFields, &count, &found);
    bool right = !ok || (count == 2 && wcscmp(found[0].cFileName, L"book.vbk") == 0 && found[1].nFileSizeLow == 8192);
    if (found) CeRapiFreeBuffer(found);
    return {ok != FALSE && right, true};
}

// The count, then entries with the fields kListedFields asks for, each
// sending `units` as its name length (terminator included) and the name.
Bytes Listing(uint32_t count, const std::vector<std::wstring> &names, uint32_t units = 0) {
    Bytes tail;
    PutU32(&tail, count);
    for (const std::wstring &name : names) {
        for (uint32_t word : {units ? units : static_cast<uint32_t>(name.size() + 1), 0x20u, 0x11111111u,
                              0x01c00000u, 0u, 8192u}) {
            PutU32(&tail, word);
        }
        PutUnits(&tail, name, true);
    }
    return tail;
}

// A listing of no fields at all: only a count of entries to show.
Outcome EmptyListCall() {
    DWORD count = 0;
    CE_FIND_DATA *found = nullptr;
    BOOL ok = CeFindAllFiles(L"\\*", 0, &count, &found);
    if (found) CeRapiFreeBuffer(found);
    return {ok != FALSE, true};
}

// A listing's count, then as many zero bytes.
Bytes EmptyListing(uint32_t count) {
    Bytes tail;
    PutU32(&tail, count);
    tail.resize(tail.size() + count, 0);
    return tail;
}

Outcome ReadCall() {
    uint8_t room[16 + 64];
    memset(room, kCanary, sizeof room);
    DWORD read = 0;
    BOOL ok = CeReadFile(reinterpret_cast<HANDLE>(7), room, 16, &read, nullptr);
    return {ok != FALSE && read == 16, CanaryIntact(room + 16, 64)};
}

Outcome WriteCall() {
    uint8_t data[16] = {};
    DWORD written = 0;
    BOOL ok = CeWriteFile(reinterpret_cast<HANDLE>(7), data, 16, &written, nullptr);
    return {ok != FALSE && written <= 16, true};
}

Outcome RegistryCall() {
    uint8_t room[64 + 64];
    memset(room, kCanary, sizeof room);
    DWORD type = 0, size = 64;
    LONG status = CeRegQueryValueEx(reinterpret_cast<HKEY>(9), L"OrigName", nullptr, &type, room, &size);
    return {status == ERROR_SUCCESS && size <= 64, CanaryIntact(room + 64, 64)};
}

// A buffer of 0 bytes asks for the value's type and size: the call
// succeeds with both and writes nothing into the buffer.
Outcome SizeQueryCall() {
    uint8_t room[64];
    memset(room, kCanary, sizeof room);
    DWORD type = 0, size = 0;
    LONG status = CeRegQueryValueEx(reinterpret_cast<HKEY>(9), L"OrigName", nullptr, &type, room, &size);
    return {status == ERROR_SUCCESS && type == REG_SZ && size == 20, CanaryIntact(room, sizeof room)};
}

Outcome FolderCall() {
    wchar_t room[MAX_PATH + 32];
    memset(room, kCanary, sizeof room);
    DWORD length = CeGetSpecialFolderPath(2, MAX_PATH, room);
    return {length > 0 && length < MAX_PATH, CanaryIntact(reinterpret_cast<uint8_t *>(room + MAX_PATH), 64)};
}

Outcome SystemInfoCall() {
    struct {
        SYSTEM_INFO info;
        uint8_t canary[64];
    } room;
    memset(&room, kCanary, sizeof room);
    CeGetSystemInfo(&room.info);
    return {room.info.dwProcessorType == 2577, CanaryIntact(room.canary, sizeof room.canary)};
}

Outcome ProcessCall() {
    struct {
        PROCESS_INFORMATION info;
        uint8_t canary[64];
    } room;
    memset(&room, kCanary, sizeof room);
    BOOL ok = CeCreateProcess(L"\\Windows\\reader.exe", nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                              nullptr, &room.info);
    return {ok != FALSE, CanaryIntact(room.canary, sizeof room.canary)};
}

Outcome InvokeCall() {
    BYTE *input = static_cast<BYTE *>(LocalAlloc(LMEM_FIXED, 8));
    memset(input, 0, 8);
    DWORD outputSize = 0;
    BYTE *output = nullptr;
    HRESULT result = CeRapiInvoke(L"\\Windows\\tarnlib.dll", L"CloseApp", 8, input, &outputSize, &output, nullptr, 0);
    if (output) LocalFree(output);
    return {result == S_OK, true};
}

Outcome SetTimeCall() {
    FILETIME time = {1, 2};
    return {CeSetFileTime(reinterpret_cast<HANDLE>(7), &time, &time, &time) != FALSE, true};
}

Bytes SystemInfo(uint32_t size) {
    Bytes value(size, 0);
    if (size >= 28) value[24] = 0x11, value[25] = 0x0A;  // processor type 2577
    Bytes tail;
    PutU32(&tail, 1);
    PutU32(&tail, size);
    PutU32(&tail, 1);
    tail.insert(tail.end(), value.begin(), value.end());
    return tail;
}

Bytes Version(uint32_t size, uint32_t frameHolds) {
    Bytes record(frameHolds, 0);
    if (frameHolds >= 20) record[0] = 0x14, record[1] = 0x01, record[4] = 3;
    Bytes tail;
    PutU32(&tail, size);
    tail.insert(tail.end(), record.begin(), record.end());
    return tail;
}

// The optional values of a registry reply: type, data of `size` bytes, size.
Bytes RegistryValue(uint32_t size) {
    Bytes tail;
    for (uint32_t word : {1u, 4u, 1u, 1u}) PutU32(&tail, word);  // type REG_SZ
    for (uint32_t word : {1u, size, 1u}) PutU32(&tail, word);
    Bytes data = Filled(size);
    tail.insert(tail.end(), data.begin(), data.end());
    for (uint32_t word : {1u, 4u, 1u, size}) PutU32(&tail, word);
    return tail;
}

// The reply to a size query: the type, the data's room and no data (or,
// from a device that sends it anyway, the 20 bytes), the size 20.
Bytes SizeOnly(bool withData) {
    Bytes tail;
    for (uint32_t word : {1u, 4u, 1u, 1u}) PutU32(&tail, word);
    for (uint32_t word : {1u, withData ? 20u : 0u, withData ? 1u : 0u}) PutU32(&tail, word);
    if (withData) tail.resize(tail.size() + 20, 0x41);
    for (uint32_t word : {1u, 4u, 1u, 20u}) PutU32(&tail, word);
    return tail;
}

Bytes FolderPath(uint32_t units, uint32_t frameUnits) {
    Bytes tail;
    PutU32(&tail, units);
    PutUnits(&tail, std::wstring(frameUnits, L'x'), false);
    return tail;
}

Bytes ProcessInfo(uint32_t size) {
    Bytes tail;
    for (uint32_t word : {1u, size, 1u}) PutU32(&tail, word);
    Bytes data(size, 0);
    tail.insert(tail.end(), data.begin(), data.end());
    return tail;
}

Bytes InvokeReply(uint32_t count, uint32_t frameHolds) {
    Bytes tail;
    PutU32(&tail, count);
    Bytes data = Filled(frameHolds);
    tail.insert(tail.end(), data.begin(), data.end());
    return tail;
}

// The empty frame that follows an invocation's reply.
Bytes WithTrailer(Bytes reply) {
    Bytes trailer = Frame(Bytes(4, 0));
    reply.insert(reply.end(), trailer.begin(), trailer.end());
    return reply;
}

Bytes Refusal(uint32_t hresult) {
    Bytes body;
    PutU32(&body, 1);
    PutU32(&body, hresult);
    return Frame(body);
}

Bytes HugeFrameHeader() {
    Bytes frame;
    PutU32(&frame, 0x7FFFFFF0u);
    PutU32(&frame, 0);
    return frame;
}

const HostileRow kHostileRows[] = {
    // Honest replies: the calls work, so the failures below are the checks'.
    {"a version record of 276 bytes", Reply({0, 1}, Version(276, 276)), VersionCall, true, 0},
    {"a find record of 560 bytes", Reply({0, 5}, FindData(560)), FindCall, true, 0},
    {"16 bytes read of 16", Reply({0, 1, 16}, Filled(16)), ReadCall, true, 0},
    {"a registry value of 64 bytes", Reply({0, 0}, RegistryValue(64)), RegistryCall, true, 0},
    {"a folder path of 20 units", Reply({0}, FolderPath(20, 20)), FolderCall, true, 0},
    {"a value's size alone", Reply({0, 0}, SizeOnly(false)), SizeQueryCall, true, 0},
    {"a value's size, its bytes sent anyway", Reply({0, 0}, SizeOnly(true)), SizeQueryCall, true, 0},
    {"a system record of 36 bytes", Reply({0}, SystemInfo(36)), SystemInfoCall, true, 0},
    {"a process record of 16 bytes", Reply({0, 1}, ProcessInfo(16)), ProcessCall, true, 0},
    {"an invocation answer of 12 bytes", WithTrailer(Reply({0, 0}, InvokeReply(12, 12))), InvokeCall, true, 0},
    {"a listing of two files", Reply({}, Listing(2, {L"book.vbk", L"news.vbk"})), ListCall, true, 0},
    // Sizes past what was asked for, or past the frame.
    {"10,000 bytes for the 276-byte version record", Reply({0, 1}, Version(10000, 10000)), VersionCall, false,
     kNoDevice},
    {"a version record size past the frame", Reply({0, 1}, Version(276, 40)), VersionCall, false, kNoDevice},
    {"a version record shorter than its fields", Reply({0, 1}, Version(8, 8)), VersionCall, false, kNoDevice},
    {"a find record of 600 bytes", Reply({0, 5}, FindData(600)), FindCall, false, kNoDevice},
    {"a find record size past the frame", Reply({0, 5, 560}, Filled(100)), FindCall, false, kNoDevice},
    {"32 bytes read for 16 asked", Reply({0, 1, 32}, Filled(32)), ReadCall, false, kNoDevice},
    {"16 bytes read, 8 in the frame", Reply({0, 1, 16}, Filled(8)), ReadCall, false, kNoDevice},
    {"more bytes written than sent", Reply({0, 1, 17}), WriteCall, false, kNoDevice},
    {"a registry value of 600 bytes for 64", Reply({0, 0}, RegistryValue(600)), RegistryCall, false, kNoDevice},
    {"a registry value of 65 bytes for 64", Reply({0, 0}, RegistryValue(65)), RegistryCall, false, kNoDevice},
    {"16 bytes read, 15 in the frame", Reply({0, 1, 16}, Filled(15)), ReadCall, false, kNoDevice},
    {"a read reply of 80 bytes, its limit", Reply({0, 1, 16}, Filled(64)), ReadCall, true, 0},
    {"a read reply of 81 bytes, one over", Reply({0, 1, 16}, Filled(65)), ReadCall, false, kNoDevice},
    {"a folder path longer than the buffer", Reply({0}, FolderPath(400, 400)), FolderCall, false, kNoDevice},
    {"a folder path count past the frame", Reply({0}, FolderPath(20, 3)), FolderCall, false, kNoDevice},
    {"a system record of 100 bytes", Reply({0}, SystemInfo(100)), SystemInfoCall, false, kNoDevice},
    {"a process record of 32 bytes", Reply({0, 1}, ProcessInfo(32)), ProcessCall, false, kNoDevice},
    {"an invocation answer count past the frame", WithTrailer(Reply({0, 0}, InvokeReply(5000, 10))), InvokeCall, false,
     kNoDevice},
    {"a listing count past the frame", Reply({}, Listing(5000, {L"book.vbk", L"news.vbk"})), ListCall, false,
     kNoDevice},
    {"100,000 entries of no fields, in a reply of as many bytes", Reply({}, EmptyListing(100000)), EmptyListCall,
     false, kNoDevice},
    {"70,000 entries, more than a folder holds", Reply({}, Listing(70000, std::vector<std::wstring>(70000, L"b"))),
     ListCall, false, kNoDevice},
    {"a listed name longer than MAX_PATH", Reply({}, Listing(2, {L"book.vbk", L"news.vbk"}, 300)), ListCall, false,
     kNoDevice},
    {"a listed name past the frame", Reply({}, Listing(2, {L"book.vbk", L"n"}, 40)), ListCall, false, kNoDevice},
    {"a frame of two gigabytes", HugeFrameHeader(), VersionCall, false, kNoDevice},
    {"a reply cut short after its head", Frame(Bytes(2, 0)), VersionCall, false, kNoDevice},
    {"an invocation answer without its second frame", Reply({0, 0}, InvokeReply(12, 12)), InvokeCall, false,
     kNoDevice},
    // A call the device refuses as a whole fails, with a reason.
    {"SetFileTime refused with E_NOTIMPL", Refusal(0x80004001u), SetTimeCall, false, ERROR_NOT_SUPPORTED},
    {"SetFileTime answered FALSE", Reply({ERROR_ACCESS_DENIED, 0}), SetTimeCall, false, ERROR_ACCESS_DENIED},
};

class NetworkClient : public ::testing::Test {
protected:
    void TearDown() override {
        CeRapiUninit();
        SetEnvironmentVariableA("RAPI_DEVICE", nullptr);
        SetEnvironmentVariableA("RAPI_DESKTOP", nullptr);
        SetEnvironmentVariableA("RAPI_DEVICE_PORT", nullptr);
        SetEnvironmentVariableA("RAPI_PASSWORD", nullptr);
        SetEnvironmentVariableA("RAPI_DESKTOP2", nullptr);
    }

    // RAPI_DEVICE: starts up straight to the fake device's port.
    bool StartDirect(const FakeDevice &device) {
        SetEnvironmentVariableA("RAPI_DEVICE", ("127.0.0.1:" + std::to_string(device.RapiPort())).c_str());
        RAPIINIT init = {sizeof init, nullptr, E_FAIL};
        if (FAILED(CeRapiInitEx(&init))) return false;
        return WaitForSingleObject(init.heRapiInit, 5000) == WAIT_OBJECT_0 && SUCCEEDED(init.hrRapiInit);
    }
};

TEST_F(NetworkClient, EverySizeTheDeviceSendsIsChecked) {
    for (const HostileRow &row : kHostileRows) {
        SCOPED_TRACE(row.what);
        Bytes reply = row.reply;
        FakeDevice device;
        device.Serve([reply](const Bytes &) { return reply; });
        ASSERT_TRUE(StartDirect(device));
        Outcome outcome = row.call();
        EXPECT_EQ(outcome.succeeded, row.succeeds);
        EXPECT_TRUE(outcome.canaryIntact) << "the call wrote past the caller's buffer";
        if (!row.succeeds) {
            EXPECT_EQ(CeGetLastError(), row.lastError);
        }
        CeRapiUninit();
    }
}

TEST_F(NetworkClient, AReplyThatDoesNotHoldTogetherDropsTheSession) {
    FakeDevice device;
    device.Serve([](const Bytes &) { return Reply({0, 1}, Version(10000, 10000)); });
    ASSERT_TRUE(StartDirect(device));
    CEOSVERSIONINFO info = {};
    info.dwOSVersionInfoSize = sizeof info;
    EXPECT_FALSE(CeGetVersionEx(&info));
    // Nothing more goes out: every later call fails at once.
    EXPECT_EQ(Alive(), FALSE);
    EXPECT_EQ(CeGetLastError(), kNoDevice);
    EXPECT_EQ(device.Commands().size(), 1u);
}

TEST_F(NetworkClient, GetFileTimeComesFromTheFindDataOfTheOpenedFile) {
    const uint32_t kFile = 0x42, kSearch = 0x43;
    FakeDevice device;
    device.Serve([&](const Bytes &request) {
        uint32_t command = request[0];
        if (command == 0x05) return Reply({0, kFile});  // CreateFile
        if (command == 0x02) return Reply({0, 1});      // FindClose
        if (command != 0x00) return Refusal(0x80004001u);
        // FindFirstFile: the pattern must be the opened file's path.
        std::wstring pattern;
        for (size_t at = 12; at + 1 < request.size() && request[at]; at += 2) pattern += wchar_t(request[at]);
        Bytes found = FindData(560);
        found[4 + 4] = 0x11;   // creation 0x11
        found[4 + 20] = 0x33;  // last write 0x33
        return pattern == L"\\My Documents\\book.vbk" ? Reply({0, kSearch}, found) : Reply({2, kNoHandle}, FindData(0));
    });
    ASSERT_TRUE(StartDirect(device));
    HANDLE file = CeCreateFile(L"\\My Documents\\book.vbk", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    FILETIME creation = {}, lastWrite = {};
    ASSERT_TRUE(CeGetFileTime(file, &creation, nullptr, &lastWrite));
    EXPECT_EQ(creation.dwLowDateTime, 0x11u);
    EXPECT_EQ(lastWrite.dwLowDateTime, 0x33u);
}

// Variables the stand-in cannot use make CeRapiInitEx fail at once, so the
// program's own failure paths apply rather than an endless wait.
TEST_F(NetworkClient, VariablesThatCannotBeUsedFailTheStartUp) {
    FakeDevice busy;
    busy.Serve([](const Bytes &) { return Bytes(); });
    const std::string taken = "127.0.0.1:" + std::to_string(busy.RapiPort());
    const struct {
        const char *variable;
        std::string value;
        const char *devicePort;
    } rows[] = {
        {"RAPI_DEVICE", "127.0.0.1:99999", nullptr},  {"RAPI_DEVICE", ":990", nullptr},
        {"RAPI_DEVICE", "127.0.0.1:", nullptr},       {"RAPI_DESKTOP", "127.0.0.1:port", nullptr},
        {"RAPI_DESKTOP", "127.0.0.1:5679", "0"},      {"RAPI_DESKTOP", taken, nullptr},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.variable) + "=" + row.value);
        SetEnvironmentVariableA(row.variable, row.value.c_str());
        SetEnvironmentVariableA("RAPI_DEVICE_PORT", row.devicePort);
        RAPIINIT init = {sizeof init, nullptr, S_OK};
        EXPECT_TRUE(FAILED(CeRapiInitEx(&init)));
        CeRapiUninit();
        SetEnvironmentVariableA(row.variable, nullptr);
    }
}

// ---- Docking: the control channel


// The smallest information block that holds together: its three strings
// are one empty string right after the fixed fields, at `stringsAt`.
Bytes SmallestBlock(uint32_t size, uint32_t stringsAt) {
    Bytes greeting;
    PutU32(&greeting, size);
    Bytes block(size, 0);
    block[4] = 3;
    for (int i = 0; i < 3; ++i) {
        for (int b = 0; b < 4; ++b) block[0x18 + 4 * i + b] = static_cast<uint8_t>(stringsAt >> (8 * b));
    }
    greeting.insert(greeting.end(), block.begin(), block.end());
    return greeting;
}

Bytes AfterWord(uint32_t word, const Bytes &rest) {
    Bytes greeting;
    PutU32(&greeting, word);
    greeting.insert(greeting.end(), rest.begin(), rest.end());
    return greeting;
}

struct GreetingRow {
    const char *what;
    Bytes greeting;
    bool accepted;
};

const GreetingRow kGreetingRows[] = {
    {"a whole information block", GoodInfoBlock(), true},
    {"an empty word, then the block", [] {
         Bytes greeting(4, 0);
         Bytes block = GoodInfoBlock();
         greeting.insert(greeting.end(), block.begin(), block.end());
         return greeting;
     }(),
     true},
    {"a block shorter than its fixed fields", InfoBlock(0x20, 0x24, 0x24, 0x24), false},
    {"a name offset past the block", InfoBlock(0x80, 0x200, 0x40, 0x60), false},
    {"a model offset inside the fixed fields", InfoBlock(0x80, 0x24, 0x40, 0x10), false},
    {"a name without its terminator", InfoBlock(0x2A, 0x24, 0x24, 0x24, false), false},
    {"the smallest block: three empty strings", SmallestBlock(0x26, 0x24), true},
    {"one byte less: the terminator cut", SmallestBlock(0x25, 0x24), false},
    {"a string offset of 0xFFFFFFFF", InfoBlock(0x80, 0xFFFFFFFFu, 0x40, 0x60), false},
    {"a block of 511 bytes, the largest", InfoBlock(511, 0x24, 0x40, 0x60), true},
    {"512 is a challenge, not a block: no password set", AfterWord(0x200, GoodInfoBlock()), false},
    {"a block cut short", [] {
         Bytes greeting = GoodInfoBlock();
         greeting.resize(40);
         return greeting;
     }(),
     false},
};

class Docking : public NetworkClient {
protected:
    // RAPI_DESKTOP on a free loopback port; the device's remote API port is
    // the fake device's.
    void Listen(const FakeDevice &device) {
        desktopPort_ = FreePort();
        SetEnvironmentVariableA("RAPI_DESKTOP", ("127.0.0.1:" + std::to_string(desktopPort_)).c_str());
        SetEnvironmentVariableA("RAPI_DEVICE_PORT", std::to_string(device.RapiPort()).c_str());
        init_ = RAPIINIT{sizeof init_, nullptr, E_FAIL};
        ASSERT_EQ(CeRapiInitEx(&init_), S_OK);
    }
    bool Connected(DWORD timeoutMs) {
        return WaitForSingleObject(init_.heRapiInit, timeoutMs) == WAIT_OBJECT_0 && SUCCEEDED(init_.hrRapiInit);
    }
    // A box about a password may be up: it would refuse the next challenge.
    void TearDown() override {
        NetworkClient::TearDown();
        CloseBoxes();
    }
    uint16_t desktopPort_ = 0;
    RAPIINIT init_{};
};

TEST_F(Docking, TheGreetingMustHoldTogether) {
    for (const GreetingRow &row : kGreetingRows) {
        SCOPED_TRACE(row.what);
        FakeDevice device;
        device.Serve([](const Bytes &) { return Reply({0, 0x10}); });
        Listen(device);
        FakeDevice docking;
        ASSERT_TRUE(docking.Dock(desktopPort_, row.greeting, false));
        if (!row.accepted && row.greeting.size() < 44) docking.Undock();  // cut short: the link goes
        EXPECT_EQ(Connected(row.accepted ? 5000 : 600), row.accepted);
        if (!row.accepted) {
            // A device that greets properly after it is still welcome.
            docking.Undock();
            FakeDevice next;
            ASSERT_TRUE(next.Dock(desktopPort_, GoodInfoBlock(), true));
            EXPECT_TRUE(Connected(5000));
        }
        CeRapiUninit();
    }
}

TEST_F(Docking, AnAnnouncingDeviceIsConnectedWithinHalfASecond) {
    FakeDevice device;
    device.Serve([](const Bytes &) { return Reply({0, 0x10}); });
    Listen(device);
    FakeDevice docking;
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    ASSERT_TRUE(docking.Dock(desktopPort_, GoodInfoBlock()));
    ASSERT_TRUE(Connected(5000));
    QueryPerformanceCounter(&end);
    double milliseconds = 1000.0 * (end.QuadPart - start.QuadPart) / frequency.QuadPart;
    printf("announce to connected: %.1f ms\n", milliseconds);
    EXPECT_LT(milliseconds, 500.0);
    EXPECT_NE(Alive(), FALSE);
}

// The device sends its challenge and its block; the password goes back on
// the control channel, and again at the start of the remote API session.
// Either byte of the device's verdict accepts it.
TEST_F(Docking, APasswordIsAnsweredFromTheVariable) {
    for (const Bytes &verdict : {Bytes{1, 0}, Bytes{0, 1}}) {
        SCOPED_TRACE(testing::PrintToString(verdict));
        FakeDevice device;
        device.Serve([](const Bytes &) { return Reply({0, 0x10}); }, 8);
        SetEnvironmentVariableW(L"RAPI_PASSWORD", L"ab");
        Listen(device);
        FakeDevice docking;
        Bytes greeting;
        PutU32(&greeting, 0x200 | 0x5A);  // key 0x5A
        Bytes block = GoodInfoBlock();
        greeting.insert(greeting.end(), block.begin(), block.end());
        ASSERT_TRUE(docking.Dock(desktopPort_, greeting, false));
        // u16 byte count 6, then "ab" and its terminator in UTF-16LE, XOR the key.
        const Bytes expected = {6, 0, 'a' ^ 0x5A, 0x5A, 'b' ^ 0x5A, 0x5A, 0x5A, 0x5A};
        EXPECT_EQ(docking.ControlReceived(expected.size(), 3000), expected);
        EXPECT_FALSE(Connected(200)) << "connected before the device accepted the password";
        ASSERT_TRUE(docking.SendControl(verdict));
        EXPECT_TRUE(Connected(5000));
        EXPECT_EQ(device.Greeting(), expected);
        EXPECT_NE(Alive(), FALSE);
        CeRapiUninit();
    }
}

TEST_F(Docking, AWrongPasswordIsNotConnected) {
    FakeDevice device;
    device.Serve([](const Bytes &) { return Reply({0, 0x10}); });
    SetEnvironmentVariableW(L"RAPI_PASSWORD", L"wrong");
    Listen(device);
    FakeDevice docking;
    Bytes greeting;
    PutU32(&greeting, 0x200 | 0x11);
    Bytes block = GoodInfoBlock();
    greeting.insert(greeting.end(), block.begin(), block.end());
    ASSERT_TRUE(docking.Dock(desktopPort_, greeting, false));
    EXPECT_EQ(docking.ControlReceived(14, 3000).size(), 14u);
    ASSERT_TRUE(docking.SendControl(Bytes{0, 0}));
    EXPECT_FALSE(Connected(1000));
}

// The listener outlives the start-up that began it: a device that docks
// while no action waits is attended and held, and the next start-up takes
// it at once. Ending that start-up ends its session, not the docking.
TEST_F(Docking, ADeviceDockedBetweenStartUpsIsTakenByTheNext) {
    FakeDevice device;
    device.Serve([](const Bytes &) { return Reply({0, 0x10}); });
    Listen(device);
    CeRapiUninit();
    FakeDevice docking;
    ASSERT_TRUE(docking.Dock(desktopPort_, GoodInfoBlock(), true));
    Sleep(300);  // greeted meanwhile, with no start-up waiting
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        init_ = RAPIINIT{sizeof init_, nullptr, E_FAIL};
        ASSERT_EQ(CeRapiInitEx(&init_), S_OK);
        EXPECT_TRUE(Connected(250)) << "the docked device was not held";
        EXPECT_NE(Alive(), FALSE);
        CeRapiUninit();
    }
    EXPECT_FALSE(docking.ClosedWithin(200)) << "ending a start-up undocked the device";
}

// A host name in RAPI_DESKTOP is looked up by the listener's own thread:
// the start-up returns at once, and a device docks on the name's address.
TEST_F(Docking, AHostNameIsLookedUpByTheListener) {
    FakeDevice device;
    device.Serve([](const Bytes &) { return Reply({0, 0x10}); });
    desktopPort_ = FreePort();
    SetEnvironmentVariableA("RAPI_DESKTOP", ("localhost:" + std::to_string(desktopPort_)).c_str());
    SetEnvironmentVariableA("RAPI_DEVICE_PORT", std::to_string(device.RapiPort()).c_str());
    init_ = RAPIINIT{sizeof init_, nullptr, E_FAIL};
    ASSERT_EQ(CeRapiInitEx(&init_), S_OK);
    FakeDevice docking;
    bool docked = false;
    for (int attempt = 0; attempt < 50 && !docked; ++attempt, Sleep(100)) {
        docked = docking.Dock(desktopPort_, GoodInfoBlock(), true);
    }
    ASSERT_TRUE(docked) << "nothing listened on the name's address";
    EXPECT_TRUE(Connected(5000));
}

TEST_F(Docking, ThreeMissedPingsMeanTheDeviceIsGone) {
    FakeDevice device;
    device.Serve([](const Bytes &) { return Reply({0, 0x10}); });
    Listen(device);
    FakeDevice silent;
    ASSERT_TRUE(silent.Dock(desktopPort_, GoodInfoBlock(), false));
    ASSERT_TRUE(Connected(5000));
    EXPECT_NE(Alive(), FALSE);
    // Pings go every 5 s; the third one unanswered after its 5 s means gone.
    Sleep(12000);
    EXPECT_NE(Alive(), FALSE) << "gone before three pings were missed";
    Sleep(10000);
    EXPECT_EQ(Alive(), FALSE);
    EXPECT_EQ(CeGetLastError(), kNoDevice);
    Bytes pings = silent.ControlReceived(12, 100);
    EXPECT_EQ(pings.size(), 12u);
    EXPECT_EQ(pings[0], 0x78);
}

TEST_F(Docking, ADeviceThatEchoesEveryPingStays) {
    FakeDevice device;
    device.Serve([](const Bytes &) { return Reply({0, 0x10}); });
    Listen(device);
    FakeDevice echoing;
    ASSERT_TRUE(echoing.Dock(desktopPort_, GoodInfoBlock(), true));
    ASSERT_TRUE(Connected(5000));
    Sleep(17000);  // three pings and more, each echoed
    EXPECT_NE(Alive(), FALSE);
}

// ---- Windows Mobile 5/6 devices: their own port, handshake and frames

// A reply body in the newer frames: no status word, the words, raw bytes.
Bytes Reply2(std::initializer_list<uint32_t> words, const Bytes &tail = Bytes()) {
    Bytes body;
    for (uint32_t word : words) PutU32(&body, word);
    body.insert(body.end(), tail.begin(), tail.end());
    return Frame(body);
}

Bytes SystemRecord(uint32_t size) {
    Bytes record(size, 0);
    if (size >= 28) record[24] = 0x11, record[25] = 0x0A;  // processor type 2577
    return record;
}

const HostileRow kHostileRows2[] = {
    {"a version record of 276 bytes", Reply2({0, 1}, Version(276, 276)), VersionCall, true, 0},
    {"a find record of 560 bytes", Reply2({0, 5}, FindData(560)), FindCall, true, 0},
    {"16 bytes read of 16", Reply2({0, 1, 16}, Filled(16)), ReadCall, true, 0},
    {"a registry value of 64 bytes", Reply2({0, 0, 1, 64}, Filled(64)), RegistryCall, true, 0},
    {"a folder path of 20 units", Reply2({0}, FolderPath(20, 20)), FolderCall, true, 0},
    {"a value's size alone", Reply2({0, 0, 1, 20}), SizeQueryCall, true, 0},
    {"a value's size, its bytes sent anyway", Reply2({0, 0, 1, 20}, Filled(20)), SizeQueryCall, true, 0},
    {"a system record of 36 bytes", Reply2({0}, SystemRecord(36)), SystemInfoCall, true, 0},
    {"a process record of 16 bytes", Reply2({0, 1}, Bytes(16, 0)), ProcessCall, true, 0},
    {"an invocation answer of 12 bytes, one frame", Reply2({0, 0, 12}, Filled(12)), InvokeCall, true, 0},
    {"SetFileTime done", Reply2({0, 1}), SetTimeCall, true, 0},
    {"SetFileTime refused: the last error comes first", Reply2({ERROR_ACCESS_DENIED, 0}), SetTimeCall, false,
     ERROR_ACCESS_DENIED},
    {"10,000 bytes for the 276-byte version record", Reply2({0, 1}, Version(10000, 10000)), VersionCall, false,
     kNoDevice},
    {"a version record size past the frame", Reply2({0, 1}, Version(276, 40)), VersionCall, false, kNoDevice},
    {"a version record shorter than its fields", Reply2({0, 1}, Version(8, 8)), VersionCall, false, kNoDevice},
    {"a find record of 600 bytes", Reply2({0, 5}, FindData(600)), FindCall, false, kNoDevice},
    {"a find record size past the frame", Reply2({0, 5, 560}, Filled(100)), FindCall, false, kNoDevice},
    {"32 bytes read for 16 asked", Reply2({0, 1, 32}, Filled(32)), ReadCall, false, kNoDevice},
    {"16 bytes read, 8 in the frame", Reply2({0, 1, 16}, Filled(8)), ReadCall, false, kNoDevice},
    {"more bytes written than sent", Reply2({0, 1, 17}), WriteCall, false, kNoDevice},
    {"a registry value of 65 bytes for 64", Reply2({0, 0, 1, 65}, Filled(65)), RegistryCall, false, kNoDevice},
    {"a folder path longer than the buffer", Reply2({0}, FolderPath(521, 521)), FolderCall, false, kNoDevice},
    {"a folder path count past the frame", Reply2({0}, FolderPath(20, 3)), FolderCall, false, kNoDevice},
    {"a system record of 20 bytes", Reply2({0}, SystemRecord(20)), SystemInfoCall, false, kNoDevice},
    {"a process record of 8 bytes", Reply2({0, 1}, Bytes(8, 0)), ProcessCall, false, kNoDevice},
    {"an invocation answer count past the frame", Reply2({0, 0, 5000}, Filled(10)), InvokeCall, false, kNoDevice},
    {"a frame of two gigabytes", HugeFrameHeader(), VersionCall, false, kNoDevice},
    {"a reply cut short after its last error", Reply2({0}), VersionCall, false, kNoDevice},
    {"100,000 entries of no fields, in a reply of as many bytes", Reply2({0, 1}, EmptyListing(100000)), EmptyListCall,
     false, kNoDevice},
};

class Wm5Docking : public Docking {
protected:
    // RAPI_DESKTOP and RAPI_DESKTOP2 on free loopback ports.
    void Listen2() {
        SetEnvironmentVariableA("RAPI_DESKTOP", ("127.0.0.1:" + std::to_string(FreePort())).c_str());
        port2_ = FreePort();
        SetEnvironmentVariableA("RAPI_DESKTOP2", ("127.0.0.1:" + std::to_string(port2_)).c_str());
        init_ = RAPIINIT{sizeof init_, nullptr, E_FAIL};
        ASSERT_EQ(CeRapiInitEx(&init_), S_OK);
    }
    // The handshake up to the block, answered as the notes say.
    bool Greet(FakeDevice &device, uint32_t key) {
        return device.Dock(port2_, Wm5Greeting(Wm5Block(key)), false) &&
               device.ControlReceived(20, 3000) == Words({3, 7, 8, 4, 5});
    }
    bool DockServing(FakeDevice &device, FakeDevice::Script script) {
        return Greet(device, 0) && device.ServeSession2(port2_, script, 3000) && Connected(5000);
    }
    uint16_t port2_ = 0;
};

TEST_F(Wm5Docking, EverySizeTheDeviceSendsIsChecked) {
    for (const HostileRow &row : kHostileRows2) {
        SCOPED_TRACE(row.what);
        Bytes reply = row.reply;
        Listen2();
        FakeDevice device;
        ASSERT_TRUE(DockServing(device, [reply](const Bytes &) { return reply; }));
        Outcome outcome = row.call();
        EXPECT_EQ(outcome.succeeded, row.succeeds);
        EXPECT_TRUE(outcome.canaryIntact) << "the call wrote past the caller's buffer";
        if (!row.succeeds) {
            EXPECT_EQ(CeGetLastError(), row.lastError);
        }
        CeRapiUninit();
    }
}

// A request body: the words, then a string as a byte count and UTF-16LE
// with its terminator, then more words.
Bytes Request2(std::initializer_list<uint32_t> words, const std::wstring &text,
               std::initializer_list<uint32_t> after = {}) {
    Bytes body = Words(words);
    PutU32(&body, static_cast<uint32_t>((text.size() + 1) * 2));
    PutUnits(&body, text, true);
    Bytes rest = Words(after);
    body.insert(body.end(), rest.begin(), rest.end());
    return body;
}

// The calls go out in the newer codes and layouts, the last error comes
// from each reply, and a shortcut is written as the small file it is.
TEST_F(Wm5Docking, TheCallsGoOutInTheNewerFrames) {
    Listen2();
    FakeDevice device;
    ASSERT_TRUE(DockServing(device, [](const Bytes &request) {
        switch (request[0]) {
        case 0x28: return Reply2({0, 1});                               // CreateDirectory
        case 0x16: return Reply2({0, 0x42});                            // CreateFile
        case 0x18: return Reply2({0, 1, static_cast<uint32_t>(request[8])});  // WriteFile: all of it
        case 0x19: return Reply2({0, 1});                               // CloseHandle
        case 0x2d: return Reply2({ERROR_ACCESS_DENIED, 0});             // DeleteFile
        default: return Bytes();
        }
    }));
    EXPECT_TRUE(CeCreateDirectory(L"\\Books", nullptr));
    EXPECT_FALSE(CeDeleteFile(L"\\a"));
    EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(CeSHCreateShortcut(const_cast<LPWSTR>(L"\\Windows\\T.lnk"), const_cast<LPWSTR>(L"\"\\T.exe\"")), 1u);
    std::vector<Bytes> requests = device.Requests();
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_EQ(requests[0], Request2({0x28}, L"\\Books"));
    EXPECT_EQ(requests[1], Request2({0x2d}, L"\\a"));
    EXPECT_EQ(requests[2], Request2({0x16}, L"\\Windows\\T.lnk", {GENERIC_WRITE, 0, CREATE_ALWAYS, 0x80, 0}));
    const char content[] = "8#\"\\T.exe\"";
    Bytes write = Words({0x18, 0x42, sizeof content - 1});
    write.insert(write.end(), content, content + sizeof content - 1);
    EXPECT_EQ(requests[3], write);
    EXPECT_EQ(requests[4], Words({0x19, 0x42}));
}

TEST_F(Wm5Docking, AShortcutNotWrittenWholeIsRemoved) {
    Listen2();
    FakeDevice device;
    ASSERT_TRUE(DockServing(device, [](const Bytes &request) {
        switch (request[0]) {
        case 0x16: return Reply2({0, 0x42});
        case 0x18: return Reply2({ERROR_DISK_FULL, 0, 0});
        default: return Reply2({0, 1});
        }
    }));
    EXPECT_EQ(CeSHCreateShortcut(const_cast<LPWSTR>(L"\\T.lnk"), const_cast<LPWSTR>(L"\"\\T.exe\"")), 0u);
    EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_EQ(device.Commands(), (std::vector<uint32_t>{0x16, 0x18, 0x19, 0x2d}));
}

// The block's password key in each of its three modes: none, an XOR key
// for RAPI_PASSWORD ("ab"), and an unlock on the device's own screen.
TEST_F(Wm5Docking, APasswordKeyInEachOfTheThreeModes) {
    const struct {
        const char *what;
        uint32_t key;
        Bytes sent;      // what the desktop sends after the block
        Bytes answer;    // the device's answer
        Bytes followUp;  // what the desktop sends next, before the session request
        bool connected;
    } rows[] = {
        {"no password", 0, Bytes(), Bytes(), Bytes(), true},
        {"an XOR key, the password accepted", 0x1234565A, {6, 0, 0x3b, 0x5a, 0x38, 0x5a, 0x5a, 0x5a}, {1, 0},
         Bytes(), true},
        {"an XOR key, accepted by the verdict's second byte", 0x1234565A,
         {6, 0, 0x3b, 0x5a, 0x38, 0x5a, 0x5a, 0x5a}, {0, 1}, Bytes(), true},
        {"an XOR key, the password refused", 0x1234565A, {6, 0, 0x3b, 0x5a, 0x38, 0x5a, 0x5a, 0x5a}, {0, 0},
         Bytes(), false},
        {"unlocked on the device", 0xFFFFFFFF, Words({8}), Words({0}), Words({0, 12}), true},
        {"not unlocked on the device", 0xFFFFFFFF, Words({8}), Words({1}), Bytes(), false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        SetEnvironmentVariableW(L"RAPI_PASSWORD", L"ab");
        Listen2();
        FakeDevice device;
        ASSERT_TRUE(Greet(device, row.key));
        if (!row.sent.empty()) {
            EXPECT_EQ(device.ControlReceived(row.sent.size(), 3000), row.sent);
            EXPECT_FALSE(Connected(100));
            ASSERT_TRUE(device.SendControl(row.answer));
        }
        if (!row.followUp.empty()) {
            EXPECT_EQ(device.ControlReceived(row.followUp.size(), 3000), row.followUp);
        }
        if (row.connected) {
            ASSERT_TRUE(device.ServeSession2(port2_, [](const Bytes &) { return Reply2({0, 1}); }, 3000));
            EXPECT_TRUE(Connected(5000));
            EXPECT_NE(Alive(), FALSE);
        } else {
            EXPECT_TRUE(device.ClosedWithin(3000));
            EXPECT_FALSE(Connected(0));
        }
        CeRapiUninit();
        CloseBoxes();
    }
}

// The device stays docked after the start-up ends; the next start-up asks
// it for a session of its own, without a new handshake.
TEST_F(Wm5Docking, AHeldDeviceIsAskedForASessionByEachStartUp) {
    Listen2();
    FakeDevice device;
    ASSERT_TRUE(DockServing(device, [](const Bytes &) { return Reply2({0, 1}); }));
    EXPECT_NE(Alive(), FALSE);
    CeRapiUninit();
    EXPECT_TRUE(device.SessionClosedWithin(3000));
    init_ = RAPIINIT{sizeof init_, nullptr, E_FAIL};
    ASSERT_EQ(CeRapiInitEx(&init_), S_OK);
    ASSERT_TRUE(Connected(5000));
    EXPECT_NE(Alive(), FALSE);
    EXPECT_EQ(device.Requests().size(), 2u);
}

// An older device still docks on its own port while the newer one is
// listened for, and when the newer one's port cannot be listened on (in
// use here, as 990 is to a user without the right to it): the start-up
// does not fail for it.
TEST_F(Wm5Docking, AnOlderDeviceDocksBesideIt) {
    for (bool portTaken : {false, true}) {
        SCOPED_TRACE(portTaken ? "the newer devices' port taken" : "the newer devices' port free");
        FakeDevice device;
        device.Serve([](const Bytes &) { return Reply({0, 1}); });
        uint16_t port2 = FreePort();
        SOCKET taker = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in at = {};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        at.sin_port = htons(port2);
        if (portTaken) {
            ASSERT_EQ(bind(taker, reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
            ASSERT_EQ(listen(taker, 1), 0);
        }
        SetEnvironmentVariableA("RAPI_DESKTOP2", ("127.0.0.1:" + std::to_string(port2)).c_str());
        Listen(device);
        FakeDevice docking;
        EXPECT_TRUE(docking.Dock(desktopPort_, GoodInfoBlock()));
        EXPECT_TRUE(Connected(5000));
        EXPECT_NE(Alive(), FALSE);
        EXPECT_EQ(device.Commands(), std::vector<uint32_t>{0x08});  // v1's CloseHandle
        CeRapiUninit();
        closesocket(taker);
    }
}

}  // namespace
