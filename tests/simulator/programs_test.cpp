// Shortcuts, programs and their windows, CloseApp through CeRapiInvoke, and
// the faults that change what a call does.
#include <gtest/gtest-spi.h>
#include <string.h>

#include <string>
#include <vector>

#include "tests/simulator/docked.h"

using simtest::Docked;

namespace {

const wchar_t kReader[] = L"\\Program Files\\Corvex Press\\Tesh Reader.exe";
const wchar_t kLibrary[] = L"\\Program Files\\Corvex Press\\tarnlib.dll";
const char kReaderHeader[] = "CEAPP\tWINDOW\tREADER\tTesh\xE2\x84\xA2 Reader\nreader body";
const char kLibraryHeader[] = "CELIB\tEXPORTS\tCloseApp\nlibrary body";

HANDLE Open(const wchar_t *path, DWORD access, DWORD disposition) {
    return CeCreateFile(path, access, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

BOOL Start(const wchar_t *path, PROCESS_INFORMATION *info = nullptr) {
    PROCESS_INFORMATION ignored;
    return CeCreateProcess(path, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr,
                           info ? info : &ignored);
}

// A close request as the program sends it: LocalAlloc'd, 1024 bytes, two
// terminated UTF-16 strings at 0 and 512, the rest left as it was.
BYTE *CloseRequest(const std::wstring &windowClass, const std::wstring &title) {
    BYTE *block = static_cast<BYTE *>(LocalAlloc(LMEM_FIXED, 1024));
    memset(block, 0xCD, 1024);
    memcpy(block, windowClass.c_str(), (windowClass.size() + 1) * sizeof(wchar_t));
    memcpy(block + 512, title.c_str(), (title.size() + 1) * sizeof(wchar_t));
    return block;
}

struct InvokeResult {
    HRESULT result;
    DWORD outputSize;
    bool hasOutput;
    DWORD firstOutputByte;
};

InvokeResult CloseApp(const wchar_t *library, const std::wstring &windowClass, const std::wstring &title,
                      const wchar_t *function = L"CloseApp") {
    DWORD outputSize = 77;
    BYTE *output = reinterpret_cast<BYTE *>(1);
    HRESULT result = CeRapiInvoke(library, function, 1024, CloseRequest(windowClass, title), &outputSize, &output,
                                  nullptr, 0);
    InvokeResult what = {result, outputSize, output != nullptr, output ? output[0] : 0xFFFFFFFFu};
    // The caller owns the output block and frees it with LocalFree.
    if (output) {
        EXPECT_EQ(LocalFree(output), nullptr);
    }
    return what;
}

class Shortcuts : public Docked {};

TEST_F(Shortcuts, WrittenInTheDeviceTextForm) {
    const std::wstring kTarget = L"\"\\Program Files\\Corvex Press\\Tesh Reader.exe\"";
    std::wstring shortcut = L"\\Windows\\Start Menu\\Programs\\Tesh\u2122 Reader.lnk";
    EXPECT_NE(CeSHCreateShortcut(&shortcut[0], const_cast<wchar_t *>(kTarget.c_str())), 0u);
    EXPECT_EQ(device.ReadFile(shortcut), "45#\"\\Program Files\\Corvex Press\\Tesh Reader.exe\"");
    EXPECT_EQ(device.Attributes(shortcut), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));

    // Created again, it replaces the old one; the count is in characters.
    std::wstring target = L"\"\\Tesh\u2122.exe\"";
    EXPECT_NE(CeSHCreateShortcut(&shortcut[0], &target[0]), 0u);
    EXPECT_EQ(device.ReadFile(shortcut), "12#\"\\Tesh\xE2\x84\xA2.exe\"");
}

TEST_F(Shortcuts, FailsWhenTheFolderIsMissing) {
    std::wstring shortcut = L"\\Windows\\Desktop\\Tesh Reader.lnk";  // a Pocket PC has no desktop folder
    std::wstring target = L"\"\\x.exe\"";
    EXPECT_EQ(CeSHCreateShortcut(&shortcut[0], &target[0]), 0u);
    EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(device.Exists(shortcut));
}

class Programs : public Docked {
protected:
    void SetUp() override {
        Docked::SetUp();
        device.WriteFile(kReader, kReaderHeader);
        device.WriteFile(kLibrary, kLibraryHeader);
    }
};

TEST_F(Programs, RunningProgramKeepsItsFileInUse) {
    PROCESS_INFORMATION info = {};
    const size_t handlesBefore = device.OpenHandleCount();
    ASSERT_TRUE(Start(kReader, &info));
    EXPECT_NE(info.dwProcessId, 0u);
    EXPECT_EQ(info.dwThreadId, info.dwProcessId + 1);
    EXPECT_TRUE(device.IsRunning(kReader));
    // A process and a thread handle, each open until it is closed once.
    ASSERT_NE(info.hProcess, nullptr);
    ASSERT_NE(info.hThread, nullptr);
    EXPECT_NE(info.hProcess, info.hThread);
    EXPECT_EQ(device.OpenHandleCount(), handlesBefore + 2);
    EXPECT_TRUE(CeCloseHandle(info.hThread));
    EXPECT_EQ(device.OpenHandleCount(), handlesBefore + 1);
    EXPECT_TRUE(CeCloseHandle(info.hProcess));
    EXPECT_FALSE(CeCloseHandle(info.hProcess));
    EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(device.OpenHandleCount(), handlesBefore);
    EXPECT_TRUE(device.IsRunning(kReader)) << "closing its handles does not end the program";

    struct Case {
        const char *what;
        DWORD access;
        DWORD disposition;
    };
    const Case kBlocked[] = {{"write", GENERIC_WRITE, OPEN_EXISTING}, {"replace", GENERIC_WRITE, CREATE_ALWAYS},
                             {"truncate", GENERIC_WRITE, TRUNCATE_EXISTING}};
    for (const Case &c : kBlocked) {
        EXPECT_EQ(Open(kReader, c.access, c.disposition), INVALID_HANDLE_VALUE) << c.what;
        EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION)) << c.what;
    }
    EXPECT_FALSE(CeDeleteFile(kReader));
    EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    // Reading it is allowed; its contents are untouched.
    HANDLE reading = Open(kReader, GENERIC_READ, OPEN_EXISTING);
    EXPECT_NE(reading, INVALID_HANDLE_VALUE);
    CeCloseHandle(reading);
    EXPECT_EQ(device.ReadFile(kReader), kReaderHeader);

    // Starting it again leaves the one copy running.
    PROCESS_INFORMATION again = {};
    EXPECT_TRUE(Start(kReader, &again));
    EXPECT_EQ(again.dwProcessId, info.dwProcessId);
}

TEST_F(Programs, StartingWhatIsNoProgram) {
    EXPECT_FALSE(Start(L"\\Program Files\\Corvex Press\\missing.exe"));
    EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(Start(kLibrary));
    EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
    // A program that opens no window runs and ends: its file stays free.
    device.WriteFile(L"\\tool.exe", "opaque program bytes");
    EXPECT_TRUE(Start(L"\\tool.exe"));
    EXPECT_FALSE(device.IsRunning(L"\\tool.exe"));
    EXPECT_TRUE(CeDeleteFile(L"\\tool.exe"));
}

// A program named without a folder is looked for in \Windows, then in the root.
TEST_F(Programs, BareNamesAreFoundInWindowsFirst) {
    device.WriteFile(L"\\Windows\\pword.exe", "CEAPP\tWINDOW\tPWORD\tWord\n");
    device.WriteFile(L"\\pword.exe", "CEAPP\tWINDOW\tROOT\tRoot copy\n");
    device.WriteFile(L"\\rootonly.exe", "CEAPP\tWINDOW\tROOT\tRoot only\n");
    EXPECT_TRUE(Start(L"pword.exe"));
    EXPECT_TRUE(device.IsRunning(L"\\Windows\\pword.exe"));
    EXPECT_FALSE(device.IsRunning(L"\\pword.exe"));
    EXPECT_TRUE(Start(L"rootonly.exe"));
    EXPECT_TRUE(device.IsRunning(L"\\rootonly.exe"));
    EXPECT_FALSE(Start(L"nowhere.exe"));
    EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(Programs, CloseAppClosesTheMatchingWindowOnly) {
    ASSERT_TRUE(Start(kReader));
    InvokeResult other = CloseApp(kLibrary, L"READER", L"Corvex Reader");
    EXPECT_EQ(other.result, S_OK);
    EXPECT_TRUE(other.hasOutput);
    EXPECT_EQ(other.firstOutputByte, 0u) << "no window was asked to close";
    EXPECT_TRUE(device.IsRunning(kReader));

    device.SetFault("close_delay_ms", "0");
    InvokeResult closed = CloseApp(kLibrary, L"READER", L"Tesh\u2122 Reader");
    EXPECT_EQ(closed.result, S_OK);
    EXPECT_GT(closed.outputSize, 0u);
    EXPECT_EQ(closed.firstOutputByte, 1u);
    EXPECT_FALSE(device.IsRunning(kReader));
    EXPECT_TRUE(CeDeleteFile(kReader)) << "its file is free once it has closed";
}

// A program asked to close runs on, its file in use, for close_delay_ms
// (300 by default), then ends by itself; asking again does not put it off.
TEST_F(Programs, ClosingTakesTheCloseDelay) {
    for (const char *delay : {"", "600"}) {
        SCOPED_TRACE(delay);
        device.SetFault("close_delay_ms", delay);
        const DWORD delayMs = *delay ? 600 : 300;
        ASSERT_TRUE(Start(kReader));
        const DWORD asked = GetTickCount();
        EXPECT_EQ(CloseApp(kLibrary, L"READER", L"Tesh\u2122 Reader").firstOutputByte, 1u);
        EXPECT_EQ(CloseApp(kLibrary, L"READER", L"Tesh\u2122 Reader").firstOutputByte, 1u)
            << "the window is still there";
        EXPECT_TRUE(device.IsRunning(kReader));
        EXPECT_FALSE(CeDeleteFile(kReader));
        EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        while (device.IsRunning(kReader) && GetTickCount() - asked < 5000) Sleep(10);
        const DWORD took = GetTickCount() - asked;
        EXPECT_GE(took + 20, delayMs);
        EXPECT_LT(took, delayMs + 1000);
        HANDLE writing = Open(kReader, GENERIC_WRITE, OPEN_EXISTING);
        EXPECT_NE(writing, INVALID_HANDLE_VALUE) << "free once it has ended";
        CeCloseHandle(writing);
    }
}

TEST_F(Programs, CloseAppFailures) {
    device.WriteFile(L"\\other.dll", "CELIB\tEXPORTS\tSomethingElse\n");
    device.WriteFile(L"\\plain.dll", "not a library");
    struct Case {
        const wchar_t *library;
        const wchar_t *function;
        HRESULT result;
    };
    const Case kCases[] = {
        {L"\\Program Files\\Corvex Press\\missing.dll", L"CloseApp", ERROR_FILE_NOT_FOUND},
        {L"\\other.dll", L"CloseApp", ERROR_CALL_NOT_IMPLEMENTED},
        {L"\\plain.dll", L"CloseApp", ERROR_BAD_EXE_FORMAT},
        {kLibrary, L"closeapp", ERROR_CALL_NOT_IMPLEMENTED},  // exported names match exactly
    };
    for (const Case &c : kCases) {
        SetLastError(0);
        InvokeResult what = CloseApp(c.library, L"READER", L"Tesh\u2122 Reader", c.function);
        EXPECT_EQ(what.result, c.result) << simtest::Narrow(c.library);
        EXPECT_FALSE(what.hasOutput);
        EXPECT_EQ(what.outputSize, 0u);
        // The program reports the host thread's error after a failure.
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(c.result));
    }
}

TEST_F(Programs, ProgramThatIgnoresCloseRequests) {
    device.SetFault("ignore_close", "1");
    ASSERT_TRUE(Start(kReader));
    InvokeResult what = CloseApp(kLibrary, L"READER", L"Tesh\u2122 Reader");
    EXPECT_EQ(what.result, S_OK);
    EXPECT_TRUE(device.IsRunning(kReader));
    EXPECT_EQ(Open(kReader, GENERIC_WRITE, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
}

TEST_F(Programs, ForcedInvokeResults) {
    struct Case {
        const char *value;
        HRESULT result;
        bool output;
    };
    const Case kCases[] = {{"0", 0, true},
                           {"1", 1, false},
                           {"5", 5, false},
                           {"1064", 1064, false},
                           {"-2147467259", static_cast<HRESULT>(0x80004005), false},
                           {"2147500037", static_cast<HRESULT>(0x80004005), false}};
    for (const Case &c : kCases) {
        device.SetFault("invoke_result", c.value);
        InvokeResult what = CloseApp(kLibrary, L"READER", L"Tesh\u2122 Reader");
        EXPECT_EQ(what.result, c.result) << c.value;
        EXPECT_EQ(what.hasOutput, c.output) << c.value;
    }
}

TEST_F(Programs, ProgramsStartedByHandShowInTheRunningList) {
    EXPECT_TRUE(device.StartProgram(kReader));
    EXPECT_TRUE(device.IsRunning(kReader));
    EXPECT_FALSE(device.StartProgram(L"\\missing.exe"));
}

class Faults : public Docked {};

TEST_F(Faults, FullStoreRefusesWritesPastItsCapacity) {
    // A fresh device stores folders only: all 10000 bytes are free.
    device.SetFault("capacity", "10000");
    HANDLE file = Open(L"\\big.bin", GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    std::string chunk(4096, 'b');
    DWORD written = 0;
    EXPECT_TRUE(CeWriteFile(file, chunk.data(), 4096, &written, nullptr));
    EXPECT_TRUE(CeWriteFile(file, chunk.data(), 4096, &written, nullptr));
    EXPECT_FALSE(CeWriteFile(file, chunk.data(), 4096, &written, nullptr));
    EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_EQ(written, 0u);
    // Overwriting inside the file needs no room.
    EXPECT_EQ(CeSetFilePointer(file, 0, nullptr, FILE_BEGIN), 0u);
    EXPECT_TRUE(CeWriteFile(file, chunk.data(), 4096, &written, nullptr));
    CeCloseHandle(file);
    EXPECT_EQ(device.ReadFile(L"\\big.bin").size(), 8192u) << "nothing partial beyond the capacity";
    // Deleting makes room again.
    EXPECT_TRUE(CeDeleteFile(L"\\big.bin"));
    file = Open(L"\\again.bin", GENERIC_WRITE, CREATE_ALWAYS);
    EXPECT_TRUE(CeWriteFile(file, chunk.data(), 4096, &written, nullptr));
    CeCloseHandle(file);
}

TEST_F(Faults, FullStoreRefusesShortcutsToo) {
    device.SetFault("capacity", "10");
    std::wstring shortcut = L"\\Windows\\Start Menu\\Programs\\Tesh Reader.lnk";
    std::wstring target = L"\"\\Program Files\\Corvex Press\\Tesh Reader.exe\"";
    EXPECT_EQ(CeSHCreateShortcut(&shortcut[0], &target[0]), 0u);
    EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_FALSE(device.Exists(shortcut));
    device.SetFault("capacity", "");
    EXPECT_NE(CeSHCreateShortcut(&shortcut[0], &target[0]), 0u);
}

// Main memory and a card are two stores: each reports its own room and
// refuses writes past its own capacity.
TEST_F(Faults, ACardWithItsOwnCapacityIsAStoreApart) {
    device.SetFault("capacity", "10000");
    device.SetFault("card_capacity", "storage card:20000");  // any case
    auto write = [](const wchar_t *path, size_t bytes) {
        HANDLE file = Open(path, GENERIC_WRITE, CREATE_ALWAYS);
        const std::string content(bytes, 'w');
        DWORD written = 0;
        const BOOL ok = CeWriteFile(file, content.data(), static_cast<DWORD>(bytes), &written, nullptr);
        CeCloseHandle(file);
        return ok;
    };
    auto room = [](const wchar_t *folder) -> long long {
        ULARGE_INTEGER free{}, total{}, totalFree{};
        if (!CeGetDiskFreeSpaceEx(folder, &free, &total, &totalFree)) return -static_cast<long long>(CeGetLastError());
        EXPECT_EQ(free.QuadPart, totalFree.QuadPart);
        return static_cast<long long>(free.QuadPart);
    };
    struct Step {
        const wchar_t *written;  // nullptr: nothing
        size_t bytes;
        bool fits;
        long long card, main;  // free bytes after it
    } const kSteps[] = {
        {nullptr, 0, true, 20000, 10000},
        {L"\\Storage Card\\a.bin", 15000, true, 5000, 10000},  // past main memory's capacity
        {L"\\Storage Card\\b.bin", 5001, false, 5000, 10000},
        {L"\\Storage Card\\b.bin", 5000, true, 0, 10000},
        {L"\\m.bin", 4000, true, 0, 6000},
    };
    for (const Step &step : kSteps) {
        if (step.written) {
            EXPECT_EQ(write(step.written, step.bytes) != FALSE, step.fits) << step.bytes;
        }
        EXPECT_EQ(room(L"\\Storage Card\\"), step.card);
        EXPECT_EQ(room(L"\\"), step.main);
        STORE_INFORMATION store{};
        EXPECT_TRUE(CeGetStoreInformation(&store));
        EXPECT_EQ(store.dwFreeSize, static_cast<DWORD>(step.main));
        EXPECT_EQ(store.dwStoreSize, 10000u);
    }
    EXPECT_EQ(room(L"\\No Card"), -ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(room(L"\\Storage Card\\a.bin"), -ERROR_DIRECTORY);
    EXPECT_EQ(room(L"\\Storage Card\\..\\.."), -ERROR_BAD_PATHNAME);
    // Without its own capacity the card is bounded by the host disk alone,
    // never by main memory's capacity, and main memory keeps its room.
    device.SetFault("card_capacity", "Storage Card:");
    EXPECT_NE(write(L"\\Storage Card\\c.bin", 20000), FALSE);
    EXPECT_GT(room(L"\\Storage Card"), 20000);
    EXPECT_EQ(room(L"\\"), 6000);
    EXPECT_EQ(write(L"\\m2.bin", 6001), FALSE);
    // A device that cannot tell its room.
    device.SetFault("refuse_room", "50");
    EXPECT_EQ(room(L"\\Storage Card"), -50);
    EXPECT_EQ(room(L"\\"), -50);
    STORE_INFORMATION unknown{};
    EXPECT_FALSE(CeGetStoreInformation(&unknown));
    EXPECT_NONFATAL_FAILURE(device.SetFault("card_capacity", "Storage Card"), "bad value");
    EXPECT_NONFATAL_FAILURE(device.SetFault("card_capacity", ":100"), "bad value");
}

TEST_F(Faults, LinkDropsAfterSoManyBytesWritten) {
    device.SetFault("drop_after_bytes", "10000");
    HANDLE file = Open(L"\\copy.bin", GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    std::string chunk(4096, 'c');
    DWORD written = 0;
    EXPECT_TRUE(CeWriteFile(file, chunk.data(), 4096, &written, nullptr));
    EXPECT_TRUE(CeWriteFile(file, chunk.data(), 4096, &written, nullptr));
    EXPECT_FALSE(CeWriteFile(file, chunk.data(), 4096, &written, nullptr));
    EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(simtest::Attributes(L"\\Windows"), INVALID_FILE_ATTRIBUTES) << "the link stays down";
    // The device kept what came across, and closed the file for the lost session.
    EXPECT_EQ(device.ReadFile(L"\\copy.bin").size(), 10000u);
    CeRapiUninit();
    ASSERT_EQ(simtest::Connect(), S_OK);
    file = Open(L"\\copy.bin", GENERIC_WRITE, OPEN_EXISTING);
    EXPECT_NE(file, INVALID_HANDLE_VALUE) << "still held by the lost session";
    CeCloseHandle(file);
}

TEST_F(Faults, LinkDropsAfterSoManyCalls) {
    device.SetFault("drop_after_calls", "3");
    for (int i = 0; i < 3; ++i) {
        EXPECT_NE(simtest::Attributes(L"\\Windows"), INVALID_FILE_ATTRIBUTES) << i;
    }
    EXPECT_EQ(simtest::Attributes(L"\\Windows"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    CeRapiUninit();
    ASSERT_EQ(simtest::Connect(), S_OK);
    EXPECT_NE(simtest::Attributes(L"\\Windows"), INVALID_FILE_ATTRIBUTES) << "the fault fires once";
}

TEST_F(Faults, UnknownFaultsAndBadValuesAreRefused) {
    EXPECT_NONFATAL_FAILURE(device.SetFault("no_such_fault", "1"), "unknown fault");
    EXPECT_NONFATAL_FAILURE(device.SetFault("capacity", "lots"), "bad value");
    EXPECT_NONFATAL_FAILURE(device.SetFault("version", "3"), "bad value");
    EXPECT_NONFATAL_FAILURE(device.SetFault("origname_type", "binary"), "bad value");
}

}  // namespace
