// Reader shortcuts in the Programs folder and on the desktop of a Handheld
// PC (which has both folders), by platform code.
#include <gtest/gtest.h>

#include <string>

#include "device_fixture.h"
#include "devicefiles/shortcuts.h"
#include "resources/texts.h"

namespace {

const wchar_t kProgramsLink[] = L"\\Windows\\Programs\\Tesh\u2122 Reader.lnk";
const wchar_t kDesktopLink[] = L"\\Windows\\Desktop\\Tesh\u2122 Reader.lnk";
const wchar_t kTarget[] = L"\\Program Files\\Corvex Press\\Tesh Reader.exe";
// The device's text form of a shortcut: character count, "#", target text.
const char kQuotedTarget[] = "\"\\Program Files\\Corvex Press\\Tesh Reader.exe\"";

std::string ShortcutText() { return std::to_string(sizeof kQuotedTarget - 1) + "#" + kQuotedTarget; }

class ShortcutTest : public DeviceTest {
protected:
    ShortcutTest() : DeviceTest("hpc2000") {}
    void TearDown() override {
        g_setup.PlatformCode = 0;
        DeviceTest::TearDown();
    }
    void RemoveLinks() {
        CeDeleteFile(kProgramsLink);
        CeDeleteFile(kDesktopLink);
    }
};

struct CodeCase {
    WORD code;
    bool programs;
    bool desktop;
};

const CodeCase kCodes[] = {
    {1, true, true},   {2, true, false},  {3, true, true},   {4, true, false}, {5, true, false},
    {6, true, true},   {0, false, false}, {7, false, false}, {0xFFFF, false, false},
};

TEST_F(ShortcutTest, CreateByPlatformCode) {
    for (const CodeCase &c : kCodes) {
        g_setup.PlatformCode = c.code;
        const size_t logBefore = device().Log().size();
        int programs = CreateProgramsShortcut(kShortcutReader, kTarget);
        int desktop = CreateDesktopShortcut(kShortcutReader, kTarget);
        EXPECT_EQ(CountLines(device().Log(), "CeGetSpecialFolderPath 2 ", logBefore), 1u) << "code " << c.code;
        EXPECT_EQ(CountLines(device().Log(), "CeGetSpecialFolderPath 0 ", logBefore), 1u) << "code " << c.code;
        EXPECT_EQ(programs != 0, c.programs) << "code " << c.code;
        EXPECT_EQ(desktop != 0, c.desktop) << "code " << c.code;
        EXPECT_EQ(device().Exists(kProgramsLink), c.programs) << "code " << c.code;
        EXPECT_EQ(device().Exists(kDesktopLink), c.desktop) << "code " << c.code;
        if (c.programs) {
            EXPECT_EQ(device().ReadFile(kProgramsLink), ShortcutText()) << "code " << c.code;
        }
        if (c.desktop) {
            EXPECT_EQ(device().ReadFile(kDesktopLink), ShortcutText()) << "code " << c.code;
        }
        RemoveLinks();
    }
}

// Each operation asks for its special folder first, before it looks at
// the platform code: also when it then does nothing.
TEST_F(ShortcutTest, DeleteByPlatformCode) {
    for (const CodeCase &c : kCodes) {
        device().WriteFile(kProgramsLink, ShortcutText());
        device().WriteFile(kDesktopLink, ShortcutText());
        g_setup.PlatformCode = c.code;
        const size_t logBefore = device().Log().size();
        EXPECT_EQ(DeleteProgramsShortcut(kShortcutReader), 0);
        EXPECT_EQ(DeleteDesktopShortcut(kShortcutReader), 0);
        EXPECT_EQ(CountLines(device().Log(), "CeGetSpecialFolderPath 2 ", logBefore), 1u) << "code " << c.code;
        EXPECT_EQ(CountLines(device().Log(), "CeGetSpecialFolderPath 0 ", logBefore), 1u) << "code " << c.code;
        EXPECT_EQ(device().Exists(kProgramsLink), !c.programs) << "code " << c.code;
        EXPECT_EQ(device().Exists(kDesktopLink), !c.desktop) << "code " << c.code;
        RemoveLinks();
    }
}

TEST_F(ShortcutTest, DeletingMissingShortcutIsSilent) {
    g_setup.PlatformCode = 1;
    EXPECT_EQ(DeleteProgramsShortcut(kShortcutOldReader), 0);
    EXPECT_EQ(DeleteDesktopShortcut(kShortcutOldReader), 0);
    EXPECT_FALSE(device().Exists(L"\\Windows\\Programs\\Corvex Reader.lnk"));
}

TEST_F(ShortcutTest, DeletesOnlyTheNamedShortcut) {
    g_setup.PlatformCode = 3;
    device().WriteFile(L"\\Windows\\Programs\\Corvex Reader.lnk", "old");
    device().WriteFile(kProgramsLink, ShortcutText());
    DeleteProgramsShortcut(kShortcutOldReader);
    EXPECT_FALSE(device().Exists(L"\\Windows\\Programs\\Corvex Reader.lnk"));
    EXPECT_TRUE(device().Exists(kProgramsLink));
}

TEST_F(ShortcutTest, DeviceRefusalIsHandedBack) {
    g_setup.PlatformCode = 1;
    // A shortcut into a folder the device does not have.
    EXPECT_EQ(CreateProgramsShortcut(L"\\No Such Folder\\Reader", kTarget), 0);
}

// Without the folder path there is no shortcut path: nothing may be
// created or deleted anywhere, not even at the root.
TEST_F(ShortcutTest, SpecialFolderFailureDoesNothing) {
    device().WriteFile(L"\\Tesh\u2122 Reader.lnk", "root file");
    device().WriteFile(kProgramsLink, "kept");
    device().SetFault("special_folder_fail", "1");
    g_setup.PlatformCode = 1;
    EXPECT_EQ(CreateProgramsShortcut(kShortcutReader, kTarget), 0);
    EXPECT_EQ(CreateDesktopShortcut(kShortcutReader, kTarget), 0);
    EXPECT_EQ(DeleteProgramsShortcut(kShortcutReader), 0);
    EXPECT_EQ(DeleteDesktopShortcut(kShortcutReader), 0);
    EXPECT_EQ(device().ReadFile(L"\\Tesh\u2122 Reader.lnk"), "root file");
    EXPECT_EQ(device().ReadFile(kProgramsLink), "kept");
    EXPECT_FALSE(device().Exists(kDesktopLink));
}

class PocketPcShortcutTest : public DeviceTest {
protected:
    void TearDown() override {
        g_setup.PlatformCode = 0;
        DeviceTest::TearDown();
    }
};

TEST_F(PocketPcShortcutTest, ProgramsFolderOfAPocketPc) {
    g_setup.PlatformCode = 5;
    EXPECT_NE(CreateProgramsShortcut(kShortcutReader, kTarget), 0);
    EXPECT_EQ(CreateDesktopShortcut(kShortcutReader, kTarget), 0);
    EXPECT_EQ(device().ReadFile(L"\\Windows\\Start Menu\\Programs\\Tesh\u2122 Reader.lnk"), ShortcutText());
}

}  // namespace
