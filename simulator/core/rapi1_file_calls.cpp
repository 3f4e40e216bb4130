// The file calls of the remote API v1 as the simulated device answers them:
// searches, attributes, opening, reading, writing and closing files,
// folders, moving and deleting, sizes, positions and file times.

#include <algorithm>

#include "core/device_path.h"
#include "core/rapi1_call.h"

namespace {

// The largest reply a call may build; leaves room for its fixed fields.
const size_t kReplyRoom = rapi1::kMaxFrameBytes - 4096;

}  // namespace

rapi1::FindData Rapi1Call::FindDataOf(const Device::FoundEntry &entry) {
    rapi1::FindData data;
    data.attributes = entry.item.attributes;
    data.creation = entry.item.creation;
    data.access = entry.item.access;
    data.write = entry.item.write;
    data.size = entry.item.size;
    data.oid = entry.oid;
    data.name = entry.name;
    return data;
}

Device::Outcome Rapi1Call::FindFirstFile() {
    bool present = false;
    std::wstring pattern = in_.String(&present);
    if (!Complete()) return Malformed();
    Device::FoundEntry entry;
    uint32_t id = 0;
    Result result = present ? d_.DoFindFirstFile(session_, pattern, &id, &entry) : Refused();
    Head(result);
    out_.U32(result.ok ? id : rapi1::kInvalidHandle);
    rapi1::WriteFindData(&out_, FindDataOf(entry));
    Log("CeFindFirstFile " + Quoted(pattern) + " -> " + result.note);
    return Outcome::kAnswer;
}

Device::Outcome Rapi1Call::FindNextFile() {
    uint32_t id = in_.U32();
    if (!Complete()) return Malformed();
    Device::FoundEntry entry;
    std::string name = HandleName(id);
    Result result = d_.DoFindNextFile(session_, id, &entry);
    Head(result);
    out_.U32(result.ok);
    rapi1::WriteFindData(&out_, FindDataOf(entry));
    Log("CeFindNextFile " + name + " -> " + result.note);
    return Outcome::kAnswer;
}

Device::Outcome Rapi1Call::FindClose() {
    uint32_t id = in_.U32();
    if (!Complete()) return Malformed();
    DWORD error = 0;
    bool ok = d_.FindHandle(session_, id, Device::Kind::kSearch, &error) != nullptr;
    if (ok) d_.CloseHandleLocked(id);
    Result result = ok ? Device::Done("ok") : Device::Fail(error);
    Head(result);
    out_.U32(result.ok);
    Log("CeFindClose " + Hex(id) + " -> " + result.note);
    return Outcome::kAnswer;
}

Device::Outcome Rapi1Call::GetFileAttributes() {
    bool present = false;
    std::wstring path = in_.String(&present);
    if (!Complete()) return Malformed();
    DWORD attributes = INVALID_FILE_ATTRIBUTES;
    Result result = present ? d_.DoGetFileAttributes(path, &attributes) : Refused();
    Head(result);
    out_.U32(result.ok ? attributes : INVALID_FILE_ATTRIBUTES);
    Log("CeGetFileAttributes " + Quoted(path) + " -> " + result.note);
    return Outcome::kAnswer;
}

Device::Outcome Rapi1Call::SetFileAttributes() {
    uint32_t attributes = in_.U32();
    bool present = false;
    std::wstring path = in_.String(&present);
    if (!Complete()) return Malformed();
    Result result = present ? d_.DoSetFileAttributes(path, attributes) : Refused();
    Head(result);
    out_.U32(result.ok);
    Log("CeSetFileAttributes " + Quoted(path) + " " + Hex(attributes) + " -> " + result.note);
    return Outcome::kAnswer;
}

Device::Outcome Rapi1Call::CreateFile() {
    uint32_t access = in_.U32();
    uint32_t share = in_.U32();
    uint32_t disposition = in_.U32();
    uint32_t flags = in_.U32();
    in_.U32();  // template file: ignored, as the device itself ignores it
    bool present = false;
    std::wstring path = in_.String(&present);
    if (!Complete()) return Malformed();
    uint32_t id = 0;
    Result result = present ? d_.DoCreateFile(session_, path, access, share, disposition, flags, &id) : Refused();
    Head(result);
    out_.U32(result.ok ? id : rapi1::kInvalidHandle);
    Log("CeCreateFile " + Quoted(path) + " access " + Hex(access) + " share " + Hex(share) + " disposition " +
        std::to_string(disposition) + " -> " + result.note);
    return Outcome::kAnswer;
}

Device::Outcome Rapi1Call::ReadFile() {
    uint32_t id = in_.U32();
    rapi1::Optional buffer = in_.OptionalArgument();
    rapi1::Optional overlapped = in_.InBuffer();
    if (!Complete()) return Malformed();
    std::vector<uint8_t> data;
    std::string name = HandleName(id);
    // The device reads at most what one reply frame can carry; a shorter
    // read is an ordinary answer the caller continues from.
    uint32_t count = static_cast<uint32_t>(std::min<size_t>(buffer.size, kReplyRoom));
    Result result = buffer.present && !overlapped.present ? d_.DoReadFile(session_, id, count, &data) : Refused();
    Head(result);
    out_.U32(result.ok);
    out_.U32(static_cast<uint32_t>(data.size()));
    out_.Raw(data.data(), data.size());
    Log("CeReadFile " + name + " " + std::to_string(buffer.size) + " bytes -> " + result.note);
    return Outcome::kAnswer;
}

Device::Outcome Rapi1Call::WriteFile() {
    uint32_t id = in_.U32();
    rapi1::Optional data = in_.InBuffer();
    rapi1::Optional overlapped = in_.InBuffer();
    if (!Complete()) return Malformed();
    uint32_t written = 0;
    bool drop = false;
    std::string name = HandleName(id);
    Result result = data.present && !overlapped.present
                        ? d_.DoWriteFile(session_, id, data.data, data.size, &written, &drop)
                        : Refused();
    Log("CeWriteFile " + name + " " + std::to_string(data.size) + " bytes -> " + result.note);
    if (drop) return Outcome::kDrop;
    Head(result);
    out_.U32(result.ok);
    out_.U32(written);
    return Outcome::kAnswer;
}

Device::Outcome Rapi1Call::CloseHandle() {
    uint32_t id = in_.U32();
    if (!Complete()) return Malformed();
    std::string name = HandleName(id);
    Result result = d_.DoCloseHandle(session_, id);
    Head(result);
    out_.U32(result.ok);
    Log("CeCloseHandle " + name + " -> " + result.note);
    return Outcome::kAnswer;
}

Device::Outcome Rapi1Call::FindAllFiles() {
    bool present = false;
    std::wstring pattern = in_.String(&present);
    uint32_t flags = in_.U32();
    if (!Complete()) return Malformed();
    std::vector<Device::FoundEntry> entries;
    Result result = present ? d_.DoFindAllFiles(pattern, flags, &entries) : Refused();
    // No last error here: the count follows result_1 at once.
    out_.Succeeded();
    size_t countAt = out_.Size();
    out_.U32(0);
    uint32_t sent = 0;
    rapi1::Writer entry;
    for (const Device::FoundEntry &found : entries) {
        entry.Clear();
        rapi1::WriteFindAllEntry(&entry, flags, FindDataOf(found));
        if (out_.Size() + entry.Size() > kReplyRoom) break;
        out_.Raw(entry.Body().data(), entry.Size());
        ++sent;
    }
    out_.PatchU32(countAt, sent);
    std::string note = result.ok ? std::to_string(sent) + " sent" : result.note;
    if (sent < entries.size()) note += " (of " + std::to_string(entries.size()) + ": the rest exceed one reply)";
    Log("CeFindAllFiles " + Quoted(pattern) + " flags " + Hex(flags) + " -> " + note);
    return Outcome::kAnswer;
}

Device::Outcome Rapi1Call::SetFilePointer() {
    uint32_t id = in_.U32();
    uint32_t low = in_.U32();
    uint32_t high = in_.U32();
    uint32_t method = in_.U32();
    if (!Complete()) return Malformed();
    // A caller without a high part sends 0 and means a signed 32-bit
    // distance; a store this small never needs positive distances of 2 GB.
    int64_t distance = high == 0 ? static_cast<int64_t>(static_cast<int32_t>(low))
                                 : static_cast<int64_t>((static_cast<uint64_t>(high) << 32) | low);
    int64_t position = 0;
    std::string name = HandleName(id);
    Result result = d_.DoSetFilePointer(session_, id, distance, method, &position);
    Head(result);
    out_.U32(result.ok ? static_cast<uint32_t>(position) : 0xFFFFFFFFu);
    Log("CeSetFilePointer " + name + " " + std::to_string(distance) + " method " + std::to_string(method) +
        " -> " + result.note);
    return Outcome::kAnswer;
}

Device::Outcome Rapi1Call::PathCall(const char *verb, Result (Device::*operation)(const std::wstring &)) {
    bool present = false;
    std::wstring path = in_.OptionalString(&present);
    if (operation == &Device::DoCreateDirectory) in_.InBuffer();  // security attributes: ignored
    if (!Complete()) return Malformed();
    Result result = present ? (d_.*operation)(path) : Refused();
    Head(result);
    out_.U32(result.ok);
    Log(std::string(verb) + " " + Quoted(path) + " -> " + result.note);
    return Outcome::kAnswer;
}

Device::Outcome Rapi1Call::CreateDirectory() { return PathCall("CeCreateDirectory", &Device::DoCreateDirectory); }
Device::Outcome Rapi1Call::RemoveDirectory() { return PathCall("CeRemoveDirectory", &Device::DoRemoveDirectory); }
Device::Outcome Rapi1Call::DeleteFile() { return PathCall("CeDeleteFile", &Device::DoDeleteFile); }

Device::Outcome Rapi1Call::MoveFile() {
    bool hasSource = false, hasTarget = false;
    std::wstring source = in_.OptionalString(&hasSource);
    std::wstring target = in_.OptionalString(&hasTarget);
    if (!Complete()) return Malformed();
    Result result = hasSource && hasTarget ? d_.DoMoveFile(source, target) : Refused();
    Head(result);
    out_.U32(result.ok);
    Log("CeMoveFile " + Quoted(source) + " to " + Quoted(target) + " -> " + result.note);
    return Outcome::kAnswer;
}

Device::Outcome Rapi1Call::GetFileSize() {
    uint32_t id = in_.U32();
    rapi1::Optional high = in_.OptionalArgument();
    if (!Complete()) return Malformed();
    uint64_t size = 0;
    std::string name = HandleName(id);
    Result result = d_.DoGetFileSize(session_, id, &size);
    Head(result);
    out_.U32(result.ok ? static_cast<uint32_t>(size) : rapi1::kInvalidFileSize);
    if (!high.present) {
        out_.Absent();
    } else {
        uint8_t bytes[4];
        PutU32(bytes, static_cast<uint32_t>(size >> 32));
        out_.OptionalValue(bytes, sizeof bytes);
    }
    Log("CeGetFileSize " + name + " -> " + result.note);
    return Outcome::kAnswer;
}

Device::Outcome Rapi1Call::GetFileTime() {
    uint32_t id = 0;
    rapi1::FileTimes times;
    if (!rapi1::ReadFileTimeRequest(&in_, false, &id, &times) || !Complete()) return Malformed();
    uint64_t values[3] = {0, 0, 0};
    std::string name = HandleName(id);
    Result result = d_.DoGetFileTime(session_, id, values);
    for (int i = 0; i < 3; ++i) times.value[i] = values[i];
    out_.Succeeded();
    rapi1::WriteGetFileTimeReply(&out_, result.lastError == wire::kErrorUnchanged ? 0 : result.lastError, result.ok,
                                 times);
    Log("CeGetFileTime " + name + " -> " + result.note);
    return Outcome::kAnswer;
}

Device::Outcome Rapi1Call::SetFileTime() {
    uint32_t id = 0;
    rapi1::FileTimes times;
    if (!rapi1::ReadFileTimeRequest(&in_, true, &id, &times) || !Complete()) return Malformed();
    uint32_t which = (times.present[0] ? 1 : 0) | (times.present[1] ? 2 : 0) | (times.present[2] ? 4 : 0);
    std::string name = HandleName(id);
    Result result = d_.DoSetFileTime(session_, id, which, times.value);
    Head(result);
    out_.U32(result.ok);
    Log("CeSetFileTime " + name + " -> " + result.note);
    return Outcome::kAnswer;
}
