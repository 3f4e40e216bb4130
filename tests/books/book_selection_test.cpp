// The book selection page in this process, with the robot playing the user
// and the error boxes of the titles answered on the page's own thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "books/book_selection.h"
#include "books/book_titles.h"
#include "device/connection.h"
#include "resources/resource_ids.h"
#include "resources/texts.h"
#include "base/message_box.h"
#include "base/setup_state.h"
#include "tests/books/allocation_control.h"
#include "tests/books/book_folder.h"
#include "tests/support/robot.h"
#include "tests/support/test_device.h"

namespace {

const char kPageCaption[] = "Select Books to Install";
const char kBrowserCaption[] = "Book Browser";
const char kVersionText[] = "Tesh\x99 Reader Setup Version 1.1";
const char kOpenFailed[] = "Failed to open book";
const char kTitleUnreadable[] = "Unable to read file title.";
const std::string kWsj = "The Wall Street Journal";
// Long enough for a box that would follow an action to show up.
const DWORD kNothingElseMs = 700;
const UINT kSendTimeoutMs = 5000;

LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kSendTimeoutMs, &result)) {
        ADD_FAILURE() << "message " << message << " not answered";
    }
    return static_cast<LRESULT>(result);
}

HWND ListOf(HWND page) { return GetDlgItem(page, IDC_LIST); }

bool NextEnabled(HWND page) { return IsWindowEnabled(GetDlgItem(page, IDC_NEXT)) != FALSE; }

std::vector<int> SelectedPositions(HWND page) {
    std::vector<int> positions(static_cast<size_t>(std::max<LRESULT>(Send(ListOf(page), LB_GETCOUNT, 0, 0), 1)));
    const LRESULT got = Send(ListOf(page), LB_GETSELITEMS, positions.size(), reinterpret_cast<LPARAM>(positions.data()));
    positions.resize(static_cast<size_t>(std::max<LRESULT>(got, 0)));
    return positions;
}

// A command handled before this returns (for commands that open nothing modal).
void Command(HWND page, int id, int notification = BN_CLICKED) {
    HWND control = GetDlgItem(page, id);
    Send(page, WM_COMMAND, MAKEWPARAM(id, notification), reinterpret_cast<LPARAM>(control));
}

// What a click on an entry does: the list toggles it and tells the page.
void ToggleEntry(HWND page, int position) {
    const bool selected = Send(ListOf(page), LB_GETSEL, position, 0) > 0;
    Send(ListOf(page), LB_SETSEL, !selected, position);
    Command(page, IDC_LIST, LBN_SELCHANGE);
}

int PositionOf(HWND page, const std::string &title, int occurrence = 0) {
    const std::vector<std::string> items = robot::ListBoxItems(page, IDC_LIST);
    for (size_t i = 0; i < items.size(); ++i) {
        if (items[i] == title && occurrence-- == 0) return static_cast<int>(i);
    }
    ADD_FAILURE() << "no entry \"" << title << "\"";
    return 0;
}

bool SortedAsTheListSorts(const std::vector<std::string> &items) {
    for (size_t i = 1; i < items.size(); ++i) {
        if (CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, items[i - 1].c_str(), -1, items[i].c_str(), -1) ==
            CSTR_GREATER_THAN) {
            return false;
        }
    }
    return true;
}

std::vector<std::string> Sorted(std::vector<std::string> items) {
    std::sort(items.begin(), items.end());
    return items;
}

HWND WaitForPage() {
    HWND page = robot::WaitForWindow(kPageCaption);
    return page;
}

void Press(HWND window, WORD key) {
    if (robot::WaitForForeground(window)) robot::PressKey(key);
}

// Answers the box a hot key opened, checking its text. The key's release
// counts like a press: when it reaches the page only after the box has
// closed (the answer can overtake it), the same box opens once more, and
// is answered too. Returns when no further box comes.
void AnswerHotKeyBox(const std::string &text) {
    EXPECT_EQ(robot::AnswerMessageBox(kCaptionSetupInfoHotKey, IDOK), text);
    while (!robot::StaysAbsent(kCaptionSetupInfoHotKey, kNothingElseMs)) {
        EXPECT_EQ(robot::AnswerMessageBox(kCaptionSetupInfoHotKey, IDOK), text);
    }
}

class BookSelection : public ::testing::Test {
protected:
    void SetUp() override {
        g_setup.instance = GetModuleHandleA(nullptr);
        g_setup.connected = 0;
        g_setup.keyboardHookHandle = nullptr;
        strcpy(g_setup.bookFolder, folder_.Path().c_str());
        list_ = CreatePendingBookList();
        ASSERT_NE(list_, nullptr);
    }

    void TearDown() override {
        Queued();
        EXPECT_EQ(DestroyPendingBookList(list_), 1);
        Disconnect();
    }

    // Runs the page with the robot's script; checks that the hook went with it.
    int Run(const std::function<void()> &script) {
        const int result = robot::RunWithRobot([this] { return RunBookSelection(list_); }, script, 90000);
        EXPECT_EQ(g_setup.keyboardHookHandle, nullptr) << "the hot-key hook outlived the page";
        return result;
    }

    // Empties the pending list, releasing the names, and returns them in order.
    std::vector<std::string> Queued() {
        std::vector<std::string> names;
        while (char *name = static_cast<char *>(RewindAndPeek(list_))) {
            names.push_back(name);
            RemoveAtCursor(list_);
            delete[] name;
        }
        return names;
    }

    BookFolder folder_;
    PendingBookList **list_ = nullptr;
};

// The fill, the sorting, selection and Next's enabling, and what Next
// queues: the files of the chosen entries in list order, each entry its own
// file (two books with one title are two books).
TEST_F(BookSelection, ListsByTitleAndQueuesTheChosenFilesInListOrder) {
    folder_.WriteBook("zebra.vbk", "Zebra Tales");
    folder_.WriteBook("apple.vbk", "apple pie");
    folder_.WriteBook("middle1.vbk", "Middle");
    folder_.WriteBook("middle2.vbk", "Middle");
    folder_.WriteBook("wsj0101.vbk", kWsj);
    folder_.WriteBook("wsj0102.vbk", kWsj);
    folder_.WriteBook("short.vbk", "Cut Short", 40);
    folder_.WriteBook("locked.vbk", "Locked Away");
    folder_.MakeSubfolder("folder.vbk");
    folder_.Write("notes.txt", BookBytes("Not A Book"));
    folder_.Lock("locked.vbk");
    // Entries with one title stand in the order the search found them.
    std::string secondMiddle;
    for (const std::string &name : folder_.SearchOrder()) {
        if (name.rfind("middle", 0) == 0) secondMiddle = name;
    }

    BoxRecorder boxes;
    std::vector<std::string> items;
    bool nextAtStart = true;
    size_t selectedAtStart = 99;
    const int result = Run([&] {
        HWND page = WaitForPage();
        items = robot::ListBoxItems(page, IDC_LIST);
        nextAtStart = NextEnabled(page);
        selectedAtStart = SelectedPositions(page).size();
        // Chosen against the list's order: later entries first.
        ToggleEntry(page, PositionOf(page, "Zebra Tales"));
        EXPECT_TRUE(NextEnabled(page));
        ToggleEntry(page, PositionOf(page, "Middle", 1));
        ToggleEntry(page, PositionOf(page, kWsj + " (wsj0102.vbk)"));
        ToggleEntry(page, PositionOf(page, "apple pie"));
        ToggleEntry(page, PositionOf(page, "apple pie"));  // and unchosen again
        ToggleEntry(page, PositionOf(page, "Title Unavailable"));
        EXPECT_EQ(SelectedPositions(page).size(), 4u);
        EXPECT_TRUE(NextEnabled(page));
        robot::Click(page, IDC_NEXT);
        EXPECT_TRUE(robot::WaitForWindowGone(page));
    });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(Sorted(items), Sorted({"Zebra Tales", "apple pie", "Middle", "Middle", kWsj + " (wsj0101.vbk)",
                                     kWsj + " (wsj0102.vbk)", "Title Unavailable"}));
    EXPECT_TRUE(SortedAsTheListSorts(items));
    EXPECT_FALSE(nextAtStart);
    EXPECT_EQ(selectedAtStart, 0u);
    EXPECT_EQ(Queued(), (std::vector<std::string>{secondMiddle, "wsj0102.vbk", "short.vbk", "zebra.vbk"}));
    EXPECT_STREQ(g_setup.bookFolder, folder_.Path().c_str());
    // While filling, every unreadable file is reported once; Next reads only
    // the chosen files again, and silently.
    EXPECT_EQ(boxes.Count(kOpenFailed), 2u);
    EXPECT_EQ(boxes.Count(kTitleUnreadable), 1u);
    EXPECT_EQ(boxes.Boxes().size(), 3u);
}

// Select All, then a double-click in the list runs Next: every entry is
// queued, each of two with a shared title to its own file.
TEST_F(BookSelection, SelectAllAndDoubleClick) {
    folder_.WriteBook("one.vbk", "Same Title");
    folder_.WriteBook("two.vbk", "Same Title");
    folder_.WriteBook("three.vbk", "Third");
    std::vector<std::string> same;
    for (const std::string &name : folder_.SearchOrder()) {
        if (name != "three.vbk") same.push_back(name);
    }
    // The page lists the current directory, whatever bookFolder held (a
    // reader installation leaves the setup folder current): Next makes the
    // two agree, so the transfer finds the names where they were listed.
    strcpy(g_setup.bookFolder, "C:\\stale");
    BoxRecorder boxes;
    const int result = Run([&] {
        HWND page = WaitForPage();
        Command(page, IDC_SELECT_ALL);
        EXPECT_EQ(SelectedPositions(page).size(), 3u);
        EXPECT_TRUE(NextEnabled(page));
        robot::Click(page, IDC_LIST);  // not a command of its own: ignored
        PostMessageA(page, WM_COMMAND, MAKEWPARAM(IDC_LIST, LBN_DBLCLK), reinterpret_cast<LPARAM>(ListOf(page)));
        EXPECT_TRUE(robot::WaitForWindowGone(page));
    });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(Queued(), (std::vector<std::string>{same[0], same[1], "three.vbk"}));
    EXPECT_STREQ(g_setup.bookFolder, folder_.Path().c_str());
    EXPECT_TRUE(boxes.Boxes().empty());
}

// The list box as Windows documents it: a range message whose first
// position is not below its last deselects (Wine selects).
WNDPROC g_listProc = nullptr;
LRESULT CALLBACK WindowsRangeRule(HWND list, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == LB_SELITEMRANGEEX && static_cast<int>(wParam) >= static_cast<int>(lParam)) {
        return CallWindowProcA(g_listProc, list, LB_SELITEMRANGE, FALSE, MAKELPARAM(lParam, wParam));
    }
    return CallWindowProcA(g_listProc, list, message, wParam, lParam);
}

// Select All chooses a folder's only book, by a message documented to work
// for any number of entries.
TEST_F(BookSelection, SelectAllChoosesTheOnlyBook) {
    folder_.WriteBook("only.vbk", "The Only One");
    const int result = Run([&] {
        HWND page = WaitForPage();
        g_listProc = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrA(ListOf(page), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(WindowsRangeRule)));
        Command(page, IDC_SELECT_ALL);
        EXPECT_EQ(SelectedPositions(page), std::vector<int>{0});
        EXPECT_TRUE(NextEnabled(page));
        robot::Click(page, IDC_NEXT);
    });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(Queued(), std::vector<std::string>{"only.vbk"});
}

// A folder without books: an empty list, and neither Select All nor a
// double-click gets anywhere; Back leaves with nothing queued.
TEST_F(BookSelection, AnEmptyFolderAndBack) {
    folder_.Write("readme.txt", BookBytes("Not A Book"));
    const int result = Run([&] {
        HWND page = WaitForPage();
        EXPECT_TRUE(robot::ListBoxItems(page, IDC_LIST).empty());
        Command(page, IDC_SELECT_ALL);
        EXPECT_FALSE(NextEnabled(page));
        Command(page, IDC_LIST, LBN_DBLCLK);
        Command(page, IDC_NEXT);
        EXPECT_TRUE(IsWindowVisible(page));
        robot::Click(page, IDC_WIZARD_BACK);
    });
    EXPECT_EQ(result, IDC_WIZARD_BACK);
    EXPECT_TRUE(Queued().empty());
}

// Cancel answered No keeps the page as it was, with the hot keys live; Yes
// leaves with 0. F2 and F3 work on the page; once it has gone, F2 does
// nothing any more.
TEST_F(BookSelection, CancelAndTheHotKeys) {
    folder_.WriteBook("one.vbk", "First Book");
    folder_.WriteBook("two.vbk", "Second Book");
    TestDevice device("pocketpc");
    device.Plug();
    const std::string hotKeyCaption = kCaptionSetupInfoHotKey;
    const int result = Run([&] {
        HWND page = WaitForPage();
        ToggleEntry(page, 1);
        HWND focused = robot::FocusOf(page);
        robot::Click(page, IDC_CANCEL);
        // The question has no owner, yet the page takes no input under it,
        // and has its focus back after it.
        robot::WaitForWindow(kCaptionSetup);
        EXPECT_FALSE(IsWindowEnabled(page));
        EXPECT_EQ(robot::AnswerMessageBox(kCaptionSetup, IDNO), "Do you really want to abort the program?");
        EXPECT_TRUE(robot::StaysAbsent(kCaptionSetup, kNothingElseMs));
        EXPECT_TRUE(IsWindowVisible(page));
        EXPECT_TRUE(IsWindowEnabled(page));
        EXPECT_EQ(robot::FocusOf(page), focused);
        EXPECT_EQ(SelectedPositions(page), std::vector<int>{1});
        EXPECT_TRUE(NextEnabled(page));

        Press(page, VK_F2);
        AnswerHotKeyBox(kVersionText);
        Press(page, VK_F3);
        AnswerHotKeyBox("Processor: 2577, Platform: 5, Major: 3, Minor: 0, Platform ID: Pocket_PC");

        // Escape asks the same question.
        Press(page, VK_ESCAPE);
        EXPECT_EQ(robot::AnswerMessageBox(kCaptionSetup, IDYES), "Do you really want to abort the program?");
    });
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(Queued().empty());
    EXPECT_EQ(g_setup.connected, 1);

    // Another dialog of the program, with the page gone: F2 opens nothing.
    robot::RunWithRobot([] { return ShowMessage("Another dialog", "Probe", MB_OK); },
                        [&] {
                            HWND probe = robot::WaitForWindow("Probe");
                            Press(probe, VK_F2);
                            EXPECT_TRUE(robot::StaysAbsent(hotKeyCaption, kNothingElseMs));
                            robot::AnswerMessageBox("Probe", IDOK);
                        });
}

// The file name field of the open-file dialog (a combo box, or an edit in
// older layouts).
HWND FileNameField(HWND browser) {
    HWND field = GetDlgItem(browser, 0x47C);  // cmb13
    if (!field) field = GetDlgItem(browser, 0x480);  // edt1
    return field;
}

// Browse: the open-file dialog (with the hot keys still live) moves the
// page to another folder, which becomes the book folder; the list is filled
// afresh with nothing selected. Browse cancelled refills the list as well.
TEST_F(BookSelection, BrowseMovesToAnotherFolder) {
    folder_.WriteBook("here.vbk", "Book Here");
    BookFolder other;  // made current by its constructor: go back
    SetCurrentDirectoryA(folder_.Path().c_str());
    other.WriteBook("there1.vbk", "Book There");
    other.WriteBook("there2.vbk", kWsj);

    std::vector<std::string> before, afterBrowse, afterCancel;
    bool nextAfterBrowse = true, nextAfterCancel = true;
    size_t selectedAfterBrowse = 99, selectedAfterCancel = 99;
    const int result = Run([&] {
        HWND page = WaitForPage();
        before = robot::ListBoxItems(page, IDC_LIST);
        ToggleEntry(page, 0);
        robot::Click(page, IDC_BROWSE);
        HWND browser = robot::WaitForWindow(kBrowserCaption);
        Press(browser, VK_F2);
        AnswerHotKeyBox(kVersionText);
        const std::string chosen = other.Path() + "\\there1.vbk";
        HWND field = FileNameField(browser);
        ASSERT_NE(field, nullptr) << robot::DescribeScreen();
        Send(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(chosen.c_str()));
        robot::Click(browser, IDOK);
        ASSERT_TRUE(robot::WaitForWindowGone(browser));
        // The page is filled again once the dialog has gone.
        for (int i = 0; i < 100 && robot::ListBoxItems(page, IDC_LIST) == before; ++i) Sleep(30);
        afterBrowse = robot::ListBoxItems(page, IDC_LIST);
        nextAfterBrowse = NextEnabled(page);
        selectedAfterBrowse = SelectedPositions(page).size();

        ToggleEntry(page, 0);
        robot::Click(page, IDC_BROWSE);
        browser = robot::WaitForWindow(kBrowserCaption);
        robot::Click(browser, IDCANCEL);
        ASSERT_TRUE(robot::WaitForWindowGone(browser));
        for (int i = 0; i < 100 && NextEnabled(page); ++i) Sleep(30);
        afterCancel = robot::ListBoxItems(page, IDC_LIST);
        nextAfterCancel = NextEnabled(page);
        selectedAfterCancel = SelectedPositions(page).size();

        Command(page, IDC_SELECT_ALL);
        robot::Click(page, IDC_NEXT);
    });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(before, std::vector<std::string>{"Book Here"});
    const std::vector<std::string> there{"Book There", kWsj + " (there2.vbk)"};
    EXPECT_EQ(afterBrowse, there);
    EXPECT_EQ(afterCancel, there);
    EXPECT_FALSE(nextAfterBrowse);
    EXPECT_FALSE(nextAfterCancel);
    EXPECT_EQ(selectedAfterBrowse, 0u);
    EXPECT_EQ(selectedAfterCancel, 0u);
    EXPECT_STREQ(g_setup.bookFolder, other.Path().c_str());
    char current[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, current);
    EXPECT_STREQ(current, other.Path().c_str());
    EXPECT_EQ(Queued(), (std::vector<std::string>{"there1.vbk", "there2.vbk"}));
    SetCurrentDirectoryA(folder_.Path().c_str());
}

// The box for chosen books that are gone: their titles, then the system's
// "file not found" text.
std::string BooksGoneText(const std::vector<std::string> &titles) {
    std::string text = kTextBooksGone;
    for (const std::string &title : titles) text += "\r\n" + title;
    return text + "\r\n\r\n" + SystemErrorText(ERROR_FILE_NOT_FOUND);
}

// A book removed or retitled after the list was filled is skipped and named
// by its title, never queued under a wrong name; when nothing chosen is
// left, the page stays and shows the folder as it is now.
TEST_F(BookSelection, BooksGoneSinceTheListWasFilled) {
    folder_.WriteBook("keep.vbk", "Keep Me");
    folder_.WriteBook("gone.vbk", "Gone Away");
    folder_.WriteBook("changed.vbk", "Changed");
    BoxRecorder boxes;
    std::vector<std::string> refilled;
    bool nextAfterRefill = true;
    const int firstResult = Run([&] {
        HWND page = WaitForPage();
        folder_.Remove("gone.vbk");
        folder_.WriteBook("changed.vbk", "Changed Again");
        ToggleEntry(page, PositionOf(page, "Gone Away"));
        ToggleEntry(page, PositionOf(page, "Changed"));
        Command(page, IDC_NEXT);
        // Nothing left to go on with: still here, with the folder as it is.
        EXPECT_TRUE(IsWindowVisible(page));
        EXPECT_TRUE(IsWindowEnabled(page));
        refilled = robot::ListBoxItems(page, IDC_LIST);
        nextAfterRefill = NextEnabled(page);
        robot::Click(page, IDC_WIZARD_BACK);
    });
    EXPECT_EQ(firstResult, IDC_WIZARD_BACK);
    EXPECT_TRUE(Queued().empty());
    EXPECT_EQ(refilled, (std::vector<std::string>{"Changed Again", "Keep Me"}));
    EXPECT_FALSE(nextAfterRefill);
    ASSERT_EQ(boxes.Boxes().size(), 1u);
    EXPECT_EQ(boxes.Boxes()[0].caption, "Error");
    EXPECT_EQ(boxes.Boxes()[0].text, BooksGoneText({"Changed", "Gone Away"}));

    // Some chosen books still there: those go on, and the user is told once.
    folder_.WriteBook("gone.vbk", "Gone Away");
    boxes.Clear();
    const int secondResult = Run([&] {
        HWND page = WaitForPage();
        folder_.Remove("gone.vbk");
        folder_.WriteBook("changed.vbk", "Changed Once More");
        Command(page, IDC_SELECT_ALL);
        robot::Click(page, IDC_NEXT);
    });
    EXPECT_EQ(secondResult, 1);
    EXPECT_EQ(Queued(), std::vector<std::string>{"keep.vbk"});
    ASSERT_EQ(boxes.Boxes().size(), 1u);
    EXPECT_EQ(boxes.Boxes()[0].text, BooksGoneText({"Changed Again", "Gone Away"}));
}

// Many chosen books gone at once: one box, naming as many titles as it has
// room for and counting the rest.
TEST_F(BookSelection, ManyBooksGoneAreNamedInOneBox) {
    const size_t kBooks = 40;
    for (size_t i = 0; i < kBooks; ++i) {
        folder_.WriteBook("gone" + std::to_string(i) + ".vbk", "A Vanished Book Number " + std::to_string(100 + i));
    }
    BoxRecorder boxes;
    Run([&] {
        HWND page = WaitForPage();
        for (size_t i = 0; i < kBooks; ++i) folder_.Remove("gone" + std::to_string(i) + ".vbk");
        Command(page, IDC_SELECT_ALL);
        Command(page, IDC_NEXT);
        robot::Click(page, IDC_WIZARD_BACK);
    });
    ASSERT_EQ(boxes.Boxes().size(), 1u);
    const std::string text = boxes.Boxes()[0].text;
    size_t named = 0;
    for (size_t at = text.find("\r\nA Vanished Book"); at != std::string::npos;
         at = text.find("\r\nA Vanished Book", at + 1)) {
        ++named;
    }
    const std::string tail = " more.\r\n\r\n" + SystemErrorText(ERROR_FILE_NOT_FOUND);
    ASSERT_GT(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    const size_t countAt = text.rfind("\r\nand ") + 6;
    EXPECT_GT(named, 5u);
    EXPECT_EQ(named + std::stoul(text.substr(countAt)), kBooks);
}

// An entry whose file name could not be kept (no memory while the list was
// filled) is found by its title on Next.
TEST_F(BookSelection, AnEntryWithoutItsFileNameIsFoundByTitle) {
    folder_.WriteBook("gone.vbk", "Gone Away");
    folder_.WriteBook("keep.vbk", "Keep Me");
    BoxRecorder boxes;
    const int result = Run([&] {
        HWND page = WaitForPage();
        folder_.Remove("gone.vbk");
        ToggleEntry(page, PositionOf(page, "Gone Away"));
        // Next's positions come through; the refilled entry's name does not.
        FailNothrowAllocations(1, 1);
        Command(page, IDC_NEXT);
        StopFailingAllocations();
        ASSERT_EQ(robot::ListBoxItems(page, IDC_LIST), std::vector<std::string>{"Keep Me"});
        ToggleEntry(page, 0);
        robot::Click(page, IDC_NEXT);
    });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(Queued(), std::vector<std::string>{"keep.vbk"});
    EXPECT_EQ(boxes.Boxes().size(), 1u);
}

// Memory running out at any allocation of Next: never a crash or a wrong
// name; either the page stays (nothing queued) or it goes on without the
// one book that could not be queued. Each time the user is told.
TEST_F(BookSelection, NoMemoryDuringNext) {
    folder_.WriteBook("a.vbk", "Book A");
    folder_.WriteBook("b.vbk", "Book B");
    folder_.WriteBook("c.vbk", "Book C");
    const std::vector<std::string> all{"a.vbk", "b.vbk", "c.vbk"};
    bool sawStay = false, sawPartial = false;
    for (long skip = 0; skip < 12; ++skip) {
        SCOPED_TRACE("allocation " + std::to_string(skip) + " fails");
        BoxRecorder boxes;
        bool stayed = false;
        const int result = Run([&] {
            HWND page = WaitForPage();
            Command(page, IDC_SELECT_ALL);
            FailNothrowAllocations(skip);
            Command(page, IDC_NEXT);
            StopFailingAllocations();
            stayed = IsWindow(page) && IsWindowVisible(page);
            if (stayed) robot::Click(page, IDC_WIZARD_BACK);
        });
        const std::vector<std::string> queued = Queued();
        if (stayed) {
            sawStay = true;
            EXPECT_EQ(result, IDC_WIZARD_BACK);
            EXPECT_TRUE(queued.empty());
            EXPECT_EQ(boxes.Count(SystemErrorText(ERROR_NOT_ENOUGH_MEMORY)), 1u);
        } else if (queued.size() < all.size()) {
            sawPartial = true;
            EXPECT_EQ(result, 1);
            EXPECT_EQ(queued.size(), all.size() - 1);
            EXPECT_TRUE(std::includes(all.begin(), all.end(), queued.begin(), queued.end()));
            EXPECT_EQ(boxes.Count(SystemErrorText(ERROR_NOT_ENOUGH_MEMORY)), 1u);
        } else {
            // The failing allocation came after Next's last one.
            EXPECT_EQ(result, 1);
            EXPECT_EQ(queued, all);
            EXPECT_TRUE(boxes.Boxes().empty());
            break;
        }
    }
    EXPECT_TRUE(sawStay);
    EXPECT_TRUE(sawPartial);
}

}  // namespace
