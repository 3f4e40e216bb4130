// The sample books that tools/make-books.sh generates (into build/samples,
// for the run command's setup folder and the simulator kit), read back as
// the book page reads them.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "books/book_titles.h"
#include "tests/books/book_folder.h"

namespace {

// build/samples, beside build/bin where this program lies.
std::string SamplesFolder() {
    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path);
    folder = folder.substr(0, folder.find_last_of("\\/"));
    return folder.substr(0, folder.find_last_of("\\/")) + "\\samples";
}

struct SampleBook {
    const char *folder;  // under build/samples ("" for the folder itself)
    const char *file;
    const char *title;  // display title
    bool damaged;       // reported as unreadable
};

const SampleBook kSampleBooks[] = {
    {"", "alice.vbk", "Alice's Adventures in Wonderland", false},  // 32 bytes, no NUL
    {"", "complete-works.vbk", "Complete Works of Shakespeare", false},  // the large one
    {"more-books", "damaged.vbk", "Title Unavailable", true},  // found with Browse
    {"", "les-miserables.vbk", "Les Mis\xe9rables", false},
    {"", "moby-dick.vbk", "Moby-Dick; or, The Whale", false},
    {"", "pride-and-prejudice.vbk", "Pride and Prejudice", false},
    {"", "tale-of-two-cities.vbk", "A Tale of Two Cities", false},
    {"", "time-machine.vbk", "The Time Machine", false},
    {"", "wsj0101.vbk", "The Wall Street Journal (wsj0101.vbk)", false},
    {"", "wsj0102.vbk", "The Wall Street Journal (wsj0102.vbk)", false},
};

// The sample books, copied into a folder of their own that is the current
// directory while the test runs.
class SampleBooks : public ::testing::Test {
protected:
    void SetUp() override {
        for (const SampleBook &book : kSampleBooks) {
            const std::string from = SamplesFolder() + (*book.folder ? "\\" : "") + book.folder + "\\" + book.file;
            const std::string to = folder_.Path() + "\\" + book.file;
            ASSERT_TRUE(CopyFileA(from.c_str(), to.c_str(), TRUE)) << "no sample book " << from;
        }
    }
    BookFolder folder_;
};

TEST_F(SampleBooks, ReadBackWithTheirTitles) {
    // Nothing else is generated as a book, and the book page's first list
    // (the setup folder itself) holds no damaged one.
    std::vector<std::string> generated;
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((SamplesFolder() + "\\*.vbk").c_str(), &entry);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    do {
        generated.push_back(entry.cFileName);
    } while (FindNextFileA(search, &entry));
    FindClose(search);
    size_t inFolder = 0;
    for (const SampleBook &book : kSampleBooks) inFolder += *book.folder == '\0' && !book.damaged;
    EXPECT_EQ(generated.size(), inFolder);

    for (const SampleBook &book : kSampleBooks) {
        SCOPED_TRACE(book.file);
        BoxRecorder boxes;
        char title[kBookTitleChars] = "";
        EXPECT_TRUE(ReadBookTitle(book.file, title));
        EXPECT_STREQ(title, book.title);
        EXPECT_EQ(boxes.Count("Unable to read file title."), book.damaged ? 1u : 0u);
        EXPECT_EQ(boxes.Boxes().size(), book.damaged ? 1u : 0u);
    }
}

// Every readable sample has a title of its own, so each one chosen on the
// book page is traced back to its own file; the newspaper's two issues too.
TEST_F(SampleBooks, EachTitleLeadsBackToItsFile) {
    for (const SampleBook &book : kSampleBooks) {
        if (book.damaged) continue;
        SCOPED_TRACE(book.file);
        BoxRecorder boxes;
        char name[kBookFileNameChars] = "";
        ASSERT_TRUE(FindBookFileByTitle(book.title, name));
        EXPECT_STREQ(name, book.file);
    }
}

}  // namespace
