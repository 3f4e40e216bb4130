// The storage location with its room checked: books that will not fit in
// the chosen location are said so once, before anything is written.
#pragma once

#include "books/folder_listing.h"
#include "books/pending_book_list.h"

// Runs the storage page until the chosen location has room for the pending
// books (and for the reader, when it goes to the same store), or its room
// cannot be learnt. 1 when storageRoot is set; 0 for a confirmed Cancel;
// -1 for Back, and after a refusal on a device without cards, where there
// is no other location to choose and the user can only choose fewer books.
// *bookFolder holds the check's listing of the chosen location's book
// folder (empty when it could not be made), for the transfer's age tests.
int ChooseStorageWithRoom(PendingBookList **list, FolderListing *bookFolder);
