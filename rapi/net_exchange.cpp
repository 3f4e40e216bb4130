// One remote API call over TCP: see net_exchange.h.
#include "rapi/net_exchange.h"

#include <string.h>

#include <algorithm>

#include "rapi/call_log.h"
#include "rapi/link.h"
#include "rapi/net_link.h"

namespace netcall {

namespace {

// The last error a call that failed as a whole leaves.
DWORD ErrorOfHresult(uint32_t hresult) {
    if ((hresult & 0xFFFF0000u) == 0x80070000u) return hresult & 0xFFFF;  // a Win32 error as an HRESULT
    if (hresult == rapi1::kENotImpl) return ERROR_NOT_SUPPORTED;
    return ERROR_GEN_FAILURE;
}

FILETIME FileTimeOf(uint64_t value) { return FILETIME{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)}; }

}  // namespace

HANDLE ToHandle(uint32_t id) {
    if (id == rapi1::kInvalidHandle) return INVALID_HANDLE_VALUE;
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(id));
}

uint32_t FromHandle(HANDLE handle) {
    if (handle == INVALID_HANDLE_VALUE) return rapi1::kInvalidHandle;
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    return value > 0xFFFFFFFFu ? 0 : static_cast<uint32_t>(value);
}

uint32_t U32At(const uint8_t *bytes) {
    return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

rapi1::Writer Request(rapi1::Command command) {
    rapi1::Writer request;
    request.U32(command);
    return request;
}

bool Malformed(Reply &reply, const char *problem) {
    calllog::Event("%s: the device's reply does not hold together: %s", reply.call, problem);
    netlink::Drop("a reply that does not hold together");
    rapilink::SetLastError(rapilink::kNoDevice);
    return false;
}

bool Exchange(const rapi1::Writer &request, size_t maxReply, Reply *reply, int trailingFrames,
              const netwait::Deadline *whole) {
    if (!netlink::Call(request.Frame(), maxReply, &reply->body, trailingFrames, whole)) return false;
    reply->in = rapi1::Reader(reply->body.data(), reply->body.size());
    uint32_t hresult = 0;
    uint32_t head = reply->in.ReplyHead(&hresult);
    if (!reply->in.ok() || head > 1) return Malformed(*reply, "no reply head");
    if (head == 1 && hresult != 0) {
        calllog::Event("%s: the device failed the call with HRESULT 0x%08x", reply->call, hresult);
        rapilink::SetLastError(ErrorOfHresult(hresult));
        return false;
    }
    return true;
}

void TakeLastError(Reply &reply) {
    uint32_t error = reply.in.U32();
    if (reply.in.ok()) rapilink::SetLastError(error);
}

bool Complete(Reply &reply) { return reply.in.ok() || Malformed(reply, reply.in.Problem()); }

BOOL FlagCall(rapi1::Writer &request, const char *call) {
    Reply reply(call);
    if (!Exchange(request, kSmallReply, &reply)) return FALSE;
    TakeLastError(reply);
    uint32_t ok = reply.in.U32();
    return Complete(reply) && ok != 0;
}

BOOL PathsCall(rapi1::Command command, const char *call, LPCWSTR path, LPCWSTR second) {
    rapi1::Writer request = Request(command);
    request.OptionalString(path);
    if (second) request.OptionalString(second);
    return FlagCall(request, call);
}

bool TakeFindData(Reply &reply, CE_FIND_DATA *found) {
    rapi1::FindData data;
    if (!rapi1::ReadFindData(&reply.in, &data)) return Complete(reply);
    ToCeFindData(data, found);
    return true;
}

void ToCeFindData(const rapi1::FindData &data, CE_FIND_DATA *found) {
    memset(found, 0, sizeof *found);
    found->dwFileAttributes = data.attributes;
    found->ftCreationTime = FileTimeOf(data.creation);
    found->ftLastAccessTime = FileTimeOf(data.access);
    found->ftLastWriteTime = FileTimeOf(data.write);
    found->nFileSizeHigh = static_cast<DWORD>(data.size >> 32);
    found->nFileSizeLow = static_cast<DWORD>(data.size);
    found->dwOID = data.oid;
    size_t units = std::min<size_t>(data.name.size(), MAX_PATH - 1);
    for (size_t i = 0; i < units; ++i) found->cFileName[i] = static_cast<WCHAR>(data.name[i]);
}

bool TakeExactValue(Reply &reply, void *to, uint32_t size, bool *got) {
    rapi1::Optional value = reply.in.OptionalArgument();
    *got = false;
    if (!reply.in.ok()) return Complete(reply);
    if (!value.present || !value.hasValue) return true;
    if (value.size != size) return Malformed(reply, "a value of the wrong size");
    if (to) memcpy(to, value.data, size);
    *got = true;
    return true;
}

}  // namespace netcall
