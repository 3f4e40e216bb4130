// CeFindAllFiles, the part every transport shares: the device's entries
// cut to the fields the caller asked for, then handed over in one array of
// the caller's records that it releases with CeRapiFreeBuffer.
#include "rapi/find_all_calls.h"

#include <string.h>

#include "rapi/last_error.h"

namespace findall {

void KeepAskedFields(DWORD flags, CE_FIND_DATA *entry) {
    const CE_FIND_DATA all = *entry;
    memset(entry, 0, sizeof *entry);
    if (flags & FAF_ATTRIBUTES) entry->dwFileAttributes = all.dwFileAttributes;
    if (flags & FAF_CREATION_TIME) entry->ftCreationTime = all.ftCreationTime;
    if (flags & FAF_LASTACCESS_TIME) entry->ftLastAccessTime = all.ftLastAccessTime;
    if (flags & FAF_LASTWRITE_TIME) entry->ftLastWriteTime = all.ftLastWriteTime;
    if (flags & FAF_SIZE_HIGH) entry->nFileSizeHigh = all.nFileSizeHigh;
    if (flags & FAF_SIZE_LOW) entry->nFileSizeLow = all.nFileSizeLow;
    if (flags & FAF_OID) entry->dwOID = all.dwOID;
    if (flags & FAF_NAME) memcpy(entry->cFileName, all.cFileName, sizeof all.cFileName);
}

BOOL HandOver(const std::vector<CE_FIND_DATA> &entries, LPDWORD foundCount, CE_FIND_DATA **found) {
    if (entries.empty()) return TRUE;
    const size_t bytes = entries.size() * sizeof(CE_FIND_DATA);
    CE_FIND_DATA *array = static_cast<CE_FIND_DATA *>(LocalAlloc(LMEM_FIXED, bytes));
    if (!array) {
        rapilink::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    memcpy(array, entries.data(), bytes);
    *found = array;
    *foundCount = static_cast<DWORD>(entries.size());
    return TRUE;
}

}  // namespace findall

void ReleaseFoundArray(void *array) { LocalFree(array); }
