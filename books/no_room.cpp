#include "books/no_room.h"

#include <stdio.h>
#include <string.h>

#include "base/message_box.h"
#include "resources/texts.h"

namespace {

// The host book's size; false when it cannot be read.
bool HostBookBytes(const char *name, uint64_t *bytes) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(name, GetFileExInfoStandard, &data)) return false;
    *bytes = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

}  // namespace

bool IsNoRoomError(DWORD error) { return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL; }

bool CannotFitNow(const NoRoomBooks &books, const char *name) {
    uint64_t bytes = 0;
    return books.count > 0 && HostBookBytes(name, &bytes) && bytes >= books.smallest;
}

void CountNoRoom(NoRoomBooks *books, const char *name, bool tried) {
    if (books->count++ == 0) books->first = name;
    uint64_t bytes = 0;
    if (tried && HostBookBytes(name, &bytes) && bytes < books->smallest) books->smallest = bytes;
}

void ReportNoRoom(const NoRoomBooks &books, const char *storageRoot) {
    if (books.count == 0) return;
    char which[512];
    if (books.count == 1) {
        snprintf(which, sizeof which, kTextOneBookNotCopiedFormat, books.first.c_str());
    } else if (books.count == 2) {
        snprintf(which, sizeof which, kTextTwoBooksNotCopiedFormat, books.first.c_str());
    } else {
        snprintf(which, sizeof which, kTextBooksNotCopiedFormat, books.first.c_str(), books.count - 1);
    }
    char text[1024];
    const int cardName = static_cast<int>(strlen(storageRoot)) - 2;
    if (cardName > 0) {
        snprintf(text, sizeof text, kTextCardFullFormat, cardName, storageRoot + 1, which);
    } else {
        snprintf(text, sizeof text, kTextMainMemoryFullFormat, which);
    }
    ShowMessage(text, kCaptionError, MB_OK | MB_ICONWARNING);
}
