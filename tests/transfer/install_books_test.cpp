// The Install Book workflow from its first page to the completion dialog,
// with the device's content, times and paths checked afterwards.
#include "books/book_paths.h"
#include "books/book_transfer.h"
#include <thread>

#include "device/diagnostic_reports.h"
#include "device/rapi.h"
#include "transfer_fixture.h"

namespace transfer {
namespace {

const wchar_t kMainFolder[] = L"\\My Documents\\Corvex Press\\";
const char kWsjTitle[] = "The Wall Street Journal";

class InstallBooksTest : public TransferTest {
protected:
    // Runs InstallBooks while the robot plays script; the progress window
    // must be hidden again whatever happened.
    int Run(const std::function<void()> &script) {
        int result = robot::RunWithRobot(InstallBooks, script, 120000);
        EXPECT_FALSE(g_setup.progressWindow && IsWindowVisible(g_setup.progressWindow));
        return result;
    }
    // Every book, no storage page: the message boxes met on the way to the
    // completion dialog, which is then finished; the run must end with 0.
    std::vector<std::string> BoxesOfAnInstall() {
        std::vector<std::string> boxes;
        EXPECT_EQ(Run([&] {
                      ChooseBooks();
                      boxes = AnswerBoxesUntil(kCompletion);
                      Finish();
                  }),
                  0);
        return boxes;
    }
};

// Ordinary books to main memory on a device without a card (no storage
// page), then to a card on a device with one; a name in upper-case "WSJ" is
// an ordinary book. The reader is installed and started, the current
// directory is the book folder, and a second run copies nothing again.
TEST_F(InstallBooksTest, BooksToMainMemoryAndToACard) {
    AddBook("alpha.vbk", "Alpha", 40000);
    AddBook("bravo.vbk", "Bravo", 0);
    AddBook("WSJ0101.vbk", "Charlie");
    struct Target {
        const char *profile;
        const char *card;  // nullptr: main memory, no storage page
        std::wstring folder;
        const char *pair;
    };
    const Target targets[] = {
        {"hpcpro", nullptr, kMainFolder, "hpc211.sh3"},
        {"pocketpc", "Storage Card", L"\\Storage Card\\My Documents\\Corvex Press\\", "ppc300.arm"},
    };
    for (const Target &t : targets) {
        SCOPED_TRACE(t.profile);
        TestDevice device(t.profile);
        device.Plug();
        g_setup.connected = 0;
        bool storageShown = false;
        EXPECT_EQ(Run([&] {
                      ChooseBooks();
                      if (t.card) {
                          ChooseStorage(t.card);
                      } else {
                          storageShown = !robot::StaysAbsent(kStoragePage, 300);
                      }
                      Finish();
                  }),
                  0);
        EXPECT_FALSE(storageShown);
        for (const char *name : {"alpha.vbk", "bravo.vbk", "WSJ0101.vbk"})
            ExpectBookOnDevice(device, t.folder + Wide(name), name);
        EXPECT_FALSE(device.Exists(t.folder + L"wsj.vbk"));
        if (t.card) {
            EXPECT_FALSE(device.Exists(L"\\My Documents\\Corvex Press"));
        }
        EXPECT_EQ(device.ReadFile(kReader), ReaderVariant(t.pair));
        EXPECT_TRUE(device.IsRunning(kReader));
        EXPECT_EQ(CurrentDirectory(), bookFolder_);

        // Again: the books are up to date, nothing is written, and the
        // temporary files earlier copies left in the two folders go.
        device.WriteFile(t.folder + L"~tesh.tmp", std::string(25000, 't'));
        device.WriteFile(L"\\Program Files\\Corvex Press\\~tesh.tmp", "left over");
        const size_t mark = device.Log().size();
        EXPECT_EQ(Run([&] {
                      ChooseBooks();
                      if (t.card) ChooseStorage(t.card);
                      Finish();
                  }),
                  0);
        EXPECT_EQ(CountLog(device.Log(), "CeWriteFile", mark), 0u);
        EXPECT_FALSE(device.Exists(t.folder + L"~tesh.tmp"));
        EXPECT_FALSE(device.Exists(L"\\Program Files\\Corvex Press\\~tesh.tmp"));
        Disconnect();
    }
}

// Each pass of the book page starts from an empty list: the books chosen
// before Back on the storage page are not copied. Two books with one title
// are two books, each copied from its own file.
TEST_F(InstallBooksTest, TheLastPassOfTheBookPageCounts) {
    AddBook("alpha.vbk", "Alpha");
    AddBook("one.vbk", "Same Title", 2000);
    AddBook("two.vbk", "Same Title", 4000);
    TestDevice device("pocketpc");
    device.Plug();
    EXPECT_EQ(Run([&] {
                  ChooseBooks({"Alpha"});
                  robot::Click(robot::WaitForWindow(kStoragePage), IDC_WIZARD_BACK);
                  HWND page = robot::WaitForWindow(kBookPage);
                  const std::vector<std::string> entries = ListEntries(page);
                  for (size_t i = 0; i < entries.size(); ++i) {
                      if (entries[i] == "Same Title") SendDlgItemMessageA(page, IDC_LIST, LB_SETSEL, TRUE, i);
                  }
                  robot::Click(page, IDC_NEXT);
                  ChooseStorage("Main Memory");
                  Finish();
              }),
              0);
    EXPECT_FALSE(device.Exists(std::wstring(kMainFolder) + L"alpha.vbk"));
    ExpectBookOnDevice(device, std::wstring(kMainFolder) + L"one.vbk", "one.vbk");
    ExpectBookOnDevice(device, std::wstring(kMainFolder) + L"two.vbk", "two.vbk");
}

// Device paths are joined within 255 characters; one more is refused, and
// nothing is written past the buffer.
TEST(DevicePaths, JoinedWithinTheDeviceLength) {
    for (size_t total : {size_t(254), size_t(255), size_t(256), size_t(300)}) {
        SCOPED_TRACE(total);
        struct {
            char out[kDevicePathChars];
            char guard[8];
        } buffer;
        memset(&buffer, 'g', sizeof buffer);
        const std::string a(total - 6, 'a');
        const bool fits = JoinDevicePath(buffer.out, a.c_str(), "bbbbb", "c");
        EXPECT_EQ(fits, total <= 255);
        EXPECT_EQ(std::string(buffer.guard, sizeof buffer.guard), std::string(8, 'g'));
        if (fits) {
            EXPECT_EQ(std::string(buffer.out), a + "bbbbbc");
        } else {
            EXPECT_EQ(buffer.out[0], 'g');
        }
    }
    // A storage root holds books when its book folder takes the copy's
    // temporary file: 220 + 26 + 9 = 255.
    EXPECT_TRUE(StorageRootHoldsBooks(220));
    EXPECT_FALSE(StorageRootHoldsBooks(221));
}

// The newspaper: two issues in one run replace the device's issue (newer
// than both) under "wsj.vbk"; the later one stays. Its page file is
// deleted, and its state file, when there is one, has bytes 8 to 11 zeroed.
TEST_F(InstallBooksTest, NewspaperIssuesReplaceTheCurrentOne) {
    AddBook("wsj0101.vbk", kWsjTitle, 5000, kYear2001);
    AddBook("wsj0102.vbk", kWsjTitle, 7000, kYear2001 + kOneDay);
    const std::string state = "0123456789ABCDEFGHIJ";
    for (bool withState : {true, false}) {
        SCOPED_TRACE(withState ? "with wsj.vbks" : "without wsj.vbks");
        TestDevice device("hpcpro");
        device.MakeFolder(L"\\My Documents\\Corvex Press");
        device.WriteFile(std::wstring(kMainFolder) + L"wsj.vbk", "the device's issue");
        const FILETIME later = MakeFileTime(kYear2001 + 30 * kOneDay);
        device.SetTimes(std::wstring(kMainFolder) + L"wsj.vbk", later, later, later);
        device.WriteFile(std::wstring(kMainFolder) + L"wsj.vbk.ppd", "pages");
        if (withState) device.WriteFile(std::wstring(kMainFolder) + L"wsj.vbks", state);
        device.Plug();
        g_setup.connected = 0;
        EXPECT_EQ(Run([&] {
                      ChooseBooks();
                      Finish();
                  }),
                  0);
        ExpectBookOnDevice(device, std::wstring(kMainFolder) + L"wsj.vbk", "wsj0102.vbk");
        EXPECT_FALSE(device.Exists(std::wstring(kMainFolder) + L"wsj.vbk.ppd"));
        EXPECT_FALSE(device.Exists(std::wstring(kMainFolder) + L"wsj0101.vbk"));
        EXPECT_FALSE(device.Exists(std::wstring(kMainFolder) + L"wsj0102.vbk"));
        if (withState) {
            EXPECT_EQ(device.ReadFile(std::wstring(kMainFolder) + L"wsj.vbks"),
                      state.substr(0, 8) + std::string(4, '\0') + state.substr(12));
            // The state file was closed again: it opens without sharing.
            HANDLE reopened = CeCreateFile((std::wstring(kMainFolder) + L"wsj.vbks").c_str(), GENERIC_WRITE, 0,
                                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            EXPECT_NE(reopened, INVALID_HANDLE_VALUE);
            if (reopened != INVALID_HANDLE_VALUE) CeCloseHandle(reopened);
        } else {
            EXPECT_FALSE(device.Exists(std::wstring(kMainFolder) + L"wsj.vbks"));
        }
        // Both issues were written, in list order.
        const std::vector<std::string> log = device.Log();
        EXPECT_EQ(CountLog(log, "wsj0101.vbk"), 0u);
        Disconnect();
    }
}

// The emulator: the reader is refused, the books are copied all the same,
// and the completion dialog follows.
TEST_F(InstallBooksTest, EmulatorRefusalThenBooksCopied) {
    AddBook("alpha.vbk", "Alpha");
    TestDevice device("emulator");
    device.Plug();
    std::vector<std::string> boxes = BoxesOfAnInstall();
    EXPECT_EQ(boxes, std::vector<std::string>{std::string(kCaptionSetup) + ": " + kTextEmulatorRefused});
    ExpectBookOnDevice(device, std::wstring(kMainFolder) + L"alpha.vbk", "alpha.vbk");
    EXPECT_FALSE(device.Exists(kReader));
}

// Leaving early: Back and a confirmed Cancel on the book page, Back then
// Cancel on the storage page, and no connection. Nothing reaches the device.
TEST_F(InstallBooksTest, LeavingBeforeTheTransfer) {
    AddBook("alpha.vbk", "Alpha");
    TestDevice device("pocketpc");
    struct Way {
        const char *what;
        std::function<void()> script;
        int result;
    };
    const Way ways[] = {
        {"Back on the book page",
         [] {
             HWND page = robot::WaitForWindow(kBookPage);
             robot::Click(page, IDC_WIZARD_BACK);
         },
         -1},
        {"Cancel on the book page",
         [] {
             HWND page = robot::WaitForWindow(kBookPage);
             robot::Click(page, IDCANCEL);
             robot::AnswerMessageBox(kCaptionSetup, IDYES);
         },
         0},
        {"Back, then Cancel on the storage page",
         [] {
             ChooseBooks();
             HWND page = robot::WaitForWindow(kStoragePage);
             robot::Click(page, IDC_WIZARD_BACK);
             ChooseBooks();
             page = robot::WaitForWindow(kStoragePage);
             robot::Click(page, IDCANCEL);
             robot::AnswerMessageBox(kCaptionSetup, IDYES);
         },
         0},
    };
    device.Plug();
    for (const Way &way : ways) {
        SCOPED_TRACE(way.what);
        EXPECT_EQ(Run(way.script), way.result);
    }
    Disconnect();
    device.Unplug();
    g_setup.connected = 0;
    EXPECT_EQ(Run([] {
                  HWND connecting = robot::WaitForWindow("Establishing Connection");
                  robot::Click(connecting, IDCANCEL);
                  EXPECT_EQ(robot::AnswerMessageBox(kCaptionDeviceInformation, IDOK), kTextNoConnection);
                  EXPECT_TRUE(robot::StaysAbsent(kBookPage, 300));
              }),
              -1);
    for (const std::string &line : device.Log()) {
        EXPECT_EQ(line.find("CeCreateFile"), std::string::npos) << line;
        EXPECT_EQ(line.find("CeCreateDirectory"), std::string::npos) << line;
    }
}

// Books that cannot be copied are each named once with the system's text,
// and the others still go: on a card with a long name, a book whose device
// path would pass 255 characters (nothing is cut), a device file that is a
// folder, and, on a card that fills up, the newspaper, which then leaves
// the device's issue and its companions as they were and is told after the
// others as the book the full card did not take. In place of the
// completion dialog, the count of the books not installed.
TEST_F(InstallBooksTest, BooksThatCannotBeCopiedAreNamed) {
    const std::string card(200, 'k');
    const std::wstring folder = L"\\" + Wide(card) + L"\\My Documents\\Corvex Press\\";
    const std::string longName = std::string(56, 'l') + ".vbk";  // 228 + 60 > 255
    AddBook("alpha.vbk", "Alpha");
    AddBook("bravo.vbk", "Bravo");
    AddBook("charlie.vbk", "Charlie");
    AddBook("delta.vbk", "Delta");
    AddBook(longName, "Long");
    AddBook("wsj0101.vbk", kWsjTitle, 60000);
    TestDevice device("hpcpro");
    device.InsertCard(Wide(card));
    device.MakeFolder(folder + L"bravo.vbk");
    device.WriteFile(folder + L"wsj.vbk", "old issue");
    device.WriteFile(folder + L"wsj.vbk.ppd", "pages");
    device.WriteFile(folder + L"wsj.vbks", "0123456789AB");
    // A small card that keeps its room to itself: nothing warns before the
    // first byte, and the newspaper meets the full card.
    device.SetFault("card_capacity", card + ":40000");
    device.SetFault("refuse_room", "50");
    device.Plug();
    std::vector<std::string> boxes;
    HANDLE locked = INVALID_HANDLE_VALUE;
    EXPECT_EQ(Run([&] {
                  ChooseBooks();
                  // Listed, then locked by another program before the transfer.
                  locked = CreateFileA((bookFolder_ + "\\delta.vbk").c_str(), GENERIC_READ, 0, nullptr,
                                       OPEN_EXISTING, 0, nullptr);
                  ChooseStorage(card);
                  boxes = AnswerBoxesUntil(nullptr);
                  EXPECT_TRUE(robot::StaysAbsent(kCompletion, 300));
              }),
              0);
    CloseHandle(locked);
    EXPECT_FALSE(device.Exists(folder + L"delta.vbk"));
    EXPECT_STREQ(g_setup.storageRoot, ("\\" + card + "\\").c_str());
    EXPECT_EQ(boxes, (std::vector<std::string>{
                         "Error: " + NotCopiedText("bravo.vbk", ERROR_ACCESS_DENIED),
                         "Error: " + NotCopiedText("delta.vbk", ERROR_SHARING_VIOLATION),
                         "Error: " + NotCopiedText(longName, ERROR_FILENAME_EXCED_RANGE),
                         "Error: The storage card \"" + card +
                             "\" is full: wsj0101.vbk was not copied. Make room on the card, or choose Main Memory.",
                         std::string(kCaptionSetup) + ": 4 of 6 books could not be installed on the device.",
                     }));
    ExpectBookOnDevice(device, folder + L"alpha.vbk", "alpha.vbk");
    ExpectBookOnDevice(device, folder + L"charlie.vbk", "charlie.vbk");
    EXPECT_EQ(device.ReadFile(folder + L"wsj.vbk"), "old issue");
    EXPECT_EQ(device.ReadFile(folder + L"wsj.vbk.ppd"), "pages");
    EXPECT_EQ(device.ReadFile(folder + L"wsj.vbks"), "0123456789AB");
    EXPECT_TRUE(device.IsRunning(kReader));
    // Nothing was written under a cut name.
    for (const std::string &line : device.Log()) EXPECT_EQ(line.find("llllll.vb"), std::string::npos) << line;
}

// The link drops in the middle of the first, a middle and the last book,
// and while the reader is brought up to date: one box names what was being
// copied, how many chosen books are not on the device and what to do;
// nothing more asks the device, and the main menu comes back without the
// completion dialog. The books before the drop are on the device.
TEST_F(InstallBooksTest, LinkLostIsSaidOnceWithWhatToDo) {
    const char *const names[] = {"alpha.vbk", "bravo.vbk", "charlie.vbk"};
    for (const char *name : names) AddBook(name, name, 20000);
    const size_t reader = ReaderVariant("hpc211.sh3").size() + HelperVariant("hpc211.sh3").size();
    const size_t book = books_["alpha.vbk"].size();
    struct Case {
        const char *what;
        size_t dropAfterBytes;
        int copied;  // books on the device before the drop
        std::string box;
        // A folder stands where the first book belongs: it is refused on its
        // own, and counts with the books the lost link kept off the device.
        bool firstRefused = false;
    } const kCases[] = {
        {"in the reader", 10, 0, LinkLostText("The device was disconnected while the reader was being installed.", 3, 3)},
        {"in the first book", reader + 100, 0,
         LinkLostText("The device was disconnected while alpha.vbk was being copied.", 3, 3)},
        {"in the middle book", reader + book + 100, 1,
         LinkLostText("The device was disconnected while bravo.vbk was being copied.", 2, 3)},
        {"in the last book", reader + 2 * book + 100, 2,
         LinkLostText("The device was disconnected while charlie.vbk was being copied.", 1, 3)},
        {"in the middle book, after the first was refused", reader + 100, 0,
         LinkLostText("The device was disconnected while bravo.vbk was being copied.", 3, 3), true},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.what);
        // The reader's installation leaves the setup folder current.
        SetCurrentDirectoryA(bookFolder_.c_str());
        TestDevice device("hpcpro");
        if (c.firstRefused) device.MakeFolder(std::wstring(kMainFolder) + L"alpha.vbk");
        device.Plug();
        g_setup.connected = 0;
        device.SetFault("drop_after_bytes", std::to_string(c.dropAfterBytes));
        std::vector<std::string> boxes;
        EXPECT_EQ(Run([&] {
                      ChooseBooks();
                      boxes = AnswerBoxesUntil(nullptr);
                  }),
                  -1);
        std::vector<std::string> expected{c.box};
        if (c.firstRefused) expected.insert(expected.begin(), "Error: " + NotCopiedText("alpha.vbk", ERROR_ACCESS_DENIED));
        EXPECT_EQ(boxes, expected);
        EXPECT_EQ(g_setup.connected, 0);
        EXPECT_FALSE(device.IsRunning(kReader));
        for (int i = c.firstRefused ? 1 : 0; i < 3; ++i) {
            const std::wstring path = std::wstring(kMainFolder) + Wide(names[i]);
            if (i < c.copied) {
                ExpectBookOnDevice(device, path, names[i]);
            } else {
                EXPECT_FALSE(device.Exists(path)) << names[i];
            }
        }
        Disconnect();
    }
}

// The device pulled out while the book page is open: said once, and the
// device is asked nothing more (no reader, no books, no completion).
TEST_F(InstallBooksTest, DevicePulledOnTheBookPageIsSaidOnce) {
    AddBook("alpha.vbk", "Alpha");
    TestDevice device("pocketpc");
    device.Plug();
    std::vector<std::string> boxes;
    EXPECT_EQ(Run([&] {
                  robot::WaitForWindow(kBookPage);
                  device.SetFault("drop_after_calls", "0");
                  ChooseBooks();
                  boxes = AnswerBoxesUntil(nullptr);
              }),
              -1);
    EXPECT_EQ(boxes, std::vector<std::string>{
                         LinkLostText("The device was disconnected before the books were copied.", 1, 1)});
    EXPECT_FALSE(device.Exists(kReader));
}

// The storage card taken out after it was chosen, before the first book or
// before a later one: said once, as a card that is no longer in the device,
// in place of the boxes of the books that follow; then the count of the
// books not installed, as for any book that did not arrive.
TEST_F(InstallBooksTest, CardTakenOutIsSaidOnce) {
    AddBook("alpha.vbk", "Alpha", 2000);
    AddBook("bravo.vbk", "Bravo", 200000);
    AddBook("charlie.vbk", "Charlie", 2000);
    const std::wstring folder = L"\\Storage Card\\My Documents\\Corvex Press\\";
    const std::string cardGone =
        "Error: The storage card \"Storage Card\" is no longer in the device. Insert it and choose Install Book "
        "again, or choose Main Memory.";
    struct Case {
        const char *what;
        bool beforeFirst;  // else while the second book is copied
        int notInstalled;
    } const kCases[] = {{"before the first book", true, 3}, {"before a later book", false, 2}};
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.what);
        TestDevice device("pocketpc");
        // Slow enough that the second book is still on its way when the
        // card goes.
        device.SetLinkSpeed(100000);
        device.Plug();
        g_setup.connected = 0;
        std::vector<std::string> boxes;
        EXPECT_EQ(Run([&] {
                      ChooseBooks();
                      if (c.beforeFirst) {
                          // Listed on the page, then taken out before Next.
                          robot::WaitForWindow(kStoragePage);
                          device.RemoveCard(L"Storage Card");
                      }
                      ChooseStorage("Storage Card");
                      if (!c.beforeFirst) {
                          const DWORD deadline = GetTickCount() + 60000;
                          while (!device.Exists(folder + L"alpha.vbk") &&
                                 static_cast<LONG>(deadline - GetTickCount()) > 0)
                              Sleep(5);
                          device.RemoveCard(L"Storage Card");
                      }
                      boxes = AnswerBoxesUntil(nullptr);
                      EXPECT_TRUE(robot::StaysAbsent(kCompletion, 300));
                  }),
                  0);
        EXPECT_EQ(boxes, (std::vector<std::string>{cardGone, std::string(kCaptionSetup) + ": " +
                                                                 std::to_string(c.notInstalled) +
                                                                 " of 3 books could not be installed on the device."}));
        // Back in the device, the card holds the books copied before it went.
        device.InsertCard(L"Storage Card");
        EXPECT_EQ(device.Exists(folder + L"alpha.vbk"), !c.beforeFirst);
        EXPECT_FALSE(device.Exists(folder + L"charlie.vbk"));
        EXPECT_FALSE(device.ReadFile(folder + L"bravo.vbk") == books_["bravo.vbk"]);
        EXPECT_TRUE(device.IsRunning(kReader));
        Disconnect();
    }
}

// A device report (F3) on the book page after the device was pulled
// forgets the connection; docked again, the wizard connects afresh before
// the storage page asks the device, which then lists its card, and the
// books go there. (The report runs on a thread of its own here, as the
// hot key would run it inside the page's message loop.)
TEST_F(InstallBooksTest, DeviceReportAfterAPullOnTheBookPage) {
    AddBook("alpha.vbk", "Alpha");
    TestDevice device("pocketpc");
    device.Plug();
    std::string report;
    EXPECT_EQ(Run([&] {
                  robot::WaitForWindow(kBookPage);
                  // Pulled: the next call finds no link; the device is back
                  // at once, as when docked again.
                  device.SetFault("drop_after_calls", "0");
                  std::thread hotKey([] { ShowDeviceReport(kCaptionSetupInfoHotKey); });
                  report = robot::AnswerMessageBox(kCaptionError, IDOK);
                  hotKey.join();
                  EXPECT_EQ(g_setup.connected, 0);
                  ChooseBooks();
                  ChooseStorage("Storage Card");
                  Finish();
              }),
              0);
    EXPECT_EQ(report.rfind("The device could not be read.", 0), 0u) << report;
    ExpectBookOnDevice(device, L"\\Storage Card\\My Documents\\Corvex Press\\alpha.vbk", "alpha.vbk");
}

// The book folder gone before the transfer: said once, and nothing is
// copied, not even a book of the same name in the setup folder.
TEST_F(InstallBooksTest, BookFolderGoneCopiesNothing) {
    AddBook("alpha.vbk", "Alpha");
    WriteHostFile(setupFolder_, "alpha.vbk", BookContent("Alpha", "other", 100), kYear2001);
    TestDevice device("pocketpc");
    device.Plug();
    const std::string moved = bookFolder_ + "_moved";
    std::vector<std::string> boxes;
    EXPECT_EQ(Run([&] {
                  ChooseBooks();
                  // Moved away (the current directory no longer holds it).
                  SetCurrentDirectoryA(setupFolder_.c_str());
                  EXPECT_TRUE(MoveFileA(bookFolder_.c_str(), moved.c_str()));
                  ChooseStorage("Main Memory");
                  boxes = AnswerBoxesUntil(nullptr);
              }),
              0);
    MoveFileA(moved.c_str(), bookFolder_.c_str());
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1], std::string(kCaptionSetup) + ": 1 of 1 books could not be installed on the device.");
    EXPECT_EQ(boxes[0].rfind("Error: No books were copied from the folder " + bookFolder_ + ".\r\n\r\n", 0), 0u)
        << boxes[0];
    EXPECT_FALSE(device.Exists(std::wstring(kMainFolder) + L"alpha.vbk"));
    EXPECT_TRUE(device.IsRunning(kReader));
}

// A rename the device refuses after the old issue was deleted: the new
// issue, the only whole copy, waits under the temporary name, the user is
// told where, and no later book overwrites it.
TEST_F(InstallBooksTest, RefusedRenameKeepsTheNewIssue) {
    AddBook("wsj0101.vbk", kWsjTitle, 5000);
    AddBook("zulu.vbk", "Zulu");
    TestDevice device("hpcpro");
    // The reader is up to date: only the books are copied.
    device.MakeFolder(L"\\Program Files");
    device.MakeFolder(L"\\Program Files\\Corvex Press");
    const FILETIME later = MakeFileTime(kYear2001 + 30 * kOneDay);
    for (const auto &file : {std::make_pair(std::wstring(kReader), ReaderVariant("hpc211.sh3")),
                             std::make_pair(std::wstring(L"\\Program Files\\Corvex Press\\tarnlib.dll"),
                                            HelperVariant("hpc211.sh3"))}) {
        device.WriteFile(file.first, file.second);
        device.SetTimes(file.first, later, later, later);
    }
    device.MakeFolder(L"\\My Documents\\Corvex Press");
    device.WriteFile(std::wstring(kMainFolder) + L"wsj.vbk", "the old issue");
    device.WriteFile(std::wstring(kMainFolder) + L"wsj.vbk.ppd", "pages");
    device.SetFault("refuse_move", "5");
    device.Plug();
    std::vector<std::string> boxes;
    EXPECT_EQ(Run([&] {
                  ChooseBooks();
                  boxes = AnswerBoxesUntil(nullptr);
              }),
              0);
    const std::string folder = "\\My Documents\\Corvex Press\\";
    EXPECT_EQ(boxes, (std::vector<std::string>{
                         "Error: wsj0101.vbk was not copied to the device. Its complete copy waits on the device as " +
                             folder + "~tesh.tmp. The books after it were not copied.\r\n\r\n" +
                             SystemText(ERROR_ACCESS_DENIED),
                         // The untried book counts with the kept one.
                         std::string(kCaptionSetup) + ": 2 of 2 books could not be installed on the device.",
                     }));
    EXPECT_FALSE(device.Exists(std::wstring(kMainFolder) + L"wsj.vbk"));
    ExpectBookOnDevice(device, std::wstring(kMainFolder) + L"~tesh.tmp", "wsj0101.vbk");
    EXPECT_EQ(device.ReadFile(std::wstring(kMainFolder) + L"wsj.vbk.ppd"), "pages");
    EXPECT_FALSE(device.Exists(std::wstring(kMainFolder) + L"zulu.vbk"));
}

}  // namespace
}  // namespace transfer
