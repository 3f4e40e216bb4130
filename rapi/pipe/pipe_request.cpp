// The pieces every pipe call shares: see rapi/pipe/pipe_request.h.
#include "rapi/pipe/pipe_request.h"

#include <string.h>

#include <algorithm>

using rapilink::Answer;
using rapilink::Call;

namespace pipecall {

HANDLE ToHandle(uint32_t id) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(id)); }

uint32_t FromHandle(HANDLE handle) {
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    return value > 0xFFFFFFFFu ? 0 : static_cast<uint32_t>(value);
}

uint32_t FromKey(HKEY key) {
    // The four predefined roots, numbered as the device numbers them
    // (HKEY_LOCAL_MACHINE is its 0x80000002), whatever the host's width.
    const HKEY roots[] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS};
    for (uint32_t i = 0; i < 4; ++i) {
        if (key == roots[i]) return wire::kRootLocalMachine - 2 + i;
    }
    return FromHandle(reinterpret_cast<HANDLE>(key));
}

std::wstring TextOf(LPCWSTR text) { return text ? std::wstring(text) : std::wstring(); }

// Starts a request with its operation code.
wire::Writer Request(wire::Op op) {
    wire::Writer request;
    request.U32(op);
    return request;
}

// Answers that do not decode count as a lost link.
bool Decoded(Answer &answer) {
    if (answer.in.ok()) return true;
    rapilink::SetLastError(rapilink::kNoDevice);
    return false;
}

void CopyFound(wire::Reader &in, CE_FIND_DATA *found) {
    memset(found, 0, sizeof *found);
    found->dwFileAttributes = in.U32();
    uint64_t times[3];
    for (uint64_t &time : times) time = in.U64();
    FILETIME *targets[3] = {&found->ftCreationTime, &found->ftLastAccessTime, &found->ftLastWriteTime};
    for (int i = 0; i < 3; ++i) {
        targets[i]->dwLowDateTime = static_cast<DWORD>(times[i]);
        targets[i]->dwHighDateTime = static_cast<DWORD>(times[i] >> 32);
    }
    uint64_t size = in.U64();
    found->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    found->nFileSizeLow = static_cast<DWORD>(size);
    found->dwOID = in.U32();
    std::wstring name = in.Text();
    size_t units = std::min<size_t>(name.size(), MAX_PATH - 1);
    memcpy(found->cFileName, name.data(), units * sizeof(wchar_t));
}

void PutTime(FILETIME *to, uint64_t value) {
    if (!to) return;
    to->dwLowDateTime = static_cast<DWORD>(value);
    to->dwHighDateTime = static_cast<DWORD>(value >> 32);
}

uint64_t TimeValue(const FILETIME *time) {
    return time ? (static_cast<uint64_t>(time->dwHighDateTime) << 32) | time->dwLowDateTime : 0;
}

// A path-only call whose answer is a success flag.
BOOL PathCall(wire::Op op, LPCWSTR path) {
    wire::Writer request = Request(op);
    request.Text(path);
    Answer answer;
    if (!Call(request, &answer)) return FALSE;
    BOOL ok = answer.in.U32() != 0;
    return Decoded(answer) && ok;
}

}  // namespace pipecall
