// The storage location page against devices with and without cards, and
// the room check that follows it.
#include <stdio.h>

#include "books/book_transfer.h"
#include "books/room_needed.h"
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

// ---- Room ---------------------------------------------------------------

const uint64_t kMargin = 65536;  // 64 KB, more than 1% below 6.4 MB

// The room the copies need at their peak, with the margin.
TEST(RoomNeeded, PeakOfTheCopiesInOrder) {
    const char *const a = "\\My Documents\\Corvex Press\\alpha.vbk";
    const char *const b = "\\My Documents\\Corvex Press\\bravo.vbk";
    const char *const w = "\\My Documents\\Corvex Press\\wsj.vbk";
    struct Case {
        const char *what;
        std::vector<PlannedCopy> copies;
        uint64_t needed;
    } const kCases[] = {
        {"nothing chosen", {}, 0},
        {"new books add up", {{a, 1000, false, false, 0}, {b, 2000, false, false, 0}}, 3000 + kMargin},
        {"books up to date need nothing", {{a, 1000, false, true, 1000}, {b, 2000, false, true, 2000}}, 0},
        {"an older copy is freed only once the new one is whole",
         {{a, 8000, false, false, 5000}, {b, 1000, false, false, 0}}, 8000 + kMargin},
        {"a larger book replaced leaves room for the next",
         {{a, 10000, false, false, 50000}, {b, 45000, false, false, 0}}, 10000 + kMargin},
        {"the newspaper replaces its issue whatever the times, and the next issue the first",
         {{w, 20000, true, true, 7000}, {w, 25000, true, true, 7000}}, 38000 + kMargin},
        {"a book chosen twice is copied once", {{a, 3000, false, false, 0}, {a, 3000, false, false, 0}},
         3000 + kMargin},
        {"names differing in case are one device file",
         {{a, 3000, false, false, 0}, {"\\MY DOCUMENTS\\CORVEX PRESS\\ALPHA.VBK", 3000, false, false, 0}},
         3000 + kMargin},
        {"1% once it is more than 64 KB", {{a, 10000000, false, false, 0}}, 10100000},
        {"1% rounded up", {{a, 10000001, false, false, 0}}, 10100002},
    };
    for (const Case &c : kCases) EXPECT_EQ(RoomNeeded(c.copies), c.needed) << c.what;
}

TEST(RoomNeeded, SizesForTheUser) {
    struct Case {
        uint64_t bytes;
        bool roundUp;
        const char *text;
    } const kCases[] = {
        {0, false, "0 KB"},          {1, true, "1 KB"},           {1023, false, "0 KB"},
        {921600, true, "900 KB"},    {1048575, false, "1023 KB"}, {1048575, true, "1.0 MB"},
        {1048576, false, "1.0 MB"},  {26528972, true, "25.3 MB"}, {8283750, false, "7.8 MB"},
        {8283750, true, "7.9 MB"},
    };
    for (const Case &c : kCases) EXPECT_EQ(RoomText(c.bytes, c.roundUp), c.text) << c.bytes << " " << c.roundUp;
}

// Install Book where the chosen books may not fit: refused with one box and
// nothing written, then the storage page again (the book page on a device
// without cards); or carried out when they fit or the room is unknown.
class RoomCheck : public TransferTest {
protected:
    // alpha and bravo: 150078 and 50078 bytes.
    void SetUp() override {
        TransferTest::SetUp();
        AddBook("alpha.vbk", "Alpha", 150000, kYear2001 + kOneDay);
        AddBook("bravo.vbk", "Bravo", 50000, kYear2001 + kOneDay);
    }
};

// Bytes in use in the store that holds folder, as the device reports them
// before any capacity is set.
uint64_t UsedBytes(const wchar_t *folder) {
    ULARGE_INTEGER free{}, total{}, totalFree{};
    EXPECT_TRUE(CeGetDiskFreeSpaceEx(folder, &free, &total, &totalFree));
    return total.QuadPart - free.QuadPart;
}

std::string RoomBox(uint64_t needed, const char *location, uint64_t free) {
    char text[512];
    snprintf(text, sizeof text, kTextBooksDoNotFitFormat, RoomText(needed, true).c_str(), location,
             RoomText(free, false).c_str());
    return std::string("Tesh\x99 Reader Setup: ") + text;
}

TEST_F(RoomCheck, BooksThatDoNotFitAreSaidBeforeAnythingIsWritten) {
    // kOlderIssue: a newspaper issue (first by its title) replaces a newer
    // one; kReaderCurrent: the reader's files are up to date already.
    enum Start { kEmpty, kOlderAlpha, kBooksCurrent, kOlderIssue, kReaderCurrent };
    struct Case {
        const char *what;
        const char *profile;   // pocketpc: Main Memory and Storage Card; hpcpro: main memory only
        const char *location;  // where the books are sent first
        Start start;
        uint64_t peak;         // the room the run needs, without the margin and the reader
        bool reader;           // the reader counts: it goes to the same store
        int64_t spare;         // free room minus the room needed
        bool network;          // over the network only main memory's room can be learnt
        bool roomRefused;      // the device fails every question for its room
        // Two newspaper issues (100078 bytes each) over an older one of
        // 10000 bytes, then one more book (100078): the second issue
        // replaces the first, not the older one again.
        bool issues = false;
        bool listingRefused = false;  // the device fails every listing of a folder
        // The room was not known and the books do not all fit: alpha meets
        // the full store and is told in one box after the others; bravo,
        // smaller, is still tried and fits; zulu, larger, is not tried.
        bool full = false;
    } const kCases[] = {
        {"fits exactly", "pocketpc", "Storage Card", kEmpty, 200156, false, 0, false, false},
        {"one byte over", "pocketpc", "Storage Card", kEmpty, 200156, false, -1, false, false},
        {"books up to date need nothing", "pocketpc", "Storage Card", kBooksCurrent, 0, false, 0, false, false},
        {"a replaced book at the peak", "pocketpc", "Storage Card", kOlderAlpha, 150078, false, -1, false, false},
        {"the reader counted in main memory", "hpcpro", "Main Memory", kEmpty, 200156, true, -1, false, false},
        {"the reader not counted on a card, main memory full", "pocketpc", "Main Memory", kEmpty, 200156, true,
         -1, false, false},
        {"room unknown: the device cannot tell it", "pocketpc", "Storage Card", kEmpty, 200156, false, -1, false,
         true},
        {"room unknown: a card over the network", "pocketpc", "Storage Card", kEmpty, 200156, false, -1, true, false},
        {"main memory's room over the network", "hpcpro", "Main Memory", kEmpty, 200156, true, -1, true, false},
        {"a card with more than 4 GB free", "pocketpc", "Storage Card", kEmpty, 200156, false, 0xFFFFFFFFll, false,
         false},
        {"the newspaper counts however new the issue it replaces", "pocketpc", "Storage Card", kOlderIssue, 220234,
         false, -1, false, false},
        {"the reader up to date in main memory needs no room", "hpcpro", "Main Memory", kReaderCurrent, 200156, false,
         0, false, false},
        // A listing that fails takes the older alpha as absent: the room it
        // would free is not counted on.
        {"a failed listing counts every book in full", "pocketpc", "Storage Card", kOlderAlpha, 200156, false, -50078,
         false, false, false, true},
        {"a failed listing over the network", "hpcpro", "Main Memory", kOlderAlpha, 200156, true, -50078, true,
         false, false, true},
        {"a full card over the network: one box, and the smaller book still goes", "pocketpc", "Storage Card",
         kEmpty, 200156, false, -165692, true, false, false, false, true},
        {"main memory fuller than it said: one box", "hpcpro", "Main Memory", kEmpty, 200156, true, -165692, false,
         true, false, false, true},
        // Last: its books stay in the book folder.
        {"two newspaper issues over an older one, then a book", "pocketpc", "Storage Card", kEmpty, 390312, false,
         0, false, false, true},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.what);
        const bool card = strcmp(c.location, "Storage Card") == 0;
        const std::wstring root = card ? L"\\Storage Card\\" : L"\\";
        const std::wstring folder = root + L"My Documents\\Corvex Press\\";
        TestDevice device(c.profile);
        if (c.full) AddBook("zulu.vbk", "Zulu", 200000, kYear2001 + kOneDay);
        if (c.issues) {
            AddBook("wsj0101.vbk", "The Wall Street Journal", 100000, kYear2001 + kOneDay);
            AddBook("wsj0102.vbk", "The Wall Street Journal", 100000, kYear2001 + 2 * kOneDay);
            AddBook("zulu.vbk", "Zulu", 100000, kYear2001 + kOneDay);
            const FILETIME older = MakeFileTime(kYear2001);
            device.WriteFile(folder + L"wsj.vbk", std::string(10000, 'w'));
            device.SetTimes(folder + L"wsj.vbk", older, older, older);
        }
        if (c.start == kOlderAlpha) {
            const FILETIME older = MakeFileTime(kYear2001);
            device.WriteFile(folder + L"alpha.vbk", std::string(100000, 'o'));
            device.SetTimes(folder + L"alpha.vbk", older, older, older);
        }
        if (c.start == kOlderIssue) {
            // 30078 bytes that replace 10000; the device's issue is newer.
            AddBook("wsj0101.vbk", "Almanac News", 30000, kYear2001);
            device.WriteFile(folder + L"wsj.vbk", std::string(10000, 'w'));
            const FILETIME newer = MakeFileTime(kYear2001 + 30 * kOneDay);
            device.SetTimes(folder + L"wsj.vbk", newer, newer, newer);
        }
        // A device file as an earlier run left it: the host file's content
        // and times.
        auto copiedBefore = [&device](const std::wstring &path, const std::string &content, ULONGLONG write) {
            device.WriteFile(path, content);
            device.SetTimes(path, MakeFileTime(write - 3 * kOneDay), MakeFileTime(write + kOneDay), MakeFileTime(write));
        };
        if (c.start == kReaderCurrent) {
            copiedBefore(kReader, ReaderVariant("hpc211.sh3"), kYear2001);
            copiedBefore(L"\\Program Files\\Corvex Press\\tarnlib.dll", HelperVariant("hpc211.sh3"), kYear2001);
        }
        if (c.start == kBooksCurrent) {
            for (const char *name : {"alpha.vbk", "bravo.vbk"}) {
                copiedBefore(folder + Wide(name), books_[name], kYear2001 + kOneDay);
            }
        }
        device.Plug();
        g_setup.connected = 0;
        ASSERT_EQ(EnsureDeviceReady(), 1);
        const std::string pair = strcmp(c.profile, "hpcpro") == 0 ? "hpc211.sh3" : "ppc300.arm";
        const uint64_t readerBytes = c.reader ? ReaderVariant(pair).size() + HelperVariant(pair).size() : 0;
        const uint64_t needed = c.peak ? c.peak + readerBytes + kMargin : 0;
        const uint64_t free = static_cast<uint64_t>(static_cast<int64_t>(needed) + c.spare);
        // Main memory's figures count the device's own files too, unless a
        // capacity stands for them: measured under a large one, the bytes in
        // use are the files'.
        if (!card) device.SetFault("capacity", "1000000000");
        const uint64_t used = UsedBytes(root.c_str());
        if (card) {
            device.SetFault("card_capacity", "Storage Card:" + std::to_string(used + free));
        } else {
            device.SetFault("capacity", std::to_string(used + free));
        }
        if (c.network) {
            Disconnect();
            const uint16_t port = device.ServeNetwork();
            ASSERT_NE(port, 0);
            SetEnvironmentVariableA("RAPI_DEVICE", ("127.0.0.1:" + std::to_string(port)).c_str());
        }
        if (c.roomRefused) device.SetFault("refuse_room", std::to_string(ERROR_NOT_SUPPORTED));
        if (c.listingRefused) device.SetFault("refuse_listing", std::to_string(ERROR_NOT_SUPPORTED));
        const bool refused = c.spare < 0 && !(c.network && card) && !c.roomRefused;
        // Main memory full, refused: the card, which has room, is chosen next.
        const bool thenCard = refused && !card && strcmp(c.profile, "pocketpc") == 0;
        if (thenCard) {
            const uint64_t cardUsed = UsedBytes(L"\\Storage Card");
            device.SetFault("card_capacity", "Storage Card:" + std::to_string(cardUsed + c.peak + kMargin));
        }
        const size_t mark = device.Log().size();
        std::vector<std::string> boxes, afterwards;
        const int result = robot::RunWithRobot(InstallBooks, [&] {
            ChooseBooks();
            if (strcmp(c.profile, "pocketpc") == 0) ChooseStorage(c.location);
            boxes = AnswerBoxesUntil(refused || c.full ? nullptr : kCompletion);
            if (c.full) return;
            if (!refused) return Finish();
            EXPECT_EQ(CountLog(device.Log(), "CeWriteFile", mark), 0u) << "nothing written before the box";
            if (thenCard) {
                ChooseStorage("Storage Card");
                afterwards = AnswerBoxesUntil(kCompletion);
                return Finish();
            }
            // Back where another choice can be made; then Cancel.
            HWND page = robot::WaitForWindow(c.profile == std::string("hpcpro") ? kBookPage : kStoragePage);
            robot::Click(page, IDCANCEL);
            robot::AnswerMessageBox(kCaptionSetup, IDYES);
        }, 120000);
        SetEnvironmentVariableA("RAPI_DEVICE", nullptr);
        EXPECT_EQ(result, 0);
        const std::vector<std::string> expected{RoomBox(needed, c.location, free)};
        const std::vector<std::string> full{
            std::string("Error: ") +
                (card ? "The storage card \"Storage Card\" is full: alpha.vbk and 1 more book were not copied. "
                        "Make room on the card, or choose Main Memory."
                      : "Main memory is full: alpha.vbk and 1 more book were not copied. Make room in main memory, "
                        "or choose a storage card if the device has one."),
            "Tesh\x99 Reader Setup: 2 of 3 books could not be installed on the device."};
        EXPECT_EQ(boxes, refused ? expected : c.full ? full : std::vector<std::string>{});
        const std::wstring copied = thenCard ? L"\\Storage Card\\My Documents\\Corvex Press\\" : folder;
        for (const char *name : {"alpha.vbk", "bravo.vbk"}) {
            if (c.start == kBooksCurrent) {
                EXPECT_TRUE(device.ReadFile(copied + Wide(name)) == books_[name]) << name;
            } else if (c.full && name == std::string("alpha.vbk")) {
                EXPECT_FALSE(device.Exists(copied + Wide(name)));
                EXPECT_FALSE(device.Exists(copied + L"~tesh.tmp"));
            } else if (!refused || thenCard) {
                ExpectBookOnDevice(device, copied + Wide(name), name);
            } else {
                EXPECT_FALSE(device.ReadFile(folder + Wide(name)) == books_[name]) << name;
            }
        }
        if (thenCard) {
            EXPECT_FALSE(device.Exists(L"\\My Documents\\Corvex Press"));
        }
        // The room check lists the book folder once: no book is looked up
        // on its own before the first byte is written.
        const std::vector<std::string> log = device.Log();
        size_t firstWrite = mark;
        while (firstWrite < log.size() && log[firstWrite].find("CeWriteFile") == std::string::npos) ++firstWrite;
        EXPECT_EQ(CountLog(std::vector<std::string>(log.begin(), log.begin() + firstWrite), "bravo.vbk", mark), 0u);
        if (c.full) {
            // Two copies begun, alpha's and bravo's: zulu was not tried.
            size_t copies = 0;
            for (size_t i = mark; i < log.size(); ++i) {
                copies += log[i].find("CeCreateFile") != std::string::npos &&
                          log[i].find("My Documents\\Corvex Press\\~tesh.tmp\"") != std::string::npos;
            }
            EXPECT_EQ(copies, 2u);
            EXPECT_FALSE(device.Exists(copied + L"zulu.vbk"));
            DeleteFileA((bookFolder_ + "\\zulu.vbk").c_str());
            books_.erase("zulu.vbk");
        }
        if (c.start == kOlderIssue) {
            DeleteFileA((bookFolder_ + "\\wsj0101.vbk").c_str());
            books_.erase("wsj0101.vbk");
        }
        Disconnect();
    }
}

}  // namespace
}  // namespace transfer
