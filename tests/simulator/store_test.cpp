// The object store through the remote API: files and their times and
// attributes, dispositions, sharing, folders, search, storage cards.
#include <string.h>

#include <string>
#include <vector>

#include "tests/simulator/docked.h"

using simtest::Attributes;
using simtest::Docked;

namespace {

HANDLE Open(const wchar_t *path, DWORD access, DWORD disposition, DWORD share = 0) {
    return CeCreateFile(path, access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool WriteAll(HANDLE file, const std::string &data) {
    DWORD written = 0;
    return CeWriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
           written == data.size();
}

std::string ReadAll(HANDLE file) {
    std::string data;
    char buffer[700];
    DWORD got = 0;
    while (CeReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) data.append(buffer, got);
    return data;
}

FILETIME Time(uint64_t value) {
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(value);
    time.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return time;
}

bool SameTime(const FILETIME &a, const FILETIME &b) {
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

std::vector<std::wstring> Search(const wchar_t *pattern, std::vector<DWORD> *attributes = nullptr) {
    std::vector<std::wstring> names;
    CE_FIND_DATA found;
    HANDLE search = CeFindFirstFile(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        names.push_back(found.cFileName);
        if (attributes) attributes->push_back(found.dwFileAttributes);
    } while (CeFindNextFile(search, &found));
    EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    CeFindClose(search);
    return names;
}

class Files : public Docked {};

TEST_F(Files, WrittenContentReadsBackAndLandsInTheImage) {
    HANDLE file = Open(L"\\My Documents\\notes.txt", GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(WriteAll(file, "first line\n"));
    EXPECT_TRUE(WriteAll(file, std::string(5000, 'x')));
    EXPECT_TRUE(CeCloseHandle(file));
    std::string expected = "first line\n" + std::string(5000, 'x');
    EXPECT_EQ(device.ReadFile(L"\\My Documents\\notes.txt"), expected);

    file = Open(L"\\my documents\\NOTES.TXT", GENERIC_READ, OPEN_EXISTING);  // names ignore case
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD high = 7;
    EXPECT_EQ(simtest::FileSize(file, &high), expected.size());
    EXPECT_EQ(high, 0u);
    EXPECT_EQ(ReadAll(file), expected);
    CeCloseHandle(file);
}

TEST_F(Files, PointerMovesAndWritesInPlace) {
    device.WriteFile(L"\\wsj.vbks", "ABCDEFGHIJKLMNOP");
    HANDLE file = Open(L"\\wsj.vbks", GENERIC_WRITE, OPEN_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CeSetFilePointer(file, 8, nullptr, FILE_BEGIN), 8u);
    EXPECT_TRUE(WriteAll(file, std::string(4, '\0')));
    EXPECT_EQ(CeSetFilePointer(file, -2, nullptr, FILE_END), 14u);
    EXPECT_EQ(CeSetFilePointer(file, -20, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_NEGATIVE_SEEK));
    CeCloseHandle(file);
    EXPECT_EQ(device.ReadFile(L"\\wsj.vbks"), std::string("ABCDEFGH\0\0\0\0MNOP", 16));
}

TEST_F(Files, AllThreeTimesRoundTripExactly) {
    const FILETIME creation = Time(0x01BF0123456789ABull);
    const FILETIME access = Time(0x01C0FEDCBA987654ull);
    const FILETIME write = Time(0x01C1000000000001ull);
    HANDLE file = Open(L"\\book.vbk", GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(WriteAll(file, "content"));
    EXPECT_TRUE(CeSetFileTime(file, &creation, &access, &write));
    CeCloseHandle(file);  // closing after setting must not move them

    FILETIME c, a, w;
    ASSERT_TRUE(device.Times(L"\\book.vbk", &c, &a, &w));
    EXPECT_TRUE(SameTime(c, creation));
    EXPECT_TRUE(SameTime(a, access));
    EXPECT_TRUE(SameTime(w, write));

    file = Open(L"\\book.vbk", GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(CeGetFileTime(file, &c, &a, &w));
    CeCloseHandle(file);
    EXPECT_TRUE(SameTime(c, creation));
    EXPECT_TRUE(SameTime(a, access));
    EXPECT_TRUE(SameTime(w, write));

    CE_FIND_DATA found;
    HANDLE search = CeFindFirstFile(L"\\book.vbk", &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    CeFindClose(search);
    EXPECT_TRUE(SameTime(found.ftCreationTime, creation));
    EXPECT_TRUE(SameTime(found.ftLastWriteTime, write));
    EXPECT_EQ(found.nFileSizeLow, 7u);
}

TEST_F(Files, WritingMovesTheWriteTimeButNotTheCreationTime) {
    const FILETIME old = Time(0x01B0000000000000ull);
    device.WriteFile(L"\\log.txt", "x");
    device.SetTimes(L"\\log.txt", old, old, old);
    HANDLE file = Open(L"\\log.txt", GENERIC_WRITE, OPEN_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(WriteAll(file, "y"));
    CeCloseHandle(file);
    FILETIME c, a, w;
    ASSERT_TRUE(device.Times(L"\\log.txt", &c, &a, &w));
    EXPECT_TRUE(SameTime(c, old));
    EXPECT_GT(CompareFileTime(&w, &old), 0);
}

TEST_F(Files, Dispositions) {
    device.WriteFile(L"\\there.txt", "old content");
    struct Case {
        const wchar_t *path;
        DWORD disposition;
        bool opens;
        DWORD error;           // the last error afterwards
        const char *content;   // of the file afterwards, or nullptr: missing
    };
    const Case kCases[] = {
        {L"\\there.txt", OPEN_EXISTING, true, 0, "old content"},
        {L"\\missing.txt", OPEN_EXISTING, false, ERROR_FILE_NOT_FOUND, nullptr},
        {L"\\No Folder\\x.txt", OPEN_EXISTING, false, ERROR_PATH_NOT_FOUND, nullptr},
        {L"\\No Folder\\x.txt", CREATE_ALWAYS, false, ERROR_PATH_NOT_FOUND, nullptr},
        {L"\\there.txt", CREATE_NEW, false, ERROR_FILE_EXISTS, "old content"},
        {L"\\new.txt", CREATE_NEW, true, 0, ""},
        {L"\\there.txt", OPEN_ALWAYS, true, ERROR_ALREADY_EXISTS, "old content"},
        {L"\\there.txt", CREATE_ALWAYS, true, ERROR_ALREADY_EXISTS, ""},
        {L"\\fresh.txt", CREATE_ALWAYS, true, 0, ""},
        {L"\\Windows", OPEN_EXISTING, false, ERROR_ACCESS_DENIED, nullptr},
        {L"\\bad|name.txt", CREATE_ALWAYS, false, ERROR_INVALID_NAME, nullptr},
        {L"\\..\\escape.txt", CREATE_ALWAYS, false, ERROR_BAD_PATHNAME, nullptr},
        {L"\\x.txt", 9, false, ERROR_INVALID_PARAMETER, nullptr},
    };
    for (const Case &c : kCases) {
        std::string label = simtest::Narrow(c.path) + " disposition " + std::to_string(c.disposition);
        HANDLE file = Open(c.path, GENERIC_READ | GENERIC_WRITE, c.disposition);
        DWORD error = CeGetLastError();
        EXPECT_EQ(file != INVALID_HANDLE_VALUE, c.opens) << label;
        EXPECT_EQ(error, c.error) << label;
        if (file != INVALID_HANDLE_VALUE) CeCloseHandle(file);
        if (c.content) {
            EXPECT_EQ(device.ReadFile(c.path), c.content) << label;
        } else if (c.error != ERROR_ACCESS_DENIED) {
            EXPECT_FALSE(device.Exists(c.path)) << label;
        }
    }
}

TEST_F(Files, NewFilesCarryTheArchiveAttribute) {
    HANDLE file = Open(L"\\plain.txt", GENERIC_WRITE, CREATE_ALWAYS);
    CeCloseHandle(file);
    EXPECT_EQ(Attributes(L"\\plain.txt"), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
    file = CeCreateFile(L"\\hidden.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                        FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY, nullptr);
    CeCloseHandle(file);
    EXPECT_EQ(Attributes(L"\\hidden.txt"),
              static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
    // A read-only file can be read, not replaced or deleted.
    EXPECT_EQ(Open(L"\\hidden.txt", GENERIC_WRITE, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(CeDeleteFile(L"\\hidden.txt"));
    EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    file = Open(L"\\hidden.txt", GENERIC_READ, OPEN_EXISTING);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    CeCloseHandle(file);
    EXPECT_EQ(Attributes(L"\\missing.txt"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Attributes(L"\\No Folder\\x"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(Files, AccessIsEnforcedPerHandle) {
    device.WriteFile(L"\\data.bin", "12345");
    HANDLE reading = Open(L"\\data.bin", GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(reading, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(WriteAll(reading, "zz"));
    EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CeCloseHandle(reading);
    HANDLE writing = Open(L"\\data.bin", GENERIC_WRITE, OPEN_EXISTING);
    char buffer[4];
    DWORD got = 99;
    EXPECT_FALSE(CeReadFile(writing, buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(got, 0u);
    CeCloseHandle(writing);
    EXPECT_FALSE(CeCloseHandle(writing)) << "closed twice";
    EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CeWriteFile(reinterpret_cast<HANDLE>(0x1234), "a", 1, &got, nullptr));
    EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(Files, ShareModeZeroKeepsOthersOut) {
    device.WriteFile(L"\\busy.txt", "x");
    HANDLE first = Open(L"\\busy.txt", GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    struct Case {
        DWORD access;
        DWORD disposition;
    };
    const Case kCases[] = {{GENERIC_READ, OPEN_EXISTING}, {GENERIC_WRITE, OPEN_EXISTING},
                           {GENERIC_WRITE, CREATE_ALWAYS}};
    for (const Case &c : kCases) {
        EXPECT_EQ(Open(L"\\busy.txt", c.access, c.disposition), INVALID_HANDLE_VALUE) << c.access;
        EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    }
    EXPECT_FALSE(CeDeleteFile(L"\\busy.txt"));
    EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    CeCloseHandle(first);
    // Free again once closed; opens that share reading may overlap.
    HANDLE a = Open(L"\\busy.txt", GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
    HANDLE b = Open(L"\\busy.txt", GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
    EXPECT_NE(a, INVALID_HANDLE_VALUE);
    EXPECT_NE(b, INVALID_HANDLE_VALUE);
    CeCloseHandle(a);
    CeCloseHandle(b);
    EXPECT_TRUE(CeDeleteFile(L"\\busy.txt"));
    EXPECT_FALSE(device.Exists(L"\\busy.txt"));
}

TEST_F(Files, LastErrorIsLeftByFailuresOnly) {
    EXPECT_EQ(Open(L"\\missing.txt", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_NE(Attributes(L"\\Windows"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// CeMoveFile renames like MoveFile: content, attributes and all three times
// go along, an existing target is never replaced, and a file in use on
// either side stays where it is.
TEST_F(Files, MoveFileRenamesWithWindowsResults) {
    device.WriteFile(L"\\My Documents\\a.txt", "content of a");
    device.WriteFile(L"\\My Documents\\b.txt", "content of b");
    device.WriteFile(L"\\My Documents\\open.txt", "held open");
    device.SetTimes(L"\\My Documents\\a.txt", Time(111), Time(222), Time(333));
    HANDLE held = Open(L"\\My Documents\\open.txt", GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    struct Case {
        const wchar_t *from, *to;
        DWORD error;  // 0: moved
    } const kCases[] = {
        {L"\\My Documents\\a.txt", L"\\My Documents\\b.txt", ERROR_ALREADY_EXISTS},
        {L"\\My Documents\\none.txt", L"\\My Documents\\c.txt", ERROR_FILE_NOT_FOUND},
        {L"\\No Folder\\a.txt", L"\\My Documents\\c.txt", ERROR_PATH_NOT_FOUND},
        {L"\\My Documents\\open.txt", L"\\My Documents\\c.txt", ERROR_SHARING_VIOLATION},
        {L"\\My Documents\\a.txt", L"\\My Documents\\open.txt", ERROR_SHARING_VIOLATION},
        {L"\\My Documents\\a.txt", L"\\No Folder\\c.txt", ERROR_PATH_NOT_FOUND},
        {L"\\My Documents\\a.txt", L"\\My Documents\\bad|name", ERROR_INVALID_NAME},
        {L"\\My Documents", L"\\Other Documents", ERROR_SHARING_VIOLATION},  // open.txt is open in it
        {L"\\My Documents\\a.txt", L"\\Windows\\c.txt", 0},
    };
    for (const Case &c : kCases) {
        BOOL moved = CeMoveFile(c.from, c.to);
        EXPECT_EQ(moved != FALSE, c.error == 0) << simtest::Narrow(c.from) << " -> " << simtest::Narrow(c.to);
        if (c.error) {
            EXPECT_EQ(CeGetLastError(), c.error) << simtest::Narrow(c.from) << " -> " << simtest::Narrow(c.to);
        }
    }
    CeCloseHandle(held);
    EXPECT_FALSE(device.Exists(L"\\My Documents\\a.txt"));
    EXPECT_EQ(device.ReadFile(L"\\Windows\\c.txt"), "content of a");
    EXPECT_EQ(device.ReadFile(L"\\My Documents\\b.txt"), "content of b");
    EXPECT_EQ(device.ReadFile(L"\\My Documents\\open.txt"), "held open");
    FILETIME creation, access, write;
    ASSERT_TRUE(device.Times(L"\\Windows\\c.txt", &creation, &access, &write));
    EXPECT_TRUE(SameTime(creation, Time(111)) && SameTime(access, Time(222)) && SameTime(write, Time(333)));
    EXPECT_EQ(device.Attributes(L"\\Windows\\c.txt"), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
    // A running program's file cannot be moved away either.
    device.WriteFile(L"\\Windows\\app.exe", "CEAPP\tWINDOW\tAPP\tApp\n");
    ASSERT_TRUE(device.StartProgram(L"\\Windows\\app.exe"));
    EXPECT_FALSE(CeMoveFile(L"\\Windows\\app.exe", L"\\Windows\\moved.exe"));
    EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
}

class Folders : public Docked {};

TEST_F(Folders, CreateAndRemoveWithWindowsErrorCodes) {
    struct Step {
        bool create;  // else remove
        const wchar_t *path;
        bool ok;
        DWORD error;
    };
    const Step kSteps[] = {
        {true, L"\\Program Files", true, 0},
        {true, L"\\Program Files\\Corvex Press", true, 0},
        {true, L"\\Program Files", false, ERROR_ALREADY_EXISTS},
        {true, L"\\Nowhere\\Deeper", false, ERROR_PATH_NOT_FOUND},
        {true, L"\\", false, ERROR_ALREADY_EXISTS},
        {false, L"\\Program Files", false, ERROR_DIR_NOT_EMPTY},
        {false, L"\\Nowhere", false, ERROR_FILE_NOT_FOUND},
        {false, L"\\Nowhere\\Deeper", false, ERROR_PATH_NOT_FOUND},
        {false, L"\\", false, ERROR_ACCESS_DENIED},
        {false, L"\\Storage Card", false, ERROR_ACCESS_DENIED},
        {false, L"\\Program Files\\Corvex Press\\", true, 0},
        {false, L"\\Program Files", true, 0},
    };
    for (const Step &step : kSteps) {
        std::string label = (step.create ? "create " : "remove ") + simtest::Narrow(step.path);
        BOOL ok = step.create ? CeCreateDirectory(step.path, nullptr) : CeRemoveDirectory(step.path);
        EXPECT_EQ(ok != FALSE, step.ok) << label;
        if (!step.ok) {
            EXPECT_EQ(CeGetLastError(), step.error) << label;
        }
    }
    EXPECT_FALSE(device.Exists(L"\\Program Files"));
    EXPECT_EQ(Attributes(L"\\Storage Card"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_TEMPORARY));
}

TEST_F(Folders, FilesAndFoldersAreNotMistakenForEachOther) {
    device.WriteFile(L"\\file.txt", "x");
    EXPECT_FALSE(CeRemoveDirectory(L"\\file.txt"));
    EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_DIRECTORY));
    EXPECT_FALSE(CeDeleteFile(L"\\Windows"));
    EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(CeCreateDirectory(L"\\file.txt\\sub", nullptr));
    EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(CeDeleteFile(L"\\missing.txt"));
    EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(Folders, NonAsciiNames) {
    const wchar_t kName[] = L"\\Windows\\Start Menu\\Programs\\Tesh\u2122 Reader.lnk";
    HANDLE file = Open(kName, GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(WriteAll(file, "x"));
    CeCloseHandle(file);
    EXPECT_TRUE(device.Exists(kName));
    std::vector<std::wstring> names = Search(L"\\Windows\\Start Menu\\Programs\\*");
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0], L"Tesh\u2122 Reader.lnk");
}

class Searching : public Docked {};

TEST_F(Searching, PatternsInAStableOrder) {
    device.MakeFolder(L"\\Books");
    for (const wchar_t *name : {L"wsj.vbk", L"b.vbk", L"A.vbk", L"wsj.vbk.ppd", L"wsj.vbks", L"notes.txt", L"c"}) {
        device.WriteFile(std::wstring(L"\\Books\\") + name, "x");
    }
    device.MakeFolder(L"\\Books\\Sub");
    struct Case {
        const wchar_t *pattern;
        std::vector<std::wstring> names;
    };
    const Case kCases[] = {
        {L"\\Books\\*", {L"A.vbk", L"b.vbk", L"c", L"notes.txt", L"Sub", L"wsj.vbk", L"wsj.vbk.ppd", L"wsj.vbks"}},
        {L"\\Books\\*.*", {L"A.vbk", L"b.vbk", L"c", L"notes.txt", L"Sub", L"wsj.vbk", L"wsj.vbk.ppd", L"wsj.vbks"}},
        {L"\\Books\\*.vbk", {L"A.vbk", L"b.vbk", L"wsj.vbk"}},
        {L"\\Books\\*.VBK*", {L"A.vbk", L"b.vbk", L"wsj.vbk", L"wsj.vbk.ppd", L"wsj.vbks"}},
        {L"\\Books\\?.vbk", {L"A.vbk", L"b.vbk"}},
        {L"\\Books\\wsj.vbk?", {L"wsj.vbks"}},
        {L"\\Books\\WSJ.VBK", {L"wsj.vbk"}},
        {L"\\Books\\*.none", {}},
        {L"\\Nowhere\\*", {}},
    };
    for (const Case &c : kCases) {
        EXPECT_EQ(Search(c.pattern), c.names) << simtest::Narrow(c.pattern);
    }
}

TEST_F(Searching, EmptyResultsAndTheirErrors) {
    CE_FIND_DATA found;
    EXPECT_EQ(CeFindFirstFile(L"\\Windows\\*.none", &found), INVALID_HANDLE_VALUE);
    EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(CeFindFirstFile(L"\\Nowhere\\*", &found), INVALID_HANDLE_VALUE);
    EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(CeFindNextFile(reinterpret_cast<HANDLE>(0x4321), &found));
    EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(Searching, EntriesCarryAttributesSizeAndName) {
    device.WriteFile(L"\\sized.bin", std::string(1234, 'z'));
    std::vector<DWORD> attributes;
    std::vector<std::wstring> names = Search(L"\\*", &attributes);
    const std::vector<std::wstring> expected = {L"My Documents", L"sized.bin", L"Storage Card", L"Windows"};
    ASSERT_EQ(names, expected);
    EXPECT_EQ(attributes[0], static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(attributes[1], static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ(attributes[2], static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_TEMPORARY));
    CE_FIND_DATA found;
    HANDLE search = CeFindFirstFile(L"\\sized.bin", &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_EQ(found.nFileSizeLow, 1234u);
    EXPECT_NE(found.dwOID, 0u);
    CeFindClose(search);
}

class Cards : public Docked {};

TEST_F(Cards, InsertAndRemoveWhileDocked) {
    const std::wstring kCard = L"\\Storage Card";
    ASSERT_TRUE(CeCreateDirectory(L"\\Storage Card\\My Documents", nullptr));
    device.WriteFile(L"\\Storage Card\\My Documents\\book.vbk", "on the card");

    device.RemoveCard(L"Storage Card");
    EXPECT_EQ(Attributes(kCard.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(Search(L"\\*"), (std::vector<std::wstring>{L"My Documents", L"Windows"}));

    device.InsertCard(L"CF Card");
    EXPECT_EQ(Attributes(L"\\CF Card"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_TEMPORARY));
    EXPECT_EQ(Search(L"\\CF Card\\*"), std::vector<std::wstring>{});

    // The first card comes back with what it held.
    device.InsertCard(L"Storage Card");
    EXPECT_EQ(device.ReadFile(L"\\Storage Card\\My Documents\\book.vbk"), "on the card");
    EXPECT_EQ(Attributes(kCard.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_TEMPORARY));
}

TEST_F(Cards, PullingACardOutBreaksItsOpenFiles) {
    HANDLE file = Open(L"\\Storage Card\\copy.bin", GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(WriteAll(file, "part"));
    device.RemoveCard(L"Storage Card");
    EXPECT_FALSE(WriteAll(file, "more"));
    EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_DEV_NOT_EXIST));
    EXPECT_TRUE(CeCloseHandle(file));
    device.InsertCard(L"Storage Card");
    EXPECT_EQ(device.ReadFile(L"\\Storage Card\\copy.bin"), "part");
}

}  // namespace
