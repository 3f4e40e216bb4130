// Identity per profile: version, processor, platform identifier, special
// folders and storage cards, read through the remote API.
#include "tests/simulator/docked.h"

namespace {

struct ProfileCase {
    const char *profile;
    const wchar_t *platform;
    DWORD major;
    DWORD minor;
    DWORD processor;
    const wchar_t *programs;
    const wchar_t *desktop;  // empty: the query fails
    const wchar_t *card;     // empty: no card
};

const ProfileCase kProfiles[] = {
    {"pocketpc", L"Pocket_PC", 3, 0, 2577, L"\\Windows\\Start Menu\\Programs", L"", L"Storage Card"},
    {"hpc2000", L"Handheld_PC", 3, 0, 4000, L"\\Windows\\Programs", L"\\Windows\\Desktop", L"CF Card"},
    {"hpcpro", L"Handheld_PC", 2, 11, 10003, L"\\Windows\\Programs", L"\\Windows\\Desktop", L""},
    {"teshsize", L"Tesh-size_PC", 2, 11, 4000, L"\\Windows\\Start Menu\\Programs", L"", L""},
    {"emulator", L"Pocket_PC", 3, 0, 586, L"\\Windows\\Start Menu\\Programs", L"", L""},
};

std::wstring OrigName(LONG *openResult = nullptr, LONG *queryResult = nullptr, DWORD *type = nullptr) {
    HKEY key = nullptr;
    LONG opened = CeRegOpenKeyEx(HKEY_LOCAL_MACHINE, L"Ident", 0, KEY_QUERY_VALUE, &key);
    if (openResult) *openResult = opened;
    if (opened != ERROR_SUCCESS) return L"<no key>";
    BYTE data[256] = {};
    DWORD size = sizeof data, valueType = 0;
    LONG queried = CeRegQueryValueEx(key, L"OrigName", nullptr, &valueType, data, &size);
    if (queryResult) *queryResult = queried;
    if (type) *type = valueType;
    CeRegCloseKey(key);
    return queried == ERROR_SUCCESS && valueType == REG_SZ ? std::wstring(reinterpret_cast<wchar_t *>(data))
                                                          : L"<no value>";
}

class Identity : public ::testing::TestWithParam<ProfileCase> {
protected:
    Identity() : device(GetParam().profile) {}
    void SetUp() override {
        device.Plug();
        ASSERT_EQ(simtest::Connect(), S_OK);
    }
    void TearDown() override { CeRapiUninit(); }
    TestDevice device;
};

TEST_P(Identity, ReportsTheProfile) {
    const ProfileCase &expected = GetParam();
    CEOSVERSIONINFO version = {};
    version.dwOSVersionInfoSize = sizeof version;
    ASSERT_TRUE(CeGetVersionEx(&version));
    EXPECT_EQ(version.dwMajorVersion, expected.major);
    EXPECT_EQ(version.dwMinorVersion, expected.minor);
    EXPECT_EQ(version.dwPlatformId, 3u);  // VER_PLATFORM_WIN32_CE

    SYSTEM_INFO system;
    memset(&system, 0xAB, sizeof system);
    CeGetSystemInfo(&system);
    EXPECT_EQ(system.dwProcessorType, expected.processor);
    EXPECT_EQ(system.dwNumberOfProcessors, 1u);

    EXPECT_EQ(OrigName(), expected.platform);

    wchar_t path[256];
    DWORD length = CeGetSpecialFolderPath(CSIDL_PROGRAMS, 255, path);
    ASSERT_GT(length, 0u);
    EXPECT_EQ(std::wstring(path), expected.programs);
    EXPECT_EQ(length, wcslen(expected.programs));
    EXPECT_EQ(simtest::Attributes(expected.programs), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));

    length = CeGetSpecialFolderPath(CSIDL_DESKTOP, 255, path);
    if (*expected.desktop) {
        ASSERT_GT(length, 0u);
        EXPECT_EQ(std::wstring(path), expected.desktop);
        EXPECT_EQ(simtest::Attributes(expected.desktop), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    } else {
        EXPECT_EQ(length, 0u) << "the platform has no desktop folder";
    }
    for (const wchar_t *folder : {L"\\Windows", L"\\My Documents"}) {
        EXPECT_EQ(simtest::Attributes(folder), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY)) << simtest::Narrow(folder);
    }

    // The root lists the card, if any, as directory + temporary.
    std::wstring cards;
    CE_FIND_DATA found;
    HANDLE search = CeFindFirstFile(L"\\*", &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    do {
        if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_TEMPORARY)) ==
            (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_TEMPORARY)) {
            cards += found.cFileName;
        }
    } while (CeFindNextFile(search, &found));
    CeFindClose(search);
    EXPECT_EQ(cards, expected.card);
}

INSTANTIATE_TEST_SUITE_P(Profiles, Identity, ::testing::ValuesIn(kProfiles),
                         [](const ::testing::TestParamInfo<ProfileCase> &info) {
                             return std::string(info.param.profile);
                         });

class IdentityFaults : public simtest::Docked {};

TEST_F(IdentityFaults, VersionRecordOfAnotherSizeIsRefused) {
    CEOSVERSIONINFO version = {};
    version.dwOSVersionInfoSize = 148;  // the ANSI record's size
    EXPECT_FALSE(CeGetVersionEx(&version));
    EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(version.dwMajorVersion, 0u);
}

TEST_F(IdentityFaults, VersionAndProcessorCanBeChangedWhileDocked) {
    device.SetFault("version", "2.11");
    device.SetFault("processor", "10005");
    CEOSVERSIONINFO version = {};
    version.dwOSVersionInfoSize = sizeof version;
    ASSERT_TRUE(CeGetVersionEx(&version));
    EXPECT_EQ(version.dwMajorVersion, 2u);
    EXPECT_EQ(version.dwMinorVersion, 11u);
    SYSTEM_INFO system = {};
    CeGetSystemInfo(&system);
    EXPECT_EQ(system.dwProcessorType, 10005u);
}

TEST_F(IdentityFaults, RegistryWithoutIdentKey) {
    device.SetFault("no_ident", "1");
    LONG opened = 0;
    OrigName(&opened);
    EXPECT_EQ(opened, ERROR_FILE_NOT_FOUND);
}

TEST_F(IdentityFaults, OrigNameTooLongForTheBuffer) {
    std::string longName(200, 'L');
    device.SetFault("origname", longName);
    LONG queried = 0;
    EXPECT_EQ(OrigName(nullptr, &queried), L"<no value>");
    EXPECT_EQ(queried, ERROR_MORE_DATA);
    // Asked for its size, the value reports all 200 characters and the NUL.
    HKEY key = nullptr;
    ASSERT_EQ(CeRegOpenKeyEx(HKEY_LOCAL_MACHINE, L"Ident", 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
    DWORD size = 0, type = 0;
    EXPECT_EQ(CeRegQueryValueEx(key, L"OrigName", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 402u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    CeRegCloseKey(key);
}

TEST_F(IdentityFaults, OrigNameOfOtherTypesOrMissing) {
    struct Case {
        const char *type;
        LONG result;
        DWORD valueType;
    };
    const Case kCases[] = {{"dword", ERROR_SUCCESS, REG_DWORD}, {"missing", ERROR_FILE_NOT_FOUND, 0},
                           {"string", ERROR_SUCCESS, REG_SZ}};
    device.SetFault("origname", "Tesh_PC");
    for (const Case &c : kCases) {
        device.SetFault("origname_type", c.type);
        LONG queried = -1;
        DWORD type = 0;
        std::wstring name = OrigName(nullptr, &queried, &type);
        EXPECT_EQ(queried, c.result) << c.type;
        if (c.result == ERROR_SUCCESS) {
            EXPECT_EQ(type, c.valueType) << c.type;
        }
        if (c.valueType == REG_SZ) {
            EXPECT_EQ(name, L"Tesh_PC");
        }
    }
}

TEST_F(IdentityFaults, SpecialFolderQueryFailure) {
    device.SetFault("special_folder_fail", "1");
    wchar_t path[256] = L"untouched";
    EXPECT_EQ(CeGetSpecialFolderPath(CSIDL_PROGRAMS, 255, path), 0u);
    device.SetFault("special_folder_fail", "0");
    EXPECT_GT(CeGetSpecialFolderPath(CSIDL_PROGRAMS, 255, path), 0u);
}

TEST_F(IdentityFaults, SpecialFolderBufferTooSmallCopiesNothing) {
    wchar_t path[8] = L"keep";
    DWORD needed = CeGetSpecialFolderPath(CSIDL_PROGRAMS, 8, path);
    EXPECT_EQ(needed, wcslen(L"\\Windows\\Start Menu\\Programs") + 1);
    EXPECT_EQ(std::wstring(path), L"keep");
}

}  // namespace
