// The device's registry through the stand-in rapi.dll, over the pipe and
// over the network in both protocols: keys
// made, enumerated and deleted, values set, listed and asked for their
// size, the refusals, and what the image keeps across a restart of the
// device. Then folders renamed with everything they hold.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "model/device.h"
#include "tests/simulator/docked.h"

namespace {

using simtest::StandIn;

// One way to the device: the pipe, or the network in either protocol. The
// Ident values' sizes are the profile's; the newer protocol's "more data"
// carries no size.
struct Transport {
    const char *name;
    const char *profile;
    int protocol;  // 0: the pipe; 1 and 2: the network's older and newer
    const char *identValues[3];
};

const Transport kTransports[] = {
    {"pipe", "pocketpc", 0, {"Name:1:18", "Desc:1:40", "OrigName:1:20"}},
    {"rapi1", "pocketpc", 1, {"Name:1:18", "Desc:1:40", "OrigName:1:20"}},
    {"rapi2", "wm5ppc", 2, {"Name:1:20", "Desc:1:74", "OrigName:1:20"}},
};

class Registry : public ::testing::TestWithParam<Transport> {
protected:
    Registry() : device(GetParam().profile) {}
    void SetUp() override {
        device.Plug();
        if (GetParam().protocol == 1) {
            const uint16_t port = device.ServeNetwork();
            ASSERT_NE(port, 0);
            SetEnvironmentVariableA("RAPI_DEVICE", ("127.0.0.1:" + std::to_string(port)).c_str());
        } else if (GetParam().protocol == 2) {
            const std::string desktop2 = "127.0.0.1:" + std::to_string(FreeLoopbackPort());
            SetEnvironmentVariableA("RAPI_DESKTOP", ("127.0.0.1:" + std::to_string(FreeLoopbackPort())).c_str());
            SetEnvironmentVariableA("RAPI_DESKTOP2", desktop2.c_str());
            ASSERT_NE(device.ServeNetwork(desktop2), 0);
        }
        ASSERT_EQ(simtest::Connect(), S_OK);
    }
    void TearDown() override {
        CeRapiUninit();
        for (const char *name : {"RAPI_DEVICE", "RAPI_DESKTOP", "RAPI_DESKTOP2"}) SetEnvironmentVariableA(name, nullptr);
    }
    // The size a failed query leaves: the value's, or the caller's own in
    // the newer protocol.
    DWORD MoreDataSize(DWORD value, DWORD room) const { return GetParam().protocol == 2 ? room : value; }
    std::vector<std::string> IdentValues() const {
        const auto &v = GetParam().identValues;
        return {v[0], v[1], v[2]};
    }

    TestDevice device;
    HKEY Create(HKEY parent, const wchar_t *subKey, DWORD *disposition) {
        static const auto fn = StandIn<CeRegCreateKeyExFn>("CeRegCreateKeyEx");
        HKEY key = nullptr;
        EXPECT_EQ(fn(parent, subKey, 0, nullptr, 0, 0, nullptr, &key, disposition), ERROR_SUCCESS);
        return key;
    }
    LONG Set(HKEY key, const wchar_t *name, DWORD type, const void *data, DWORD size) {
        static const auto fn = StandIn<CeRegSetValueExFn>("CeRegSetValueEx");
        return fn(key, name, 0, type, static_cast<const BYTE *>(data), size);
    }
    // The subkey names of a key, in the order the device enumerates them.
    std::vector<std::wstring> SubKeys(HKEY key) {
        static const auto fn = StandIn<CeRegEnumKeyExFn>("CeRegEnumKeyEx");
        std::vector<std::wstring> names;
        for (DWORD index = 0;; ++index) {
            wchar_t name[64];
            DWORD chars = 64;
            LONG status = fn(key, index, name, &chars, nullptr, nullptr, nullptr, nullptr);
            if (status != ERROR_SUCCESS) {
                EXPECT_EQ(status, ERROR_NO_MORE_ITEMS);
                return names;
            }
            EXPECT_EQ(chars, wcslen(name));
            names.push_back(name);
        }
    }
    // "name:type:size" of each value ("status N" for the name when the
    // call failed), the data's room given as `room`.
    std::vector<std::string> Values(HKEY key, DWORD room) {
        static const auto fn = StandIn<CeRegEnumValueFn>("CeRegEnumValue");
        std::vector<std::string> values;
        for (DWORD index = 0;; ++index) {
            wchar_t name[64];
            BYTE data[64];
            DWORD chars = 64, type = 0, size = room;
            LONG status = fn(key, index, name, &chars, nullptr, &type, data, &size);
            if (status == ERROR_NO_MORE_ITEMS) return values;
            values.push_back((status == ERROR_SUCCESS ? simtest::Narrow(name) : "status " + std::to_string(status)) +
                             ":" + std::to_string(type) + ":" + std::to_string(size));
        }
    }
};

TEST_P(Registry, KeysAndValuesMadeListedAndDeleted) {
    // The size of a value: without a buffer, or with one of 0 bytes.
    HKEY ident = nullptr;
    ASSERT_EQ(CeRegOpenKeyEx(HKEY_LOCAL_MACHINE, L"Ident", 0, 0, &ident), ERROR_SUCCESS);
    BYTE room[4];
    const struct {
        BYTE *data;
        DWORD size;
        LONG status;
    } kSizeQueries[] = {{nullptr, 0, ERROR_SUCCESS}, {room, 0, ERROR_SUCCESS}, {room, 4, ERROR_MORE_DATA}};
    for (const auto &q : kSizeQueries) {
        DWORD type = 0, size = q.size;
        EXPECT_EQ(CeRegQueryValueEx(ident, L"OrigName", nullptr, &type, q.data, &size), q.status) << q.size;
        if (q.status == ERROR_SUCCESS) {
            EXPECT_EQ(size, 20u) << "Pocket_PC and its terminator";
            EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
        } else {
            EXPECT_EQ(size, MoreDataSize(20, 4));
        }
    }
    EXPECT_EQ(Values(ident, 0), IdentValues());
    CeRegCloseKey(ident);

    DWORD disposition = 0;
    HKEY reader = Create(HKEY_LOCAL_MACHINE, L"Software\\Tesh\\Reader", &disposition);
    EXPECT_EQ(disposition, 1u);
    const DWORD three = 3;
    EXPECT_EQ(Set(reader, L"Books", REG_DWORD, &three, 4), ERROR_SUCCESS);
    EXPECT_EQ(Set(reader, L"Folder", REG_SZ, L"\\Books", 14), ERROR_SUCCESS);
    EXPECT_EQ(Set(reader, L"Blob", REG_BINARY, "\x01\x02\x03", 3), ERROR_SUCCESS);
    EXPECT_EQ(Set(reader, L"Books", REG_DWORD, &three, 4), ERROR_SUCCESS) << "set again: replaced in place";
    EXPECT_EQ(Set(HKEY_CURRENT_USER, L"Owner", REG_SZ, L"Ann", 8), ERROR_SUCCESS) << "a value of a root";
    EXPECT_EQ(Values(reader, 64), (std::vector<std::string>{"Books:4:4", "Folder:1:14", "Blob:3:3"}));
    // Over the network an enumeration that fails brings back no type or size.
    const std::string more = GetParam().protocol != 0 ? "status 234:0:3" : "";
    EXPECT_EQ(Values(reader, 3),
              (std::vector<std::string>{more.empty() ? "status 234:4:4" : more, more.empty() ? "status 234:1:14" : more,
                                        "Blob:3:3"}));
    HKEY again = Create(HKEY_LOCAL_MACHINE, L"Software\\Tesh\\Reader", &disposition);
    EXPECT_EQ(disposition, 2u);
    HKEY software = Create(HKEY_LOCAL_MACHINE, L"Software", &disposition);
    EXPECT_EQ(SubKeys(software), (std::vector<std::wstring>{L"Microsoft", L"Tesh"}));
    EXPECT_EQ(SubKeys(HKEY_LOCAL_MACHINE), (std::vector<std::wstring>{L"Ident", L"Software", L"System"}));

    // Refusals: a key with subkeys, an open key, a value or key not there,
    // a closed key.
    static const auto deleteKey = StandIn<CeRegDeleteKeyFn>("CeRegDeleteKey");
    static const auto deleteValue = StandIn<CeRegDeleteValueFn>("CeRegDeleteValue");
    EXPECT_EQ(deleteKey(software, L"Tesh"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(deleteKey(software, L"Tesh\\Reader"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(deleteValue(reader, L"Folder"), ERROR_SUCCESS);
    EXPECT_EQ(deleteValue(reader, L"Folder"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(CeRegCloseKey(again), ERROR_SUCCESS);
    EXPECT_EQ(CeRegCloseKey(reader), ERROR_SUCCESS);
    EXPECT_EQ(Set(reader, L"Books", REG_DWORD, &three, 4), ERROR_INVALID_HANDLE);
    // Kept in the image: a device loaded from it afresh has them, and its
    // listing shows them.
    std::string error;
    std::unique_ptr<Device> restarted = Device::Load(device.ImageFolder(), &error);
    ASSERT_TRUE(restarted) << error;
    const uint32_t session = restarted->OpenSession();
    {
        std::unique_lock<std::mutex> lock = restarted->Lock();
        uint32_t key = 0;
        ASSERT_TRUE(restarted->DoRegOpenKey(session, Device::kRootLocalMachine, L"Software\\Tesh\\Reader", &key).ok);
        DWORD type = 0;
        uint32_t size = 0;
        std::vector<uint8_t> data;
        EXPECT_TRUE(restarted->DoRegQueryValue(session, key, L"Blob", true, 64, &type, &data, &size).ok);
        EXPECT_EQ(data, (std::vector<uint8_t>{1, 2, 3}));
        EXPECT_FALSE(restarted->DoRegQueryValue(session, key, L"Folder", false, 0, &type, &data, &size).ok);
        EXPECT_TRUE(restarted->DoRegQueryValue(session, 0x80000001u, L"Owner", true, 64, &type, &data, &size).ok);
        EXPECT_EQ(size, 8u);
        restarted->DoRegCloseKey(session, key);
    }
    EXPECT_NE(restarted->Describe().find("HKEY_LOCAL_MACHINE\\Software\\Tesh\\Reader\n    Books = dword 3\n    Blob = "
                                         "type 3, 3 bytes\n"),
              std::string::npos);
    EXPECT_EQ(deleteKey(software, L"Tesh\\Reader"), ERROR_SUCCESS);
    EXPECT_EQ(deleteKey(software, L"Tesh"), ERROR_SUCCESS);
    EXPECT_EQ(deleteKey(software, L"Tesh"), ERROR_FILE_NOT_FOUND);
    CeRegCloseKey(software);
}

// The registry faults hide what is kept: no Ident key to list, and an
// OrigName of another type.
TEST_P(Registry, FaultsShowOverWhatIsKept) {
    device.SetFault("no_ident", "1");
    EXPECT_EQ(SubKeys(HKEY_LOCAL_MACHINE), (std::vector<std::wstring>{L"Software", L"System"}));
    device.SetFault("no_ident", "0");
    device.SetFault("origname_type", "dword");
    HKEY ident = nullptr;
    ASSERT_EQ(CeRegOpenKeyEx(HKEY_LOCAL_MACHINE, L"Ident", 0, 0, &ident), ERROR_SUCCESS);
    std::vector<std::string> values = IdentValues();
    values[2] = "OrigName:4:4";
    EXPECT_EQ(Values(ident, 0), values);
    CeRegCloseKey(ident);
}

INSTANTIATE_TEST_SUITE_P(Transports, Registry, ::testing::ValuesIn(kTransports),
                         [](const ::testing::TestParamInfo<Transport> &info) { return std::string(info.param.name); });

using FolderMoves = simtest::Docked;

// A folder is renamed with its files and subfolders, their times kept;
// the refusals are the platform's.
TEST_F(FolderMoves, RenamedWithEverythingInIt) {
    device.WriteFile(L"\\Books\\a.vbk", "a");
    device.WriteFile(L"\\Books\\News\\b.vbk", "b");
    device.SetTimes(L"\\Books\\News\\b.vbk", FILETIME{1, 2}, FILETIME{3, 4}, FILETIME{5, 6});
    device.WriteFile(L"\\Other\\x", "x");
    device.WriteFile(L"\\Storage Card\\Cards\\c.vbk", "c");
    const struct {
        const wchar_t *from, *to;
        DWORD error;  // 0: moved
    } kCases[] = {
        {L"\\Books", L"\\Other", ERROR_ALREADY_EXISTS},
        {L"\\Books", L"\\Books\\News\\Inner", ERROR_SHARING_VIOLATION},
        {L"\\Books", L"\\Storage Card\\Books", ERROR_NOT_SAME_DEVICE},
        {L"\\Storage Card\\Cards", L"\\Cards", ERROR_NOT_SAME_DEVICE},
        {L"\\Storage Card", L"\\Card", ERROR_ACCESS_DENIED},
        {L"\\Books", L"\\Library", 0},
        {L"\\Storage Card\\Cards", L"\\Storage Card\\Kept\\Cards", ERROR_PATH_NOT_FOUND},
        {L"\\Storage Card\\Cards", L"\\Storage Card\\Shelf", 0},
    };
    for (const auto &c : kCases) {
        SCOPED_TRACE(simtest::Narrow(c.from) + " -> " + simtest::Narrow(c.to));
        EXPECT_EQ(CeMoveFile(c.from, c.to) != FALSE, c.error == 0);
        if (c.error) {
            EXPECT_EQ(CeGetLastError(), c.error);
        }
    }
    EXPECT_FALSE(device.Exists(L"\\Books"));
    EXPECT_EQ(device.ReadFile(L"\\Library\\a.vbk"), "a");
    EXPECT_EQ(device.ReadFile(L"\\Library\\News\\b.vbk"), "b");
    EXPECT_EQ(device.ReadFile(L"\\Storage Card\\Shelf\\c.vbk"), "c");
    FILETIME creation, access, write;
    ASSERT_TRUE(device.Times(L"\\Library\\News\\b.vbk", &creation, &access, &write));
    EXPECT_EQ(write.dwLowDateTime, 5u);
    EXPECT_EQ(creation.dwLowDateTime, 1u);
    // A running program in it keeps the folder where it is.
    device.WriteFile(L"\\Library\\app.exe", "CEAPP\tWINDOW\tAPP\tApp\n");
    ASSERT_TRUE(device.StartProgram(L"\\Library\\app.exe"));
    EXPECT_FALSE(CeMoveFile(L"\\Library", L"\\Moved"));
    EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
}

}  // namespace
