// The remote API calls over the pipe to our simulated device. Each one
// packs its arguments into one request to the device service, and unpacks
// the answer into the caller's records the way the platform's functions
// fill them. The exports have checked the caller's arguments.
#include <string.h>

#include <algorithm>

#include "rapi/calls.h"
#include "rapi/last_error.h"
#include "rapi/pipe/pipe_find_all.h"
#include "rapi/pipe/pipe_link.h"
#include "rapi/pipe/pipe_registry_calls.h"
#include "rapi/pipe/pipe_request.h"

using namespace pipecall;
using rapilink::Answer;
using rapilink::Call;

namespace {

BOOL WINAPI PipeGetVersionEx(CEOSVERSIONINFO *info) {
    wire::Writer request = Request(wire::kGetVersion);
    Answer answer;
    if (!Call(request, &answer)) return FALSE;
    DWORD major = answer.in.U32(), minor = answer.in.U32(), build = answer.in.U32(), platform = answer.in.U32();
    if (!Decoded(answer)) return FALSE;
    info->dwMajorVersion = major;
    info->dwMinorVersion = minor;
    info->dwBuildNumber = build;
    info->dwPlatformId = platform;
    memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
    return TRUE;
}

void WINAPI PipeGetSystemInfo(SYSTEM_INFO *info) {
    wire::Writer request = Request(wire::kGetSystemInfo);
    Answer answer;
    if (!Call(request, &answer)) return;
    DWORD processor = answer.in.U32(), architecture = answer.in.U32();
    if (!Decoded(answer)) return;
    info->wProcessorArchitecture = static_cast<WORD>(architecture);
    info->dwPageSize = 4096;
    info->lpMinimumApplicationAddress = reinterpret_cast<void *>(0x10000);
    info->lpMaximumApplicationAddress = reinterpret_cast<void *>(0x7FFFFFFF);
    info->dwActiveProcessorMask = 1;
    info->dwNumberOfProcessors = 1;
    info->dwProcessorType = processor;
    info->dwAllocationGranularity = 0x10000;
}

LONG WINAPI PipeRegOpenKeyEx(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result) {
    (void)options;
    (void)access;
    wire::Writer request = Request(wire::kRegOpenKey);
    request.U32(FromKey(key));
    request.Text(TextOf(subKey));
    Answer answer;
    if (!Call(request, &answer)) return static_cast<LONG>(rapilink::kNoDevice);
    LONG status = answer.in.I32();
    uint32_t opened = answer.in.U32();
    if (!Decoded(answer)) return static_cast<LONG>(rapilink::kNoDevice);
    if (status == ERROR_SUCCESS) *result = reinterpret_cast<HKEY>(ToHandle(opened));
    return status;
}

LONG WINAPI PipeRegQueryValueEx(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                              LPDWORD dataSize) {
    (void)reserved;
    wire::Writer request = Request(wire::kRegQueryValue);
    request.U32(FromKey(key));
    request.Text(TextOf(name));
    request.U32(data != nullptr);
    request.U32(dataSize ? *dataSize : 0);
    Answer answer;
    if (!Call(request, &answer)) return static_cast<LONG>(rapilink::kNoDevice);
    LONG status = answer.in.I32();
    DWORD valueType = answer.in.U32();
    uint32_t size = answer.in.U32();
    uint32_t count = 0;
    const uint8_t *bytes = answer.in.Bytes(&count);
    if (!Decoded(answer)) return static_cast<LONG>(rapilink::kNoDevice);
    if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) return status;
    if (type) *type = valueType;
    if (data && status == ERROR_SUCCESS) memcpy(data, bytes, std::min<uint32_t>(count, *dataSize));
    if (dataSize) *dataSize = size;
    return status;
}

LONG WINAPI PipeRegCloseKey(HKEY key) {
    wire::Writer request = Request(wire::kRegCloseKey);
    request.U32(FromKey(key));
    Answer answer;
    if (!Call(request, &answer)) return static_cast<LONG>(rapilink::kNoDevice);
    LONG status = answer.in.I32();
    return Decoded(answer) ? status : static_cast<LONG>(rapilink::kNoDevice);
}

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

DWORD WINAPI PipeGetSpecialFolderPath(int folder, DWORD bufferLength, LPWSTR buffer) {
    wire::Writer request = Request(wire::kGetSpecialFolder);
    request.I32(folder);
    Answer answer;
    if (!Call(request, &answer)) return 0;
    BOOL ok = answer.in.U32() != 0;
    std::wstring path = answer.in.Text();
    if (!Decoded(answer) || !ok) return 0;
    // Too small a buffer: nothing copied, the size needed returned.
    if (!buffer || bufferLength < path.size() + 1) return static_cast<DWORD>(path.size() + 1);
    memcpy(buffer, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
    return static_cast<DWORD>(path.size());
}

DWORD WINAPI PipeSHCreateShortcut(LPWSTR shortcut, LPWSTR target) {
    wire::Writer request = Request(wire::kCreateShortcut);
    request.Text(shortcut);
    request.Text(target);
    Answer answer;
    if (!Call(request, &answer)) return 0;
    DWORD ok = answer.in.U32();
    return Decoded(answer) && ok ? 1 : 0;
}

HRESULT WINAPI PipeRapiInvoke(LPCWSTR dllPath, LPCWSTR function, DWORD inputSize, BYTE *input, DWORD *outputSize,
                            BYTE **output, IRAPIStream **stream, DWORD reserved) {
    (void)stream;
    (void)reserved;
    wire::Writer request = Request(wire::kInvoke);
    request.Text(dllPath);
    request.Text(function);
    request.Bytes(input, inputSize);
    Answer answer;
    if (!Call(request, &answer)) return HRESULT_FROM_WIN32(rapilink::kNoDevice);
    HRESULT result = answer.in.I32();
    uint32_t count = 0;
    const uint8_t *bytes = answer.in.Bytes(&count);
    if (!Decoded(answer)) return HRESULT_FROM_WIN32(rapilink::kNoDevice);
    if (result == 0 && output && count) {
        BYTE *out = static_cast<BYTE *>(LocalAlloc(LMEM_FIXED, count));
        if (out) {
            memcpy(out, bytes, count);
            *output = out;
            if (outputSize) *outputSize = count;
        }
    }
    return result;
}

BOOL WINAPI PipeCreateProcess(LPCWSTR image, LPCWSTR commandLine, LPSECURITY_ATTRIBUTES processSecurity,
                            LPSECURITY_ATTRIBUTES threadSecurity, BOOL inherit, DWORD flags, LPVOID environment,
                            LPWSTR currentDir, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info) {
    (void)commandLine;
    (void)processSecurity;
    (void)threadSecurity;
    (void)inherit;
    (void)flags;
    (void)environment;
    (void)currentDir;
    (void)startup;
    wire::Writer request = Request(wire::kCreateProcess);
    request.Text(image);
    Answer answer;
    if (!Call(request, &answer)) return FALSE;
    BOOL ok = answer.in.U32() != 0;
    uint32_t processId = answer.in.U32();
    uint32_t threadId = answer.in.U32();
    uint32_t process = answer.in.U32();
    uint32_t thread = answer.in.U32();
    if (!Decoded(answer) || !ok) return FALSE;
    if (info) {
        // Device handles in this connection, open until CeCloseHandle; the
        // ids are the device's.
        info->hProcess = ToHandle(process);
        info->hThread = ToHandle(thread);
        info->dwProcessId = processId;
        info->dwThreadId = threadId;
    }
    return TRUE;
}

// Both room calls answer the free and the total bytes of a store.
bool RoomCall(wire::Writer &request, uint64_t *free, uint64_t *total) {
    Answer answer;
    if (!Call(request, &answer)) return false;
    const bool ok = answer.in.U32() != 0;
    *free = answer.in.U64();
    *total = answer.in.U64();
    return Decoded(answer) && ok;
}

BOOL WINAPI PipeGetStoreInformation(STORE_INFORMATION *information) {
    wire::Writer request = Request(wire::kGetStoreInformation);
    uint64_t free = 0, total = 0;
    if (!RoomCall(request, &free, &total)) return FALSE;
    // The record's fields are 32 bits wide; so is a store.
    information->dwStoreSize = static_cast<DWORD>(std::min<uint64_t>(total, 0xFFFFFFFFu));
    information->dwFreeSize = static_cast<DWORD>(std::min<uint64_t>(free, 0xFFFFFFFFu));
    return TRUE;
}

BOOL WINAPI PipeGetDiskFreeSpaceEx(LPCWSTR folder, ULARGE_INTEGER *freeToCaller, ULARGE_INTEGER *total,
                                   ULARGE_INTEGER *totalFree) {
    wire::Writer request = Request(wire::kGetDiskFreeSpace);
    request.Text(folder);
    uint64_t free = 0, size = 0;
    if (!RoomCall(request, &free, &size)) return FALSE;
    if (freeToCaller) freeToCaller->QuadPart = free;
    if (total) total->QuadPart = size;
    if (totalFree) totalFree->QuadPart = free;
    return TRUE;
}

}  // namespace

const RapiCalls kPipeCalls = {
    PipeGetVersionEx,      PipeGetSystemInfo,   PipeRegOpenKeyEx,     PipeRegQueryValueEx,  PipeRegCloseKey,
    PipeCreateFile,        PipeReadFile,        PipeWriteFile,        PipeSetFilePointer,   PipeGetFileSize,
    PipeGetFileTime,       PipeSetFileTime,     PipeCloseHandle,      PipeDeleteFile,       PipeMoveFile,
    PipeCreateDirectory,   PipeRemoveDirectory, PipeGetFileAttributes, PipeFindFirstFile,   PipeFindNextFile,
    PipeFindClose,         PipeGetSpecialFolderPath, PipeSHCreateShortcut, PipeRapiInvoke,   PipeCreateProcess,
    PipeGetStoreInformation, PipeGetDiskFreeSpaceEx, pipecall::PipeFindAllFiles,
    PipeRegCreateKeyEx,    PipeRegEnumKeyEx,    PipeRegEnumValue,     PipeRegSetValueEx,    PipeRegDeleteKey,
    PipeRegDeleteValue,
};
