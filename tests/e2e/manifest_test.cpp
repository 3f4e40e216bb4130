// The application manifest built into setup.exe, read back from the built
// program: through the system's own manifest parser (an activation context
// made from the resource, as the loader makes one), and as text.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

namespace {

std::string SetupExePath() {
    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path);
    return folder.substr(0, folder.find_last_of("\\/")) + "\\setup.exe";
}

// Every RT_MANIFEST resource of the module, by numeric id.
BOOL CALLBACK CollectManifestId(HMODULE, LPCSTR, LPSTR name, LONG_PTR ids) {
    reinterpret_cast<std::vector<ULONG_PTR> *>(ids)->push_back(
        IS_INTRESOURCE(name) ? reinterpret_cast<ULONG_PTR>(name) : ~ULONG_PTR(0));
    return TRUE;
}

class SetupManifest : public ::testing::Test {
protected:
    void SetUp() override {
        module_ = LoadLibraryExA(SetupExePath().c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(module_, nullptr) << "cannot load " << SetupExePath() << ": " << GetLastError();
    }
    void TearDown() override {
        if (module_) FreeLibrary(module_);
    }
    std::string ManifestText() const {
        HRSRC found = FindResourceA(module_, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
        if (!found) return std::string();
        HGLOBAL loaded = LoadResource(module_, found);
        const char *bytes = static_cast<const char *>(LockResource(loaded));
        return bytes ? std::string(bytes, SizeofResource(module_, found)) : std::string();
    }
    HMODULE module_ = nullptr;
};

// An activation context made from resource 1 of setup.exe, as Windows makes
// one when it starts the program; a manifest it cannot parse fails here.
class ActivationContext {
public:
    explicit ActivationContext(const std::string &exePath) {
        ACTCTXA request = {};
        request.cbSize = sizeof request;
        request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
        request.lpSource = exePath.c_str();
        request.lpResourceName = MAKEINTRESOURCEA(1);
        handle_ = CreateActCtxA(&request);
        error_ = GetLastError();
    }
    ~ActivationContext() {
        if (handle_ != INVALID_HANDLE_VALUE) ReleaseActCtx(handle_);
    }
    bool Valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    DWORD Error() const { return error_; }
    HANDLE Handle() const { return handle_; }

    std::vector<BYTE> Query(ULONG infoClass) const {
        SIZE_T needed = 0;
        QueryActCtxW(0, handle_, nullptr, infoClass, nullptr, 0, &needed);
        std::vector<BYTE> buffer(needed);
        if (needed == 0 || !QueryActCtxW(0, handle_, nullptr, infoClass, buffer.data(), needed, &needed)) {
            buffer.clear();
        }
        return buffer;
    }
    std::wstring Setting(const wchar_t *nameSpace, const wchar_t *name) const {
        wchar_t value[64] = L"";
        SIZE_T written = 0;
        if (!QueryActCtxSettingsW(0, handle_, nameSpace, name, value, 64, &written)) return L"(none)";
        return value;
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    DWORD error_ = 0;
};

bool ContainsGuid(const std::vector<BYTE> &bytes, const GUID &id) {
    if (bytes.size() < sizeof id) return false;
    for (size_t at = 0; at + sizeof id <= bytes.size(); ++at) {
        if (memcmp(bytes.data() + at, &id, sizeof id) == 0) return true;
    }
    return false;
}

TEST_F(SetupManifest, IsTheOnlyManifestResourceAndParses) {
    std::vector<ULONG_PTR> ids;
    EnumResourceNamesA(module_, MAKEINTRESOURCEA(24), CollectManifestId, reinterpret_cast<LONG_PTR>(&ids));
    ASSERT_EQ(ids, std::vector<ULONG_PTR>{1}) << "setup.exe must carry one manifest, resource 1";

    ActivationContext context(SetupExePath());
    ASSERT_TRUE(context.Valid()) << "the manifest does not parse: error " << context.Error();

    // Runs with the rights of whoever starts it, never asking for more.
    std::vector<BYTE> runLevel = context.Query(RunlevelInformationInActivationContext);
    ASSERT_GE(runLevel.size(), sizeof(ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION));
    auto *level = reinterpret_cast<const ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION *>(runLevel.data());
    EXPECT_EQ(level->RunLevel, ACTCTX_RUN_LEVEL_AS_INVOKER);
    EXPECT_EQ(level->UiAccess, 0u);

    // Declared as made for Vista up to Windows 10 and 11.
    const GUID supported[] = {
        {0xe2011457, 0x1546, 0x43c5, {0xa5, 0xfe, 0x00, 0x8d, 0xee, 0xe3, 0xd3, 0xf0}},  // Vista
        {0x35138b9a, 0x5d96, 0x4fbd, {0x8e, 0x2d, 0xa2, 0x44, 0x02, 0x25, 0xf9, 0x3a}},  // 7
        {0x4a2f28e3, 0x53b9, 0x4441, {0xba, 0x9c, 0xd6, 0x9d, 0x4a, 0x4a, 0x6e, 0x38}},  // 8
        {0x1f676c76, 0x80e1, 0x4239, {0x95, 0xbb, 0x83, 0xd0, 0xf6, 0xd0, 0xda, 0x78}},  // 8.1
        {0x8e0f7a12, 0xbfb3, 0x4fe8, {0xb9, 0xa5, 0x48, 0xfd, 0x50, 0xa1, 0x5a, 0x9a}},  // 10 and 11
    };
    std::vector<BYTE> compatibility = context.Query(CompatibilityInformationInActivationContext);
    ASSERT_FALSE(compatibility.empty());
    EXPECT_EQ(*reinterpret_cast<const DWORD *>(compatibility.data()), 5u) << "supported OS entries";
    for (size_t i = 0; i < sizeof supported / sizeof supported[0]; ++i) {
        EXPECT_TRUE(ContainsGuid(compatibility, supported[i])) << "supported OS entry " << i << " missing";
    }

    // System DPI awareness: the dialogs scale with the system font.
    EXPECT_EQ(context.Setting(nullptr, L"dpiAware"), L"true");
    EXPECT_EQ(context.Setting(L"http://schemas.microsoft.com/SMI/2016/WindowsSettings", L"dpiAwareness"),
              L"system");
}

// The manifest without its comments.
std::string WithoutComments(std::string text) {
    for (size_t start; (start = text.find("<!--")) != std::string::npos;) {
        const size_t end = text.find("-->", start);
        text.erase(start, end == std::string::npos ? std::string::npos : end + 3 - start);
    }
    return text;
}

TEST_F(SetupManifest, KeepsTheClassicCommonControls) {
    const std::string text = WithoutComments(ManifestText());
    ASSERT_NE(text.find("<assembly"), std::string::npos) << text;
    EXPECT_EQ(text.find("Microsoft.Windows.Common-Controls"), std::string::npos)
        << "the dialogs are laid out for the classic controls";
    EXPECT_EQ(text.find("dependentAssembly"), std::string::npos);
}

}  // namespace
