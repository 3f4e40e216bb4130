// The books chosen on the book page, carried to the transfer: a small doubly
// linked list with a cursor. Items are the caller's pointers (here heap
// copies of host file names); the list never looks into them or frees them.
#pragma once

struct PendingBookNode {
    PendingBookNode *next;
    PendingBookNode *prev;
    void *item;
};

struct PendingBookList {
    PendingBookNode *first;
    PendingBookNode *last;
    PendingBookNode *current;
};

// A list is referred to by its handle: a separately allocated cell holding
// the address of the header. Every operation accepts a null handle.

// A new empty list; null when memory for it cannot be had.
PendingBookList **CreatePendingBookList();
// 1 when destroyed; 0 (nothing changed) for a null handle or a list that
// still holds a node.
int DestroyPendingBookList(PendingBookList **list);
// Puts item in a new node right after the cursor and moves the cursor to it.
// 1 when inserted; 0 when nothing changed (null handle, or no memory for the
// node): the item then stays with the caller.
int InsertAfterCursor(PendingBookList **list, void *item);
// Moves the cursor to the first node and returns its item; null for an
// empty list or a null handle.
void *RewindAndPeek(PendingBookList **list);
// Unlinks and frees the cursor node and returns its item; null (nothing
// changed) for a null handle or an empty list.
void *RemoveAtCursor(PendingBookList **list);
