// CeFindAllFiles over the pipe to our simulated device, and over TCP in a
// CE 3.x/4.x device's own protocol and in a Windows Mobile 5/6 device's.
// The device's entries are checked as every answer is, then copied into one
// array of the caller's records, with only the fields the flags ask for.
#include "rapi/find_all_calls.h"

#include <string.h>

#include <vector>

#include "protocol/rapi1.h"
#include "protocol/rapi2.h"
#include "rapi/link.h"
#include "rapi/network/exchange.h"
#include "rapi/pipe/pipe_request.h"

namespace {

// Clears what the caller did not ask for, as the platform leaves it unfilled.
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

// The entries into one array for the caller (none: no array). False, with
// nothing handed over, when there is no memory for it.
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

}  // namespace

void ReleaseFoundArray(void *array) { LocalFree(array); }

namespace pipecall {

BOOL WINAPI PipeFindAllFiles(LPCWSTR path, DWORD flags, LPDWORD foundCount, CE_FIND_DATA **found) {
    wire::Writer request = Request(wire::kFindAllFiles);
    request.Text(path);
    request.U32(flags);
    rapilink::Answer answer;
    if (!rapilink::Call(request, &answer)) return FALSE;
    const BOOL ok = answer.in.U32() != 0;
    const uint32_t count = answer.in.U32();
    if (!Decoded(answer) || !ok) return FALSE;
    // A count past what the answer holds ends at its first missing entry.
    std::vector<CE_FIND_DATA> entries;
    for (uint32_t i = 0; i < count && answer.in.ok(); ++i) {
        CE_FIND_DATA entry;
        CopyFound(answer.in, &entry);
        KeepAskedFields(flags, &entry);
        entries.push_back(entry);
    }
    if (!Decoded(answer)) return FALSE;
    return HandOver(entries, foundCount, found);
}

}  // namespace pipecall

namespace netcall {

// The reply: the head, then the count (no last error), then the entries
// with the fields the flags name.
BOOL WINAPI NetFindAllFiles(LPCWSTR path, DWORD flags, LPDWORD foundCount, CE_FIND_DATA **found) {
    rapi1::Writer request = Request(rapi1::kFindAllFiles);
    request.String(path);
    request.U32(flags);
    Reply reply("CeFindAllFiles");
    if (!Exchange(request, rapi1::kMaxFrameBytes, &reply)) return FALSE;
    uint32_t count = 0;
    if (!rapi1::ReadFindAllCount(&reply.in, flags, &count)) {
        Complete(reply);
        return FALSE;
    }
    std::vector<CE_FIND_DATA> entries(count);
    for (CE_FIND_DATA &entry : entries) {
        rapi1::FindData data;
        if (!rapi1::ReadFindAllEntry(&reply.in, flags, &data)) {
            Complete(reply);
            return FALSE;
        }
        ToCeFindData(data, &entry);
    }
    if (!Complete(reply)) return FALSE;
    return HandOver(entries, foundCount, found);
}

}  // namespace netcall

namespace netcall2 {

// A Windows Mobile device's listing: the codec checks the count and every
// entry against the reply before anything is taken from it.
BOOL WINAPI NetFindAllFiles2(LPCWSTR path, DWORD flags, LPDWORD foundCount, CE_FIND_DATA **found) {
    netcall::Call2 call("CeFindAllFiles", rapi2::kFindAllFiles);
    call.request.hasPath = path != nullptr;
    if (path) call.request.path = path;
    call.request.flags = flags;
    if (!netcall::Exchange2(call, rapi1::kMaxFrameBytes) || !call.reply.result) return FALSE;
    std::vector<CE_FIND_DATA> entries(call.reply.entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        netcall::ToCeFindData(call.reply.entries[i], &entries[i]);
        KeepAskedFields(flags, &entries[i]);
    }
    return HandOver(entries, foundCount, found);
}

}  // namespace netcall2
