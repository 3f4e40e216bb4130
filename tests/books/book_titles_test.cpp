// Book titles: the header rules as a table, and titles traced back to their
// files, alone and many in one search.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "books/book_titles.h"
#include "resources/texts.h"
#include "tests/books/allocation_control.h"
#include "tests/books/book_folder.h"

namespace {

const char kUntouched[] = "(untouched)";
const std::string kWsj = "The Wall Street Journal";

enum Report { kNoBox, kOpenFailed, kTitleUnreadable };

struct TitleCase {
    const char *name;      // file name in the folder
    std::string bytes;     // its content
    const char *expected;  // display title; kUntouched when none is produced
    Report report;
};

const std::string k32 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345";  // 32 characters

std::vector<TitleCase> TitleCases() {
    return {
        {"exact78.vbk", BookBytes("Moby Dick", 78), "Moby Dick", kNoBox},
        {"longer.vbk", BookBytes("Moby Dick", 4000), "Moby Dick", kNoBox},
        {"short77.vbk", BookBytes("Moby Dick", 77), "Title Unavailable", kTitleUnreadable},
        {"empty.vbk", "", "Title Unavailable", kTitleUnreadable},
        {"full32.vbk", BookBytes(k32, 78), k32.c_str(), kNoBox},
        {"full32short.vbk", BookBytes(k32, 40), "Title Unavailable", kTitleUnreadable},
        {"nulls.vbk", BookBytes("", 78), "", kNoBox},
        {"trademark.vbk", BookBytes("Tesh\x99 Guide", 78), "Tesh\x99 Guide", kNoBox},
        {"stops.vbk", std::string("Dune\0Messiah", 12) + BookBytes("", 66), "Dune", kNoBox},
        {"wsj0101.vbk", BookBytes(kWsj), "The Wall Street Journal (wsj0101.vbk)", kNoBox},
        {"nul_after.vbk", BookBytes(kWsj + std::string("\0Europe", 7)),
         "The Wall Street Journal (nul_after.vbk)", kNoBox},
        {"lower.vbk", BookBytes("the wall street journal"), "the wall street journal", kNoBox},
        {"upper.vbk", BookBytes("THE WALL STREET JOURNAL"), "THE WALL STREET JOURNAL", kNoBox},
        {"goes_on.vbk", BookBytes(kWsj + " Europe"), "The Wall Street Journal Europe", kNoBox},
        {"space.vbk", BookBytes(kWsj + " "), "The Wall Street Journal ", kNoBox},
        {"shorter.vbk", BookBytes("The Wall Street Journa"), "The Wall Street Journa", kNoBox},
        {"wsj_short.vbk", BookBytes(kWsj, 60), "Title Unavailable", kTitleUnreadable},
        {"missing.vbk", "", kUntouched, kOpenFailed},  // not written: see below
        {"folder.vbk", "", kUntouched, kOpenFailed},   // a folder
        {"locked.vbk", BookBytes("Locked Away"), kUntouched, kOpenFailed},
    };
}

const char *ReportText(Report report) {
    switch (report) {
    case kOpenFailed:
        return "Failed to open book";
    case kTitleUnreadable:
        return "Unable to read file title.";
    default:
        return "";
    }
}

void MakeCaseFiles(BookFolder &folder, const std::vector<TitleCase> &cases) {
    for (const TitleCase &c : cases) {
        const std::string name = c.name;
        if (name == "missing.vbk") continue;
        if (name == "folder.vbk") {
            folder.MakeSubfolder(name);
            continue;
        }
        folder.Write(name, c.bytes);
    }
    folder.Lock("locked.vbk");
}

TEST(ReadBookTitle, HeaderRules) {
    BookFolder folder;
    const std::vector<TitleCase> cases = TitleCases();
    MakeCaseFiles(folder, cases);
    for (const TitleCase &c : cases) {
        SCOPED_TRACE(c.name);
        BoxRecorder boxes;
        char title[kBookTitleChars + 8];
        strcpy(title, kUntouched);
        const bool produced = ReadBookTitle(c.name, title);
        EXPECT_EQ(produced, c.expected != kUntouched);
        EXPECT_STREQ(title, c.expected);
        const std::vector<BoxRecorder::Box> shown = boxes.Boxes();
        if (c.report == kNoBox) {
            EXPECT_TRUE(shown.empty()) << shown[0].text;
        } else {
            ASSERT_EQ(shown.size(), 1u);
            EXPECT_EQ(shown[0].text, ReportText(c.report));
            EXPECT_EQ(shown[0].caption, c.report == kOpenFailed ? "Error" : "File Error");
        }
    }
}

// The newspaper's title carries the name as passed, however long; a buffer
// too small for a title is never overrun; an empty folder has no titles.
TEST(ReadBookTitle, LongNamesAndSmallBuffers) {
    BookFolder folder;
    // The longest name the folder can take keeps the whole path under MAX_PATH.
    const size_t room = MAX_PATH - 1 - folder.Path().size() - 1;
    const std::string longName = "wsj" + std::string(room - 7, 'x') + ".vbk";
    folder.WriteBook(longName, kWsj);
    folder.WriteBook("book.vbk", k32);

    char title[kBookTitleChars];
    ASSERT_TRUE(ReadBookTitle(longName.c_str(), title));
    EXPECT_EQ(std::string(title), kWsj + " (" + longName + ")");

    for (size_t size : {1, 2, 10, 32, 33}) {
        SCOPED_TRACE(size);
        char small[40];
        memset(small, '#', sizeof small);
        ASSERT_TRUE(ReadBookTitle("book.vbk", small, size));
        EXPECT_EQ(std::string(small), k32.substr(0, size - 1));
        for (size_t i = size; i < sizeof small; ++i) ASSERT_EQ(small[i], '#') << "written past the buffer at " << i;
    }

    // A folder with no book files: a title search finds nothing.
    BookFolder empty;
    empty.Write("readme.txt", BookBytes("Same Title"));
    char name[kBookFileNameChars] = "(untouched)";
    EXPECT_FALSE(FindBookFileByTitle("Same Title", name));
    EXPECT_STREQ(name, "(untouched)");
}

// What a title resolves to, as the search order decides it.
class TitlesInFolder : public ::testing::Test {
protected:
    void SetUp() override {
        // Two ordinary books share a title, two newspaper issues, two short
        // headers, a folder and a locked file that cannot be opened.
        folder_.WriteBook("same1.vbk", "Same Title");
        folder_.WriteBook("same2.vbk", "Same Title");
        folder_.WriteBook("other.vbk", "Another Book");
        folder_.WriteBook("wsj0101.vbk", kWsj);
        folder_.WriteBook("wsj0102.vbk", kWsj);
        folder_.WriteBook("short1.vbk", "Cut", 20);
        folder_.WriteBook("short2.vbk", "Cut", 77);
        folder_.WriteBook("locked.vbk", "Locked Away");
        folder_.MakeSubfolder("folder.vbk");
        folder_.Write("notabook.txt", BookBytes("Not Listed"));
        folder_.Lock("locked.vbk");
        order_ = folder_.SearchOrder();
    }

    // The first file in the search order with this display title, or "".
    std::string FirstWithTitle(const std::string &title) const {
        for (const std::string &name : order_) {
            // Files that cannot be opened (no title here) never match.
            if (!TitleOf(name).empty() && TitleOf(name) == title) return name;
        }
        return "";
    }

    static std::string TitleOf(const std::string &name) {
        static const std::map<std::string, std::string> titles = {
            {"same1.vbk", "Same Title"},
            {"same2.vbk", "Same Title"},
            {"other.vbk", "Another Book"},
            {"wsj0101.vbk", "The Wall Street Journal (wsj0101.vbk)"},
            {"wsj0102.vbk", "The Wall Street Journal (wsj0102.vbk)"},
            {"short1.vbk", "Title Unavailable"},
            {"short2.vbk", "Title Unavailable"},
        };
        auto found = titles.find(name);
        return found == titles.end() ? "" : found->second;
    }

    // Files the search reads before it has found every wanted title, and
    // which of them are reported.
    size_t UnreadableBefore(const std::vector<std::string> &wanted) const {
        size_t last = 0;
        for (const std::string &title : wanted) {
            const std::string name = FirstWithTitle(title);
            for (size_t i = 0; i < order_.size(); ++i) {
                if (order_[i] == name) last = std::max(last, i);
            }
        }
        size_t unreadable = 0;
        for (size_t i = 0; i <= last; ++i) unreadable += TitleOf(order_[i]).empty() || order_[i].find("short") == 0;
        return unreadable;
    }

    BookFolder folder_;
    std::vector<std::string> order_;
};

const char *const kWantedTitles[] = {
    "Same Title", "Another Book", "The Wall Street Journal (wsj0101.vbk)", "The Wall Street Journal (wsj0102.vbk)",
    "Title Unavailable",
};

// One title at a time: the first file in the search order that carries it,
// the unreadable files passed on the way reported again; a title nothing
// carries leaves the caller's buffer as it was, after reading every file.
TEST_F(TitlesInFolder, OneTitleAtATime) {
    ASSERT_EQ(order_.size(), 9u);  // every *.vbk entry, the folder too, not the .txt
    std::vector<std::string> titles(std::begin(kWantedTitles), std::end(kWantedTitles));
    titles.insert(titles.end(), {"Not Listed", "Locked Away", "same title", "The Wall Street Journal",
                                 "The Wall Street Journal (wsj0103.vbk)", ""});
    for (const std::string &title : titles) {
        SCOPED_TRACE(title);
        const std::string expected = FirstWithTitle(title);
        BoxRecorder boxes;
        char name[kBookFileNameChars];
        strcpy(name, kUntouched);
        EXPECT_EQ(FindBookFileByTitle(title.c_str(), name), !expected.empty());
        EXPECT_EQ(name, expected.empty() ? kUntouched : expected);
        EXPECT_EQ(boxes.Boxes().size(), expected.empty() ? 4u : UnreadableBefore({title}));
    }
}

// Many titles (duplicates among them, and one that nothing carries) in one
// search: the same files as one search per title, each unreadable file
// reported at most once; without memory for the search, nothing is found.
TEST_F(TitlesInFolder, ManyTitlesInOneSearch) {
    std::vector<const char *> wanted(std::begin(kWantedTitles), std::end(kWantedTitles));
    wanted.insert(wanted.end(), {"Same Title", "Nobody's Title", "Title Unavailable"});
    std::vector<BookTitleMatch> matches(wanted.size());
    for (size_t i = 0; i < wanted.size(); ++i) {
        matches[i].title = wanted[i];
        matches[i].found = true;  // must be reset by the search
    }
    BoxRecorder boxes;
    ASSERT_TRUE(FindBookFilesByTitles(matches.data(), matches.size()));
    for (const BookTitleMatch &match : matches) {
        SCOPED_TRACE(match.title);
        const std::string expected = FirstWithTitle(match.title);
        EXPECT_EQ(match.found ? match.fileName : "", expected);
    }
    // "Nobody's Title" keeps the search going to the end: every unreadable
    // file is read, once.
    EXPECT_EQ(boxes.Count("Failed to open book"), 2u);
    EXPECT_EQ(boxes.Count("Unable to read file title."), 2u);
    EXPECT_EQ(boxes.Boxes().size(), 4u);

    // Without it the search stops at the last match: files after it are
    // not read, so not reported.
    boxes.Clear();
    ASSERT_TRUE(FindBookFilesByTitles(matches.data(), 5));
    EXPECT_EQ(boxes.Boxes().size(), UnreadableBefore({std::begin(kWantedTitles), std::end(kWantedTitles)}));

    boxes.Clear();
    AllocationFailureScope failing(0);
    EXPECT_FALSE(FindBookFilesByTitles(matches.data(), 2));
    EXPECT_FALSE(matches[0].found || matches[1].found);
    EXPECT_TRUE(boxes.Boxes().empty());
}

}  // namespace
