// The storage location page against devices with and without cards; the
// room check that follows it is in room_check_test.cpp.
#include <stdio.h>

#include "books/book_transfer.h"
#include "books/storage_selection.h"
#include "device/rapi.h"
#include "transfer_fixture.h"

namespace transfer {
namespace {

using Names = std::vector<std::string>;

// Which root entries are offered, and in which order: the device's order,
// main memory first; no ordinary folder, no card that cannot be named.
struct CardCase {
    const char *what;
    const char *profile;
    std::vector<std::wstring> cards;  // inserted in this order
    Names offered;                    // empty: no page at all
};

const CardCase kCardCases[] = {
    {"no card: no page", "hpcpro", {}, {}},
    {"the profile's card", "pocketpc", {}, {"Main Memory", "Storage Card"}},
    {"cards in the device's order, not in insertion order",
     "hpc2000",
     {L"SD Card", L"Backup"},
     {"Main Memory", "Backup", "CF Card", "SD Card"}},
    // A book needs "\\" + card + "\\My Documents\\Corvex Press\\" and the
    // copy's "~tesh.tmp" within 255 characters: 218 characters fit.
    {"card names at the length limit",
     "hpcpro",
     {std::wstring(218, L'k'), std::wstring(219, L'm')},
     {"Main Memory", std::string(218, 'k')}},
};

class StoragePage : public TransferTest {};

TEST_F(StoragePage, OffersMainMemoryAndTheCardsInDeviceOrder) {
    for (const CardCase &c : kCardCases) {
        SCOPED_TRACE(c.what);
        TestDevice device(c.profile);
        device.MakeFolder(L"\\Archive");  // an ordinary root folder
        for (const std::wstring &card : c.cards) device.InsertCard(card);
        device.Plug();
        ASSERT_EQ(EnsureDeviceReady(), 1);
        strcpy(g_setup.storageRoot, "\\unset\\");

        Names listed;
        bool absent = false;
        int result = robot::RunWithRobot(RunStorageSelection, [&] {
            if (c.offered.empty()) {
                absent = robot::StaysAbsent(kStoragePage, 300);
                return;
            }
            HWND page = robot::WaitForWindow(kStoragePage);
            listed = ListEntries(page);
            EXPECT_EQ(SendDlgItemMessageA(page, IDC_LIST, LB_GETCURSEL, 0, 0), 0);
            robot::Click(page, IDC_NEXT);
        });
        EXPECT_EQ(result, 1);
        if (c.offered.empty()) {
            EXPECT_TRUE(absent);
        } else {
            EXPECT_EQ(listed, c.offered);
        }
        EXPECT_STREQ(g_setup.storageRoot, "\\");
        Disconnect();
    }
}

// A root with more entries than any real one: the search ends after 4,096
// of them and offers the cards it found by then.
TEST_F(StoragePage, TheCardSearchEndsAfter4096RootEntries) {
    TestDevice device("hpcpro");
    // Made in the image's store directly: the device reads its folders there.
    const std::wstring store = device.ImageFolder() + L"\\store\\f";
    for (int i = 0; i < 4095; ++i) ASSERT_TRUE(CreateDirectoryW((store + std::to_wstring(10000 + i)).c_str(), nullptr));
    device.InsertCard(L"A Card");  // found first
    device.InsertCard(L"Z Card");  // after every other entry
    device.Plug();
    ASSERT_EQ(EnsureDeviceReady(), 1);
    EXPECT_EQ(CountStorageLocations(), 2);
    Disconnect();
}

// Every way out of the page, in one connected run: Cancel answered No keeps
// the page and its choice, Back and a confirmed Cancel leave storageRoot
// alone, Next and a double-click take the entry chosen, by its name.
TEST_F(StoragePage, WaysOut) {
    TestDevice device("hpc2000");
    device.InsertCard(L"SD Card");
    device.Plug();
    ASSERT_EQ(EnsureDeviceReady(), 1);

    struct Way {
        const char *what;
        int choose;  // list position chosen before leaving
        std::function<void(HWND)> leave;
        int result;
        const char *root;  // nullptr: unchanged
    };
    const Way ways[] = {
        {"Cancel, No, then Next", 2,
         [](HWND page) {
             robot::Click(page, IDCANCEL);
             // No owner, yet no input to the page while the question is up.
             robot::WaitForWindow(kCaptionSetup);
             EXPECT_FALSE(IsWindowEnabled(page));
             EXPECT_EQ(robot::AnswerMessageBox(kCaptionSetup, IDNO), kTextAbortQuestion);
             Sleep(100);
             EXPECT_TRUE(IsWindowVisible(page));
             EXPECT_TRUE(IsWindowEnabled(page));
             EXPECT_EQ(SendDlgItemMessageA(page, IDC_LIST, LB_GETCURSEL, 0, 0), 2);
             robot::Click(page, IDC_NEXT);
         },
         1, "\\SD Card\\"},
        {"Back", 1, [](HWND page) { robot::Click(page, IDC_WIZARD_BACK); }, -1, nullptr},
        {"Cancel, Yes", 1,
         [](HWND page) {
             robot::Click(page, IDCANCEL);
             robot::AnswerMessageBox(kCaptionSetup, IDYES);
         },
         0, nullptr},
        {"double-click", 1,
         [](HWND page) {
             PostMessageA(page, WM_COMMAND, MAKEWPARAM(IDC_LIST, LBN_DBLCLK),
                          reinterpret_cast<LPARAM>(GetDlgItem(page, IDC_LIST)));
         },
         1, "\\CF Card\\"},
        {"Enter on main memory", 0, [](HWND page) { robot::Click(page, IDOK); }, 1, "\\"},
        {"a name that cannot be read back: said, and chosen again", 1,
         [](HWND page) {
             const std::string overlong(300, 'o');
             const LRESULT at = SendDlgItemMessageA(page, IDC_LIST, LB_ADDSTRING, 0,
                                                    reinterpret_cast<LPARAM>(overlong.c_str()));
             SendDlgItemMessageA(page, IDC_LIST, LB_SETCURSEL, at, 0);
             robot::Click(page, IDC_NEXT);
             robot::WaitForWindow(kCaptionError);
             EXPECT_FALSE(IsWindowEnabled(page));
             EXPECT_EQ(robot::AnswerMessageBox(kCaptionError, IDOK), kTextStorageNameUnreadable);
             Sleep(100);
             EXPECT_TRUE(IsWindowVisible(page));
             EXPECT_STREQ(g_setup.storageRoot, "\\unset\\");
             SendDlgItemMessageA(page, IDC_LIST, LB_SETCURSEL, 2, 0);
             robot::Click(page, IDC_NEXT);
         },
         1, "\\SD Card\\"},
    };
    for (const Way &way : ways) {
        SCOPED_TRACE(way.what);
        strcpy(g_setup.storageRoot, "\\unset\\");
        int result = robot::RunWithRobot(RunStorageSelection, [&] {
            HWND page = robot::WaitForWindow(kStoragePage);
            if (!page) return;
            EXPECT_EQ(ListEntries(page), (Names{"Main Memory", "CF Card", "SD Card"}));
            SendDlgItemMessageA(page, IDC_LIST, LB_SETCURSEL, way.choose, 0);
            way.leave(page);
            EXPECT_TRUE(robot::WaitForWindowGone(page));
        });
        EXPECT_EQ(result, way.result);
        EXPECT_STREQ(g_setup.storageRoot, way.root ? way.root : "\\unset\\");
    }
    // One search of the device root per run, and one more to decide that
    // the page is needed.
    EXPECT_EQ(CountLog(device.Log(), "CeFindFirstFile \"\\*\""), 2 * (sizeof ways / sizeof ways[0]));
}

// A card pulled out while the page is open: the books cannot be sent to
// another card by its position; the chosen name is kept as listed.
TEST_F(StoragePage, CardRemovedWhileOpenKeepsTheListedName) {
    TestDevice device("hpc2000");
    device.InsertCard(L"SD Card");
    device.Plug();
    ASSERT_EQ(EnsureDeviceReady(), 1);
    int result = robot::RunWithRobot(RunStorageSelection, [&] {
        HWND page = robot::WaitForWindow(kStoragePage);
        if (!page) return;
        device.RemoveCard(L"CF Card");
        SendDlgItemMessageA(page, IDC_LIST, LB_SETCURSEL, 2, 0);
        robot::Click(page, IDC_NEXT);
    });
    EXPECT_EQ(result, 1);
    EXPECT_STREQ(g_setup.storageRoot, "\\SD Card\\");
}

}  // namespace
}  // namespace transfer
