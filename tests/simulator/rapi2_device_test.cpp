// The simulated Windows Mobile device's RAPI2 sessions, call by call:
// request and reply bytes written by hand from the protocol notes, fed in
// order to one session of a fresh wm5ppc device through its translator.
// Notation: tests/support/golden_notation.h. "drop": the session is closed
// unanswered (a malformed request, or a command the device does not know).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "model/device.h"
#include "serve/rapi2_translator.h"
#include "tests/support/golden_notation.h"
#include "tests/support/test_device.h"

namespace {

struct Golden {
    const char *call;
    const char *request;
    const char *reply;
};

const Golden kCalls[] = {
    {"GetFileAttributes of a folder", R"(00000014 00000012 '\Windows')", "00000000 00000010"},
    {"GetFileAttributes of nothing", R"(00000014 0000000c '\nope')", "00000002 ffffffff"},
    {"CreateDirectory", R"(00000028 0000000e '\Books')", "00000000 00000001"},
    {"CreateDirectory again", R"(00000028 0000000e '\Books')", "000000b7 00000000"},
    {"CreateFile for writing", R"(00000016 0000001a '\Books\a.txt' 40000000 00000000 00000001 00000080 00000000)",
     "00000000 00001000"},
    {"WriteFile", "00000018 00001000 00000005 #68656c6c6f", "00000000 00000001 00000005"},
    {"SetFilePointer 2 back from the end", "00000026 00001000 fffffffe 00000000 00000002", "00000000 00000003"},
    {"SetFilePointer with a high part", "00000026 00001000 00000001 00000001 00000000 00000000",
     "00000000 00000001 00000000"},
    {"GetFileSize with its high part", "0000002e 00001000 00000001 00000004 00000000",
     "00000000 00000005 00000001 00000004 00000001 00000000"},
    {"GetFileSize, the low part only", "0000002e 00001000 00000000", "00000000 00000005 00000000"},
    {"CloseHandle", "00000019 00001000", "00000000 00000001"},
    {"CloseHandle again", "00000019 00001000", "00000006 00000000"},
    {"CreateFile for reading", R"(00000016 0000001a '\Books\a.txt' 80000000 00000001 00000003 00000080 00000000)",
     "00000000 00001004"},
    {"ReadFile", "00000017 00001004 00000010", "00000000 00000001 00000005 #68656c6c6f"},
    {"ReadFile at the end", "00000017 00001004 00000010", "00000000 00000001 00000000"},
    {"CloseHandle of the reader", "00000019 00001004", "00000000 00000001"},
    {"MoveFile", R"(0000002b 0000001a '\Books\a.txt' 0000001a '\Books\b.txt')", "00000000 00000001"},
    {"FindAllFiles: names, attributes, sizes", R"(0000001a 00000012 '\Books\*' 000000a1)",
     "00000000 00000001 00000001 0000000c 00000020 00000005 'b.txt'"},
    {"FindAllFiles: folders only", R"(0000001a 00000012 '\Books\*' 00004080)", "00000000 00000001 00000000"},
    {"FindFirstFile", R"(00000011 0000001e '\Windows\*.exe')",
     "00000000 00001008 00000230 00000020 11111111 01c00000 22222222 01c00000 33333333 01c00000 00000000 00000009 "
     "???? 'x.exe' z508"},
    {"FindNextFile past the last", "00000012 00001008", "00000012 00000000 00000230 z560"},
    {"FindClose", "00000013 00001008", "00000000 00000001"},
    {"RegOpenKeyEx of Ident", "0000002f 80000002 0000000c 'Ident'", "00000000 00000000 0000100c"},
    {"RegOpenKeyEx of nothing", "0000002f 80000002 0000000a 'Nope'", "00000000 00000002"},
    {"RegQueryValueEx of OrigName", "00000037 0000100c 00000012 'OrigName' 00000100",
     "00000000 00000000 00000001 00000014 'Pocket_PC'"},
    {"RegQueryValueEx into 4 bytes", "00000037 0000100c 00000012 'OrigName' 00000004", "00000000 000000ea"},
    {"RegQueryValueEx into 0 bytes: the size", "00000037 0000100c 00000012 'OrigName' 00000000",
     "00000000 00000000 00000001 00000014"},
    {"RegCloseKey", "00000032 0000100c", "00000000 00000000"},
    {"GetVersionEx", "00000043", "00000000 00000001 00000114 00000114 00000005 00000001 000039ff 00000003 z256"},
    {"GetSystemInfo", "0000003d 00000001 00000024 00000000",
     "00000000 00000005 00001000 00010000 7fffffff 00000001 00000001 00000a11 00010000 00000000"},
    {"GetSystemPowerStatusEx", "00000049 00000001",
     "00000001 005e0901 ffffffff ffffffff 00640100 ffffffff ffffffff"},
    {"GetSpecialFolderPath of My Documents", "0000004b 00000005 00000208",
     "00000000 0000000d #5c004d007900200044006f00630075006d0065006e0074007300"},
    {"GetSpecialFolderPath into 16 bytes", "0000004b 00000005 00000010", "0000007a 00000000"},
    {"CreateProcess", R"(0000002a 0000001e '\Windows\x.exe' 00000000 00000000 00000000 00000000 z16)",
     "00000000 00000001 00001010 00001014 0e000100 0e000101"},
    {"CloseHandle of the process", "00000019 00001010", "00000000 00000001"},
    {"CloseHandle of its thread", "00000019 00001014", "00000000 00000001"},
    {"CreateFile of the program", R"(00000016 0000001e '\Windows\x.exe' c0000000 00000000 00000003 00000080 00000000)",
     "00000000 00001018"},
    {"SetFileTime, the write time only", "00000042 00001018 00000000 00000000 00000008 44444444 01c00000",
     "00000000 00000001"},
    {"GetFileTime", "00000041 00001018",
     "00000000 00000001 11111111 01c00000 22222222 01c00000 44444444 01c00000"},
    {"CloseHandle of the program", "00000019 00001018", "00000000 00000001"},
    {"RapiInvoke of a missing library",
     R"(0000004c 00000000 00000024 '\Windows\none.dll' 00000012 'CloseApp' 00000000 00000000)",
     "00000002 00000002 00000000"},
    {"RapiInvoke as a stream", R"(0000004c 00000000 00000024 '\Windows\none.dll' 00000012 'CloseApp' 00000000 00000001)",
     "00000000 80004001"},
    {"GetStoreInformation", "00000039", "00000000 00000001 ???? ????"},
    {"GetDiskFreeSpaceEx of the card", R"(0000005c 0000001c '\Storage Card')",
     "00000000 00000001 ???? ???? ???? ???? ???? ????"},
    {"GetDiskFreeSpaceEx of nothing", R"(0000005c 0000000e '\nope\')", "00000002 00000000 z24"},
    {"DeleteFile", R"(0000002d 0000001a '\Books\b.txt')", "00000000 00000001"},
    {"DeleteFile again", R"(0000002d 0000001a '\Books\b.txt')", "00000002 00000000"},
    {"RemoveDirectory", R"(00000029 0000000e '\Books')", "00000000 00000001"},
    {"RegCreateKeyEx", R"(00000031 80000002 0000001c 'Software\Tesh' 00000000)", "00000000 00000000 0000101c 00000001"},
    {"RegSetValueEx of a dword", "00000038 0000101c 0000000c 'Books' 00000004 00000004 #03000000", "00000000 00000000"},
    {"RegEnumValue", "00000034 0000101c 00000000 00000020 00000004",
     "00000000 00000000 00000005 #42006f006f006b007300 00000004 00000004 #03000000"},
    {"RegEnumValue, the size alone", "00000034 0000101c 00000000 00000020 00000000",
     "00000000 00000000 00000005 #42006f006f006b007300 00000004 00000004"},
    {"RegEnumValue past the last", "00000034 0000101c 00000001 00000020 00000000", "00000000 00000103"},
    {"RegEnumKeyEx", "00000030 80000002 00000001 00000020 00000000 00000000",
     "00000000 00000000 00000008 #53006f00660074007700610072006500 00000000"},
    {"RegDeleteKey of a key that is open", R"(00000033 80000002 0000001c 'Software\Tesh')", "00000000 00000005"},
    {"RegDeleteValue", "00000035 0000101c 0000000c 'Books'", "00000000 00000000"},
    {"RegDeleteValue again", "00000035 0000101c 0000000c 'Books'", "00000000 00000002"},
    {"RegCloseKey of the new key", "00000032 0000101c", "00000000 00000000"},
    {"RegDeleteKey", R"(00000033 80000002 0000001c 'Software\Tesh')", "00000000 00000000"},
    {"an unknown command", "00000077 00000001", "drop"},
    {"0x3e, SHCreateShortcut by hearsay", R"(0000003e 0000000c '\a.lnk' 0000000a '"\a"')", "drop"},
    {"a string of an odd byte count", "00000014 00000003 #5c0000", "drop"},
    {"bytes left over", "00000019 00001000 00000000", "drop"},
    {"no command at all", "", "drop"},
};

TEST(Rapi2Device, EveryCallAnswersInTheNewerLayout) {
    TestDevice device("wm5ppc");
    device.WriteFile(L"\\Windows\\x.exe", "a program");
    device.SetTimes(L"\\Windows\\x.exe", FILETIME{0x11111111, 0x01c00000}, FILETIME{0x22222222, 0x01c00000},
                    FILETIME{0x33333333, 0x01c00000});
    Device &model = device.Model();
    uint32_t session = model.OpenSession();
    for (const Golden &golden : kCalls) {
        SCOPED_TRACE(golden.call);
        std::vector<uint8_t> request = ParseGolden(golden.request)[0].data;
        std::vector<uint8_t> frames;
        ServeOutcome outcome = ServeRapi2Request(model, session, request.data(), request.size(), &frames);
        ExpectGoldenReply(outcome == ServeOutcome::kDrop, frames, golden.reply);
    }
    model.CloseSession(session);
    EXPECT_FALSE(device.Exists(L"\\Books"));
    EXPECT_EQ(device.OpenHandleCount(), 0u);
}

}  // namespace
