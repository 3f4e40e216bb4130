// The first page of the Install Book wizard: the books of the current host
// folder by title, with Browse and Select All; the F2/F3 hot keys are live
// while it is open.
#pragma once

#include "books/pending_book_list.h"

// Runs the page (template 101). Returns 1 for Next (the chosen file names
// appended to list), 1019 for Back, 0 for a confirmed Cancel.
// Each name appended is a bare file name in the folder the page listed,
// which Next records as bookFolder; it is a heap copy made with new[], and
// whoever takes it out of the list releases it with delete[].
int RunBookSelection(PendingBookList **list);
