#include "books/pending_book_list.h"

#include <new>

// Nodes, the header and the handle cell come from the nothrow allocator: a
// list operation that cannot get memory changes nothing and reports it,
// instead of throwing through a dialog procedure.

PendingBookList **CreatePendingBookList() {
    PendingBookList *header = new (std::nothrow) PendingBookList{nullptr, nullptr, nullptr};
    if (!header) return nullptr;
    PendingBookList **handle = new (std::nothrow) PendingBookList *(header);
    if (!handle) {
        delete header;
        return nullptr;
    }
    return handle;
}

int DestroyPendingBookList(PendingBookList **list) {
    if (!list) return 0;
    PendingBookList *header = *list;
    if (header && header->first) return 0;
    delete header;
    delete list;
    return 1;
}

int InsertAfterCursor(PendingBookList **list, void *item) {
    if (!list || !*list) return 0;
    PendingBookNode *node = new (std::nothrow) PendingBookNode{nullptr, nullptr, item};
    if (!node) return 0;
    PendingBookList &header = **list;
    PendingBookNode *cursor = header.current;
    if (!cursor) {
        // An empty list: the node is first, last and the cursor at once.
        header.first = node;
        header.last = node;
    } else {
        node->prev = cursor;
        node->next = cursor->next;
        if (cursor->next) cursor->next->prev = node;
        cursor->next = node;
        if (!node->next) header.last = node;
    }
    header.current = node;
    return 1;
}

void *RewindAndPeek(PendingBookList **list) {
    if (!list || !*list) return nullptr;
    PendingBookList &header = **list;
    header.current = header.first;
    return header.first ? header.first->item : nullptr;
}

void *RemoveAtCursor(PendingBookList **list) {
    if (!list || !*list) return nullptr;
    PendingBookList &header = **list;
    PendingBookNode *cursor = header.current;
    if (!cursor) return nullptr;
    if (header.first == header.last) {
        header.first = header.last = header.current = nullptr;
    } else if (!cursor->next) {
        // Removing the last node moves the cursor back to the new last one.
        header.last = header.current = cursor->prev;
        cursor->prev->next = nullptr;
    } else if (!cursor->prev) {
        header.first = header.current = cursor->next;
        cursor->next->prev = nullptr;
    } else {
        cursor->prev->next = cursor->next;
        cursor->next->prev = cursor->prev;
        header.current = cursor->next;
    }
    void *item = cursor->item;
    delete cursor;
    return item;
}
