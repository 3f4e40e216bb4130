// Titles put into a sorted list box in one go end up exactly as the list
// box sorts them itself, also when memory runs out part way.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "books/title_batch.h"
#include "tests/books/allocation_control.h"

namespace {

HWND SortedList() {
    return CreateWindowA("LISTBOX", "", LBS_SORT | LBS_MULTIPLESEL | WS_VSCROLL, 0, 0, 200, 200, nullptr, nullptr,
                         GetModuleHandleA(nullptr), nullptr);
}

std::vector<std::string> Items(HWND list) {
    std::vector<std::string> items;
    const LRESULT count = SendMessageA(list, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        std::string text(static_cast<size_t>(SendMessageA(list, LB_GETTEXTLEN, i, 0)) + 1, '\0');
        text.resize(static_cast<size_t>(SendMessageA(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(&text[0]))));
        items.push_back(text);
    }
    return items;
}

// What the list box makes of the titles when it sorts each one in itself.
std::vector<std::string> SortedByTheListBox(const std::vector<std::string> &titles,
                                            const std::vector<std::string> &already = {}) {
    HWND list = SortedList();
    for (const std::string &title : already) SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(title.c_str()));
    for (const std::string &title : titles) SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(title.c_str()));
    std::vector<std::string> items = Items(list);
    DestroyWindow(list);
    return items;
}

std::vector<std::string> ThroughABatch(const std::vector<std::string> &titles,
                                       const std::vector<std::string> &already = {}) {
    HWND list = SortedList();
    for (const std::string &title : already) SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(title.c_str()));
    TitleBatch batch;
    StartTitleBatch(batch, list);
    for (size_t i = 0; i < titles.size(); ++i) AddToTitleBatch(batch, titles[i].c_str(), static_cast<LPARAM>(i + 1));
    FinishTitleBatch(batch);
    std::vector<std::string> items = Items(list);
    // Every title's entry carries the data given with it.
    size_t withData = 0;
    for (size_t i = 0; i < items.size(); ++i) {
        const LRESULT data = SendMessageA(list, LB_GETITEMDATA, i, 0);
        if (data <= 0) continue;
        ++withData;
        EXPECT_EQ(items[i], titles.at(static_cast<size_t>(data) - 1));
    }
    EXPECT_EQ(withData, titles.size());
    DestroyWindow(list);
    return items;
}

// Titles whose order is easy to get wrong (no two of them equal but for
// letter case: the list box places those among each other as its search
// happens to fall, the batch in the order they came): case, punctuation and hyphens
// (which the list's comparison weighs differently from their byte values),
// digits, accents, the trade mark sign, spaces, duplicates, the empty title.
const std::vector<std::string> kAwkwardTitles = {
    "zebra",
    "Zebra Tales",
    "apple pie",
    "Apple-Pie Recipes",
    "applepie",
    "co-op",
    "coop",
    "Coop's Guide",
    "The Wall Street Journal (wsj0102.vbk)",
    "The Wall Street Journal (wsj0101.vbk)",
    "Title Unavailable",
    "Title Unavailable",
    "10 Stories",
    "9 Stories",
    " Leading Space",
    "\xC9mile",
    "Emile",
    "Tesh\x99 Guide",
    "_underscore",
    "",
    "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345",
};

// Enough titles to make the batch grow its storage several times.
std::vector<std::string> ManyTitles() {
    std::vector<std::string> titles = kAwkwardTitles;
    for (int i = 0; i < 1500; ++i) {
        titles.push_back("Collected Works, Volume " + std::to_string((i * 7919) % 1500) +
                         (i % 3 ? " - Part two" : " (revised)"));
    }
    return titles;
}

TEST(TitleBatch, SortsAsTheListBoxDoes) {
    EXPECT_EQ(ThroughABatch(kAwkwardTitles), SortedByTheListBox(kAwkwardTitles));
    const std::vector<std::string> many = ManyTitles();
    EXPECT_EQ(ThroughABatch(many), SortedByTheListBox(many));
    EXPECT_TRUE(ThroughABatch({}).empty());
    // Titles equal but for case stay together, in any order.
    std::vector<std::string> cased = kAwkwardTitles;
    cased.insert(cased.end(), {"middle", "Middle", "MIDDLE", "Middle"});
    std::vector<std::string> batched = ThroughABatch(cased);
    for (size_t i = 1; i < batched.size(); ++i) {
        EXPECT_NE(CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, batched[i - 1].c_str(), -1,
                                 batched[i].c_str(), -1),
                  CSTR_GREATER_THAN)
            << batched[i - 1] << " before " << batched[i];
    }
    std::vector<std::string> listed = SortedByTheListBox(cased);
    std::sort(batched.begin(), batched.end());
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(batched, listed);
    // A list that already holds entries: still one sorted list.
    const std::vector<std::string> already = {"Middle", "aardvark", "zz top"};
    EXPECT_EQ(ThroughABatch(kAwkwardTitles, already), SortedByTheListBox(kAwkwardTitles, already));
}

// Memory running out at any of the batch's allocations: every title still
// reaches the list, sorted.
TEST(TitleBatch, NoMemoryPartWayLosesNothing) {
    const std::vector<std::string> many = ManyTitles();
    const std::vector<std::string> expected = SortedByTheListBox(many);
    for (long skip = 0; skip < 12; ++skip) {
        SCOPED_TRACE("allocation " + std::to_string(skip) + " fails");
        HWND list = SortedList();
        TitleBatch batch;
        long leaked = 0;
        {
            const long before = LiveAllocations();
            AllocationFailureScope failing(skip, -1);
            StartTitleBatch(batch, list);
            for (const std::string &title : many) AddToTitleBatch(batch, title.c_str());
            FinishTitleBatch(batch);
            leaked = LiveAllocations() - before;
        }
        EXPECT_EQ(leaked, 0);
        EXPECT_EQ(Items(list), expected);
        DestroyWindow(list);
    }
}

}  // namespace
