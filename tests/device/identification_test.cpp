// Identifying the device: version, processor, platform identifier and the
// platform code, through the simulated device's registry and version.
#include <gtest/gtest.h>

#include <string>

#include "device/connection.h"
#include "device/identification.h"
#include "resources/texts.h"
#include "base/setup_state.h"
#include "tests/support/robot.h"
#include "tests/support/test_device.h"

namespace {

// Classifies with the robot standing by: a box nobody expects (the link
// went down, say) fails the test instead of waiting for a user forever.
int ClassifyUnattended() {
    return robot::RunWithRobot(ClassifyPlatform, [] {}, 10000);
}

// One connection for all rows: Wine starts are expensive, device settings
// are not.
class Identification : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        g_setup.instance = GetModuleHandleA(nullptr);
        device_ = new TestDevice("pocketpc");
        device_->Plug();
        g_setup.connected = 0;
        ASSERT_EQ(robot::RunWithRobot(EnsureDeviceReady, [] {}, 10000), 1);
    }
    static void TearDownTestSuite() {
        Disconnect();
        delete device_;
        device_ = nullptr;
    }
    void SetUp() override {
        device_->SetFault("no_ident", "0");
        device_->SetFault("origname_type", "string");
    }

    static TestDevice *device_;
};

TestDevice *Identification::device_ = nullptr;

struct Row {
    const char *identifier;
    const char *version;
    int code;
};

void ExpectRows(TestDevice &device, const Row *rows, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const Row &row = rows[i];
        device.SetFault("origname", row.identifier);
        device.SetFault("version", row.version);
        EXPECT_EQ(ClassifyUnattended(), row.code) << "\"" << row.identifier << "\" " << row.version;
        EXPECT_STREQ(g_setup.platformIdText, row.identifier);
    }
}

TEST_F(Identification, TheWholeClassificationTable) {
    const Row rows[] = {
        {"Handheld_PC", "2.0", 1},   {"Handheld_PC", "2.1", 2},   {"Handheld_PC", "2.10", 3},
        {"Handheld_PC", "2.11", 3},  {"Handheld_PC", "2.12", 5},  {"Handheld_PC", "2.2", 5},
        {"Handheld_PC", "3.0", 6},   {"Handheld_PC", "3.1", 5},   {"Handheld_PC", "4.0", 5},
        {"Handheld_PC", "1.0", 5},   {"Handheld_PC", "5.11", 5},  {"Tesh-size_PC", "2.11", 4},
        {"Tesh-size_PC", "2.1", 2},  {"Tesh-size_PC", "3.0", 2},  {"Tesh-size_PC", "2.0", 2},
        {"Tesh-size_PC", "3.11", 2}, {"Tesh_PC", "2.0", 2},       {"Tesh_PC", "2.11", 2},
        {"Tesh_PC", "3.0", 2},       {"Pocket_PC", "3.0", 5},     {"Pocket_PC", "2.11", 5},
        {"Pocket_PC", "2.0", 5},     {"Pocket_PC", "2.1", 5},     {"Palm-size_PC", "2.0", 1},
        {"Palm-size_PC", "2.1", 2},  {"Palm-size_PC", "2.10", 3}, {"Palm-size_PC", "2.11", 4},
        {"Palm-size_PC", "2.12", 5}, {"Palm-size_PC", "3.0", 5},  {"Palm-size_PC", "1.11", 5},
    };
    ExpectRows(*device_, rows, sizeof rows / sizeof rows[0]);
}

// The four names are compared whole and with their letter case.
TEST_F(Identification, OnlyTheExactNameCounts) {
    const Row rows[] = {
        {"handheld_pc", "2.11", 4}, {"HANDHELD_PC", "3.0", 5},  {"Handheld_PC ", "3.0", 5},
        {"Handheld_PCX", "2.0", 1}, {"Handheld", "3.0", 5},     {"pocket_pc", "2.11", 4},
        {"Pocket_PC2", "2.11", 4},  {"tesh_pc", "3.0", 5},      {"Tesh_PC_", "2.1", 2},
        {"Tesh-Size_PC", "2.11", 4}, {"Tesh-size_PC", "2.11", 4}, {"Tesh-size", "3.0", 5},
    };
    ExpectRows(*device_, rows, sizeof rows / sizeof rows[0]);
}

// An identifier that cannot be read is the empty identifier: the version
// alone decides, and platformIdText is empty.
TEST_F(Identification, AnUnreadableIdentifierLeavesTheVersionToDecide) {
    // Each setting spoils a readable "Handheld_PC", which would otherwise
    // give 3 for 2.11 and 6 for 3.0.
    const std::pair<std::string, std::string> spoilers[] = {
        {"origname_type", "dword"},
        {"origname_type", "missing"},
        {"origname", std::string(128, 'H')},
        {"origname", "Handheld_PC" + std::string(200, '_')},
    };
    const struct {
        const char *version;
        int code;
    } versions[] = {{"2.0", 1}, {"2.1", 2}, {"2.10", 3}, {"2.11", 4}, {"3.0", 5}};
    for (const auto &spoiler : spoilers) {
        for (const auto &version : versions) {
            device_->SetFault("origname_type", "string");
            device_->SetFault("origname", "Handheld_PC");
            device_->SetFault(spoiler.first, spoiler.second);
            device_->SetFault("version", version.version);
            EXPECT_EQ(ClassifyUnattended(), version.code) << spoiler.first << " " << version.version;
            EXPECT_STREQ(g_setup.platformIdText, "") << spoiler.first;
        }
    }
}

TEST_F(Identification, AnIdentifierOf127CharactersIsStillRead) {
    const std::string longest(127, 'P');
    device_->SetFault("origname", longest);
    device_->SetFault("version", "2.11");
    EXPECT_EQ(ClassifyUnattended(), 4);
    EXPECT_EQ(std::string(g_setup.platformIdText), longest);
}

TEST_F(Identification, TheTradeMarkSignIsConvertedToTheAnsiCodePage) {
    device_->SetFault("origname", "Tesh\xE2\x84\xA2_PC");  // UTF-8 of "Tesh™_PC"
    device_->SetFault("version", "3.0");
    EXPECT_EQ(ClassifyUnattended(), 5);
    EXPECT_STREQ(g_setup.platformIdText, "Tesh\x99_PC");
}

TEST_F(Identification, WithoutTheIdentKeyTheUserIsToldAndTheVersionDecides) {
    device_->SetFault("no_ident", "1");
    device_->SetFault("version", "2.11");
    std::string text;
    int code = robot::RunWithRobot(ClassifyPlatform, [&] { text = robot::AnswerMessageBox(kCaptionError, IDOK); });
    EXPECT_EQ(code, 4);
    EXPECT_EQ(text, kTextRegistryUnavailable);
    EXPECT_STREQ(g_setup.platformIdText, "");
}

TEST_F(Identification, VersionAndProcessorQueries) {
    const struct {
        const char *version;
        const char *processor;
        int major, minor, processorType;
    } rows[] = {
        {"3.0", "2577", 3, 0, 2577},
        {"2.11", "10003", 2, 11, 10003},
        {"2.0", "4000", 2, 0, 4000},
        {"4.21", "586", 4, 21, 586},
    };
    for (const auto &row : rows) {
        device_->SetFault("version", row.version);
        device_->SetFault("processor", row.processor);
        EXPECT_EQ(QueryDeviceMajorVersion(), row.major) << row.version;
        EXPECT_EQ(QueryDeviceMinorVersion(), row.minor) << row.version;
        EXPECT_EQ(QueryProcessorType(), row.processorType);
    }
}

// Last in this suite (tests run in the order written): the link goes down,
// so every query fails.
TEST_F(Identification, FailedQueriesGiveZero) {
    device_->Unplug();
    EXPECT_EQ(QueryDeviceMajorVersion(), 0);
    EXPECT_EQ(QueryDeviceMinorVersion(), 0);
    EXPECT_EQ(QueryProcessorType(), 0);
    device_->Plug();
}

}  // namespace
