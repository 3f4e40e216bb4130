// The structures of the remote API v1 on the wire: find data, the file
// times of the inferred GetFileTime/SetFileTime layout, the control
// channel's information block and the password encoding (see rapi1.h).
#include "protocol/rapi1.h"
#include "protocol/little_endian.h"

#include <string.h>

namespace rapi1 {

void WriteU64(Writer *out, uint64_t value) {
    out->U32(static_cast<uint32_t>(value));
    out->U32(static_cast<uint32_t>(value >> 32));
}

uint64_t ReadU64(Reader *in) {
    uint64_t low = in->U32();
    return low | (static_cast<uint64_t>(in->U32()) << 32);
}

namespace {

uint64_t BytesU64(const uint8_t *at) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | at[i];
    return value;
}

uint32_t BytesU32(const uint8_t *at) { return at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<uint32_t>(at[3]) << 24); }

}  // namespace

void WriteFindData(Writer *out, const FindData &data) {
    out->U32(kFindDataBytes);
    out->U32(data.attributes);
    WriteU64(out, data.creation);
    WriteU64(out, data.access);
    WriteU64(out, data.write);
    out->U32(static_cast<uint32_t>(data.size >> 32));
    out->U32(static_cast<uint32_t>(data.size));
    out->U32(data.oid);
    std::wstring name = data.name.substr(0, kFindDataNameUnits - 1);
    out->Units(name);
    out->Zeros((kFindDataNameUnits - name.size()) * 2);
}

bool ReadFindData(Reader *in, FindData *data) {
    uint32_t size = in->U32();
    if (in->ok() && size > kFindDataBytes) return in->Refuse("find data larger than CE_FIND_DATA");
    const uint8_t *at = in->Raw(size);
    if (!at) return false;
    uint8_t bytes[kFindDataBytes] = {};
    memcpy(bytes, at, size);
    data->attributes = BytesU32(bytes);
    data->creation = BytesU64(bytes + 4);
    data->access = BytesU64(bytes + 12);
    data->write = BytesU64(bytes + 20);
    data->size = (static_cast<uint64_t>(BytesU32(bytes + 28)) << 32) | BytesU32(bytes + 32);
    data->oid = BytesU32(bytes + 36);
    data->name.clear();
    for (uint32_t i = 0; i < kFindDataNameUnits - 1; ++i) {
        wchar_t unit = static_cast<wchar_t>(bytes[40 + 2 * i] | (bytes[41 + 2 * i] << 8));
        if (unit == 0) break;
        data->name += unit;
    }
    return true;
}

void WriteFindAllEntry(Writer *out, uint32_t flags, const FindData &data) {
    std::wstring name = data.name.substr(0, kFindDataNameUnits - 1);
    if (flags & kFafName) out->U32(static_cast<uint32_t>(name.size() + 1));
    if (flags & kFafAttributes) out->U32(data.attributes);
    if (flags & kFafCreationTime) WriteU64(out, data.creation);
    if (flags & kFafLastAccessTime) WriteU64(out, data.access);
    if (flags & kFafLastWriteTime) WriteU64(out, data.write);
    if (flags & kFafSizeHigh) out->U32(static_cast<uint32_t>(data.size >> 32));
    if (flags & kFafSizeLow) out->U32(static_cast<uint32_t>(data.size));
    if (flags & kFafOid) out->U32(data.oid);
    if (flags & kFafName) {
        out->Units(name);
        out->U16(0);
    }
}

bool ReadFindAllEntry(Reader *in, uint32_t flags, FindData *data) {
    *data = FindData();
    uint32_t units = (flags & kFafName) ? in->U32() : 0;
    if (units > kFindDataNameUnits) return in->Refuse("name longer than MAX_PATH");
    if (flags & kFafAttributes) data->attributes = in->U32();
    if (flags & kFafCreationTime) data->creation = ReadU64(in);
    if (flags & kFafLastAccessTime) data->access = ReadU64(in);
    if (flags & kFafLastWriteTime) data->write = ReadU64(in);
    if (flags & kFafSizeHigh) data->size = static_cast<uint64_t>(in->U32()) << 32;
    if (flags & kFafSizeLow) data->size |= in->U32();
    if (flags & kFafOid) data->oid = in->U32();
    if (flags & kFafName) {
        data->name = in->Units(units);
        data->name = data->name.substr(0, data->name.find(L'\0'));
    }
    return in->ok();
}

uint32_t FindAllEntryBytes(uint32_t flags) {
    uint32_t bytes = (flags & kFafName) ? 4 : 0;
    for (uint32_t word : {kFafAttributes, kFafSizeHigh, kFafSizeLow, kFafOid}) {
        if (flags & word) bytes += 4;
    }
    for (uint32_t time : {kFafCreationTime, kFafLastAccessTime, kFafLastWriteTime}) {
        if (flags & time) bytes += 8;
    }
    return bytes;
}

bool ReadFindAllCount(Reader *in, uint32_t flags, uint32_t *count) {
    *count = in->U32();
    if (!in->ok()) return false;
    if (*count > kMaxFolderEntries) return in->Refuse("more entries than a folder holds");
    const uint32_t least = FindAllEntryBytes(flags);
    if (least == 0 ? *count > kMaxEmptyEntries : *count > in->Remaining() / least) {
        return in->Refuse("more entries than the reply holds");
    }
    return true;
}

void WriteGetFileTimeRequest(Writer *out, uint32_t handle, const FileTimes &asked) {
    out->U32(kGetFileTime);
    out->U32(handle);
    for (bool present : asked.present) present ? out->OutBuffer(kFileTimeBytes) : out->Absent();
}

void WriteSetFileTimeRequest(Writer *out, uint32_t handle, const FileTimes &times) {
    out->U32(kSetFileTime);
    out->U32(handle);
    for (int i = 0; i < 3; ++i) {
        if (!times.present[i]) {
            out->Absent();
            continue;
        }
        uint8_t bytes[8];
        for (int b = 0; b < 8; ++b) bytes[b] = static_cast<uint8_t>(times.value[i] >> (8 * b));
        out->InBuffer(bytes, sizeof bytes);
    }
}

bool ReadFileTimeRequest(Reader *in, bool set, uint32_t *handle, FileTimes *times) {
    *times = FileTimes();
    *handle = in->U32();
    for (int i = 0; i < 3 && in->ok(); ++i) {
        Optional time = set ? in->InBuffer() : in->OptionalArgument();
        times->present[i] = time.present;
        if (!time.present) continue;
        // A time is 8 bytes, and a get sends room only, never data.
        if (time.size != kFileTimeBytes || time.hasValue != set) return in->Refuse("file time not 8 bytes");
        if (set) times->value[i] = BytesU64(time.data);
    }
    return in->ok();
}

void WriteGetFileTimeReply(Writer *out, uint32_t lastError, bool ok, const FileTimes &times) {
    out->U32(lastError);
    out->U32(ok ? 1 : 0);
    for (int i = 0; i < 3; ++i) {
        if (!times.present[i]) continue;
        if (!ok) {
            out->OptionalNoValue(kFileTimeBytes);
            continue;
        }
        uint8_t bytes[8];
        for (int b = 0; b < 8; ++b) bytes[b] = static_cast<uint8_t>(times.value[i] >> (8 * b));
        out->OptionalValue(bytes, sizeof bytes);
    }
}

bool ReadGetFileTimeReply(Reader *in, uint32_t *lastError, bool *ok, FileTimes *times) {
    *lastError = in->U32();
    *ok = in->U32() != 0;
    for (int i = 0; i < 3 && in->ok(); ++i) {
        if (!times->present[i]) continue;
        Optional time = in->OptionalArgument();
        if (!time.present || !time.hasValue) continue;
        if (time.size != kFileTimeBytes) return in->Refuse("file time not 8 bytes");
        times->value[i] = BytesU64(time.data);
    }
    return in->ok();
}

namespace {

const size_t kInfoStringsAt = 0x24;
const size_t kInfoStringUnits = 64;  // each string, terminator included, at most

void PutU16At(std::vector<uint8_t> *bytes, size_t at, uint16_t value) {
    (*bytes)[at] = static_cast<uint8_t>(value);
    (*bytes)[at + 1] = static_cast<uint8_t>(value >> 8);
}

void PutU32At(std::vector<uint8_t> *bytes, size_t at, uint32_t value) {
    StoreU32(&(*bytes)[at], value);
}

// The NUL-terminated UTF-16 string at `offset`, or false.
bool InfoString(const uint8_t *block, size_t size, uint32_t offset, std::wstring *text) {
    text->clear();
    // `at < size` first: a 32-bit size_t would wrap `offset + 1` to 0.
    for (size_t at = offset; offset >= kInfoStringsAt && at < size && size - at >= 2; at += 2) {
        wchar_t unit = static_cast<wchar_t>(block[at] | (block[at + 1] << 8));
        if (unit == 0) return true;
        *text += unit;
    }
    return false;
}

}  // namespace

std::vector<uint8_t> InfoBlock(const DeviceInfo &info) {
    std::vector<uint8_t> block(kInfoStringsAt, 0);
    block[4] = info.major;
    block[5] = info.minor;
    PutU16At(&block, 6, info.build);
    PutU16At(&block, 8, info.processor);
    PutU32At(&block, 0x10, info.partner1);
    PutU32At(&block, 0x14, info.partner2);
    const std::wstring *strings[3] = {&info.name, &info.platform, &info.model};
    for (int i = 0; i < 3; ++i) {
        PutU32At(&block, 0x18 + 4 * i, static_cast<uint32_t>(block.size()));
        std::wstring text = strings[i]->substr(0, kInfoStringUnits - 1);
        for (wchar_t unit : text) {
            block.push_back(static_cast<uint8_t>(unit));
            block.push_back(static_cast<uint8_t>(unit >> 8));
        }
        block.push_back(0);
        block.push_back(0);
    }
    return block;
}

bool ParseInfoBlock(const uint8_t *block, size_t size, DeviceInfo *info) {
    if (size < kInfoBlockMinBytes) return false;
    info->major = block[4];
    info->minor = block[5];
    info->build = static_cast<uint16_t>(block[6] | (block[7] << 8));
    info->processor = static_cast<uint16_t>(block[8] | (block[9] << 8));
    info->partner1 = BytesU32(block + 0x10);
    info->partner2 = BytesU32(block + 0x14);
    return InfoString(block, size, BytesU32(block + 0x18), &info->name) &&
           InfoString(block, size, BytesU32(block + 0x1c), &info->platform) &&
           InfoString(block, size, BytesU32(block + 0x20), &info->model);
}

std::vector<uint8_t> EncodePassword(const std::wstring &password, uint8_t key) {
    std::vector<uint8_t> bytes;
    for (wchar_t unit : password + L'\0') {
        bytes.push_back(static_cast<uint8_t>(unit) ^ key);
        bytes.push_back(static_cast<uint8_t>(unit >> 8) ^ key);
    }
    return bytes;
}

}  // namespace rapi1
