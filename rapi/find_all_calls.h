// CeFindAllFiles, the part every transport shares: a folder's whole listing
// in one call, handed to the caller as one array it releases with
// CeRapiFreeBuffer. Each transport's call is in its own folder
// (rapi/pipe/pipe_find_all.cpp, rapi/network/rapi1_file_calls.cpp,
// rapi/network/rapi2_file_calls.cpp).
#pragma once

#include <vector>

#include "device/rapi_types.h"

namespace findall {

// Clears what the caller did not ask for, as the platform leaves it unfilled.
void KeepAskedFields(DWORD flags, CE_FIND_DATA *entry);

// The entries into one array for the caller (none: no array). False, with
// nothing handed over, when there is no memory for it.
BOOL HandOver(const std::vector<CE_FIND_DATA> &entries, LPDWORD foundCount, CE_FIND_DATA **found);

}  // namespace findall

// The array CeFindAllFiles hands over, released by CeRapiFreeBuffer.
void ReleaseFoundArray(void *array);
