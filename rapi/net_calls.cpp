// The remote API calls over TCP, in a CE 3.x/4.x device's own protocol
// (the encoding is protocol/rapi1.h). A device is a peer we do not control:
// every size and count it sends is checked against what the call asked for
// and against what its reply frame holds before anything is copied into
// the caller's records. A reply that does not hold together fails the call
// and drops the session (the stream can no longer be trusted); later calls
// then fail with "device not connected", as for a device that was pulled.
#include <string.h>

#include <algorithm>
#include <map>

#include "protocol/rapi1.h"
#include "rapi/section_lock.h"
#include "rapi/call_log.h"
#include "rapi/calls.h"
#include "rapi/link.h"
#include "rapi/net_link.h"

namespace {

// Reads and writes are split into pieces of at most this many bytes.
const DWORD kPiece = 1u << 20;
// Room for a reply's fixed fields (head, last error, result, counts).
const size_t kReplyFields = 64;
const size_t kSmallReply = 4096;
// The platform's first five fields of CEOSVERSIONINFO.
const uint32_t kVersionFixedBytes = 20;
const uint32_t kMaxInvokeOutput = 1u << 20;

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
    if (key == HKEY_LOCAL_MACHINE) return rapi1::kRootLocalMachine;
    return FromHandle(reinterpret_cast<HANDLE>(key));
}

uint32_t U32At(const uint8_t *bytes) {
    return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

FILETIME FileTimeOf(uint64_t value) { return FILETIME{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)}; }

uint64_t ValueOf(const FILETIME &time) { return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime; }

// The paths the open file handles were opened on, for GetFileTime.
struct OpenFiles {
    SectionLock lock;
    std::map<uint32_t, std::wstring> paths;
};

OpenFiles &TheOpenFiles() {
    static OpenFiles *files = new OpenFiles();
    return *files;
}

rapi1::Writer Request(rapi1::Command command) {
    rapi1::Writer request;
    request.U32(command);
    return request;
}

// A reply being read: the body and a reader placed after the head.
struct Reply {
    explicit Reply(const char *name) : call(name) {}
    const char *call;
    std::vector<uint8_t> body;
    rapi1::Reader in{nullptr, 0};
};

// The last error a call that failed as a whole leaves.
DWORD ErrorOfHresult(uint32_t hresult) {
    if ((hresult & 0xFFFF0000u) == 0x80070000u) return hresult & 0xFFFF;  // a Win32 error as an HRESULT
    if (hresult == rapi1::kENotImpl) return ERROR_NOT_SUPPORTED;
    return ERROR_GEN_FAILURE;
}

// The reply does not hold together: the call fails and the session goes.
bool Malformed(Reply &reply, const char *problem) {
    calllog::Event("%s: the device's reply does not hold together: %s", reply.call, problem);
    netlink::Drop("a reply that does not hold together");
    rapilink::SetLastError(rapilink::kNoDevice);
    return false;
}

// Sends the request and reads the reply's head. False when the call
// failed: the link is down, the reply is malformed, or the device failed
// the call as a whole (its HRESULT then gives the last error).
bool Exchange(const rapi1::Writer &request, size_t maxReply, Reply *reply, int trailingFrames = 0) {
    if (!netlink::Call(request.Frame(), maxReply, &reply->body, trailingFrames)) return false;
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

// Reads the last error most replies carry next.
void TakeLastError(Reply &reply) {
    uint32_t error = reply.in.U32();
    if (reply.in.ok()) rapilink::SetLastError(error);
}

// Ends reading a reply: false (and the session dropped) when it was cut short.
bool Complete(Reply &reply) { return reply.in.ok() || Malformed(reply, reply.in.Problem()); }

// A call whose reply is the last error and a BOOL.
BOOL FlagCall(rapi1::Writer &request, const char *call) {
    Reply reply(call);
    if (!Exchange(request, kSmallReply, &reply)) return FALSE;
    TakeLastError(reply);
    uint32_t ok = reply.in.U32();
    return Complete(reply) && ok != 0;
}

// A CE_FIND_DATA: its byte count, then that many bytes of the record
// (at most the 560 of CE_FIND_DATA).
bool TakeFindData(Reply &reply, CE_FIND_DATA *found) {
    rapi1::FindData data;
    if (!rapi1::ReadFindData(&reply.in, &data)) return Complete(reply);
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
    return true;
}

// An optional value in a reply that must, when it carries bytes, carry
// exactly `size` of them into `to` (when `to` is given).
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
    if (size < kVersionFixedBytes) return Malformed(reply, "version record shorter than its fixed fields");
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
    // The device's record has 32-bit pointers; the host's may not.
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
    if (value.hasValue && (!data || value.size > room)) {
        Malformed(reply, "a value larger than the caller's buffer");
        return static_cast<LONG>(rapilink::kNoDevice);
    }
    if (type && gotType) *type = U32At(typeBytes);
    if (data && value.hasValue && status == ERROR_SUCCESS) memcpy(data, value.data, value.size);
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

HANDLE WINAPI NetCreateFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                            DWORD flags, HANDLE) {
    rapi1::Writer request = Request(rapi1::kCreateFile);
    request.U32(access);
    request.U32(share);
    request.U32(disposition);
    request.U32(flags);
    request.U32(0);  // no template file
    request.String(path);
    Reply reply("CeCreateFile");
    if (!Exchange(request, kSmallReply, &reply)) return INVALID_HANDLE_VALUE;
    TakeLastError(reply);
    uint32_t id = reply.in.U32();
    if (!Complete(reply) || id == rapi1::kInvalidHandle) return INVALID_HANDLE_VALUE;
    OpenFiles &files = TheOpenFiles();
    SectionGuard lock(files.lock);
    files.paths[id] = path;
    return ToHandle(id);
}

BOOL WINAPI NetReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED) {
    DWORD total = 0;
    // Big reads go in pieces; a short piece means the end of the file.
    do {
        DWORD piece = std::min<DWORD>(toRead - total, kPiece);
        rapi1::Writer request = Request(rapi1::kReadFile);
        request.U32(FromHandle(file));
        request.OutBuffer(piece);
        request.Absent();  // no overlapped record
        Reply reply("CeReadFile");
        if (!Exchange(request, piece + kReplyFields, &reply)) return FALSE;
        TakeLastError(reply);
        uint32_t ok = reply.in.U32();
        uint32_t count = reply.in.U32();
        if (!Complete(reply)) return FALSE;
        if (count > piece) return Malformed(reply, "more bytes read than asked for");
        const uint8_t *bytes = reply.in.Raw(count);
        if (!Complete(reply) || !ok) return FALSE;
        if (count) memcpy(static_cast<uint8_t *>(buffer) + total, bytes, count);
        total += count;
        if (read) *read = total;
        if (count < piece) break;
    } while (total < toRead);
    return TRUE;
}

BOOL WINAPI NetWriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED) {
    DWORD total = 0;
    do {
        DWORD piece = std::min<DWORD>(toWrite - total, kPiece);
        rapi1::Writer request = Request(rapi1::kWriteFile);
        request.U32(FromHandle(file));
        request.InBuffer(static_cast<const uint8_t *>(buffer) + total, piece);
        request.Absent();  // no overlapped record
        Reply reply("CeWriteFile");
        if (!Exchange(request, kSmallReply, &reply)) return FALSE;
        TakeLastError(reply);
        uint32_t ok = reply.in.U32();
        uint32_t done = reply.in.U32();
        if (!Complete(reply) || !ok) return FALSE;
        if (done > piece) return Malformed(reply, "more bytes written than sent");
        total += done;
        if (written) *written = total;
        if (done < piece) break;
    } while (total < toWrite);
    return TRUE;
}

DWORD WINAPI NetSetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method) {
    rapi1::Writer request = Request(rapi1::kSetFilePointer);
    request.U32(FromHandle(file));
    request.U32(static_cast<uint32_t>(distance));
    request.U32(distanceHigh ? static_cast<uint32_t>(*distanceHigh) : 0);
    request.U32(method);
    Reply reply("CeSetFilePointer");
    if (!Exchange(request, kSmallReply, &reply)) return INVALID_SET_FILE_POINTER;
    TakeLastError(reply);
    uint32_t position = reply.in.U32();
    if (!Complete(reply)) return INVALID_SET_FILE_POINTER;
    // The reply has no high part: a device's files stay below 4 GB.
    if (distanceHigh) *distanceHigh = 0;
    return position;
}

DWORD WINAPI NetGetFileSize(HANDLE file, LPDWORD sizeHigh) {
    rapi1::Writer request = Request(rapi1::kGetFileSize);
    request.U32(FromHandle(file));
    if (sizeHigh) {
        request.OutBuffer(4);
    } else {
        request.Absent();
    }
    Reply reply("CeGetFileSize");
    if (!Exchange(request, kSmallReply, &reply)) return INVALID_FILE_SIZE;
    TakeLastError(reply);
    uint32_t size = reply.in.U32();
    uint8_t high[4] = {0, 0, 0, 0};
    bool got = false;
    if (!Complete(reply) || !TakeExactValue(reply, high, 4, &got)) return INVALID_FILE_SIZE;
    if (sizeHigh) *sizeHigh = U32At(high);
    return size;
}

BOOL WINAPI NetFindClose(HANDLE search);
HANDLE WINAPI NetFindFirstFile(LPCWSTR pattern, CE_FIND_DATA *found);

// GetFileTime has no public layout: the times come from the find data of
// the file the handle was opened on, as a directory listing reports them.
BOOL WINAPI NetGetFileTime(HANDLE file, FILETIME *creation, FILETIME *lastAccess, FILETIME *lastWrite) {
    std::wstring path;
    {
        OpenFiles &files = TheOpenFiles();
        SectionGuard lock(files.lock);
        auto found = files.paths.find(FromHandle(file));
        if (found != files.paths.end()) path = found->second;
    }
    if (path.empty()) {
        rapilink::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    CE_FIND_DATA data;
    HANDLE search = NetFindFirstFile(path.c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) return FALSE;
    NetFindClose(search);
    if (creation) *creation = data.ftCreationTime;
    if (lastAccess) *lastAccess = data.ftLastAccessTime;
    if (lastWrite) *lastWrite = data.ftLastWriteTime;
    return TRUE;
}

// SetFileTime's layout is inferred (rapi1::WriteSetFileTimeRequest). A
// device that refuses it fails the call, and the copy with it: times are
// never reported set when they were not.
BOOL WINAPI NetSetFileTime(HANDLE file, const FILETIME *creation, const FILETIME *lastAccess,
                           const FILETIME *lastWrite) {
    rapi1::FileTimes times;
    const FILETIME *given[3] = {creation, lastAccess, lastWrite};
    for (int i = 0; i < 3; ++i) {
        times.present[i] = given[i] != nullptr;
        times.value[i] = given[i] ? ValueOf(*given[i]) : 0;
    }
    rapi1::Writer request;  // the command code comes with the layout
    rapi1::WriteSetFileTimeRequest(&request, FromHandle(file), times);
    BOOL ok = FlagCall(request, "CeSetFileTime");
    if (!ok) calllog::Event("CeSetFileTime (inferred layout) was refused, last error %lu", rapilink::LastError());
    return ok;
}

BOOL WINAPI NetCloseHandle(HANDLE handle) {
    rapi1::Writer request = Request(rapi1::kCloseHandle);
    request.U32(FromHandle(handle));
    BOOL ok = FlagCall(request, "CeCloseHandle");
    if (ok) {
        OpenFiles &files = TheOpenFiles();
        SectionGuard lock(files.lock);
        files.paths.erase(FromHandle(handle));
    }
    return ok;
}

// A call on one or two paths whose reply is the last error and a BOOL.
BOOL PathsCall(rapi1::Command command, const char *call, LPCWSTR path, LPCWSTR second = nullptr) {
    rapi1::Writer request = Request(command);
    request.OptionalString(path);
    if (second) request.OptionalString(second);
    return FlagCall(request, call);
}

BOOL WINAPI NetDeleteFile(LPCWSTR path) { return PathsCall(rapi1::kDeleteFile, "CeDeleteFile", path); }

BOOL WINAPI NetMoveFile(LPCWSTR existingPath, LPCWSTR newPath) {
    return PathsCall(rapi1::kMoveFile, "CeMoveFile", existingPath, newPath);
}

BOOL WINAPI NetCreateDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES) {
    rapi1::Writer request = Request(rapi1::kCreateDirectory);
    request.OptionalString(path);
    request.Absent();  // no security attributes
    return FlagCall(request, "CeCreateDirectory");
}

BOOL WINAPI NetRemoveDirectory(LPCWSTR path) { return PathsCall(rapi1::kRemoveDirectory, "CeRemoveDirectory", path); }

DWORD WINAPI NetGetFileAttributes(LPCWSTR path) {
    rapi1::Writer request = Request(rapi1::kGetFileAttributes);
    request.String(path);
    Reply reply("CeGetFileAttributes");
    if (!Exchange(request, kSmallReply, &reply)) return INVALID_FILE_ATTRIBUTES;
    TakeLastError(reply);
    uint32_t attributes = reply.in.U32();
    return Complete(reply) ? attributes : INVALID_FILE_ATTRIBUTES;
}

HANDLE WINAPI NetFindFirstFile(LPCWSTR pattern, CE_FIND_DATA *found) {
    rapi1::Writer request = Request(rapi1::kFindFirstFile);
    request.String(pattern);
    Reply reply("CeFindFirstFile");
    if (!Exchange(request, kSmallReply, &reply)) return INVALID_HANDLE_VALUE;
    TakeLastError(reply);
    uint32_t id = reply.in.U32();
    CE_FIND_DATA entry;
    if (!Complete(reply) || !TakeFindData(reply, &entry) || id == rapi1::kInvalidHandle) return INVALID_HANDLE_VALUE;
    *found = entry;
    return ToHandle(id);
}

BOOL WINAPI NetFindNextFile(HANDLE search, CE_FIND_DATA *found) {
    rapi1::Writer request = Request(rapi1::kFindNextFile);
    request.U32(FromHandle(search));
    Reply reply("CeFindNextFile");
    if (!Exchange(request, kSmallReply, &reply)) return FALSE;
    TakeLastError(reply);
    uint32_t ok = reply.in.U32();
    CE_FIND_DATA entry;
    if (!Complete(reply) || !TakeFindData(reply, &entry) || !ok) return FALSE;
    *found = entry;
    return TRUE;
}

BOOL WINAPI NetFindClose(HANDLE search) {
    rapi1::Writer request = Request(rapi1::kFindClose);
    request.U32(FromHandle(search));
    return FlagCall(request, "CeFindClose");
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
    if (info) {
        // Device handles in this session, open until CeCloseHandle.
        info->hProcess = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(U32At(bytes)));
        info->hThread = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(U32At(bytes + 4)));
        info->dwProcessId = U32At(bytes + 8);
        info->dwThreadId = U32At(bytes + 12);
    }
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
    NetGetStoreInformation, NetGetDiskFreeSpaceEx,
};
