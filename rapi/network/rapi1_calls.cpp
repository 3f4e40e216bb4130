// The remote API calls over TCP, in a CE 3.x/4.x device's own protocol
// (the encoding is protocol/rapi1.h). A device is a peer we do not control:
// every size and count it sends is checked against what the call asked for
// and against what its reply frame holds before anything is copied into
// the caller's records. A reply that does not hold together fails the call
// and drops the session (the stream can no longer be trusted); later calls
// then fail with "device not connected", as for a device that was pulled.
//
// This file holds the system, registry and program calls and the
// transport's call table; the file calls are in rapi/network/rapi1_file_calls.cpp, the
// exchange of one call in rapi/network/exchange.cpp.
#include <string.h>

#include <algorithm>

#include "protocol/rapi1.h"
#include "rapi/call_log.h"
#include "rapi/calls.h"
#include "rapi/last_error.h"
#include "rapi/network/exchange.h"
#include "rapi/network/rapi1_file_calls.h"
#include "rapi/network/rapi1_registry_calls.h"

using namespace netcall;

namespace {

const uint32_t kMaxInvokeOutput = 1u << 20;

BOOL WINAPI NetGetVersionEx(CEOSVERSIONINFO *info) {
    rapi1::Writer request = Request(rapi1::kGetVersionEx);
    Reply reply("CeGetVersionEx");
    if (!Exchange(request, kSmallReply, &reply)) return FALSE;
    TakeLastError(reply);
    uint32_t ok = reply.in.U32();
    uint32_t size = reply.in.U32();
    if (!Complete(reply)) return FALSE;
    if (size > sizeof(CEOSVERSIONINFO)) return Malformed(reply, "version record larger than CEOSVERSIONINFO");
    const uint8_t *bytes = reply.in.Raw(size);
    if (!Complete(reply) || !ok) return FALSE;
    if (!ToVersionInfo(bytes, size, info)) return Malformed(reply, "version record shorter than its fixed fields");
    return TRUE;
}

void WINAPI NetGetSystemInfo(SYSTEM_INFO *info) {
    rapi1::Writer request = Request(rapi1::kGetSystemInfo);
    request.OutBuffer(rapi1::kSystemInfoBytes);
    Reply reply("CeGetSystemInfo");
    if (!Exchange(request, kSmallReply, &reply)) return;
    TakeLastError(reply);
    uint8_t bytes[rapi1::kSystemInfoBytes];
    bool got = false;
    if (!TakeExactValue(reply, bytes, sizeof bytes, &got) || !got) return;
    ToSystemInfo(bytes, info);
}

LONG WINAPI NetRegOpenKeyEx(HKEY key, LPCWSTR subKey, DWORD, REGSAM, PHKEY result) {
    rapi1::Writer request = Request(rapi1::kRegOpenKeyEx);
    request.U32(FromKey(key));
    if (subKey) {
        request.String(subKey);
    } else {
        request.Absent();
    }
    Reply reply("CeRegOpenKeyEx");
    if (!Exchange(request, kSmallReply, &reply)) return static_cast<LONG>(rapilink::LastError());
    TakeLastError(reply);
    LONG status = static_cast<LONG>(reply.in.U32());
    uint32_t opened = status == ERROR_SUCCESS ? reply.in.U32() : 0;
    if (!Complete(reply)) return static_cast<LONG>(rapilink::kNoDevice);
    if (status == ERROR_SUCCESS) *result = reinterpret_cast<HKEY>(ToHandle(opened));
    return status;
}

LONG WINAPI NetRegQueryValueEx(HKEY key, LPCWSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD dataSize) {
    DWORD room = dataSize ? *dataSize : 0;
    rapi1::Writer request = Request(rapi1::kRegQueryValueEx);
    request.U32(FromKey(key));
    if (name) {
        request.OptionalString(name);
    } else {
        request.Absent();
    }
    request.Absent();  // reserved
    if (type) {
        request.OutBuffer(4);
    } else {
        request.Absent();
    }
    if (data) {
        request.OutBuffer(room);
    } else {
        request.Absent();
    }
    if (dataSize) {
        uint8_t size[4] = {static_cast<uint8_t>(room), static_cast<uint8_t>(room >> 8),
                           static_cast<uint8_t>(room >> 16), static_cast<uint8_t>(room >> 24)};
        request.InOutBuffer(size, 4);
    } else {
        request.Absent();
    }
    Reply reply("CeRegQueryValueEx");
    if (!Exchange(request, room + kSmallReply, &reply)) return static_cast<LONG>(rapilink::LastError());
    TakeLastError(reply);
    LONG status = static_cast<LONG>(reply.in.U32());
    if (!Complete(reply)) return static_cast<LONG>(rapilink::kNoDevice);
    if ((status != ERROR_SUCCESS && status != ERROR_MORE_DATA) || reply.in.Remaining() == 0) return status;
    uint8_t typeBytes[4] = {0, 0, 0, 0};
    bool gotType = false, gotSize = false;
    if (!TakeExactValue(reply, typeBytes, 4, &gotType)) return static_cast<LONG>(rapilink::kNoDevice);
    rapi1::Optional value = reply.in.OptionalArgument();
    uint8_t sizeBytes[4] = {0, 0, 0, 0};
    if (!Complete(reply) || !TakeExactValue(reply, sizeBytes, 4, &gotSize)) {
        return static_cast<LONG>(rapilink::kNoDevice);
    }
    // No buffer, or one of 0 bytes, asked for the size alone: bytes a
    // device sends with it anyway go nowhere.
    const bool copy = data && room && value.hasValue && status == ERROR_SUCCESS;
    if (copy && value.size > room) {
        Malformed(reply, "a value larger than the caller's buffer");
        return static_cast<LONG>(rapilink::kNoDevice);
    }
    if (type && gotType) *type = U32At(typeBytes);
    if (copy) memcpy(data, value.data, value.size);
    if (dataSize && gotSize) *dataSize = U32At(sizeBytes);
    return status;
}

LONG WINAPI NetRegCloseKey(HKEY key) {
    rapi1::Writer request = Request(rapi1::kRegCloseKey);
    request.U32(FromKey(key));
    Reply reply("CeRegCloseKey");
    if (!Exchange(request, kSmallReply, &reply)) return static_cast<LONG>(rapilink::LastError());
    TakeLastError(reply);
    LONG status = static_cast<LONG>(reply.in.U32());
    return Complete(reply) ? status : static_cast<LONG>(rapilink::kNoDevice);
}

DWORD WINAPI NetGetSpecialFolderPath(int folder, DWORD bufferLength, LPWSTR buffer) {
    DWORD room = buffer ? std::min<DWORD>(bufferLength, rapi1::kMaxStringUnits) : 0;
    rapi1::Writer request = Request(rapi1::kGetSpecialFolderPath);
    request.U32(static_cast<uint32_t>(folder));
    request.U32(room * 2);  // in bytes
    Reply reply("CeGetSpecialFolderPath");
    if (!Exchange(request, room * 2 + kReplyFields, &reply)) return 0;
    TakeLastError(reply);
    uint32_t units = reply.in.U32();
    if (!Complete(reply)) return 0;
    if (units > room) {
        Malformed(reply, "a path longer than the buffer asked for");
        return 0;
    }
    std::wstring path = reply.in.Units(units);
    if (!Complete(reply)) return 0;
    // Whether the count holds the terminator is not known: accept both.
    if (!path.empty() && path.back() == L'\0') path.pop_back();
    if (path.empty()) return 0;
    if (path.size() + 1 > room) return static_cast<DWORD>(path.size() + 1);
    memcpy(buffer, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
    return static_cast<DWORD>(path.size());
}

DWORD WINAPI NetSHCreateShortcut(LPWSTR shortcut, LPWSTR target) {
    return PathsCall(rapi1::kSHCreateShortcut, "CeSHCreateShortcut", shortcut, target) ? 1 : 0;
}

HRESULT WINAPI NetRapiInvoke(LPCWSTR dllPath, LPCWSTR function, DWORD inputSize, BYTE *input, DWORD *outputSize,
                             BYTE **output, IRAPIStream **, DWORD reserved) {
    rapi1::Writer request = Request(rapi1::kRapiInvoke);
    request.U32(reserved);
    request.String(dllPath);
    request.String(function);
    request.U32(inputSize);
    request.Raw(input, inputSize);
    request.U32(0);  // block mode, no stream
    Reply reply("CeRapiInvoke");
    HRESULT lost = HRESULT_FROM_WIN32(rapilink::kNoDevice);
    // A second, empty frame follows the reply; it is read and dropped.
    if (!Exchange(request, kMaxInvokeOutput + kReplyFields, &reply, 1)) {
        return rapilink::LastError() == rapilink::kNoDevice ? lost : HRESULT_FROM_WIN32(rapilink::LastError());
    }
    TakeLastError(reply);
    HRESULT result = static_cast<HRESULT>(reply.in.U32());
    uint32_t count = reply.in.U32();
    if (!Complete(reply)) return lost;
    const uint8_t *bytes = reply.in.Raw(count);
    if (!Complete(reply)) return lost;
    if (result == 0 && output && count) {
        BYTE *out = static_cast<BYTE *>(LocalAlloc(LMEM_FIXED, count));
        if (!out) return E_OUTOFMEMORY;
        memcpy(out, bytes, count);
        *output = out;
        if (outputSize) *outputSize = count;
    }
    return result;
}

BOOL WINAPI NetCreateProcess(LPCWSTR image, LPCWSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
                             DWORD, LPVOID, LPWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION info) {
    rapi1::Writer request = Request(rapi1::kCreateProcess);
    request.OptionalString(image);
    if (commandLine) {
        request.OptionalString(commandLine);
    } else {
        request.Absent();
    }
    for (int i = 0; i < 7; ++i) request.U32(0);  // attributes, inheritance, flags, environment, folder, start-up
    if (info) {
        request.OutBuffer(rapi1::kProcessInformationBytes);
    } else {
        request.Absent();
    }
    Reply reply("CeCreateProcess");
    if (!Exchange(request, kSmallReply, &reply)) return FALSE;
    TakeLastError(reply);
    uint32_t ok = reply.in.U32();
    uint8_t bytes[rapi1::kProcessInformationBytes] = {};
    bool got = false;
    if (!Complete(reply) || !TakeExactValue(reply, bytes, sizeof bytes, &got) || !ok) return FALSE;
    if (info) ToProcessInformation(bytes, info);
    return TRUE;
}

BOOL WINAPI NetGetStoreInformation(STORE_INFORMATION *information) {
    rapi1::Writer request = Request(rapi1::kGetStoreInformation);
    request.OutBuffer(rapi1::kStoreInformationBytes);
    Reply reply("CeGetStoreInformation");
    if (!Exchange(request, kSmallReply, &reply)) return FALSE;
    TakeLastError(reply);
    uint32_t ok = reply.in.U32();
    uint8_t bytes[rapi1::kStoreInformationBytes];
    bool got = false;
    if (!Complete(reply) || !TakeExactValue(reply, bytes, sizeof bytes, &got) || !ok || !got) return FALSE;
    information->dwStoreSize = U32At(bytes);
    information->dwFreeSize = U32At(bytes + 4);
    return TRUE;
}

// How a device lays this call out on the network is not publicly known.
BOOL WINAPI NetGetDiskFreeSpaceEx(LPCWSTR, ULARGE_INTEGER *, ULARGE_INTEGER *, ULARGE_INTEGER *) {
    rapilink::SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

}  // namespace

const RapiCalls kNetCalls = {
    NetGetVersionEx,    NetGetSystemInfo,   NetRegOpenKeyEx,       NetRegQueryValueEx, NetRegCloseKey,
    NetCreateFile,      NetReadFile,        NetWriteFile,          NetSetFilePointer,  NetGetFileSize,
    NetGetFileTime,     NetSetFileTime,     NetCloseHandle,        NetDeleteFile,      NetMoveFile,
    NetCreateDirectory, NetRemoveDirectory, NetGetFileAttributes,  NetFindFirstFile,   NetFindNextFile,
    NetFindClose,       NetGetSpecialFolderPath, NetSHCreateShortcut, NetRapiInvoke,   NetCreateProcess,
    NetGetStoreInformation, NetGetDiskFreeSpaceEx, NetFindAllFiles,
    NetRegCreateKeyEx,  NetRegEnumKeyEx,    NetRegEnumValue,       NetRegSetValueEx,   NetRegDeleteKey,
    NetRegDeleteValue,
};
