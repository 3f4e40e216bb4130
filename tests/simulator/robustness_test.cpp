// Robustness: garbled and truncated requests on a raw pipe connection, and
// a client process killed in the middle of a copy. The service must go on
// serving, drop only the offending link, close what that client left open,
// and keep the image intact.
#include <string.h>

#include <string>
#include <vector>

#include "protocol/wire.h"
#include "tests/simulator/docked.h"

using simtest::Docked;

namespace {

const DWORD kWaitMs = 15000;

std::vector<uint8_t> U32(uint32_t value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 24)};
}

std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A text as the wire carries it (ASCII here).
std::vector<uint8_t> Text(const std::string &ascii) {
    std::vector<uint8_t> bytes = U32(static_cast<uint32_t>(ascii.size()));
    for (char c : ascii) bytes = bytes + std::vector<uint8_t>{static_cast<uint8_t>(c), 0};
    return bytes;
}

// A frame with a correct length around any body.
std::vector<uint8_t> Frame(const std::vector<uint8_t> &body) {
    return U32(static_cast<uint32_t>(body.size())) + body;
}

// A connection to the device's pipe that bypasses the stand-in.
class RawClient {
public:
    RawClient() {
        std::wstring name = wire::PipeNameFromEnvironment();
        DWORD start = GetTickCount();
        do {
            pipe_ = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            if (pipe_ != INVALID_HANDLE_VALUE) return;
            Sleep(20);
        } while (GetTickCount() - start < kWaitMs);
    }
    ~RawClient() { Close(); }
    bool Connected() const { return pipe_ != INVALID_HANDLE_VALUE; }
    bool Send(const std::vector<uint8_t> &bytes) {
        DWORD written = 0;
        return WriteFile(pipe_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
               written == bytes.size();
    }
    // True when the service breaks the link in time (nothing to read, ever).
    bool DroppedByService() {
        DWORD start = GetTickCount();
        do {
            DWORD available = 0;
            if (!PeekNamedPipe(pipe_, nullptr, 0, nullptr, &available, nullptr)) return true;
            if (available > 0) return false;  // it answered
            Sleep(10);
        } while (GetTickCount() - start < kWaitMs);
        return false;
    }
    void Close() {
        if (pipe_ != INVALID_HANDLE_VALUE) CloseHandle(pipe_);
        pipe_ = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE pipe_ = INVALID_HANDLE_VALUE;
};

bool LogHas(const TestDevice &device, const std::string &text) {
    DWORD start = GetTickCount();
    do {
        for (const std::string &line : device.Log()) {
            if (line.find(text) != std::string::npos) return true;
        }
        Sleep(10);
    } while (GetTickCount() - start < kWaitMs);
    return false;
}

// Scrambled bytes, the same every run.
std::vector<uint8_t> Noise(size_t count, uint32_t seed) {
    std::vector<uint8_t> bytes(count);
    for (uint8_t &byte : bytes) {
        seed = seed * 1103515245u + 12345u;
        byte = static_cast<uint8_t>(seed >> 16);
    }
    return bytes;
}

class Robustness : public Docked {
protected:
    void SetUp() override {
        Docked::SetUp();
        device.WriteFile(L"\\My Documents\\keep.txt", "must survive");
        // An open file of the stand-in's session, which no other client may disturb.
        held = CeCreateFile(L"\\My Documents\\held.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
    }
    void ExpectDeviceIntact() {
        EXPECT_EQ(device.ReadFile(L"\\My Documents\\keep.txt"), "must survive");
        DWORD written = 0;
        EXPECT_TRUE(CeWriteFile(held, "still mine", 10, &written, nullptr)) << "the stand-in's session was disturbed";
        EXPECT_EQ(simtest::Attributes(L"\\Windows"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    }
    HANDLE held = INVALID_HANDLE_VALUE;
};

TEST_F(Robustness, GarbledRequestsDropOnlyTheirOwnLink) {
    struct Case {
        const char *what;
        std::vector<uint8_t> bytes;
    };
    const std::vector<uint8_t> kPath = Text(std::string("\\x\0", 3));
    const Case kCases[] = {
        {"huge length", U32(0xFFFFFFFFu) + U32(wire::kCreateFile)},
        {"length too small for an operation", U32(2) + std::vector<uint8_t>{1, 2}},
        {"unknown operation", Frame(U32(999))},
        {"text longer than the request", Frame(U32(wire::kCreateFile) + U32(5000) + std::vector<uint8_t>{'a', 0})},
        {"missing arguments", Frame(U32(wire::kCreateFile) + kPath)},
        {"bytes longer than the request", Frame(U32(wire::kWriteFile) + U32(0x1000) + U32(1000000))},
        {"text holding a NUL", Frame(U32(wire::kDeleteFile) + kPath)},
        {"noise", Noise(3000, 7)},
        {"noise in a frame", Frame(Noise(3000, 11))},
    };
    for (const Case &c : kCases) {
        RawClient raw;
        ASSERT_TRUE(raw.Connected()) << c.what;
        EXPECT_TRUE(raw.Send(c.bytes)) << c.what;
        if (std::string(c.what) == "text holding a NUL") {
            // Well formed, so answered (with an error), not dropped.
            EXPECT_FALSE(raw.DroppedByService()) << c.what;
        } else {
            EXPECT_TRUE(raw.DroppedByService()) << c.what;
        }
        ExpectDeviceIntact();
    }
}

TEST_F(Robustness, TruncatedRequestsEndTheirSessionOnly) {
    {
        RawClient raw;
        ASSERT_TRUE(raw.Connected());
        std::vector<uint8_t> request = Frame(U32(wire::kCreateFile) + U32(40) + Noise(80, 3));
        request.resize(request.size() / 2);
        EXPECT_TRUE(raw.Send(request));
        // A client stuck half way through a request holds up nobody else.
        ExpectDeviceIntact();
    }  // and then it goes away
    EXPECT_TRUE(LogHas(device, "request cut short"));
    ExpectDeviceIntact();
}

TEST_F(Robustness, RawClientHandlesCloseWithItsSession) {
    RawClient raw;
    ASSERT_TRUE(raw.Connected());
    // A well-formed CeCreateFile of \raw.txt, for writing, share mode 0.
    ASSERT_TRUE(raw.Send(Frame(U32(wire::kCreateFile) + Text("\\raw.txt") + U32(GENERIC_WRITE) + U32(0) + U32(CREATE_ALWAYS) +
                               U32(FILE_ATTRIBUTE_NORMAL))));
    EXPECT_FALSE(raw.DroppedByService());
    ASSERT_TRUE(LogHas(device, "CeCreateFile \"\\raw.txt\" write create-always -> handle"));
    EXPECT_EQ(CeCreateFile(L"\\raw.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    raw.Close();
    EXPECT_TRUE(LogHas(device, "1 handle(s) it left open closed"));
    HANDLE file = CeCreateFile(L"\\raw.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    CeCloseHandle(file);
}

// The folder this test program runs from, where cecopy.exe is built too.
std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L"\\/"));
}

TEST_F(Robustness, ClientKilledInTheMiddleOfACopy) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring source = std::wstring(temp) + L"tesh-sim-kill-" + std::to_wstring(GetCurrentProcessId()) + L".bin";
    std::vector<uint8_t> content = Noise(1 << 20, 5);
    HANDLE host = CreateFileW(source.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(host, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(host, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(host);

    std::wstring command = L"\"" + ProgramFolder() + L"\\cecopy.exe\" \"" + source +
                           L"\" \"\\My Documents\\big.bin\" --pause-ms 50";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child));
    // Once a few chunks are across, pull the plug on the client.
    bool copying = false;
    DWORD start = GetTickCount();
    while (!copying && GetTickCount() - start < 30000) {
        copying = device.ReadFile(L"\\My Documents\\big.bin").size() >= 3 * 16384;
        if (!copying) Sleep(5);
    }
    TerminateProcess(child.hProcess, 9);
    WaitForSingleObject(child.hProcess, kWaitMs);
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
    DeleteFileW(source.c_str());
    ASSERT_TRUE(copying) << "the copy never got going";

    // Its session ended with its file closed; what arrived is intact.
    EXPECT_TRUE(LogHas(device, "1 handle(s) it left open closed"));
    std::string copied = device.ReadFile(L"\\My Documents\\big.bin");
    EXPECT_LT(copied.size(), content.size()) << "killed before the end";
    EXPECT_EQ(copied.size() % 16384, 0u);
    EXPECT_EQ(memcmp(copied.data(), content.data(), copied.size()), 0);
    HANDLE file = CeCreateFile(L"\\My Documents\\big.bin", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE) << "still held by the dead client";
    CeCloseHandle(file);
    ExpectDeviceIntact();
}

TEST(WireReader, ReadsNothingPastItsBody) {
    const uint8_t body[] = {5, 0, 0, 0, 'a', 0, 'b', 0};
    wire::Reader in(body, sizeof body);
    EXPECT_EQ(in.Text(), L"");  // claims 5 units, holds 2
    EXPECT_FALSE(in.ok());
    EXPECT_EQ(in.U32(), 0u);
    wire::Reader bytes(body, sizeof body);
    uint32_t count = 0;
    EXPECT_EQ(bytes.Bytes(&count), nullptr);
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(bytes.ok());
}

TEST(WireReader, RoundTripsWhatTheWriterWrote) {
    wire::Writer out;
    out.U32(0xDEADBEEF);
    out.I64(-5);
    out.Text(L"Tesh\u2122");
    out.Bytes("xyz", 3);
    std::vector<uint8_t> &frame = out.Finish();
    ASSERT_EQ(frame.size(), 4u + 4 + 8 + 4 + 10 + 4 + 3);
    EXPECT_EQ(frame[0], frame.size() - 4);
    wire::Reader in(frame.data() + 4, frame.size() - 4);
    EXPECT_EQ(in.U32(), 0xDEADBEEFu);
    EXPECT_EQ(in.I64(), -5);
    EXPECT_EQ(in.Text(), L"Tesh\u2122");
    uint32_t count = 0;
    const uint8_t *bytes = in.Bytes(&count);
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(bytes), 3), "xyz");
    EXPECT_TRUE(in.ok());
}

}  // namespace
