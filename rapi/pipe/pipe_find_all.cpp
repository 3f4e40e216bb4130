// CeFindAllFiles over the pipe to our simulated device: its entries as the
// device sends them, cut to the fields the flags ask for.
#include "rapi/pipe/pipe_find_all.h"

#include <vector>

#include "rapi/find_all_calls.h"
#include "rapi/pipe/pipe_link.h"
#include "rapi/pipe/pipe_request.h"

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
        findall::KeepAskedFields(flags, &entry);
        entries.push_back(entry);
    }
    if (!Decoded(answer)) return FALSE;
    return findall::HandOver(entries, foundCount, found);
}

}  // namespace pipecall

