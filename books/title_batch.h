// Titles gathered for a sorted list box and put into it in one go.
//
// A sorted list box compares the new string with others (in its locale,
// ignoring case) at each step of every insertion: with thousands of books
// that is most of the time it takes to fill the list. A batch instead makes
// one sort key per title with the same comparison, sorts the keys, and
// appends the titles in that order. The list box ends up as it would have
// sorted itself; titles that compare equal keep the order they came in.
#pragma once

#include <windows.h>

#include <stddef.h>

struct TitleBatch {
    HWND list;
    LCID locale;
    // One record per title, in arrival order: the entry's data (an
    // LPARAM), the key's length (a DWORD), the key, the title and its NUL. offsets[i] is where record i starts.
    char *records;
    size_t recordBytes;
    size_t recordCapacity;
    size_t *offsets;
    size_t count;
    size_t offsetCapacity;
    // Set once memory ran out: titles then go to the list box one by one.
    bool direct;
};

// An empty batch for list (a sorted list box, empty until the batch is put
// into it).
void StartTitleBatch(TitleBatch &batch, HWND list);
// Adds one title, whose list entry gets data as its item data; if memory
// for it cannot be had, the titles so far and every later one are added to
// the list box directly, which sorts them.
void AddToTitleBatch(TitleBatch &batch, const char *title, LPARAM data = 0);
// Puts the titles into the list box in sorted order and releases the batch.
void FinishTitleBatch(TitleBatch &batch);
