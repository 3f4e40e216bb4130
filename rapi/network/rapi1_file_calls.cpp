// The file calls over TCP, in a CE 3.x/4.x device's own protocol. The
// paths the open file handles were opened on are kept for GetFileTime,
// whose times come from a search on that path.
#include "rapi/network/rapi1_file_calls.h"

#include <string.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "rapi/call_log.h"
#include "rapi/find_all_calls.h"
#include "rapi/last_error.h"
#include "rapi/network/exchange.h"
#include "rapi/network/network_link.h"
#include "rapi/section_lock.h"

namespace netcall {

namespace {

// Reads and writes are split into pieces of at most this many bytes.
const DWORD kPiece = 1u << 20;

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

}  // namespace

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
    // Big reads go in pieces, all within the one call's deadline; a short
    // piece means the end of the file.
    const netwait::Deadline deadline = netlink::CallDeadline();
    do {
        DWORD piece = std::min<DWORD>(toRead - total, kPiece);
        rapi1::Writer request = Request(rapi1::kReadFile);
        request.U32(FromHandle(file));
        request.OutBuffer(piece);
        request.Absent();  // no overlapped record
        Reply reply("CeReadFile");
        if (!Exchange(request, piece + kReplyFields, &reply, 0, &deadline)) return FALSE;
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
    // Big writes go in pieces, all within the one call's deadline.
    const netwait::Deadline deadline = netlink::CallDeadline();
    do {
        DWORD piece = std::min<DWORD>(toWrite - total, kPiece);
        rapi1::Writer request = Request(rapi1::kWriteFile);
        request.U32(FromHandle(file));
        request.InBuffer(static_cast<const uint8_t *>(buffer) + total, piece);
        request.Absent();  // no overlapped record
        Reply reply("CeWriteFile");
        if (!Exchange(request, kSmallReply, &reply, 0, &deadline)) return FALSE;
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

// The reply: the head, then the count (no last error), then the entries
// with the fields the flags name.
BOOL WINAPI NetFindAllFiles(LPCWSTR path, DWORD flags, LPDWORD foundCount, CE_FIND_DATA **found) {
    rapi1::Writer request = Request(rapi1::kFindAllFiles);
    request.String(path);
    request.U32(flags);
    Reply reply("CeFindAllFiles");
    if (!Exchange(request, rapi1::kMaxFrameBytes, &reply)) return FALSE;
    uint32_t count = 0;
    if (!rapi1::ReadFindAllCount(&reply.in, flags, &count)) {
        Complete(reply);
        return FALSE;
    }
    std::vector<CE_FIND_DATA> entries(count);
    for (CE_FIND_DATA &entry : entries) {
        rapi1::FindData data;
        if (!rapi1::ReadFindAllEntry(&reply.in, flags, &data)) {
            Complete(reply);
            return FALSE;
        }
        ToCeFindData(data, &entry);
    }
    if (!Complete(reply)) return FALSE;
    return findall::HandOver(entries, foundCount, found);
}

}  // namespace netcall
