// Copying host files to the simulated device: the age test, the chunks and
// the bar, the file times, and every way a copy can fail.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device_fixture.h"
#include "devicefiles/file_copy.h"
#include "resources/texts.h"
#include "tests/support/robot.h"

namespace {

class CopyTest : public DeviceTest {};

TEST_F(CopyTest, AbsentDeviceFileIsCopiedWithTheHostTimes) {
    std::string host = MakeHostFile("book.vbk", 1000);
    MarkLines();
    EXPECT_EQ(CopyFileToDevice(host.c_str(), "\\book.vbk"), 0u);
    EXPECT_EQ(device().ReadFile(L"\\book.vbk"), HostContent(host));
    ExpectDeviceTimesEqualHost(L"\\book.vbk", host);
    FILETIME creation, access, write;
    ASSERT_TRUE(device().Times(L"\\book.vbk", &creation, &access, &write));
    EXPECT_EQ(Ticks(write), kYear2001);
    ExpectLinesBlank();
}

TEST_F(CopyTest, RelativeHostNameAndTradeMarkInDevicePath) {
    MakeHostFile("notes.vbk", 10);
    char previous[MAX_PATH];
    GetCurrentDirectoryA(sizeof previous, previous);
    SetCurrentDirectoryA(hostFolder_.c_str());
    DWORD result = CopyFileToDevice("notes.vbk", "\\Tesh\x99 notes.vbk");
    SetCurrentDirectoryA(previous);
    EXPECT_EQ(result, 0u);
    EXPECT_TRUE(device().Exists(L"\\Tesh\u2122 notes.vbk"));
}

struct AgeCase {
    const char *what;
    LONGLONG deviceWriteOffset;  // device last write minus host last write
    LONGLONG otherTimesOffset;   // device creation and last access, likewise
    bool copied;
};

// Only the last-write times decide; creation and last access never do.
const AgeCase kAgeCases[] = {
    {"device a tick older", -1, static_cast<LONGLONG>(10 * kOneDay), true},
    {"device a day older", -static_cast<LONGLONG>(kOneDay), 0, true},
    {"same last write", 0, -static_cast<LONGLONG>(10 * kOneDay), false},
    {"device a tick newer", 1, -static_cast<LONGLONG>(10 * kOneDay), false},
    {"device a year newer", static_cast<LONGLONG>(365 * kOneDay), 0, false},
};

// The device's own copy is longer than the host file: a copy replaces it
// whole, with none of its old tail left behind.
TEST_F(CopyTest, AgeTestComparesLastWriteTimesOnly) {
    const std::string ownCopy = "device's own copy" + std::string(5000, '#');
    for (const AgeCase &c : kAgeCases) {
        std::string host = MakeHostFile("aged.vbk", 3000);
        device().WriteFile(L"\\aged.vbk", ownCopy);
        device().SetTimes(L"\\aged.vbk", MakeFileTime(kYear2001 + c.otherTimesOffset),
                          MakeFileTime(kYear2001 + c.otherTimesOffset), MakeFileTime(kYear2001 + c.deviceWriteOffset));
        MarkLines();
        EXPECT_EQ(CopyFileToDevice(host.c_str(), "\\aged.vbk"), 0u) << c.what;
        EXPECT_EQ(device().ReadFile(L"\\aged.vbk"), c.copied ? HostContent(host) : ownCopy) << c.what;
        if (c.copied) ExpectDeviceTimesEqualHost(L"\\aged.vbk", host);
        ExpectLinesBlank();
    }
}

TEST_F(CopyTest, UnchangedHostFileIsNotCopiedTwice) {
    std::string host = MakeHostFile("twice.vbk", 20000);
    ASSERT_EQ(CopyFileToDevice(host.c_str(), "\\twice.vbk"), 0u);
    size_t logBefore = device().Log().size();
    // Content the second call would overwrite if it copied again.
    FILETIME creation, access, write;
    ASSERT_TRUE(device().Times(L"\\twice.vbk", &creation, &access, &write));
    device().WriteFile(L"\\twice.vbk", "left alone");
    device().SetTimes(L"\\twice.vbk", creation, access, write);
    MarkLines();
    BarRecorder bar;
    EXPECT_EQ(CopyFileToDevice(host.c_str(), "\\twice.vbk"), 0u);
    EXPECT_EQ(device().ReadFile(L"\\twice.vbk"), "left alone");
    EXPECT_TRUE(bar.positions.empty());
    EXPECT_EQ(CountLines(device().Log(), "CeWriteFile", logBefore), 0u);
    ExpectLinesBlank();
}

struct ChunkCase {
    DWORD size;
    std::vector<DWORD> writes;
    std::vector<int> bar;  // every position sent, the reset to 0 first
};

const ChunkCase kChunkCases[] = {
    {0, {}, {0}},
    {1, {1}, {0, 100}},
    {16383, {16383}, {0, 100}},
    {16384, {16384}, {0, 100}},
    {16385, {16384, 1}, {0, 99, 100}},
    {40000, {16384, 16384, 7232}, {0, 40, 81, 100}},
};

TEST_F(CopyTest, OneDeviceWriteAndOneBarUpdatePerChunk) {
    for (const ChunkCase &c : kChunkCases) {
        std::string name = "size" + std::to_string(c.size) + ".vbk";
        std::wstring devicePath = L"\\" + std::wstring(name.begin(), name.end());
        std::string host = MakeHostFile(name, c.size);
        size_t logBefore = device().Log().size();
        BarRecorder bar;
        EXPECT_EQ(CopyFileToDevice(host.c_str(), ("\\" + name).c_str()), 0u) << c.size;
        bar.Detach();
        EXPECT_EQ(DeviceWriteSizes(device().Log(), logBefore), c.writes) << c.size;
        EXPECT_EQ(bar.positions, c.bar) << c.size;
        EXPECT_EQ(bar.ranges, std::vector<LPARAM>{MAKELPARAM(0, 100)}) << c.size;
        EXPECT_EQ(BarPosition(), c.bar.back()) << c.size;
        EXPECT_EQ(device().ReadFile(devicePath), HostContent(host)) << c.size;
        ExpectDeviceTimesEqualHost(devicePath, host);
        ExpectLinesBlank();
    }
}

TEST_F(CopyTest, LinesNameBothFilesWhileCopying) {
    std::string host = MakeHostFile("lines.vbk", 40000);
    SetProgressLine(1, "Installing Latest Version of the Tesh Reader...");
    BarRecorder bar;
    EXPECT_EQ(CopyFileToDevice(host.c_str(), "\\lines.vbk"), 0u);
    std::string copying = "Copying from host file|" + host + "|to device file|\\lines.vbk";
    EXPECT_EQ(bar.linesAtPosition, std::vector<std::string>(4, copying));
    ExpectLinesBlank();
}

TEST_F(CopyTest, DeviceFileInUseGivesThreeAndTouchesNothing) {
    std::string host = MakeHostFile("busy.vbk", 5000, kYear2001 + kOneDay);
    device().WriteFile(L"\\busy.vbk", "open on the device");
    device().SetTimes(L"\\busy.vbk", MakeFileTime(kYear2001), MakeFileTime(kYear2001), MakeFileTime(kYear2001));
    HANDLE held =
        CeCreateFile(L"\\busy.vbk", GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    MarkLines();
    BarRecorder bar;
    DWORD result = CopyFileToDevice(host.c_str(), "\\busy.vbk");
    CeCloseHandle(held);
    EXPECT_EQ(result, 3u);
    EXPECT_EQ(device().ReadFile(L"\\busy.vbk"), "open on the device");
    ExpectLinesMarked();
    EXPECT_TRUE(bar.positions.empty());
}

TEST_F(CopyTest, OtherCreateFailureGivesTheDeviceCode) {
    std::string host = MakeHostFile("nowhere.vbk", 10);
    MarkLines();
    DWORD result = CopyFileToDevice(host.c_str(), "\\No Such Folder\\nowhere.vbk");
    // The device says "path not found" (3), which must not read as "in use".
    EXPECT_EQ(result, static_cast<DWORD>(ERROR_BAD_PATHNAME));
    EXPECT_FALSE(device().Exists(L"\\No Such Folder\\nowhere.vbk"));
    ExpectLinesMarked();
}

TEST_F(CopyTest, UnopenableHostFileShowsTheSystemTextAndSendsNothing) {
    struct Case {
        const char *what;
        bool lock;
        DWORD error;
    } const kCases[] = {{"missing", false, ERROR_FILE_NOT_FOUND}, {"locked", true, ERROR_SHARING_VIOLATION}};
    for (const Case &c : kCases) {
        std::string host = hostFolder_ + "unopenable.vbk";
        HANDLE lock = INVALID_HANDLE_VALUE;
        if (c.lock) {
            host = MakeHostFile("locked.vbk", 100);
            lock = CreateFileA(host.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            ASSERT_NE(lock, INVALID_HANDLE_VALUE);
        }
        MarkLines();
        size_t logBefore = device().Log().size();
        std::string shown;
        DWORD result = 99;
        robot::RunWithRobot([&] { return static_cast<int>(result = CopyFileToDevice(host.c_str(), "\\target.vbk")); },
                            [&] { shown = robot::AnswerMessageBox("Error", IDOK); });
        if (lock != INVALID_HANDLE_VALUE) CloseHandle(lock);
        EXPECT_EQ(result, 0u) << c.what;
        EXPECT_EQ(shown, SystemText(c.error)) << c.what;
        EXPECT_EQ(device().Log().size(), logBefore) << c.what << ": nothing sent to the device";
        EXPECT_FALSE(device().Exists(L"\\target.vbk"));
        ExpectLinesMarked();
    }
}

TEST_F(CopyTest, OverlongDevicePathWritesNothing) {
    std::string host = MakeHostFile("long.vbk", 10);
    std::string longPath = "\\" + std::string(255, 'x');  // 256 characters
    MarkLines();
    size_t logBefore = device().Log().size();
    EXPECT_EQ(CopyFileToDevice(host.c_str(), longPath.c_str()), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_EQ(device().Log().size(), logBefore);
    EXPECT_FALSE(device().Exists(std::wstring(L"\\") + std::wstring(254, L'x')));
    ExpectLinesMarked();
}

// A copy that breaks off must not leave a partial file that a later age
// test takes for the current copy.
void ExpectNoPartialFileStampedCurrent(TestDevice &device, const std::wstring &path) {
    FILETIME creation, access, write;
    if (device.Exists(path) && device.Times(path, &creation, &access, &write)) {
        EXPECT_NE(Ticks(write), kYear2001) << "partial file carries the host file's last-write time";
    }
}

// While it lives, GetFileTime fails for this program (access denied), as it
// does for a host file whose times cannot be read: the program's import of
// it is pointed elsewhere.
class HostTimesFailure {
public:
    explicit HostTimesFailure(bool active) {
        if (active) slot_ = ImportSlot();
        if (slot_) Point(reinterpret_cast<void *>(&Failing));
    }
    ~HostTimesFailure() {
        if (slot_) Point(original_);
    }

private:
    static BOOL WINAPI Failing(HANDLE, FILETIME *, FILETIME *, FILETIME *) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    // The import address table entry that holds GetFileTime.
    void **ImportSlot() {
        original_ = reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetFileTime"));
        BYTE *base = reinterpret_cast<BYTE *>(GetModuleHandleA(nullptr));
        auto *nt = reinterpret_cast<IMAGE_NT_HEADERS *>(base + reinterpret_cast<IMAGE_DOS_HEADER *>(base)->e_lfanew);
        const IMAGE_DATA_DIRECTORY &imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        for (auto *entry = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + imports.VirtualAddress); entry->Name;
             ++entry) {
            for (auto *thunk = reinterpret_cast<void **>(base + entry->FirstThunk); *thunk; ++thunk) {
                if (*thunk == original_) return thunk;
            }
        }
        ADD_FAILURE() << "GetFileTime is not imported";
        return nullptr;
    }
    void Point(void *function) {
        DWORD protection = 0;
        VirtualProtect(slot_, sizeof *slot_, PAGE_READWRITE, &protection);
        *slot_ = function;
        VirtualProtect(slot_, sizeof *slot_, protection, &protection);
    }
    void **slot_ = nullptr;
    void *original_ = nullptr;
};

// A copy that fails on the device shows no box of its own: the caller names
// the file with the reason. The one box of the copy is for host file times
// that cannot be read after it ("Error 151").
TEST_F(CopyTest, AFailedCopyShowsNoBoxButUnreadableHostTimesDo) {
    const struct {
        const char *what;
        const char *fault;
        const char *value;
        DWORD result;  // 0: any failure
        bool hostTimesFail;
    } kCases[] = {
        {"full store", "capacity", "100000", ERROR_DISK_FULL, false},
        {"link dropped", "drop_after_bytes", "20000", 0, false},
        {"host times unreadable", "capacity", "", ERROR_ACCESS_DENIED, true},
    };
    for (const auto &c : kCases) {
        SCOPED_TRACE(c.what);
        std::string host = MakeHostFile("big.vbk", 200000);
        device().SetFault(c.fault, c.value);
        std::string shown;
        DWORD result = 0;
        robot::RunWithRobot(
            [&] {
                HostTimesFailure failure(c.hostTimesFail);
                return static_cast<int>(result = CopyFileToDevice(host.c_str(), "\\big.vbk"));
            },
            [&] {
                if (c.hostTimesFail) shown = robot::AnswerMessageBox("Error 151", IDOK);
                EXPECT_TRUE(robot::StaysAbsent("Error 151", 300));
            });
        device().SetFault(c.fault, "");
        EXPECT_EQ(shown, c.hostTimesFail ? kTextCopyError : "");
        if (c.result) {
            EXPECT_EQ(result, c.result);
        }
        EXPECT_NE(result, 0u);
        EXPECT_NE(result, 3u);
        // No partial file stays while the device answers, nor one a later
        // age test takes for current.
        if (strcmp(c.fault, "drop_after_bytes") != 0) {
            EXPECT_FALSE(device().Exists(L"\\~tesh.tmp"));
        }
        EXPECT_FALSE(device().Exists(L"\\big.vbk"));
        ExpectNoPartialFileStampedCurrent(device(), L"\\big.vbk");
        ExpectLinesBlank();
        CeRapiUninit();
        RAPIINIT init{sizeof init, nullptr, 0};
        ASSERT_TRUE(SUCCEEDED(CeRapiInitEx(&init)));
        ASSERT_EQ(WaitForSingleObject(init.heRapiInit, 10000), WAIT_OBJECT_0);
    }
}

}  // namespace

namespace {

class ReplaceTest : public DeviceTest {
protected:
    // A device file that is newer than any host file made here.
    void PutNewerDeviceFile(const std::wstring &path, const std::string &content) {
        device().WriteFile(path, content);
        device().SetTimes(path, MakeFileTime(kYear2001), MakeFileTime(kYear2001),
                          MakeFileTime(kYear2001 + 365 * kOneDay));
    }
};

TEST_F(ReplaceTest, ReplacesWhateverTheTimesWithTheCopysLinesAndChunks) {
    std::string host = MakeHostFile("wsj0102.vbk", 40000);
    PutNewerDeviceFile(L"\\wsj.vbk", "the previous issue");
    size_t logBefore = device().Log().size();
    BarRecorder bar;
    EXPECT_EQ(ReplaceFileOnDevice(host.c_str(), "\\wsj.vbk"), 0u);
    bar.Detach();
    EXPECT_EQ(device().ReadFile(L"\\wsj.vbk"), HostContent(host));
    ExpectDeviceTimesEqualHost(L"\\wsj.vbk", host);
    EXPECT_EQ(DeviceWriteSizes(device().Log(), logBefore), (std::vector<DWORD>{16384, 16384, 7232}));
    EXPECT_EQ(bar.positions, (std::vector<int>{0, 40, 81, 100}));
    std::string copying = "Copying from host file|" + host + "|to device file|\\wsj.vbk";
    EXPECT_EQ(bar.linesAtPosition, std::vector<std::string>(4, copying));
    ExpectLinesBlank();
    EXPECT_FALSE(device().Exists(L"\\~tesh.tmp"));
    // No age test: the target is not even opened for reading first.
    EXPECT_EQ(CountLines(device().Log(), "\"\\wsj.vbk\" read open-existing", logBefore), 0u);
}

TEST_F(ReplaceTest, TargetInUseGivesThreeBeforeAnythingIsWritten) {
    std::string host = MakeHostFile("wsj0103.vbk", 5000);
    PutNewerDeviceFile(L"\\wsj.vbk", "being read");
    HANDLE held = CeCreateFile(L"\\wsj.vbk", GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    MarkLines();
    size_t logBefore = device().Log().size();
    DWORD result = ReplaceFileOnDevice(host.c_str(), "\\wsj.vbk");
    CeCloseHandle(held);
    EXPECT_EQ(result, 3u);
    EXPECT_EQ(device().ReadFile(L"\\wsj.vbk"), "being read");
    EXPECT_EQ(CountLines(device().Log(), "CeWriteFile", logBefore), 0u);
    EXPECT_FALSE(device().Exists(L"\\~tesh.tmp"));
    ExpectLinesMarked();
}

// A temporary file left by a copy that broke off, even one that carries the
// host file's times, is overwritten and never put in the target's place.
TEST_F(ReplaceTest, StaleTemporaryFileIsOverwritten) {
    std::string host = MakeHostFile("book.vbk", 20000);
    device().MakeFolder(L"\\Books");
    device().WriteFile(L"\\Books\\~tesh.tmp", std::string(30000, 'x'));
    device().SetTimes(L"\\Books\\~tesh.tmp", MakeFileTime(kYear2001 - 2 * kOneDay),
                      MakeFileTime(kYear2001 + kOneDay), MakeFileTime(kYear2001));
    EXPECT_EQ(CopyFileToDevice(host.c_str(), "\\Books\\book.vbk"), 0u);
    EXPECT_EQ(device().ReadFile(L"\\Books\\book.vbk"), HostContent(host));
    ExpectDeviceTimesEqualHost(L"\\Books\\book.vbk", host);
    EXPECT_FALSE(device().Exists(L"\\Books\\~tesh.tmp"));
    // A leftover in a folder no copy goes to is removed on request, once.
    device().WriteFile(L"\\Books\\~tesh.tmp", std::string(30000, 'x'));
    EXPECT_EQ(RemoveStaleTemporaryFile(L"\\Books"), 1);
    EXPECT_FALSE(device().Exists(L"\\Books\\~tesh.tmp"));
    EXPECT_EQ(RemoveStaleTemporaryFile(L"\\Books"), 0);
    EXPECT_TRUE(device().Exists(L"\\Books\\book.vbk"));
    // Down to a folder whose temporary path takes all 255 characters.
    const std::wstring deep = L"\\" + std::wstring(244, L'd');
    device().MakeFolder(deep);
    device().WriteFile(deep + L"\\~tesh.tmp", "left over");
    EXPECT_EQ(RemoveStaleTemporaryFile(deep.c_str()), 1);
    EXPECT_FALSE(device().Exists(deep + L"\\~tesh.tmp"));
}

// A rename the device refuses, the link up: once the old target has been
// deleted, the temporary file is the only whole copy and stays; without an
// old target it is removed like any failed copy's.
TEST_F(ReplaceTest, RefusedRenameKeepsTheOnlyWholeCopy) {
    for (bool oldTarget : {true, false}) {
        SCOPED_TRACE(oldTarget ? "old target" : "no old target");
        std::string host = MakeHostFile("wsj0104.vbk", 20000);
        if (oldTarget) PutNewerDeviceFile(L"\\wsj.vbk", "the previous issue");
        device().SetFault("refuse_move", "5");
        bool kept = !oldTarget;
        DWORD result = 0;
        robot::RunWithRobot(
            [&] { return static_cast<int>(result = ReplaceFileOnDevice(host.c_str(), "\\wsj.vbk", &kept)); },
            [&] { EXPECT_TRUE(robot::StaysAbsent("Error 151", 300)); });
        device().SetFault("refuse_move", "");
        EXPECT_EQ(result, static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_EQ(kept, oldTarget);
        EXPECT_FALSE(device().Exists(L"\\wsj.vbk"));
        if (oldTarget) {
            EXPECT_EQ(device().ReadFile(L"\\~tesh.tmp"), HostContent(host));
            ExpectDeviceTimesEqualHost(L"\\~tesh.tmp", host);
        } else {
            EXPECT_FALSE(device().Exists(L"\\~tesh.tmp"));
        }
        ExpectLinesBlank();
    }
}

// The temporary file sits beside the target and must fit 255 characters
// as well; when it cannot, nothing is sent to the device.
TEST_F(ReplaceTest, TemporaryPathMustFitToo) {
    std::string host = MakeHostFile("t.vbk", 10);
    std::string folder = "\\" + std::string(240, 'f');
    device().MakeFolder(std::wstring(folder.begin(), folder.end()));
    std::string fits = folder + "\\" + std::string(13, 'n');  // 255; its temporary path 251
    EXPECT_EQ(fits.size(), 255u);
    EXPECT_EQ(CopyFileToDevice(host.c_str(), fits.c_str()), 0u);
    EXPECT_EQ(device().ReadFile(std::wstring(fits.begin(), fits.end())), HostContent(host));
    MarkLines();
    size_t logBefore = device().Log().size();
    std::string deeper = folder + std::string(5, 'g');
    device().MakeFolder(std::wstring(deeper.begin(), deeper.end()));
    std::string target = deeper + "\\n.vbk";  // 252 characters; "~tesh.tmp" would make it 256
    EXPECT_EQ(CopyFileToDevice(host.c_str(), target.c_str()), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_EQ(device().Log().size(), logBefore);
    ExpectLinesMarked();
}

// Whatever breaks the copy off, the target keeps its old content and times.
TEST_F(ReplaceTest, BrokenOffCopyLeavesTheOldTarget) {
    struct Case {
        const char *fault;
        std::string value;
    } const kCases[] = {{"drop_after_bytes", "20000"}, {"drop_after_calls", "6"}, {"capacity", ""}};
    for (const Case &c : kCases) {
        CeRapiUninit();
        device_.reset();
        device_.reset(new TestDevice("pocketpc"));
        device().Plug();
        RAPIINIT init{sizeof init, nullptr, 0};
        ASSERT_TRUE(SUCCEEDED(CeRapiInitEx(&init)));
        ASSERT_EQ(WaitForSingleObject(init.heRapiInit, 10000), WAIT_OBJECT_0);
        std::string host = MakeHostFile("reader.exe", 40000, kYear2001 + 10 * kOneDay);
        device().WriteFile(L"\\reader.exe", "old reader");
        device().SetTimes(L"\\reader.exe", MakeFileTime(1), MakeFileTime(2), MakeFileTime(kYear2001));
        std::string value = c.value;
        if (std::string(c.fault) == "capacity") {
            // Room for the new file, but not beside the old one: the old
            // one stays, and the copy fails.
            value = std::to_string(40005);
        }
        device().SetFault(c.fault, value);
        DWORD result = 0;
        robot::RunWithRobot([&] { return static_cast<int>(result = CopyFileToDevice(host.c_str(), "\\reader.exe")); },
                            [&] { EXPECT_TRUE(robot::StaysAbsent("Error 151", 300)); });
        EXPECT_NE(result, 0u) << c.fault;
        EXPECT_EQ(device().ReadFile(L"\\reader.exe"), "old reader") << c.fault;
        FILETIME creation, access, write;
        ASSERT_TRUE(device().Times(L"\\reader.exe", &creation, &access, &write));
        EXPECT_EQ(Ticks(write), kYear2001) << c.fault;
        ExpectLinesBlank();
    }
}

}  // namespace
