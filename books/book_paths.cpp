#include "books/book_paths.h"

#include <string.h>

#include "devicefiles/file_copy.h"

bool JoinDevicePath(char (&out)[kDevicePathChars], const char *a, const char *b, const char *c) {
    const size_t la = strlen(a), lb = strlen(b), lc = strlen(c);
    if (la + lb + lc >= sizeof out) return false;
    memcpy(out, a, la);
    memcpy(out + la, b, lb);
    memcpy(out + la + lb, c, lc + 1);
    return true;
}

bool IsNewspaperIssue(const char *name) { return strncmp(name, "wsj", 3) == 0; }

bool StorageRootHoldsBooks(size_t rootLength) {
    const size_t shortest = rootLength + (sizeof kBookFolderUnderRoot - 1) + (sizeof kCopyTemporaryName - 1);
    return shortest < kDevicePathChars;
}
