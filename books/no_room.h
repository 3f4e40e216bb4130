// Books that found no room at the chosen location while they were copied:
// the room could not be checked before (a card over an older device's
// network link), or the device had less than it said. They are told in one
// box after the transfer, naming the location, the first such book, how
// many, and what to do; meanwhile a later book is tried only if it might
// still fit.
#pragma once

#include <stdint.h>
#include <windows.h>

#include <string>

struct NoRoomBooks {
    std::string first;              // the first book that did not fit
    int count = 0;                  // books not copied for want of room
    uint64_t smallest = UINT64_MAX;  // bytes of the smallest book that did not fit
};

// The device's codes for a full store.
bool IsNoRoomError(DWORD error);
// True when a book no larger than this one has already failed for want of
// room: this one cannot fit either (a book whose size is unknown might).
bool CannotFitNow(const NoRoomBooks &books, const char *name);
// Counts a book that was not copied for want of room.
void CountNoRoom(NoRoomBooks *books, const char *name, bool tried);
// The one box for the books counted, if any; storageRoot is "\" for main
// memory or "\Card\" for a card.
void ReportNoRoom(const NoRoomBooks &books, const char *storageRoot);
