// The device's remote API over the network, call by call: request and
// reply bytes written by hand from the protocol notes (not produced by our
// own encoder, so that a mistake shared by both sides cannot cancel out),
// fed in order to one session of a fresh Pocket PC device.
//
// Notation: tests/support/golden_notation.h. "drop": the session is closed
// unanswered.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "model/device.h"
#include "serve/rapi1_translator.h"
#include "tests/support/golden_notation.h"
#include "tests/support/test_device.h"

namespace {

struct Golden {
    const char *call;
    const char *fault;  // "name=value" set before the call, or nullptr
    const char *request;
    const char *reply;
};

const Golden kCalls[] = {
    {"GetFileAttributes of a folder", nullptr, R"(00000003 00000001 00000009 '\Windows')", "00000000 00000000 00000010"},
    {"GetFileAttributes of nothing", nullptr, R"(00000003 00000001 00000006 '\nope')", "00000000 00000002 ffffffff"},
    {"CreateDirectory", nullptr, R"(00000017 00000001 0000000e 00000001 '\Books' 00000000)", "00000000 00000000 00000001"},
    {"CreateDirectory again", nullptr, R"(00000017 00000001 0000000e 00000001 '\Books' 00000000)",
     "00000000 000000b7 00000000"},
    {"CreateFile for writing", nullptr,
     R"(00000005 40000000 00000000 00000001 00000080 00000000 00000001 0000000d '\Books\a.txt')",
     "00000000 00000000 00001000"},
    {"WriteFile", nullptr, "00000007 00001000 00000001 00000005 #68656c6c6f 00000000", "00000000 00000000 00000001 00000005"},
    {"SetFilePointer 2 back from the end", nullptr, "00000015 00001000 fffffffe 00000000 00000002",
     "00000000 00000000 00000003"},
    {"GetFileSize with its high part", nullptr, "0000001d 00001000 00000001 00000004 00000000",
     "00000000 00000000 00000005 00000001 00000004 00000001 00000000"},
    {"CloseHandle", nullptr, "00000008 00001000", "00000000 00000000 00000001"},
    {"CloseHandle again", nullptr, "00000008 00001000", "00000000 00000006 00000000"},
    {"CreateFile for reading", nullptr,
     R"(00000005 80000000 00000001 00000003 00000080 00000000 00000001 0000000d '\Books\a.txt')",
     "00000000 00000000 00001004"},
    {"ReadFile", nullptr, "00000006 00001004 00000001 00000010 00000000 00000000",
     "00000000 00000000 00000001 00000005 #68656c6c6f"},
    {"ReadFile at the end", nullptr, "00000006 00001004 00000001 00000010 00000000 00000000",
     "00000000 00000000 00000001 00000000"},
    {"CloseHandle after reading", nullptr, "00000008 00001004", "00000000 00000000 00000001"},
    {"GetSpecialFolderPath", nullptr, "00000044 00000005 00000104", R"(00000000 00000000 0000000d '\My Documents')"},
    {"GetSpecialFolderPath, buffer too small", nullptr, "00000044 00000005 00000010",
     "00000000 0000007a 00000000 #0000"},
    {"GetVersionEx", nullptr, "0000003b",
     "00000000 00000000 00000001 00000114 00000114 00000003 00000000 00002484 00000003 z256"},
    {"GetSystemInfo", nullptr, "0000002f 00000001 00000024 00000000",
     "00000000 00000000 00000001 00000024 00000001 00000005 00001000 00010000 7fffffff 00000001 00000001 00000a11 "
     "00010000 00000000"},
    {"RegOpenKeyEx", nullptr, "0000001e 80000002 00000001 00000006 'Ident'", "00000000 00000000 00000000 00001008"},
    {"RegQueryValueEx", nullptr,
     "00000026 00001008 00000001 00000012 00000001 'OrigName' 00000000 00000001 00000004 00000000 00000001 00000040 "
     "00000000 00000001 00000004 00000001 00000040",
     "00000000 00000000 00000000 00000001 00000004 00000001 00000001 00000001 00000014 00000001 'Pocket_PC' "
     "00000001 00000004 00000001 00000014"},
    {"RegQueryValueEx, the size only", nullptr,
     "00000026 00001008 00000001 00000012 00000001 'OrigName' 00000000 00000000 00000000 00000001 00000004 00000001 "
     "00000000",
     "00000000 00000000 00000000 00000000 00000000 00000001 00000004 00000001 00000014"},
    {"RegCloseKey", nullptr, "00000021 00001008", "00000000 00000000 00000000"},
    {"RegOpenKeyEx of another root", nullptr, "0000001e 80000001 00000001 00000006 'Ident'",
     "00000000 00000000 00000006"},
    {"MoveFile", nullptr, R"(0000001a 00000001 0000001a 00000001 '\Books\a.txt' 00000001 0000001a 00000001 '\Books\b.txt')",
     "00000000 00000000 00000001"},
    {"SHCreateShortcut", nullptr,
     R"(00000030 00000001 0000001a 00000001 '\Books\b.lnk' 00000001 0000001a 00000001 '\Books\b.txt')",
     "00000000 00000000 00000001"},
    {"FindAllFiles: names, attributes, sizes", nullptr, R"(00000009 00000001 00000009 '\Books\*' 000000a1)",
     "00000000 00000002 00000006 00000020 0000000f 'b.lnk' 00000006 00000020 00000005 'b.txt'"},
    {"FindAllFiles: folders only", nullptr, R"(00000009 00000001 00000003 '\*' 00004080)",
     "00000000 00000004 00000006 'Books' 0000000d 'My Documents' 0000000d 'Storage Card' 00000008 'Windows'"},
    {"FindAllFiles: folders with children", nullptr, R"(00000009 00000001 00000003 '\*' 00001080)",
     "00000000 00000002 00000006 'Books' 00000008 'Windows'"},
    {"GetStoreInformation under a capacity", "capacity=1048576", "00000029 00000001 00000008 00000000",
     "00000000 00000000 00000001 00000001 00000008 00000001 00100000 000fffe3"},
    {"FindFirstFile", nullptr, R"(00000000 00000001 0000000f '\Windows\*.exe')",
     "00000000 00000000 0000100c 00000230 00000020 11111111 01c00000 22222222 01c00000 33333333 01c00000 00000000 "
     "00000009 ???? 'x.exe' z508"},
    {"FindNextFile past the last", nullptr, "00000001 0000100c", "00000000 00000012 00000000 00000230 z560"},
    {"FindClose", nullptr, "00000002 0000100c", "00000000 00000000 00000001"},
    {"FindFirstFile finding nothing", nullptr, R"(00000000 00000001 00000006 '\*.zz')",
     "00000000 00000002 ffffffff 00000230 z560"},
    {"GetSystemPowerStatusEx", nullptr, "00000041 00000001 00000018 00000000 00000001",
     "00000000 00000000 00000001 00000001 00000018 00000001 00600901 ffffffff ffffffff 00640100 ffffffff ffffffff"},
    {"GetSystemMemoryDivision", nullptr,
     "00000028 00000001 00000004 00000000 00000001 00000004 00000000 00000001 00000004 00000000",
     "00000000 00000000 00000001 00000001 00000004 00000001 00001000 00000001 00000004 00000001 00001000 00000001 "
     "00000004 00000001 00001000"},
    {"CreateProcess", nullptr,
     R"(00000019 00000001 0000001e 00000001 '\Windows\x.exe' 00000000 00000000 00000000 00000000 00000000 00000000 )"
     "00000000 00000000 00000001 00000010 00000000",
     "00000000 00000000 00000001 00000001 00000010 00000001 00001010 00001014 0e000100 0e000101"},
    {"CloseHandle of the process", nullptr, "00000008 00001010", "00000000 00000000 00000001"},
    {"CloseHandle of its thread", nullptr, "00000008 00001014", "00000000 00000000 00000001"},
    {"CreateProcess of nothing", nullptr,
     R"(00000019 00000001 00000014 00000001 '\nope.exe' 00000000 00000000 00000000 00000000 00000000 00000000 )"
     "00000000 00000000 00000001 00000010 00000000",
     "00000000 00000002 00000000 00000001 00000010 00000000"},
    {"CreateFile of the program", nullptr,
     R"(00000005 c0000000 00000000 00000003 00000080 00000000 00000001 0000000f '\Windows\x.exe')",
     "00000000 00000000 00001018"},
    {"SetFileTime, write time only", nullptr,
     "0000003a 00001018 00000000 00000000 00000001 00000008 44444444 01c00000", "00000000 00000000 00000001"},
    {"GetFileTime, all three", nullptr,
     "00000039 00001018 00000001 00000008 00000000 00000001 00000008 00000000 00000001 00000008 00000000",
     "00000000 00000000 00000001 00000001 00000008 00000001 11111111 01c00000 00000001 00000008 00000001 22222222 "
     "01c00000 00000001 00000008 00000001 44444444 01c00000"},
    {"GetFileTime, write time only", nullptr, "00000039 00001018 00000000 00000000 00000001 00000008 00000000",
     "00000000 00000000 00000001 00000001 00000008 00000001 44444444 01c00000"},
    {"CloseHandle of the program", nullptr, "00000008 00001018", "00000000 00000000 00000001"},
    {"DeleteFile", nullptr, R"(0000001c 00000001 0000001a 00000001 '\Books\b.txt')", "00000000 00000000 00000001"},
    {"DeleteFile again", nullptr, R"(0000001c 00000001 0000001a 00000001 '\Books\b.txt')", "00000000 00000002 00000000"},
    {"RemoveDirectory of a full folder", nullptr, R"(00000018 00000001 0000000e 00000001 '\Books')",
     "00000000 00000091 00000000"},
    {"SetFileAttributes", nullptr, R"(00000004 00000003 00000001 0000000d '\Books\b.lnk')", "00000000 00000000 00000001"},
    {"GetFileAttributes after setting them", nullptr, R"(00000003 00000001 0000000d '\Books\b.lnk')",
     "00000000 00000000 00000003"},
    {"FindAllFiles: no hidden files", nullptr, R"(00000009 00000001 00000009 '\Books\*' 00002080)",
     "00000000 00000000"},
    {"DeleteFile of a read-only file", nullptr, R"(0000001c 00000001 0000001a 00000001 '\Books\b.lnk')",
     "00000000 00000005 00000000"},
    {"RapiInvoke of a missing library", nullptr,
     R"(00000045 00000000 00000001 00000012 '\Windows\none.dll' 00000001 00000009 'CloseApp' 00000000 00000000)",
     "00000000 00000002 00000002 00000000 | 00000000"},
    {"an unknown command", nullptr, "00000077 00000001", "00000001 80004001"},
    {"a string without its terminator", nullptr, "00000003 00000001 00000002 #5c007800", "drop"},
    {"a string size past the frame", nullptr, R"(00000003 00000001 000000ff '\a')", "drop"},
    {"bytes left over", nullptr, "00000008 00001000 00000000", "drop"},
    {"a request cut short", nullptr, "00000008 #0010", "drop"},
    {"a flag neither 0 nor 1", nullptr, R"(0000001c 00000002 0000000e 00000001 '\Books')", "drop"},
    {"an optional string of an odd byte size", nullptr, "0000001c 00000001 00000005 00000001 #5c00000000", "drop"},
    {"no command at all", nullptr, "", "drop"},
};

TEST(Rapi1Golden, EveryCallAnswersInTheDeviceLayout) {
    TestDevice device("pocketpc");
    device.WriteFile(L"\\Windows\\x.exe", "a program");
    device.SetTimes(L"\\Windows\\x.exe", FILETIME{0x11111111, 0x01c00000}, FILETIME{0x22222222, 0x01c00000},
                    FILETIME{0x33333333, 0x01c00000});
    Device &model = device.Model();
    uint32_t session = model.OpenSession();
    for (const Golden &golden : kCalls) {
        SCOPED_TRACE(golden.call);
        if (golden.fault) {
            std::string fault = golden.fault;
            size_t at = fault.find('=');
            device.SetFault(fault.substr(0, at), fault.substr(at + 1));
        }
        std::vector<uint8_t> request = ParseGolden(golden.request)[0].data;
        std::vector<uint8_t> frames;
        ServeOutcome outcome = ServeRapi1Request(model, session, request.data(), request.size(), &frames);
        ExpectGoldenReply(outcome == ServeOutcome::kDrop, frames, golden.reply);
    }
    model.CloseSession(session);
    // The image holds what the calls were told.
    EXPECT_EQ(device.ReadFile(L"\\Books\\b.lnk"), "12#\\Books\\b.txt");
    EXPECT_FALSE(device.Exists(L"\\Books\\b.txt"));
    EXPECT_FALSE(device.Exists(L"\\Books\\a.txt"));
}

}  // namespace
