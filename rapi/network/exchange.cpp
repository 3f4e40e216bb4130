// One remote API call over TCP: see rapi/network/exchange.h.
#include "rapi/network/exchange.h"

#include <string.h>

#include <algorithm>

#include "rapi/call_log.h"
#include "rapi/last_error.h"
#include "rapi/network/network_link.h"

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

uint32_t FromKey(HKEY key) {
    // The four predefined roots, numbered as the device numbers them
    // (HKEY_LOCAL_MACHINE is its 0x80000002), whatever the host's width.
    const HKEY roots[] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS};
    for (uint32_t i = 0; i < 4; ++i) {
        if (key == roots[i]) return rapi1::kRootLocalMachine - 2 + i;
    }
    return FromHandle(reinterpret_cast<HANDLE>(key));
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
    Call2 call(reply.call, 0);
    return Malformed2(call, problem);
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

bool TakeFindData(Reply &reply, CE_FIND_DATA *found) {
    rapi1::FindData data;
    if (!rapi1::ReadFindData(&reply.in, &data)) return Complete(reply);
    ToCeFindData(data, found);
    return true;
}

namespace {

// The platform's first five fields of CEOSVERSIONINFO.
const uint32_t kVersionFixedBytes = 20;

}  // namespace

bool ToVersionInfo(const uint8_t *bytes, uint32_t size, CEOSVERSIONINFO *info) {
    if (size < kVersionFixedBytes) return false;
    info->dwMajorVersion = U32At(bytes + 4);
    info->dwMinorVersion = U32At(bytes + 8);
    info->dwBuildNumber = U32At(bytes + 12);
    info->dwPlatformId = U32At(bytes + 16);
    memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
    uint32_t units = std::min<uint32_t>((size - kVersionFixedBytes) / 2, 127);
    for (uint32_t i = 0; i < units; ++i) {
        info->szCSDVersion[i] =
            static_cast<WCHAR>(bytes[kVersionFixedBytes + 2 * i] | (bytes[kVersionFixedBytes + 2 * i + 1] << 8));
    }
    return true;
}

void ToSystemInfo(const uint8_t bytes[rapi1::kSystemInfoBytes], SYSTEM_INFO *info) {
    info->wProcessorArchitecture = static_cast<WORD>(bytes[0] | (bytes[1] << 8));
    info->dwPageSize = U32At(bytes + 4);
    info->lpMinimumApplicationAddress = reinterpret_cast<void *>(static_cast<uintptr_t>(U32At(bytes + 8)));
    info->lpMaximumApplicationAddress = reinterpret_cast<void *>(static_cast<uintptr_t>(U32At(bytes + 12)));
    info->dwActiveProcessorMask = U32At(bytes + 16);
    info->dwNumberOfProcessors = U32At(bytes + 20);
    info->dwProcessorType = U32At(bytes + 24);
    info->dwAllocationGranularity = U32At(bytes + 28);
    info->wProcessorLevel = static_cast<WORD>(bytes[32] | (bytes[33] << 8));
    info->wProcessorRevision = static_cast<WORD>(bytes[34] | (bytes[35] << 8));
}

void ToProcessInformation(const uint8_t bytes[rapi1::kProcessInformationBytes], PROCESS_INFORMATION *info) {
    // Device handles in this session, open until CeCloseHandle.
    info->hProcess = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(U32At(bytes)));
    info->hThread = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(U32At(bytes + 4)));
    info->dwProcessId = U32At(bytes + 8);
    info->dwThreadId = U32At(bytes + 12);
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

bool Exchange2(Call2 &call, size_t maxReply) {
    rapi1::Writer request;
    rapi2::WriteRequest(&request, call.request);
    if (!netlink::Call(request.Frame(), maxReply, &call.body)) return false;
    rapi1::Reader in(call.body.data(), call.body.size());
    if (!rapi2::ReadReply(&in, call.request, &call.reply)) return Malformed2(call, in.Problem());
    rapilink::SetLastError(call.reply.lastError);
    return true;
}

bool Malformed2(Call2 &call, const char *problem) {
    calllog::Event("%s: the device's reply does not hold together: %s", call.call, problem);
    netlink::Drop("a reply that does not hold together");
    rapilink::SetLastError(rapilink::kNoDevice);
    return false;
}

}  // namespace netcall
