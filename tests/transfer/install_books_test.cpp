// The Install Book workflow from its first page to the completion dialog,
// with the device's content, times and paths checked afterwards.
#include "books/book_transfer.h"
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

        // Again: the books are up to date, nothing is written.
        const size_t mark = device.Log().size();
        EXPECT_EQ(Run([&] {
                      ChooseBooks();
                      if (t.card) ChooseStorage(t.card);
                      Finish();
                  }),
                  0);
        EXPECT_EQ(CountLog(device.Log(), "CeWriteFile", mark), 0u);
        Disconnect();
    }
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
    std::vector<std::string> boxes;
    EXPECT_EQ(Run([&] {
                  ChooseBooks();
                  boxes = AnswerBoxesUntil(kCompletion);
                  Finish();
              }),
              0);
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
// folder, and, on a store that fills up, the newspaper, which then leaves
// the device's issue and its companions as they were.
TEST_F(InstallBooksTest, BooksThatCannotBeCopiedAreNamed) {
    const std::string card(200, 'k');
    const std::wstring folder = L"\\" + Wide(card) + L"\\My Documents\\Corvex Press\\";
    const std::string longName = std::string(56, 'l') + ".vbk";  // 228 + 60 > 255
    AddBook("alpha.vbk", "Alpha");
    AddBook("bravo.vbk", "Bravo");
    AddBook("charlie.vbk", "Charlie");
    AddBook(longName, "Long");
    AddBook("wsj0101.vbk", kWsjTitle, 60000);
    TestDevice device("hpcpro");
    device.InsertCard(Wide(card));
    device.MakeFolder(folder + L"bravo.vbk");
    device.WriteFile(folder + L"wsj.vbk", "old issue");
    device.WriteFile(folder + L"wsj.vbk.ppd", "pages");
    device.WriteFile(folder + L"wsj.vbks", "0123456789AB");
    device.SetFault("capacity", "40000");
    device.Plug();
    std::vector<std::string> boxes;
    EXPECT_EQ(Run([&] {
                  ChooseBooks();
                  ChooseStorage(card);
                  boxes = AnswerBoxesUntil(kCompletion);
                  Finish();
              }),
              0);
    EXPECT_STREQ(g_setup.storageRoot, ("\\" + card + "\\").c_str());
    EXPECT_EQ(boxes, (std::vector<std::string>{
                         "Error: " + NotCopiedText("bravo.vbk", ERROR_ACCESS_DENIED),
                         "Error: " + NotCopiedText(longName, ERROR_FILENAME_EXCED_RANGE),
                         // The copy's own box for a copy broken off midway, then the book named.
                         std::string("Error 151: ") + kTextCopyError,
                         "Error: " + NotCopiedText("wsj0101.vbk", ERROR_DISK_FULL),
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

// The link drops in the middle of the books: the first book that cannot
// reach the device is named once, no box follows for the others, and the
// completion dialog still ends the run.
TEST_F(InstallBooksTest, LinkLostStopsAfterOneReport) {
    for (const char *name : {"alpha.vbk", "bravo.vbk", "charlie.vbk", "delta.vbk"}) AddBook(name, name, 20000);
    TestDevice device("hpcpro");
    device.Plug();
    // Pulled out in the middle of the second book.
    const size_t before = ReaderVariant("hpc211.sh3").size() + HelperVariant("hpc211.sh3").size() +
                          books_["alpha.vbk"].size() + 100;
    device.SetFault("drop_after_bytes", std::to_string(before));
    std::vector<std::string> boxes;
    EXPECT_EQ(Run([&] {
                  ChooseBooks();
                  boxes = AnswerBoxesUntil(kCompletion);
                  Finish();
              }),
              0);
    ExpectBookOnDevice(device, std::wstring(kMainFolder) + L"alpha.vbk", "alpha.vbk");
    for (const wchar_t *name : {L"bravo.vbk", L"charlie.vbk", L"delta.vbk"})
        EXPECT_FALSE(device.Exists(std::wstring(kMainFolder) + name));
    EXPECT_EQ(boxes, (std::vector<std::string>{std::string("Error 151: ") + kTextCopyError,
                                               "Error: " + NotCopiedText("bravo.vbk", ERROR_DEVICE_NOT_CONNECTED)}));
}

}  // namespace
}  // namespace transfer
