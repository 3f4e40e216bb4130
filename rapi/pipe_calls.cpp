// The remote API calls over the pipe to our simulated device. Each one
// packs its arguments into one request to the device service, and unpacks
// the answer into the caller's records the way the platform's functions
// fill them. The exports have checked the caller's arguments.
//
// This file holds the system, registry and program calls and the
// transport's call table; the file calls are in pipe_file_calls.cpp.
#include <string.h>

#include <algorithm>

#include "rapi/calls.h"
#include "rapi/link.h"
#include "rapi/pipe_file_calls.h"
#include "rapi/pipe_request.h"

using namespace pipecall;
using rapilink::Answer;
using rapilink::Call;

namespace {

uint32_t FromKey(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE) return wire::kRootLocalMachine;
    return FromHandle(reinterpret_cast<HANDLE>(key));
}

std::wstring TextOf(LPCWSTR text) { return text ? std::wstring(text) : std::wstring(); }

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
    PipeGetStoreInformation, PipeGetDiskFreeSpaceEx,
};
