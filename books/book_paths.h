// Device paths of the books: the book folder under a storage root, and the
// joining of path parts within the device's 255 characters, and the one
// device file every issue of the newspaper goes to.
#pragma once

#include <stddef.h>

// A device path of at most 255 characters and its terminator.
const size_t kDevicePathChars = 256;

// The book folder, under the storage root ("\" or "\" + card + "\").
inline constexpr char kBookFolderUnderRoot[] = "My Documents\\Corvex Press\\";

// Every issue of the newspaper goes to this device file, whatever its host
// name.
inline constexpr char kNewspaperIssue[] = "wsj.vbk";

// Names beginning with lower-case "wsj" are issues of the newspaper; an
// upper-case "WSJ" name is an ordinary book.
bool IsNewspaperIssue(const char *name);

// out <- a + b + c when the whole fits kDevicePathChars with its
// terminator; false, and out untouched, when it does not: a cut path would
// name another file.
bool JoinDevicePath(char (&out)[kDevicePathChars], const char *a, const char *b, const char *c = "");

// True when the book folder under a storage root of rootLength characters
// can take a copy: the copy's temporary file, the shortest name any copy
// writes there, fits a device path beside the books.
bool StorageRootHoldsBooks(size_t rootLength);
