// The RAPI2 codec (protocol/rapi2.h) against bytes written by hand from
// the protocol notes, call by call: the request the desktop sends and the
// reply the device gives, each encoded by the codec and compared with the
// hand-written bytes, and each hand-written message read back and encoded
// again (a field the reader drops or misplaces changes the bytes). Then
// messages a peer must not get away with, the information block of the
// control connection, and the password.
//
// Notation: tests/support/golden_notation.h.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "protocol/rapi2.h"
#include "tests/support/golden_notation.h"

namespace {

using rapi2::Reply;
using rapi2::Request;

const uint8_t kHello[] = {'h', 'e', 'l', 'l', 'o'};
const uint8_t kInvokeInput[] = {1, 2, 3, 4};
const uint8_t kInvokeOutput[] = {0xab, 0xcd};
const uint8_t kVersion[276] = {0x14, 0x01, 0, 0, 5, 0, 0, 0, 1, 0, 0, 0, 0xff, 0x39, 0, 0, 3};
const uint8_t kSystemInfo[36] = {5, 0, 0, 0, 0, 0x10, 0, 0, 0, 0, 1, 0, 0xff, 0xff, 0xff, 0x7f, 1, 0, 0, 0,
                                 1, 0, 0, 0, 0x11, 0x0a, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0};
const uint8_t kProcess[16] = {0x10, 0x10, 0, 0, 0x14, 0x10, 0, 0, 0, 1, 0, 0x0e, 1, 1, 0, 0x0e};
const uint8_t kPower[24] = {1, 9, 0x60, 0, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                            0, 1, 0x64, 0, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
const uint8_t kThree[4] = {3, 0, 0, 0};
const uint8_t kPocketPc[20] = {'P', 0, 'o', 0, 'c', 0, 'k', 0, 'e', 0, 't', 0, '_', 0, 'P', 0, 'C', 0, 0, 0};

rapi1::FindData Found(const wchar_t *name, uint32_t attributes, uint64_t size) {
    rapi1::FindData data;
    data.name = name;
    data.attributes = attributes;
    data.size = size;
    return data;
}

struct Golden {
    const char *call;
    std::function<void(Request &, Reply &)> fill;
    const char *request;
    const char *reply;
};

void Path(Request &q, uint32_t command, const wchar_t *path) {
    q.command = command;
    q.path = path;
    q.hasPath = true;
}

const Golden kCalls[] = {
    {"GetFileAttributes", [](Request &q, Reply &a) { Path(q, 0x14, L"\\Windows"), a.result = 0x10; },
     R"(00000014 00000012 '\Windows')", "00000000 00000010"},
    {"CreateFile",
     [](Request &q, Reply &a) {
         Path(q, 0x16, L"\\Books\\a.txt");
         q.access = 0x40000000, q.disposition = 2, q.attributes = 0x80, a.result = 0x1000;
     },
     R"(00000016 0000001a '\Books\a.txt' 40000000 00000000 00000002 00000080 00000000)", "00000000 00001000"},
    {"WriteFile",
     [](Request &q, Reply &a) {
         q.command = 0x18, q.handle = 0x1000, q.data = kHello, q.size = 5;
         a.result = 1, a.value = 5;
     },
     "00000018 00001000 00000005 #68656c6c6f", "00000000 00000001 00000005"},
    {"ReadFile",
     [](Request &q, Reply &a) {
         q.command = 0x17, q.handle = 0x1000, q.count = 16;
         a.result = 1, a.data = kHello, a.size = 5;
     },
     "00000017 00001000 00000010", "00000000 00000001 00000005 #68656c6c6f"},
    {"SetFilePointer without a high part",
     [](Request &q, Reply &a) {
         q.command = 0x26, q.handle = 0x1000, q.distanceLow = 0xfffffffe, q.method = 2, a.result = 3;
     },
     "00000026 00001000 fffffffe 00000000 00000002", "00000000 00000003"},
    {"SetFilePointer with a high part",
     [](Request &q, Reply &a) {
         q.command = 0x26, q.handle = 0x1000, q.distanceLow = 0x10, q.hasHigh = true, a.result = 0x10;
         a.hasValue = true;
     },
     "00000026 00001000 00000010 00000001 00000000 00000000", "00000000 00000010 00000000"},
    {"GetFileSize with its high part",
     [](Request &q, Reply &a) { q.command = 0x2e, q.handle = 0x1000, q.hasHigh = true, a.result = 5, a.hasValue = true; },
     "0000002e 00001000 00000001 00000004 00000000", "00000000 00000005 00000001 00000004 00000001 00000000"},
    {"GetFileSize, the low part only", [](Request &q, Reply &a) { q.command = 0x2e, q.handle = 0x1000, a.result = 5; },
     "0000002e 00001000 00000000", "00000000 00000005 00000000"},
    {"GetFileTime",
     [](Request &q, Reply &a) {
         q.command = 0x41, q.handle = 0x1000, a.result = 1;
         a.numbers[0] = 0x01c0000011111111ull, a.numbers[1] = 0x01c0000022222222ull;
         a.numbers[2] = 0x01c0000033333333ull;
     },
     "00000041 00001000",
     "00000000 00000001 11111111 01c00000 22222222 01c00000 33333333 01c00000"},
    {"SetFileTime, the write time only",
     [](Request &q, Reply &a) {
         q.command = 0x42, q.handle = 0x1000, q.hasTime[2] = true, q.times[2] = 0x01c0000044444444ull, a.result = 1;
     },
     "00000042 00001000 00000000 00000000 00000008 44444444 01c00000", "00000000 00000001"},
    {"CloseHandle", [](Request &q, Reply &a) { q.command = 0x19, q.handle = 0x1000, a.result = 1; },
     "00000019 00001000", "00000000 00000001"},
    {"CreateDirectory, already there",
     [](Request &q, Reply &a) { Path(q, 0x28, L"\\Books"), a.lastError = 0xb7; },
     R"(00000028 0000000e '\Books')", "000000b7 00000000"},
    {"RemoveDirectory, not empty", [](Request &q, Reply &a) { Path(q, 0x29, L"\\Books"), a.lastError = 0x91; },
     R"(00000029 0000000e '\Books')", "00000091 00000000"},
    {"DeleteFile of nothing", [](Request &q, Reply &a) { Path(q, 0x2d, L"\\Books\\a.txt"), a.lastError = 2; },
     R"(0000002d 0000001a '\Books\a.txt')", "00000002 00000000"},
    {"MoveFile",
     [](Request &q, Reply &a) {
         Path(q, 0x2b, L"\\Books\\a.txt");
         q.second = L"\\Books\\b.txt", q.hasSecond = true, a.result = 1;
     },
     R"(0000002b 0000001a '\Books\a.txt' 0000001a '\Books\b.txt')", "00000000 00000001"},
    {"FindFirstFile",
     [](Request &q, Reply &a) {
         Path(q, 0x11, L"\\Windows\\*.exe");
         a.result = 0x100c, a.found = Found(L"x.exe", 0x20, 9);
         a.found.creation = 0x01c0000011111111ull, a.found.access = 0x01c0000022222222ull;
         a.found.write = 0x01c0000033333333ull;
     },
     R"(00000011 0000001e '\Windows\*.exe')",
     "00000000 0000100c 00000230 00000020 11111111 01c00000 22222222 01c00000 33333333 01c00000 00000000 00000009 "
     "00000000 'x.exe' z508"},
    {"FindNextFile past the last",
     [](Request &q, Reply &a) { q.command = 0x12, q.handle = 0x100c, a.lastError = 0x12; }, "00000012 0000100c",
     "00000012 00000000 00000230 z560"},
    {"FindClose", [](Request &q, Reply &a) { q.command = 0x13, q.handle = 0x100c, a.result = 1; },
     "00000013 0000100c", "00000000 00000001"},
    {"FindAllFiles: names, attributes, sizes",
     [](Request &q, Reply &a) {
         Path(q, 0x1a, L"\\Books\\*");
         q.flags = 0xa1, a.result = 1;
         a.entries = {Found(L"b.lnk", 0x20, 15), Found(L"b.txt", 0x20, 5)};
     },
     R"(0000001a 00000012 '\Books\*' 000000a1)",
     "00000000 00000001 00000002 0000000c 00000020 0000000f 'b.lnk' 0000000c 00000020 00000005 'b.txt'"},
    {"FindAllFiles: every field",
     [](Request &q, Reply &a) {
         Path(q, 0x1a, L"\\*");
         q.flags = 0xff, a.result = 1;
         a.entries = {Found(L"Books", 0x10, 0x100000002ull)};
         a.entries[0].creation = 1, a.entries[0].access = 2, a.entries[0].write = 3, a.entries[0].oid = 7;
     },
     R"(0000001a 00000006 '\*' 000000ff)",
     "00000000 00000001 00000001 0000000c 00000010 00000001 00000000 00000002 00000000 00000003 00000000 "
     "00000001 00000002 00000007 'Books'"},
    {"RegOpenKeyEx",
     [](Request &q, Reply &a) { Path(q, 0x2f, L"Ident"), q.handle = 0x80000002, a.value = 0x1008; },
     "0000002f 80000002 0000000c 'Ident'", "00000000 00000000 00001008"},
    {"RegOpenKeyEx of nothing",
     [](Request &q, Reply &a) { Path(q, 0x2f, L"Ident"), q.handle = 0x80000001, a.lastError = a.result = 2; },
     "0000002f 80000001 0000000c 'Ident'", "00000002 00000002"},
    {"RegQueryValueEx",
     [](Request &q, Reply &a) {
         Path(q, 0x37, L"OrigName");
         q.handle = 0x1008, q.count = 0x40, a.value = 1, a.data = kPocketPc, a.size = 20;
     },
     "00000037 00001008 00000012 'OrigName' 00000040", "00000000 00000000 00000001 00000014 'Pocket_PC'"},
    {"RegQueryValueEx, more data",
     [](Request &q, Reply &a) {
         Path(q, 0x37, L"OrigName");
         q.handle = 0x1008, q.count = 4, a.lastError = a.result = 0xea;
     },
     "00000037 00001008 00000012 'OrigName' 00000004", "000000ea 000000ea"},
    {"RegQueryValueEx, the size alone",
     [](Request &q, Reply &a) {
         Path(q, 0x37, L"OrigName");
         q.handle = 0x1008, a.value = 1, a.size = 20;
     },
     "00000037 00001008 00000012 'OrigName' 00000000", "00000000 00000000 00000001 00000014"},
    {"RegCloseKey", [](Request &q, Reply &) { q.command = 0x32, q.handle = 0x1008; }, "00000032 00001008",
     "00000000 00000000"},
    {"RegCreateKeyEx",
     [](Request &q, Reply &a) {
         Path(q, 0x31, L"Software\\Tesh");
         q.handle = 0x80000002, a.value = 0x101c, a.numbers[0] = 1;
     },
     R"(00000031 80000002 0000001c 'Software\Tesh' 00000000)", "00000000 00000000 0000101c 00000001"},
    {"RegSetValueEx",
     [](Request &q, Reply &) {
         Path(q, 0x38, L"Books");
         q.handle = 0x101c, q.valueType = 4, q.data = kThree, q.size = 4;
     },
     "00000038 0000101c 0000000c 'Books' 00000004 00000004 #03000000", "00000000 00000000"},
    {"RegEnumKeyEx",
     [](Request &q, Reply &a) {
         q.command = 0x30, q.handle = 0x80000002, q.index = 1, q.nameRoom = 0x20, a.text = L"Software";
     },
     "00000030 80000002 00000001 00000020 00000000 00000000",
     "00000000 00000000 00000008 #53006f00660074007700610072006500 00000000"},
    {"RegEnumValue",
     [](Request &q, Reply &a) {
         q.command = 0x34, q.handle = 0x101c, q.nameRoom = 0x20, q.count = 4;
         a.text = L"Books", a.value = 4, a.data = kThree, a.size = 4;
     },
     "00000034 0000101c 00000000 00000020 00000004",
     "00000000 00000000 00000005 #42006f006f006b007300 00000004 00000004 #03000000"},
    {"RegDeleteKey",
     [](Request &q, Reply &) { Path(q, 0x33, L"Software\\Tesh"), q.handle = 0x80000002; },
     R"(00000033 80000002 0000001c 'Software\Tesh')", "00000000 00000000"},
    {"RegDeleteValue of nothing",
     [](Request &q, Reply &a) { Path(q, 0x35, L"Books"), q.handle = 0x101c, a.result = 2; },
     "00000035 0000101c 0000000c 'Books'", "00000000 00000002"},
    {"GetVersionEx",
     [](Request &q, Reply &a) { q.command = 0x43, a.result = 1, a.data = kVersion, a.size = 276; }, "00000043",
     "00000000 00000001 00000114 00000114 00000005 00000001 000039ff 00000003 z256"},
    {"GetSystemInfo", [](Request &q, Reply &a) { q.command = 0x3d, a.data = kSystemInfo, a.size = 36; },
     "0000003d 00000001 00000024 00000000",
     "00000000 00000005 00001000 00010000 7fffffff 00000001 00000001 00000a11 00010000 00000000"},
    {"GetSpecialFolderPath",
     [](Request &q, Reply &a) {
         q.command = 0x4b, q.handle = 5, q.count = 520, a.result = 13, a.text = L"\\My Documents";
     },
     "0000004b 00000005 00000208", "00000000 0000000d #5c004d007900200044006f00630075006d0065006e0074007300"},
    {"CreateProcess",
     [](Request &q, Reply &a) {
         Path(q, 0x2a, L"\\Windows\\x.exe");
         a.result = 1, a.data = kProcess, a.size = 16;
     },
     R"(0000002a 0000001e '\Windows\x.exe' 00000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000)",
     "00000000 00000001 00001010 00001014 0e000100 0e000101"},
    {"RapiInvoke",
     [](Request &q, Reply &a) {
         Path(q, 0x4c, L"\\Windows\\none.dll");
         q.second = L"CloseApp", q.hasSecond = true, q.data = kInvokeInput, q.size = 4;
         a.data = kInvokeOutput, a.size = 2;
     },
     R"(0000004c 00000000 00000024 '\Windows\none.dll' 00000012 'CloseApp' 00000004 #01020304 00000000)",
     "00000000 00000000 00000002 #abcd"},
    {"RapiInvoke of a missing library",
     [](Request &q, Reply &a) {
         Path(q, 0x4c, L"\\Windows\\none.dll");
         q.second = L"CloseApp", q.hasSecond = true, a.lastError = 2, a.result = 0x80070002;
     },
     R"(0000004c 00000000 00000024 '\Windows\none.dll' 00000012 'CloseApp' 00000000 00000000)", "00000002 80070002"},
    {"GetStoreInformation",
     [](Request &q, Reply &a) { q.command = 0x39, a.result = 1, a.numbers[0] = 0x100000, a.numbers[1] = 0xfffe3; },
     "00000039", "00000000 00000001 00100000 000fffe3"},
    {"GetDiskFreeSpaceEx",
     [](Request &q, Reply &a) {
         Path(q, 0x5c, L"\\Storage Card");
         a.result = 1, a.numbers[0] = 0x200000, a.numbers[1] = 0x100400000ull, a.numbers[2] = 0x200000;
     },
     R"(0000005c 0000001c '\Storage Card')",
     "00000000 00000001 00200000 00000000 00400000 00000001 00200000 00000000"},
    {"GetSystemPowerStatusEx, no last error",
     [](Request &q, Reply &a) { q.command = 0x49, q.flags = 1, a.result = 1, a.data = kPower, a.size = 24; },
     "00000049 00000001", "00000001 00600901 ffffffff ffffffff 00640100 ffffffff ffffffff"},
};

std::vector<uint8_t> Bytes(const char *text) { return ParseGolden(text)[0].data; }

std::vector<uint8_t> Encoded(const Request &request) {
    rapi1::Writer out;
    rapi2::WriteRequest(&out, request);
    return out.Body();
}

std::vector<uint8_t> Encoded(const Request &request, const Reply &reply) {
    rapi1::Writer out;
    rapi2::WriteReply(&out, request, reply);
    return out.Body();
}

TEST(Rapi2Golden, EveryCallIsLaidOutAsTheNotesSay) {
    for (const Golden &golden : kCalls) {
        SCOPED_TRACE(golden.call);
        Request request;
        Reply reply;
        golden.fill(request, reply);
        const std::vector<uint8_t> requestBytes = Bytes(golden.request), replyBytes = Bytes(golden.reply);
        EXPECT_EQ(GoldenHex(Encoded(request)), GoldenHex(requestBytes));
        EXPECT_EQ(GoldenHex(Encoded(request, reply)), GoldenHex(replyBytes));

        rapi1::Reader requestIn(requestBytes.data(), requestBytes.size());
        Request readRequest;
        ASSERT_TRUE(rapi2::ReadRequest(&requestIn, &readRequest)) << requestIn.Problem();
        EXPECT_EQ(GoldenHex(Encoded(readRequest)), GoldenHex(requestBytes)) << "the request read back";

        rapi1::Reader replyIn(replyBytes.data(), replyBytes.size());
        Reply readReply;
        ASSERT_TRUE(rapi2::ReadReply(&replyIn, request, &readReply)) << replyIn.Problem();
        EXPECT_EQ(GoldenHex(Encoded(request, readReply)), GoldenHex(replyBytes)) << "the reply read back";
        EXPECT_EQ(readReply.lastError, reply.lastError);
    }
}

// Messages a peer sends that must be refused, each with the request it
// answers (for replies) or alone (requests, read by a device).
struct Refused {
    const char *what;
    const char *request;
    const char *reply;          // nullptr: the request itself is refused
    const char *why = nullptr;  // the reason given, when it matters which check refused it
};

const Refused kRefused[] = {
    {"a string without its terminator", "00000014 00000004 #5c007800", nullptr},
    {"a string of an odd byte count", "00000014 00000003 #5c0000", nullptr},
    {"a string size past the frame", R"(00000014 000000ff '\a')", nullptr},
    {"a string with a NUL inside", "00000014 00000008 #5c00000078000000", nullptr},
    {"bytes left over", "00000019 00001000 00000000", nullptr},
    {"a request cut short", "00000019 #0010", nullptr},
    {"no command at all", "", nullptr},
    {"0x15, SetFileAttributes by hearsay: unknown", R"(00000015 00000012 '\Windows' 00000001)", nullptr},
    {"0x3e, SHCreateShortcut by hearsay: unknown", R"(0000003e 0000000c '\a.lnk' 0000000a '"\a"')", nullptr},
    {"written bytes past the frame", "00000018 00001000 00000010 #0102", nullptr},
    {"a has-high flag of 2", "00000026 00001000 00000000 00000002 00000000 00000000", nullptr},
    {"room for a high part of 8 bytes", "0000002e 00001000 00000001 00000008 00000000", nullptr},
    {"a file time of 4 bytes", "00000042 00001000 00000004 00000000 00000000 00000000", nullptr},
    {"SYSTEM_INFO room of 40 bytes", "0000003d 00000001 00000028 00000000", nullptr},
    {"32 bytes read for 16 asked", "00000017 00001000 00000010", "00000000 00000001 00000020 z32"},
    {"16 bytes read, 8 in the frame", "00000017 00001000 00000010", "00000000 00000001 00000010 z8"},
    {"6 bytes written of 5 sent", "00000018 00001000 00000005 #68656c6c6f", "00000000 00000001 00000006"},
    {"a find record of 600 bytes", R"(00000011 00000006 '\*')", "00000000 0000100c 00000258 z600"},
    {"a find record size past the frame", R"(00000011 00000006 '\*')", "00000000 0000100c 00000230 z100"},
    {"65,536 entries in a short reply", R"(0000001a 00000006 '\*' 000000a1)",
     "00000000 00000001 00010000 0000000c 00000020 00000005 'b.txt'"},
    {"an entry's name past the frame", R"(0000001a 00000006 '\*' 000000a1)",
     "00000000 00000001 00000001 000000ff 00000020 00000005 'b.txt'"},
    {"an entry's name of an odd byte count", R"(0000001a 00000006 '\*' 00000080)",
     "00000000 00000001 00000001 0000000b 'b.txt'"},
    {"an entry's name longer than MAX_PATH", R"(0000001a 00000006 '\*' 00000080)",
     "00000000 00000001 00000001 0000020a z522"},
    {"100,000 entries of no fields", R"(0000001a 00000006 '\*' 00000000)", "00000000 00000001 000186a0"},
    {"4,097 entries of no fields", R"(0000001a 00000006 '\*' 00000000)", "00000000 00000001 00001001",
     "more entries than the reply holds"},
    {"70,000 entries, more than a folder holds", R"(0000001a 00000006 '\*' 00000080)",
     "00000000 00000001 00011170 z4096", "more entries than a folder holds"},
    {"4 entries announced, room for 2 in the reply: refused before any is read", R"(0000001a 00000006 '\*' 000000a1)",
     "00000000 00000001 00000004 0000000c 00000020 00000005 'b.txt'", "more entries than the reply holds"},
    {"a version record of 280 bytes", "00000043", "00000000 00000001 00000118 z280"},
    {"a folder path longer than the buffer", "0000004b 00000005 00000010", "00000000 00000011 z34"},
    {"a registry value larger than the buffer", R"(00000037 00001008 00000004 'a' 00000040)",
     "00000000 00000000 00000001 00000041 z65"},
    {"a value larger than the buffer of an enumeration", "00000034 0000101c 00000000 00000020 00000002",
     "00000000 00000000 00000005 #42006f006f006b007300 00000004 00000004 #03000000"},
    {"a registry name longer than its buffer", "00000034 0000101c 00000000 00000004 00000000",
     "00000000 00000000 00000005 #42006f006f006b007300 00000004 00000000"},
    {"a key's write time asked for: no layout known", "00000030 80000002 00000000 00000020 00000000 00000001",
     nullptr},
    {"SYSTEM_INFO cut short", "0000003d 00000001 00000024 00000000", "00000000 z32"},
    {"PROCESS_INFORMATION cut short", R"(0000002a 00000006 '\a' 00000000 z28)", "00000000 00000001 z12"},
    {"a high part not asked for", "0000002e 00001000 00000000",
     "00000000 00000005 00000001 00000004 00000001 00000000"},
    {"a high part missing", "0000002e 00001000 00000001 00000004 00000000", "00000000 00000005 00000000"},
    {"an invocation's output past the frame",
     R"(0000004c 00000000 00000004 'a' 00000004 'f' 00000000 00000000)", "00000000 00000000 00001000 #abcd"},
    {"a reply cut short after the last error", "00000019 00001000", "00000000"},
};

TEST(Rapi2Golden, WhatAPeerMustNotGetAwayWith) {
    for (const Refused &row : kRefused) {
        SCOPED_TRACE(row.what);
        std::vector<uint8_t> request = Bytes(row.request);
        rapi1::Reader requestIn(request.data(), request.size());
        Request read;
        bool requestRead = rapi2::ReadRequest(&requestIn, &read);
        if (!row.reply) {
            EXPECT_FALSE(requestRead);
            continue;
        }
        ASSERT_TRUE(requestRead) << requestIn.Problem();
        std::vector<uint8_t> reply = Bytes(row.reply);
        rapi1::Reader replyIn(reply.data(), reply.size());
        Reply answer;
        EXPECT_FALSE(rapi2::ReadReply(&replyIn, read, &answer));
        if (row.why) {
            EXPECT_STREQ(replyIn.Problem(), row.why);
        }
    }
}

// ---- The control connection

// An information block from its parts, each in the notation; nullptr
// takes the part of a good block.
std::string Block(const char *name = nullptr, const char *platform = nullptr, const char *model = nullptr,
                  const char *components = nullptr, const char *tail = nullptr) {
    auto part = [](const char *given, const char *good) { return std::string(given ? given : good); };
    return "#00112233445566778899aabbccddeeff 00000005 00000001 " + part(name, "00000003 'WM5'") +
           " 000039ff 00000a11 00000000 12345678 9abcdef0 " + part(platform, "0000000a #506f636b657450430000") + " " +
           part(model, "00000006 #54657368203100") + " " +
           part(components, "00000002 #0100000002000000 #0300000004000000") + " " + part(tail, "00000000");
}

TEST(Rapi2Golden, TheInformationBlockIsLaidOutAsTheNotesSay) {
    rapi2::DeviceInfo info;
    for (int i = 0; i < 16; ++i) info.guid[i] = static_cast<uint8_t>(0x11 * i);
    info.major = 5, info.minor = 1, info.name = L"WM5", info.version = 0x39ff, info.processor = 0xa11;
    info.partnerId = 0x12345678, info.deviceId = 0x9abcdef0, info.platform = "PocketPC", info.model = "Tesh 1";
    info.components = {1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0};
    const std::vector<uint8_t> block = Bytes(Block().c_str());
    EXPECT_EQ(GoldenHex(rapi2::EncodeInfoBlock(info)), GoldenHex(block));

    rapi2::DeviceInfo read;
    const char *problem = nullptr;
    ASSERT_TRUE(rapi2::ParseInfoBlock(block.data(), block.size(), &read, &problem)) << problem;
    EXPECT_EQ(GoldenHex(rapi2::EncodeInfoBlock(read)), GoldenHex(block)) << "the block read back";

    // The password key, and optional data after it.
    const std::vector<uint8_t> keyed = Bytes(Block(nullptr, nullptr, nullptr, "00000000", "ffffffff 00000002 #beef").c_str());
    ASSERT_TRUE(rapi2::ParseInfoBlock(keyed.data(), keyed.size(), &read, &problem)) << problem;
    EXPECT_EQ(read.key, rapi2::kKeyUnlockOnDevice);
    EXPECT_EQ(read.extra, (std::vector<uint8_t>{0xbe, 0xef}));
}

TEST(Rapi2Golden, AnInformationBlockThatDoesNotHoldTogetherIsRefused) {
    const struct {
        const char *what;
        std::string block;
        bool accepted;
    } rows[] = {
        {"the smallest whole block", Block("00000000 ''", "00000000", "00000000 #00", "00000000"), true},
        {"a name of 31 characters", Block("0000001f 'abcdefghijklmnopqrstuvwxyz01234'"), true},
        {"a name of 32 characters", Block("00000020 'abcdefghijklmnopqrstuvwxyz012345'"), false},
        {"a name without its terminator", Block("00000003 #57004d0035004100"), false},
        {"a name length past the block", Block("7fffffff 'WM5'"), false},
        {"a platform length past the block", Block("00000003 'WM5'", "7fffffff #50"), false},
        {"a platform of 257 bytes", Block("00000003 'WM5'", "00000101 z257"), false},
        {"a model length past the block", Block("00000003 'WM5'", "00000002 #0000", "7ffffff0 #54"), false},
        {"a model without the byte after it", Block("00000003 'WM5'", "00000002 #0000", "00000001 #54", "00000000",
                                                    ""),
         false},
        {"six components", Block("00000003 'WM5'", "00000002 #0000", "00000000 #00", "00000006 z48"), true},
        {"seven components", Block("00000003 'WM5'", "00000002 #0000", "00000000 #00", "00000007 z56"), false},
        {"components past the block", Block("00000003 'WM5'", "00000002 #0000", "00000000 #00", "00000002 z8"),
         false},
        {"no password key", Block("00000003 'WM5'", "00000002 #0000", "00000000 #00", "00000000", ""), false},
        {"extra data past the block", Block(nullptr, nullptr, nullptr, nullptr, "00000000 00000010 #beef"), false},
        {"a block of 2,049 bytes", Block("00000003 'WM5'", "00000002 #0000", "00000000 #00", "00000000",
                                         "00000000 000007b2 z1970"),
         false},
        {"the GUID alone", "#00112233445566778899aabbccddeeff", false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<uint8_t> block = Bytes(row.block.c_str());
        rapi2::DeviceInfo info;
        const char *problem = nullptr;
        EXPECT_EQ(rapi2::ParseInfoBlock(block.data(), block.size(), &info, &problem), row.accepted) << problem;
    }
}

// UTF-16LE with its terminator, every byte XOR the key's low byte, after
// a u16 byte count; the device's side reads it with or without the
// terminator.
TEST(Rapi2Golden, ThePasswordIsXoredWithTheKeysLowByte) {
    EXPECT_EQ(GoldenHex(rapi2::EncodePassword(L"ab", 0x1234565a)), GoldenHex(Bytes("#06003b5a385a5a5a")));
    EXPECT_EQ(GoldenHex(rapi2::EncodePassword(L"", 0x01)), GoldenHex(Bytes("#02000101")));
    const struct {
        const char *bytes;
        bool accepted;
        const wchar_t *password;
    } rows[] = {
        {"#3b5a385a5a5a", true, L"ab"},
        {"#3b5a385a", true, L"ab"},
        {"#3b5a385a5a", false, L""},
        {"#3b5a5a5a385a", false, L""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.bytes);
        std::vector<uint8_t> bytes = Bytes(row.bytes);
        std::wstring password;
        EXPECT_EQ(rapi2::DecodePassword(bytes.data(), bytes.size(), 0x5a, &password), row.accepted);
        EXPECT_EQ(password, row.password);
    }
}

}  // namespace
