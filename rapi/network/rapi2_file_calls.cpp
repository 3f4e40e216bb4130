// The file calls over TCP to a Windows Mobile 5/6 device (the encoding is
// protocol/rapi2.h): the same exports as for an older device, with the
// newer frames. Every count the device sends is checked by the codec
// against what the request asked for before anything reaches the caller.
#include "rapi/network/rapi2_file_calls.h"

#include <string.h>

#include <algorithm>
#include <vector>

#include "rapi/find_all_calls.h"
#include "rapi/network/exchange.h"

namespace netcall2 {

using netcall::Call2;
using netcall::Exchange2;
using netcall::FromHandle;
using netcall::ToHandle;

namespace {

// Reads and writes are split into pieces of at most this many bytes.
const DWORD kPiece = 1u << 20;

FILETIME FileTimeOf(uint64_t value) { return FILETIME{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)}; }
uint64_t ValueOf(const FILETIME &time) { return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime; }

}  // namespace

Call2 PathCall(const char *name, uint32_t command, LPCWSTR path) {
    Call2 call(name, command);
    call.request.hasPath = path != nullptr;
    if (path) call.request.path = path;
    return call;
}

BOOL FlagCall2(Call2 &call) { return Exchange2(call, netcall::kSmallReply) && call.reply.result != 0; }

HANDLE WINAPI CreateFile2(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                          DWORD flags, HANDLE) {
    Call2 call = PathCall("CeCreateFile", rapi2::kCreateFile, path);
    call.request.access = access;
    call.request.share = share;
    call.request.disposition = disposition;
    call.request.attributes = flags;
    if (!Exchange2(call, netcall::kSmallReply)) return INVALID_HANDLE_VALUE;
    return ToHandle(call.reply.result);
}

BOOL WINAPI ReadFile2(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED) {
    DWORD total = 0;
    // Big reads go in pieces; a short piece means the end of the file.
    do {
        Call2 call("CeReadFile", rapi2::kReadFile);
        call.request.handle = FromHandle(file);
        call.request.count = std::min<DWORD>(toRead - total, kPiece);
        if (!Exchange2(call, call.request.count + netcall::kReplyFields) || !call.reply.result) return FALSE;
        if (call.reply.size) memcpy(static_cast<uint8_t *>(buffer) + total, call.reply.data, call.reply.size);
        total += call.reply.size;
        if (read) *read = total;
        if (call.reply.size < call.request.count) break;
    } while (total < toRead);
    return TRUE;
}

BOOL WINAPI WriteFile2(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED) {
    DWORD total = 0;
    do {
        Call2 call("CeWriteFile", rapi2::kWriteFile);
        call.request.handle = FromHandle(file);
        call.request.data = static_cast<const uint8_t *>(buffer) + total;
        call.request.size = std::min<DWORD>(toWrite - total, kPiece);
        if (!FlagCall2(call)) return FALSE;
        total += call.reply.value;
        if (written) *written = total;
        if (call.reply.value < call.request.size) break;
    } while (total < toWrite);
    return TRUE;
}

DWORD WINAPI SetFilePointer2(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method) {
    Call2 call("CeSetFilePointer", rapi2::kSetFilePointer);
    call.request.handle = FromHandle(file);
    call.request.distanceLow = static_cast<uint32_t>(distance);
    call.request.hasHigh = distanceHigh != nullptr;
    call.request.distanceHigh = distanceHigh ? static_cast<uint32_t>(*distanceHigh) : 0;
    call.request.method = method;
    if (!Exchange2(call, netcall::kSmallReply)) return INVALID_SET_FILE_POINTER;
    if (distanceHigh) *distanceHigh = static_cast<LONG>(call.reply.value);
    return call.reply.result;
}

DWORD WINAPI GetFileSize2(HANDLE file, LPDWORD sizeHigh) {
    Call2 call("CeGetFileSize", rapi2::kGetFileSize);
    call.request.handle = FromHandle(file);
    call.request.hasHigh = sizeHigh != nullptr;
    if (!Exchange2(call, netcall::kSmallReply)) return INVALID_FILE_SIZE;
    if (sizeHigh && call.reply.hasValue) *sizeHigh = call.reply.value;
    return call.reply.result;
}

BOOL WINAPI GetFileTime2(HANDLE file, FILETIME *creation, FILETIME *lastAccess, FILETIME *lastWrite) {
    Call2 call("CeGetFileTime", rapi2::kGetFileTime);
    call.request.handle = FromHandle(file);
    if (!FlagCall2(call)) return FALSE;
    FILETIME *times[3] = {creation, lastAccess, lastWrite};
    for (int i = 0; i < 3; ++i) {
        if (times[i]) *times[i] = FileTimeOf(call.reply.numbers[i]);
    }
    return TRUE;
}

BOOL WINAPI SetFileTime2(HANDLE file, const FILETIME *creation, const FILETIME *lastAccess,
                         const FILETIME *lastWrite) {
    Call2 call("CeSetFileTime", rapi2::kSetFileTime);
    call.request.handle = FromHandle(file);
    const FILETIME *given[3] = {creation, lastAccess, lastWrite};
    for (int i = 0; i < 3; ++i) {
        call.request.hasTime[i] = given[i] != nullptr;
        call.request.times[i] = given[i] ? ValueOf(*given[i]) : 0;
    }
    return FlagCall2(call);
}

BOOL WINAPI CloseHandle2(HANDLE handle) {
    Call2 call("CeCloseHandle", rapi2::kCloseHandle);
    call.request.handle = FromHandle(handle);
    return FlagCall2(call);
}

BOOL WINAPI DeleteFile2(LPCWSTR path) {
    Call2 call = PathCall("CeDeleteFile", rapi2::kDeleteFile, path);
    return FlagCall2(call);
}

BOOL WINAPI MoveFile2(LPCWSTR existingPath, LPCWSTR newPath) {
    Call2 call = PathCall("CeMoveFile", rapi2::kMoveFile, existingPath);
    call.request.hasSecond = newPath != nullptr;
    if (newPath) call.request.second = newPath;
    return FlagCall2(call);
}

BOOL WINAPI CreateDirectory2(LPCWSTR path, LPSECURITY_ATTRIBUTES) {
    Call2 call = PathCall("CeCreateDirectory", rapi2::kCreateDirectory, path);
    return FlagCall2(call);
}

BOOL WINAPI RemoveDirectory2(LPCWSTR path) {
    Call2 call = PathCall("CeRemoveDirectory", rapi2::kRemoveDirectory, path);
    return FlagCall2(call);
}

DWORD WINAPI GetFileAttributes2(LPCWSTR path) {
    Call2 call = PathCall("CeGetFileAttributes", rapi2::kGetFileAttributes, path);
    return Exchange2(call, netcall::kSmallReply) ? call.reply.result : INVALID_FILE_ATTRIBUTES;
}

HANDLE WINAPI FindFirstFile2(LPCWSTR pattern, CE_FIND_DATA *found) {
    Call2 call = PathCall("CeFindFirstFile", rapi2::kFindFirstFile, pattern);
    if (!Exchange2(call, netcall::kSmallReply) || call.reply.result == rapi1::kInvalidHandle) {
        return INVALID_HANDLE_VALUE;
    }
    netcall::ToCeFindData(call.reply.found, found);
    return ToHandle(call.reply.result);
}

BOOL WINAPI FindNextFile2(HANDLE search, CE_FIND_DATA *found) {
    Call2 call("CeFindNextFile", rapi2::kFindNextFile);
    call.request.handle = FromHandle(search);
    if (!FlagCall2(call)) return FALSE;
    netcall::ToCeFindData(call.reply.found, found);
    return TRUE;
}

BOOL WINAPI FindClose2(HANDLE search) {
    Call2 call("CeFindClose", rapi2::kFindClose);
    call.request.handle = FromHandle(search);
    return FlagCall2(call);
}

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
        findall::KeepAskedFields(flags, &entries[i]);
    }
    return findall::HandOver(entries, foundCount, found);
}

}  // namespace netcall2
