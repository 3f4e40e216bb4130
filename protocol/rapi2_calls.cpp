// The RAPI2 calls: requests and replies in both directions (see rapi2.h).
#include "protocol/rapi2.h"
#include "protocol/little_endian.h"

namespace rapi2 {

namespace {

using rapi1::ReadU64;
using rapi1::WriteU64;

// A u32 that must be 0 or 1.
bool ReadFlag(Reader *in, bool *value) {
    uint32_t flag = in->U32();
    if (in->ok() && flag > 1) return in->Refuse("flag neither 0 nor 1");
    *value = flag == 1;
    return in->ok();
}

// A u32 that must be `expected`.
bool Expect(Reader *in, uint32_t expected, const char *problem) {
    uint32_t value = in->U32();
    return in->ok() && (value == expected || in->Refuse(problem));
}

// u32 size, then the bytes (a view inside the frame).
const uint8_t *ReadBlock(Reader *in, uint32_t *size) {
    *size = in->U32();
    return in->ok() ? in->Raw(*size) : nullptr;
}

void WriteBlock(Writer *out, const uint8_t *data, uint32_t size) {
    out->U32(size);
    out->Raw(data, size);
}

const uint32_t kNameFields = rapi1::kFafName;

// The fixed bytes of one CeFindAllFiles entry with these flags.
uint32_t EntryBytes(uint32_t flags) {
    uint32_t bytes = 0;
    if (flags & rapi1::kFafName) bytes += 4;
    if (flags & rapi1::kFafAttributes) bytes += 4;
    for (uint32_t time : {rapi1::kFafCreationTime, rapi1::kFafLastAccessTime, rapi1::kFafLastWriteTime}) {
        if (flags & time) bytes += 8;
    }
    for (uint32_t word : {rapi1::kFafSizeHigh, rapi1::kFafSizeLow, rapi1::kFafOid}) {
        if (flags & word) bytes += 4;
    }
    return bytes;
}

void WriteEntry(Writer *out, uint32_t flags, const FindData &data) {
    std::wstring name = data.name.substr(0, rapi1::kFindDataNameUnits - 1);
    if (flags & kNameFields) out->U32(static_cast<uint32_t>((name.size() + 1) * 2));
    if (flags & rapi1::kFafAttributes) out->U32(data.attributes);
    if (flags & rapi1::kFafCreationTime) WriteU64(out, data.creation);
    if (flags & rapi1::kFafLastAccessTime) WriteU64(out, data.access);
    if (flags & rapi1::kFafLastWriteTime) WriteU64(out, data.write);
    if (flags & rapi1::kFafSizeHigh) out->U32(static_cast<uint32_t>(data.size >> 32));
    if (flags & rapi1::kFafSizeLow) out->U32(static_cast<uint32_t>(data.size));
    if (flags & rapi1::kFafOid) out->U32(data.oid);
    if (flags & kNameFields) {
        out->Units(name);
        out->U16(0);
    }
}

// The name's byte count may or may not hold the terminator: both are read.
bool ReadEntry(Reader *in, uint32_t flags, FindData *data) {
    *data = FindData();
    uint32_t nameBytes = (flags & kNameFields) ? in->U32() : 0;
    if (in->ok() && (nameBytes % 2 != 0 || nameBytes > rapi1::kFindDataNameUnits * 2)) {
        return in->Refuse("a name size that is odd or longer than MAX_PATH");
    }
    if (flags & rapi1::kFafAttributes) data->attributes = in->U32();
    if (flags & rapi1::kFafCreationTime) data->creation = ReadU64(in);
    if (flags & rapi1::kFafLastAccessTime) data->access = ReadU64(in);
    if (flags & rapi1::kFafLastWriteTime) data->write = ReadU64(in);
    if (flags & rapi1::kFafSizeHigh) data->size = static_cast<uint64_t>(in->U32()) << 32;
    if (flags & rapi1::kFafSizeLow) data->size |= in->U32();
    if (flags & rapi1::kFafOid) data->oid = in->U32();
    if (flags & kNameFields) {
        data->name = in->Units(nameBytes / 2);
        data->name = data->name.substr(0, data->name.find(L'\0'));
    }
    return in->ok();
}

bool ReadEntries(Reader *in, uint32_t flags, std::vector<FindData> *entries) {
    uint32_t count = in->U32();
    uint32_t least = EntryBytes(flags);
    if (!in->ok()) return false;
    if (least == 0 ? count > kMaxEmptyEntries : count > in->Remaining() / least) {
        return in->Refuse("more entries than the reply holds");
    }
    entries->resize(count);
    for (FindData &entry : *entries) {
        if (!ReadEntry(in, flags, &entry)) return false;
    }
    return true;
}

bool IsPathCall(uint32_t command) {
    switch (command) {
    case kFindFirstFile:
    case kGetFileAttributes:
    case kCreateDirectory:
    case kRemoveDirectory:
    case kDeleteFile:
    case kGetDiskFreeSpaceEx:
        return true;
    default:
        return false;
    }
}

bool IsHandleCall(uint32_t command) {
    switch (command) {
    case kFindNextFile:
    case kFindClose:
    case kCloseHandle:
    case kGetFileTime:
    case kSetFileTime:
    case kRegCloseKey:
        return true;
    default:
        return false;
    }
}

// Replies of the last error and one value only.
bool IsValueReply(uint32_t command) {
    switch (command) {
    case kFindClose:
    case kCloseHandle:
    case kCreateDirectory:
    case kRemoveDirectory:
    case kDeleteFile:
    case kMoveFile:
    case kSetFileTime:
    case kGetFileAttributes:
    case kCreateFile:
    case kRegCloseKey:
        return true;
    default:
        return false;
    }
}

}  // namespace

void WriteString(Writer *out, const wchar_t *text) {
    if (!text) {
        out->U32(0);
        return;
    }
    std::wstring value(text);
    out->U32(static_cast<uint32_t>((value.size() + 1) * 2));
    out->Units(value);
    out->U16(0);
}

std::wstring ReadString(Reader *in, bool *present) {
    *present = false;
    uint32_t bytes = in->U32();
    if (!in->ok() || bytes == 0) return std::wstring();
    if (bytes % 2 != 0 || bytes / 2 > rapi1::kMaxStringUnits) {
        in->Refuse("a string size that is odd or too long");
        return std::wstring();
    }
    std::wstring text = in->Units(bytes / 2);
    if (!in->ok()) return std::wstring();
    if (text.back() != L'\0') {
        in->Refuse("string without its terminator");
        return std::wstring();
    }
    text.pop_back();
    if (text.find(L'\0') != std::wstring::npos) {
        in->Refuse("string with a NUL inside");
        return std::wstring();
    }
    *present = true;
    return text;
}

void WriteRequest(Writer *out, const Request &r) {
    out->U32(r.command);
    const wchar_t *path = r.hasPath ? r.path.c_str() : nullptr;
    const wchar_t *second = r.hasSecond ? r.second.c_str() : nullptr;
    if (IsPathCall(r.command)) {
        WriteString(out, path);
    } else if (IsHandleCall(r.command)) {
        out->U32(r.handle);
    }
    switch (r.command) {
    case kMoveFile:
        WriteString(out, path);
        WriteString(out, second);
        break;
    case kCreateFile:
        WriteString(out, path);
        for (uint32_t word : {r.access, r.share, r.disposition, r.attributes, r.templateFile}) out->U32(word);
        break;
    case kReadFile:
        out->U32(r.handle);
        out->U32(r.count);
        break;
    case kWriteFile:
        out->U32(r.handle);
        WriteBlock(out, r.data, r.size);
        break;
    case kFindAllFiles:
        WriteString(out, path);
        out->U32(r.flags);
        break;
    case kSetFilePointer:
        out->U32(r.handle);
        out->U32(r.distanceLow);
        out->U32(r.hasHigh ? 1 : 0);
        if (r.hasHigh) out->U32(r.distanceHigh);
        out->U32(r.method);
        break;
    case kGetFileSize:
        out->U32(r.handle);
        r.hasHigh ? out->OutBuffer(4) : out->Absent();
        break;
    case kRegOpenKeyEx:
        out->U32(r.handle);
        WriteString(out, path);
        break;
    case kRegQueryValueEx:
        out->U32(r.handle);
        WriteString(out, path);
        out->U32(r.count);
        break;
    case kCreateProcess:
        WriteString(out, path);
        WriteString(out, second);
        for (uint32_t word : {0u, 0u, 0u, r.flags, 0u, 0u, 0u}) out->U32(word);
        break;
    case kGetSystemInfo:
        out->OutBuffer(kSystemInfoBytes);
        break;
    case kGetSpecialFolderPath:
        out->U32(r.handle);
        out->U32(r.count);
        break;
    case kRapiInvoke:
        out->U32(r.handle);
        WriteString(out, path);
        WriteString(out, second);
        WriteBlock(out, r.data, r.size);
        out->U32(r.flags);
        break;
    case kSetFileTime:
        for (int i = 0; i < 3; ++i) {
            out->U32(r.hasTime[i] ? kFileTimeBytes : 0);
            if (r.hasTime[i]) WriteU64(out, r.times[i]);
        }
        break;
    case kGetSystemPowerStatusEx:
        out->U32(r.flags);
        break;
    default:
        break;
    }
}

bool ReadRequest(Reader *in, Request *r) {
    *r = Request();
    r->command = in->U32();
    if (!in->ok()) return false;
    if (IsPathCall(r->command)) {
        r->path = ReadString(in, &r->hasPath);
    } else if (IsHandleCall(r->command)) {
        r->handle = in->U32();
    }
    switch (r->command) {
    case kFindFirstFile:
    case kGetFileAttributes:
    case kCreateDirectory:
    case kRemoveDirectory:
    case kDeleteFile:
    case kGetDiskFreeSpaceEx:
    case kFindNextFile:
    case kFindClose:
    case kCloseHandle:
    case kGetFileTime:
    case kRegCloseKey:
    case kGetVersionEx:
    case kGetStoreInformation:
        break;
    case kMoveFile:
        r->path = ReadString(in, &r->hasPath);
        r->second = ReadString(in, &r->hasSecond);
        break;
    case kCreateFile:
        r->path = ReadString(in, &r->hasPath);
        for (uint32_t *word : {&r->access, &r->share, &r->disposition, &r->attributes, &r->templateFile}) {
            *word = in->U32();
        }
        break;
    case kReadFile:
        r->handle = in->U32();
        r->count = in->U32();
        break;
    case kWriteFile:
        r->handle = in->U32();
        r->data = ReadBlock(in, &r->size);
        break;
    case kFindAllFiles:
        r->path = ReadString(in, &r->hasPath);
        r->flags = in->U32();
        break;
    case kSetFilePointer:
        r->handle = in->U32();
        r->distanceLow = in->U32();
        if (ReadFlag(in, &r->hasHigh) && r->hasHigh) r->distanceHigh = in->U32();
        r->method = in->U32();
        break;
    case kGetFileSize: {
        r->handle = in->U32();
        rapi1::Optional high = in->OptionalArgument();
        if (in->ok() && high.present && (high.size != 4 || high.hasValue)) return in->Refuse("not room for a u32");
        r->hasHigh = high.present;
        break;
    }
    case kRegOpenKeyEx:
        r->handle = in->U32();
        r->path = ReadString(in, &r->hasPath);
        break;
    case kRegQueryValueEx:
        r->handle = in->U32();
        r->path = ReadString(in, &r->hasPath);
        r->count = in->U32();
        break;
    case kCreateProcess:
        r->path = ReadString(in, &r->hasPath);
        r->second = ReadString(in, &r->hasSecond);
        for (int i = 0; i < 3; ++i) in->U32();  // attributes and inheritance: not used
        r->flags = in->U32();
        for (int i = 0; i < 3; ++i) in->U32();  // environment, folder, start-up: not used
        break;
    case kGetSystemInfo:
        Expect(in, 1, "no room for SYSTEM_INFO") && Expect(in, kSystemInfoBytes, "room not of SYSTEM_INFO's size") &&
            Expect(in, 0, "data where room was expected");
        break;
    case kGetSpecialFolderPath:
        r->handle = in->U32();
        r->count = in->U32();
        break;
    case kRapiInvoke:
        r->handle = in->U32();
        r->path = ReadString(in, &r->hasPath);
        r->second = ReadString(in, &r->hasSecond);
        r->data = ReadBlock(in, &r->size);
        r->flags = in->U32();
        break;
    case kSetFileTime:
        for (int i = 0; i < 3 && in->ok(); ++i) {
            uint32_t bytes = in->U32();
            if (in->ok() && bytes != 0 && bytes != kFileTimeBytes) return in->Refuse("a file time not of 8 bytes");
            r->hasTime[i] = bytes == kFileTimeBytes;
            if (r->hasTime[i]) r->times[i] = ReadU64(in);
        }
        break;
    case kGetSystemPowerStatusEx:
        r->flags = in->U32();
        break;
    default:
        return in->Refuse("unknown command");
    }
    return in->Exhausted() || (in->ok() && in->Refuse("bytes left over"));
}

void WriteReply(Writer *out, const Request &request, const Reply &r) {
    uint32_t command = request.command;
    if (command != kGetSystemPowerStatusEx) out->U32(r.lastError);
    if (command != kGetSystemInfo) out->U32(r.result);
    if (IsValueReply(command)) return;
    switch (command) {
    case kFindFirstFile:
    case kFindNextFile:
        rapi1::WriteFindData(out, r.found);
        break;
    case kFindAllFiles:
        out->U32(static_cast<uint32_t>(r.entries.size()));
        for (const FindData &entry : r.entries) WriteEntry(out, request.flags, entry);
        break;
    case kReadFile:
    case kGetVersionEx:
        WriteBlock(out, r.data, r.size);
        break;
    case kWriteFile:
        out->U32(r.value);
        break;
    case kSetFilePointer:
        if (request.hasHigh) out->U32(r.value);
        break;
    case kGetFileSize:
        if (!request.hasHigh) {
            out->Absent();
        } else if (r.hasValue) {
            out->U32(1), out->U32(4), out->U32(1), out->U32(r.value);
        } else {
            out->OptionalNoValue(4);
        }
        break;
    case kGetFileTime:
    case kGetDiskFreeSpaceEx:
        for (uint64_t number : r.numbers) WriteU64(out, number);
        break;
    case kGetStoreInformation:
        out->U32(static_cast<uint32_t>(r.numbers[0]));
        out->U32(static_cast<uint32_t>(r.numbers[1]));
        break;
    case kRegOpenKeyEx:
        if (r.result == 0) out->U32(r.value);
        break;
    case kRegQueryValueEx:
        if (r.result != 0) break;
        out->U32(r.value);
        WriteBlock(out, r.data, r.size);
        break;
    case kGetSpecialFolderPath:
        out->Units(r.text.substr(0, r.result));
        break;
    case kRapiInvoke:
        if (static_cast<int32_t>(r.result) >= 0) WriteBlock(out, r.data, r.size);
        break;
    case kGetSystemInfo:
    case kCreateProcess:
    case kGetSystemPowerStatusEx:
        out->Raw(r.data, r.size);
        break;
    default:
        break;
    }
}

namespace {

// A block of at most `most` bytes.
bool ReadBlockAtMost(Reader *in, uint32_t most, Reply *r, const char *problem) {
    r->data = ReadBlock(in, &r->size);
    if (in->ok() && r->size > most) return in->Refuse(problem);
    return in->ok();
}

// A record of exactly `size` bytes, without a count.
bool ReadRecord(Reader *in, uint32_t size, Reply *r) {
    r->data = in->Raw(size);
    r->size = r->data ? size : 0;
    return in->ok();
}

}  // namespace

bool ReadReply(Reader *in, const Request &request, Reply *r) {
    *r = Reply();
    uint32_t command = request.command;
    if (command != kGetSystemPowerStatusEx) r->lastError = in->U32();
    if (command != kGetSystemInfo) r->result = in->U32();
    if (!in->ok() || IsValueReply(command)) return in->ok();
    switch (command) {
    case kFindFirstFile:
    case kFindNextFile:
        return rapi1::ReadFindData(in, &r->found);
    case kFindAllFiles:
        return ReadEntries(in, request.flags, &r->entries);
    case kReadFile:
        return ReadBlockAtMost(in, request.count, r, "more bytes read than asked for");
    case kGetVersionEx:
        return ReadBlockAtMost(in, kOsVersionInfoBytes, r, "a version record larger than CEOSVERSIONINFO");
    case kWriteFile:
        r->value = in->U32();
        return in->ok() && (r->value <= request.size || in->Refuse("more bytes written than sent"));
    case kSetFilePointer:
        r->hasValue = request.hasHigh;
        if (request.hasHigh) r->value = in->U32();
        return in->ok();
    case kGetFileSize: {
        rapi1::Optional high = in->OptionalArgument();
        if (!in->ok()) return false;
        if (high.present != request.hasHigh) return in->Refuse("a high part not asked for, or missing");
        if (high.present && high.size != 4) return in->Refuse("a high part not of 4 bytes");
        r->hasValue = high.hasValue;
        if (high.hasValue) r->value = LoadU32(high.data);
        return true;
    }
    case kGetFileTime:
    case kGetDiskFreeSpaceEx:
        for (uint64_t &number : r->numbers) number = ReadU64(in);
        return in->ok();
    case kGetStoreInformation:
        r->numbers[0] = in->U32();
        r->numbers[1] = in->U32();
        return in->ok();
    case kRegOpenKeyEx:
        if (r->result == 0) r->value = in->U32();
        return in->ok();
    case kRegQueryValueEx:
        if (r->result != 0) return true;
        r->value = in->U32();
        return ReadBlockAtMost(in, request.count, r, "a value larger than the buffer");
    case kGetSpecialFolderPath:
        if (r->result > request.count) return in->Refuse("a path longer than the buffer");
        r->text = in->Units(r->result);
        r->text = r->text.substr(0, r->text.find(L'\0'));
        return in->ok();
    case kRapiInvoke:
        if (static_cast<int32_t>(r->result) < 0) return true;
        return ReadBlockAtMost(in, rapi1::kMaxFrameBytes, r, "");
    case kGetSystemInfo:
        return ReadRecord(in, kSystemInfoBytes, r);
    case kCreateProcess:
        return ReadRecord(in, kProcessInformationBytes, r);
    case kGetSystemPowerStatusEx:
        return ReadRecord(in, kPowerStatusBytes, r);
    default:
        return in->Refuse("unknown command");
    }
}

}  // namespace rapi2
