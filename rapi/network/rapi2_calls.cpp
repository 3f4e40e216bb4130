// The remote API calls over TCP to a Windows Mobile 5/6 device, in its own
// protocol (protocol/rapi2.h): replies without a status word, strings as
// byte counts, the newer command codes. The caller sees the same exports,
// results and last errors as with an older device; a reply that does not
// hold together fails the call and drops the session (1167 from then on).
//
// This file holds the system, registry and program calls, the shortcut,
// and the transport's call table; the file calls are in
// rapi/network/rapi2_file_calls.cpp.
#include <string.h>

#include <algorithm>
#include <string>

#include "rapi/call_log.h"
#include "rapi/calls.h"
#include "rapi/last_error.h"
#include "rapi/network/rapi2_file_calls.h"
#include "rapi/network/rapi2_registry_calls.h"

using netcall::Call2;
using netcall::Exchange2;
using namespace netcall2;

namespace {

const uint32_t kMaxInvokeOutput = 1u << 20;

BOOL WINAPI GetVersionEx2(CEOSVERSIONINFO *info) {
    Call2 call("CeGetVersionEx", rapi2::kGetVersionEx);
    if (!FlagCall2(call)) return FALSE;
    if (!netcall::ToVersionInfo(call.reply.data, call.reply.size, info)) {
        return netcall::Malformed2(call, "version record shorter than its fixed fields");
    }
    return TRUE;
}

void WINAPI GetSystemInfo2(SYSTEM_INFO *info) {
    Call2 call("CeGetSystemInfo", rapi2::kGetSystemInfo);
    if (Exchange2(call, netcall::kSmallReply)) netcall::ToSystemInfo(call.reply.data, info);
}

LONG WINAPI RegOpenKeyEx2(HKEY key, LPCWSTR subKey, DWORD, REGSAM, PHKEY result) {
    Call2 call = PathCall("CeRegOpenKeyEx", rapi2::kRegOpenKeyEx, subKey);
    call.request.handle = netcall::FromKey(key);
    if (!Exchange2(call, netcall::kSmallReply)) return static_cast<LONG>(rapilink::LastError());
    LONG status = static_cast<LONG>(call.reply.result);
    if (status == ERROR_SUCCESS) *result = reinterpret_cast<HKEY>(netcall::ToHandle(call.reply.value));
    return status;
}

// The device is given the caller's room (0 without a buffer: the type and
// size alone); a value larger than it is refused by the codec.
// ERROR_MORE_DATA carries no size in this protocol.
LONG WINAPI RegQueryValueEx2(HKEY key, LPCWSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD dataSize) {
    Call2 call = PathCall("CeRegQueryValueEx", rapi2::kRegQueryValueEx, name);
    call.request.handle = netcall::FromKey(key);
    call.request.count = data && dataSize ? *dataSize : 0;
    if (!Exchange2(call, call.request.count + netcall::kSmallReply)) return static_cast<LONG>(rapilink::LastError());
    LONG status = static_cast<LONG>(call.reply.result);
    if (status != ERROR_SUCCESS) return status;
    if (type) *type = call.reply.value;
    // A size query (no buffer, or one of 0 bytes) brings no bytes back.
    if (data && call.reply.data) memcpy(data, call.reply.data, call.reply.size);
    if (dataSize) *dataSize = call.reply.size;
    return status;
}

LONG WINAPI RegCloseKey2(HKEY key) {
    Call2 call("CeRegCloseKey", rapi2::kRegCloseKey);
    call.request.handle = netcall::FromKey(key);
    if (!Exchange2(call, netcall::kSmallReply)) return static_cast<LONG>(rapilink::LastError());
    return static_cast<LONG>(call.reply.result);
}

// The buffer's length goes in bytes, as the platform's own tools give it;
// the device answers the path's length in characters.
DWORD WINAPI GetSpecialFolderPath2(int folder, DWORD bufferLength, LPWSTR buffer) {
    DWORD room = buffer ? std::min<DWORD>(bufferLength, rapi1::kMaxStringUnits) : 0;
    Call2 call("CeGetSpecialFolderPath", rapi2::kGetSpecialFolderPath);
    call.request.handle = static_cast<uint32_t>(folder);
    call.request.count = room * 2;
    if (!Exchange2(call, room * 4 + netcall::kReplyFields)) return 0;
    const std::wstring &path = call.reply.text;
    if (path.empty()) return 0;
    if (path.size() + 1 > room) return static_cast<DWORD>(path.size() + 1);
    memcpy(buffer, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
    return static_cast<DWORD>(path.size());
}

// This protocol has no known layout for making a shortcut, and a guessed
// command code could be read by a device as another call. A shortcut on
// the device is a small file: the target's length in characters, "#",
// then the target. It is written with calls whose layout is known; a
// shortcut that could not be written whole is removed again.
DWORD WINAPI SHCreateShortcut2(LPWSTR shortcut, LPWSTR target) {
    if (!shortcut || !target) {
        rapilink::SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string content = std::to_string(wcslen(target)) + "#" + calllog::Utf8(target);
    HANDLE file = CreateFile2(shortcut, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    DWORD size = static_cast<DWORD>(content.size()), written = 0;
    bool whole = WriteFile2(file, content.data(), size, &written, nullptr) && written == size;
    DWORD error = whole ? ERROR_SUCCESS : rapilink::LastError();
    if (CloseHandle2(file) && whole) return 1;
    if (whole) error = rapilink::LastError();
    if (error == ERROR_SUCCESS) error = ERROR_DISK_FULL;  // the device took fewer bytes than sent
    DeleteFile2(shortcut);
    rapilink::SetLastError(error);
    return 0;
}

HRESULT WINAPI RapiInvoke2(LPCWSTR dllPath, LPCWSTR function, DWORD inputSize, BYTE *input, DWORD *outputSize,
                           BYTE **output, IRAPIStream **, DWORD reserved) {
    Call2 call = PathCall("CeRapiInvoke", rapi2::kRapiInvoke, dllPath);
    call.request.hasSecond = function != nullptr;
    if (function) call.request.second = function;
    call.request.handle = reserved;
    call.request.data = input;
    call.request.size = input ? inputSize : 0;
    call.request.flags = 0;  // block mode, no stream
    if (!Exchange2(call, kMaxInvokeOutput + netcall::kReplyFields)) return HRESULT_FROM_WIN32(rapilink::kNoDevice);
    HRESULT result = static_cast<HRESULT>(call.reply.result);
    if (SUCCEEDED(result) && output && call.reply.size) {
        BYTE *out = static_cast<BYTE *>(LocalAlloc(LMEM_FIXED, call.reply.size));
        if (!out) return E_OUTOFMEMORY;
        memcpy(out, call.reply.data, call.reply.size);
        *output = out;
        if (outputSize) *outputSize = call.reply.size;
    }
    return result;
}

BOOL WINAPI CreateProcess2(LPCWSTR image, LPCWSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
                           DWORD flags, LPVOID, LPWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION info) {
    Call2 call = PathCall("CeCreateProcess", rapi2::kCreateProcess, image);
    call.request.hasSecond = commandLine != nullptr;
    if (commandLine) call.request.second = commandLine;
    call.request.flags = flags;
    if (!FlagCall2(call)) return FALSE;
    if (info) netcall::ToProcessInformation(call.reply.data, info);
    return TRUE;
}

BOOL WINAPI GetStoreInformation2(STORE_INFORMATION *information) {
    Call2 call("CeGetStoreInformation", rapi2::kGetStoreInformation);
    if (!FlagCall2(call)) return FALSE;
    information->dwStoreSize = static_cast<DWORD>(call.reply.numbers[0]);
    information->dwFreeSize = static_cast<DWORD>(call.reply.numbers[1]);
    return TRUE;
}

BOOL WINAPI GetDiskFreeSpaceEx2(LPCWSTR folder, ULARGE_INTEGER *freeToCaller, ULARGE_INTEGER *total,
                                ULARGE_INTEGER *totalFree) {
    Call2 call = PathCall("CeGetDiskFreeSpaceEx", rapi2::kGetDiskFreeSpaceEx, folder);
    if (!FlagCall2(call)) return FALSE;
    ULARGE_INTEGER *given[3] = {freeToCaller, total, totalFree};
    for (int i = 0; i < 3; ++i) {
        if (given[i]) given[i]->QuadPart = call.reply.numbers[i];
    }
    return TRUE;
}

}  // namespace

const RapiCalls kNet2Calls = {
    GetVersionEx2,    GetSystemInfo2,   RegOpenKeyEx2,         RegQueryValueEx2, RegCloseKey2,
    CreateFile2,      ReadFile2,        WriteFile2,            SetFilePointer2,  GetFileSize2,
    GetFileTime2,     SetFileTime2,     CloseHandle2,          DeleteFile2,      MoveFile2,
    CreateDirectory2, RemoveDirectory2, GetFileAttributes2,    FindFirstFile2,   FindNextFile2,
    FindClose2,       GetSpecialFolderPath2, SHCreateShortcut2, RapiInvoke2,    CreateProcess2,
    GetStoreInformation2, GetDiskFreeSpaceEx2, netcall2::NetFindAllFiles2,
    RegCreateKeyEx2,  RegEnumKeyEx2,    RegEnumValue2,         RegSetValueEx2,   RegDeleteKey2,
    RegDeleteValue2,
};
