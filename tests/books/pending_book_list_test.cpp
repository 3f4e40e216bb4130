// The pending book list: sequences of operations as a table, each checked
// against the list's links after every step, and the list under failing
// allocations.
#include <gtest/gtest.h>

#include <string>

#include "books/pending_book_list.h"
#include "tests/books/allocation_control.h"

namespace {

// Items are the addresses of the letters below; '0' stands for a null item.
const char kLetters[] = "abcdefghijklmnopqrstuvwxyz";

void *Item(char letter) { return letter == '0' ? nullptr : const_cast<char *>(&kLetters[letter - 'a']); }

// '.' for a null result, else the letter the item stands for.
char Letter(void *item) { return item ? *static_cast<char *>(item) : '.'; }

// The list from first to last as letters ('0' for a null item), after
// checking every link: the back links mirror the forward ones, the ends
// are null, and the cursor is one of the nodes (or all three are null).
std::string Walk(PendingBookList **list) {
    const PendingBookList &header = **list;
    std::string letters;
    if (!header.first) {
        EXPECT_EQ(header.last, nullptr);
        EXPECT_EQ(header.current, nullptr);
        return letters;
    }
    EXPECT_EQ(header.first->prev, nullptr);
    bool cursorSeen = false;
    const PendingBookNode *previous = nullptr;
    for (const PendingBookNode *node = header.first; node; node = node->next) {
        EXPECT_EQ(node->prev, previous);
        cursorSeen = cursorSeen || node == header.current;
        letters += node->item ? Letter(node->item) : '0';
        previous = node;
        if (letters.size() > 100) break;  // a cycle
    }
    EXPECT_EQ(header.last, previous);
    EXPECT_TRUE(cursorSeen) << "the cursor is not a node of the list";
    return letters;
}

char CursorLetter(PendingBookList **list) {
    const PendingBookNode *cursor = (*list)->current;
    if (!cursor) return '-';
    return cursor->item ? Letter(cursor->item) : '0';
}

// A script is a run of two-character steps:
//   +x  InsertAfterCursor with item x (result 1)
//   <x  RewindAndPeek, expecting x ('.' for null)
//   -x  RemoveAtCursor, expecting x ('.' for null)
struct ListCase {
    const char *name;
    const char *script;
    const char *contents;  // first to last afterwards
    char cursor;           // the cursor's item afterwards, '-' for none
};

const ListCase kListCases[] = {
    {"peek on an empty list", "<.", "", '-'},
    {"remove on an empty list", "-.<.", "", '-'},
    {"first in, first out", "+a+b+c<a-a<b-b<c-c<.-.", "", '-'},
    {"inserts append in call order", "+a+b+c+d", "abcd", 'd'},
    {"the only node removed, then a fresh start", "+a-a+b", "b", 'b'},
    {"insert after a rewound cursor", "+a+b+c<a+x", "axbc", 'x'},
    {"insert after an inner node", "+a+b+c<a+x+y", "axybc", 'y'},
    {"removing the first moves the cursor forward", "+a+b+c<a-a", "bc", 'b'},
    {"removing the last moves the cursor back", "+a+b+c-c", "ab", 'b'},
    {"removing an inner node joins its neighbours", "+a+b+c<a+x-x", "abc", 'b'},
    {"removals down to one node, then from the back", "+a+b+c-c-b", "a", 'a'},
    {"a null item is stored and handed back", "+0+a<.-.<a", "a", 'a'},
    {"a null item first ends a FIFO loop early", "+0+a+b<.", "0ab", '0'},
};

TEST(PendingBookList, OperationSequences) {
    for (const ListCase &c : kListCases) {
        SCOPED_TRACE(c.name);
        PendingBookList **list = CreatePendingBookList();
        ASSERT_NE(list, nullptr);
        const std::string script = c.script;
        for (size_t step = 0; step + 1 < script.size(); step += 2) {
            const char op = script[step];
            const char arg = script[step + 1];
            SCOPED_TRACE("step " + script.substr(0, step + 2));
            switch (op) {
            case '+':
                EXPECT_EQ(InsertAfterCursor(list, Item(arg)), 1);
                break;
            case '<':
                EXPECT_EQ(Letter(RewindAndPeek(list)), arg);
                break;
            case '-':
                EXPECT_EQ(Letter(RemoveAtCursor(list)), arg);
                break;
            default:
                FAIL() << "bad script";
            }
            Walk(list);
        }
        EXPECT_EQ(Walk(list), c.contents);
        EXPECT_EQ(CursorLetter(list), c.cursor);
        // Destroying is refused while a node is left; emptied, it succeeds.
        EXPECT_EQ(DestroyPendingBookList(list), c.contents[0] ? 0 : 1);
        if (c.contents[0]) {
            EXPECT_EQ(Walk(list), c.contents);
            while (RewindAndPeek(list) || (*list)->first) RemoveAtCursor(list);
            EXPECT_EQ(DestroyPendingBookList(list), 1);
        }
    }
}

TEST(PendingBookList, NullHandleIsAnsweredWithNothing) {
    EXPECT_EQ(DestroyPendingBookList(nullptr), 0);
    EXPECT_EQ(InsertAfterCursor(nullptr, Item('a')), 0);
    EXPECT_EQ(RewindAndPeek(nullptr), nullptr);
    EXPECT_EQ(RemoveAtCursor(nullptr), nullptr);
}

// Nothing is lost or leaked when memory runs out: a list that cannot be
// made is not made, and an item that cannot be stored stays with its owner.
TEST(PendingBookList, FailedAllocationsChangeNothing) {
    const long before = LiveAllocations();
    for (long failing = 0; failing < 2; ++failing) {  // the header, then the handle cell
        AllocationFailureScope scope(failing);
        EXPECT_EQ(CreatePendingBookList(), nullptr) << "allocation " << failing << " failing";
        EXPECT_EQ(LiveAllocations(), before) << "allocation " << failing << " failing";
    }

    PendingBookList **list = CreatePendingBookList();
    ASSERT_NE(list, nullptr);
    InsertAfterCursor(list, Item('a'));
    InsertAfterCursor(list, Item('b'));
    RewindAndPeek(list);
    const long withTwo = LiveAllocations();
    {
        AllocationFailureScope scope(0);
        EXPECT_EQ(InsertAfterCursor(list, Item('x')), 0);
    }
    EXPECT_EQ(LiveAllocations(), withTwo);
    EXPECT_EQ(Walk(list), "ab");
    EXPECT_EQ(CursorLetter(list), 'a');
    // Memory back: the list goes on as if nothing happened.
    EXPECT_EQ(InsertAfterCursor(list, Item('x')), 1);
    EXPECT_EQ(Walk(list), "axb");
    while (RewindAndPeek(list)) RemoveAtCursor(list);
    EXPECT_EQ(DestroyPendingBookList(list), 1);
    EXPECT_EQ(LiveAllocations(), before);
}

}  // namespace
