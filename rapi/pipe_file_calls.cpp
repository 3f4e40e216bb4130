// The file calls over the pipe to our simulated device.
#include "rapi/pipe_file_calls.h"

#include <string.h>

#include <algorithm>

#include "rapi/pipe_request.h"

using rapilink::Answer;
using rapilink::Call;

namespace pipecall {

namespace {

// Fails a call before it goes out, as the platform does for bad arguments.
template <typename T> T Refuse(T result, DWORD error) {
    rapilink::SetLastError(error);
    return result;
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

}  // namespace

HANDLE WINAPI PipeCreateFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                           DWORD disposition, DWORD flags, HANDLE templateFile) {
    (void)security;
    (void)templateFile;
    wire::Writer request = Request(wire::kCreateFile);
    request.Text(path);
    request.U32(access);
    request.U32(share);
    request.U32(disposition);
    request.U32(flags);
    Answer answer;
    if (!Call(request, &answer)) return INVALID_HANDLE_VALUE;
    uint32_t id = answer.in.U32();
    if (!Decoded(answer) || id == 0) return INVALID_HANDLE_VALUE;
    return ToHandle(id);
}

BOOL WINAPI PipeReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped) {
    (void)overlapped;
    DWORD total = 0;
    // Big reads go in pieces; a short piece means the end of the file.
    do {
        DWORD piece = std::min<DWORD>(toRead - total, wire::kMaxPiece);
        wire::Writer request = Request(wire::kReadFile);
        request.U32(FromHandle(file));
        request.U32(piece);
        Answer answer;
        if (!Call(request, &answer)) return FALSE;
        BOOL ok = answer.in.U32() != 0;
        uint32_t count = 0;
        const uint8_t *bytes = answer.in.Bytes(&count);
        if (!Decoded(answer) || !ok) return FALSE;
        count = std::min<uint32_t>(count, piece);
        if (count) memcpy(static_cast<uint8_t *>(buffer) + total, bytes, count);
        total += count;
        if (read) *read = total;
        if (count < piece) break;
    } while (total < toRead);
    return TRUE;
}

BOOL WINAPI PipeWriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED overlapped) {
    (void)overlapped;
    DWORD total = 0;
    // One round trip per call for the usual chunk sizes; pieces for more.
    do {
        DWORD piece = std::min<DWORD>(toWrite - total, wire::kMaxPiece);
        wire::Writer request = Request(wire::kWriteFile);
        request.U32(FromHandle(file));
        request.Bytes(static_cast<const uint8_t *>(buffer) + total, piece);
        Answer answer;
        if (!Call(request, &answer)) return FALSE;
        BOOL ok = answer.in.U32() != 0;
        uint32_t done = answer.in.U32();
        if (!Decoded(answer) || !ok) return FALSE;
        total += std::min<DWORD>(done, piece);
        if (written) *written = total;
        if (done < piece) break;
    } while (total < toWrite);
    return TRUE;
}

DWORD WINAPI PipeSetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method) {
    int64_t move = distanceHigh ? static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*distanceHigh))
                                                        << 32) |
                                                       static_cast<uint32_t>(distance))
                                : distance;
    wire::Writer request = Request(wire::kSetFilePointer);
    request.U32(FromHandle(file));
    request.I64(move);
    request.U32(method);
    Answer answer;
    if (!Call(request, &answer)) return INVALID_SET_FILE_POINTER;
    BOOL ok = answer.in.U32() != 0;
    int64_t position = answer.in.I64();
    if (!Decoded(answer) || !ok) return INVALID_SET_FILE_POINTER;
    if (distanceHigh) {
        *distanceHigh = static_cast<LONG>(static_cast<uint64_t>(position) >> 32);
    } else if (position > 0xFFFFFFFELL) {
        return Refuse(INVALID_SET_FILE_POINTER, ERROR_INVALID_PARAMETER);
    }
    // A position whose low part is all ones is no failure: say so.
    rapilink::SetLastError(NO_ERROR);
    return static_cast<DWORD>(position);
}

DWORD WINAPI PipeGetFileSize(HANDLE file, LPDWORD sizeHigh) {
    wire::Writer request = Request(wire::kGetFileSize);
    request.U32(FromHandle(file));
    Answer answer;
    if (!Call(request, &answer)) return INVALID_FILE_SIZE;
    BOOL ok = answer.in.U32() != 0;
    uint64_t size = answer.in.U64();
    if (!Decoded(answer) || !ok) return INVALID_FILE_SIZE;
    if (sizeHigh) *sizeHigh = static_cast<DWORD>(size >> 32);
    rapilink::SetLastError(NO_ERROR);
    return static_cast<DWORD>(size);
}

BOOL WINAPI PipeGetFileTime(HANDLE file, FILETIME *creation, FILETIME *lastAccess, FILETIME *lastWrite) {
    wire::Writer request = Request(wire::kGetFileTime);
    request.U32(FromHandle(file));
    Answer answer;
    if (!Call(request, &answer)) return FALSE;
    BOOL ok = answer.in.U32() != 0;
    uint64_t times[3];
    for (uint64_t &time : times) time = answer.in.U64();
    if (!Decoded(answer) || !ok) return FALSE;
    PutTime(creation, times[0]);
    PutTime(lastAccess, times[1]);
    PutTime(lastWrite, times[2]);
    return TRUE;
}

BOOL WINAPI PipeSetFileTime(HANDLE file, const FILETIME *creation, const FILETIME *lastAccess,
                          const FILETIME *lastWrite) {
    wire::Writer request = Request(wire::kSetFileTime);
    request.U32(FromHandle(file));
    request.U32((creation ? 1u : 0u) | (lastAccess ? 2u : 0u) | (lastWrite ? 4u : 0u));
    request.U64(TimeValue(creation));
    request.U64(TimeValue(lastAccess));
    request.U64(TimeValue(lastWrite));
    Answer answer;
    if (!Call(request, &answer)) return FALSE;
    BOOL ok = answer.in.U32() != 0;
    return Decoded(answer) && ok;
}

BOOL WINAPI PipeCloseHandle(HANDLE handle) {
    wire::Writer request = Request(wire::kCloseHandle);
    request.U32(FromHandle(handle));
    Answer answer;
    if (!Call(request, &answer)) return FALSE;
    BOOL ok = answer.in.U32() != 0;
    return Decoded(answer) && ok;
}

BOOL WINAPI PipeDeleteFile(LPCWSTR path) { return PathCall(wire::kDeleteFile, path); }

BOOL WINAPI PipeMoveFile(LPCWSTR existingPath, LPCWSTR newPath) {
    wire::Writer request = Request(wire::kMoveFile);
    request.Text(existingPath);
    request.Text(newPath);
    Answer answer;
    if (!Call(request, &answer)) return FALSE;
    BOOL ok = answer.in.U32() != 0;
    return Decoded(answer) && ok;
}

BOOL WINAPI PipeCreateDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES security) {
    (void)security;
    return PathCall(wire::kCreateDirectory, path);
}

BOOL WINAPI PipeRemoveDirectory(LPCWSTR path) { return PathCall(wire::kRemoveDirectory, path); }

DWORD WINAPI PipeGetFileAttributes(LPCWSTR path) {
    wire::Writer request = Request(wire::kGetFileAttributes);
    request.Text(path);
    Answer answer;
    if (!Call(request, &answer)) return INVALID_FILE_ATTRIBUTES;
    DWORD attributes = answer.in.U32();
    return Decoded(answer) ? attributes : INVALID_FILE_ATTRIBUTES;
}

HANDLE WINAPI PipeFindFirstFile(LPCWSTR pattern, CE_FIND_DATA *found) {
    wire::Writer request = Request(wire::kFindFirstFile);
    request.Text(pattern);
    Answer answer;
    if (!Call(request, &answer)) return INVALID_HANDLE_VALUE;
    uint32_t id = answer.in.U32();
    CE_FIND_DATA entry;
    CopyFound(answer.in, &entry);
    if (!Decoded(answer) || id == 0) return INVALID_HANDLE_VALUE;
    *found = entry;
    return ToHandle(id);
}

BOOL WINAPI PipeFindNextFile(HANDLE search, CE_FIND_DATA *found) {
    wire::Writer request = Request(wire::kFindNextFile);
    request.U32(FromHandle(search));
    Answer answer;
    if (!Call(request, &answer)) return FALSE;
    BOOL ok = answer.in.U32() != 0;
    CE_FIND_DATA entry;
    CopyFound(answer.in, &entry);
    if (!Decoded(answer) || !ok) return FALSE;
    *found = entry;
    return TRUE;
}

BOOL WINAPI PipeFindClose(HANDLE search) {
    wire::Writer request = Request(wire::kFindClose);
    request.U32(FromHandle(search));
    Answer answer;
    if (!Call(request, &answer)) return FALSE;
    BOOL ok = answer.in.U32() != 0;
    return Decoded(answer) && ok;
}

}  // namespace pipecall
