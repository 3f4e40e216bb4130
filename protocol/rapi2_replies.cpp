// The RAPI2 calls' replies, both directions (see rapi2.h).
#include "protocol/rapi2.h"
#include "protocol/little_endian.h"

namespace rapi2 {

namespace {

using rapi1::ReadU64;
using rapi1::WriteU64;

const uint32_t kNameFields = rapi1::kFafName;

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
    uint32_t count = 0;
    if (!rapi1::ReadFindAllCount(in, flags, &count)) return false;
    entries->resize(count);
    for (FindData &entry : *entries) {
        if (!ReadEntry(in, flags, &entry)) return false;
    }
    return true;
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
    case kRegDeleteKey:
    case kRegDeleteValue:
    case kRegSetValueEx:
        return true;
    default:
        return false;
    }
}

// A name as the registry's enumerations send it: u32 units, the units,
// no terminator.
void WriteName(Writer *out, const std::wstring &name) {
    out->U32(static_cast<uint32_t>(name.size()));
    out->Units(name);
}

// A name of at most `room` units, a trailing NUL taken as its end.
bool ReadName(Reader *in, uint32_t room, std::wstring *name) {
    uint32_t units = in->U32();
    if (in->ok() && units > room) return in->Refuse("a name longer than the buffer");
    *name = in->Units(units);
    *name = name->substr(0, name->find(L'\0'));
    return in->ok();
}

// A value's type, size and bytes: the bytes only when sent (see rapi2.h).
void WriteValue(Writer *out, const Reply &r) {
    out->U32(r.value);
    out->U32(r.size);
    if (r.data) out->Raw(r.data, r.size);
}

// A buffer of 0 bytes asked for the size alone: what follows it is not
// read. Otherwise the value must fit the buffer.
bool ReadValue(Reader *in, uint32_t room, Reply *r) {
    r->value = in->U32();
    r->size = in->U32();
    if (!in->ok() || room == 0) return in->ok();
    if (r->size > room) return in->Refuse("a value larger than the buffer");
    r->data = in->Raw(r->size);
    return in->ok();
}

}  // namespace

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
    case kRegCreateKeyEx:
        if (r.result != 0) break;
        out->U32(r.value);
        out->U32(static_cast<uint32_t>(r.numbers[0]));
        break;
    case kRegQueryValueEx:
        if (r.result == 0) WriteValue(out, r);
        break;
    case kRegEnumKeyEx:
        if (r.result != 0) break;
        WriteName(out, r.text);
        WriteName(out, std::wstring());
        break;
    case kRegEnumValue:
        if (r.result != 0) break;
        WriteName(out, r.text);
        WriteValue(out, r);
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
    case kRegCreateKeyEx:
        if (r->result != 0) return true;
        r->value = in->U32();
        r->numbers[0] = in->U32();
        return in->ok();
    case kRegQueryValueEx:
        return r->result != 0 || ReadValue(in, request.count, r);
    case kRegEnumKeyEx:
        // The class follows the name; no key here has one, so it is not read.
        return r->result != 0 || ReadName(in, request.nameRoom, &r->text);
    case kRegEnumValue:
        return r->result != 0 || (ReadName(in, request.nameRoom, &r->text) && ReadValue(in, request.count, r));
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
