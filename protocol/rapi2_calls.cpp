// The RAPI2 calls' requests, both directions, and strings (see rapi2.h).
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

const uint8_t *ReadBlock(Reader *in, uint32_t *size) {
    *size = in->U32();
    return in->ok() ? in->Raw(*size) : nullptr;
}

void WriteBlock(Writer *out, const uint8_t *data, uint32_t size) {
    out->U32(size);
    out->Raw(data, size);
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
    case kRegDeleteKey:
    case kRegDeleteValue:
        out->U32(r.handle);
        WriteString(out, path);
        break;
    case kRegCreateKeyEx:
        out->U32(r.handle);
        WriteString(out, path);
        WriteString(out, second);
        break;
    case kRegQueryValueEx:
        out->U32(r.handle);
        WriteString(out, path);
        out->U32(r.count);
        break;
    case kRegSetValueEx:
        out->U32(r.handle);
        WriteString(out, path);
        out->U32(r.valueType);
        WriteBlock(out, r.data, r.size);
        break;
    case kRegEnumKeyEx:
        for (uint32_t word : {r.handle, r.index, r.nameRoom, r.classRoom, 0u}) out->U32(word);
        break;
    case kRegEnumValue:
        for (uint32_t word : {r.handle, r.index, r.nameRoom, r.count}) out->U32(word);
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
    case kRegDeleteKey:
    case kRegDeleteValue:
        r->handle = in->U32();
        r->path = ReadString(in, &r->hasPath);
        break;
    case kRegCreateKeyEx:
        r->handle = in->U32();
        r->path = ReadString(in, &r->hasPath);
        r->second = ReadString(in, &r->hasSecond);
        break;
    case kRegSetValueEx:
        r->handle = in->U32();
        r->path = ReadString(in, &r->hasPath);
        r->valueType = in->U32();
        r->data = ReadBlock(in, &r->size);
        break;
    case kRegEnumKeyEx:
        r->handle = in->U32();
        r->index = in->U32();
        r->nameRoom = in->U32();
        r->classRoom = in->U32();
        Expect(in, 0, "a write time asked for");
        break;
    case kRegEnumValue:
        r->handle = in->U32();
        r->index = in->U32();
        r->nameRoom = in->U32();
        r->count = in->U32();
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

}  // namespace rapi2
