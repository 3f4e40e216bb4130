// The file calls of the remote API v1 as the simulated device answers them:
// searches, attributes, opening, reading, writing and closing files,
// folders, moving and deleting, sizes, positions and file times.

#include <algorithm>

#include "serve/device_records.h"
#include "serve/rapi1_call.h"

// CeFindAllFiles' flags that leave entries out are the model's own listing
// flags; the pipe carries the same values.
static_assert(rapi1::kFafAttribChildren == Device::kListFoldersWithChildren, "the same flag");
static_assert(rapi1::kFafAttribNoHidden == Device::kListNoHidden, "the same flag");
static_assert(rapi1::kFafFoldersOnly == Device::kListFoldersOnly, "the same flag");
static_assert(rapi1::kFafNoHiddenSysRomModules == Device::kListNoRomModules, "the same flag");

namespace {

// The largest reply a call may build; leaves room for its fixed fields.
const size_t kReplyRoom = rapi1::kMaxFrameBytes - 4096;

}  // namespace

ServeOutcome Rapi1Call::AnswerFindFirstFile() {
    bool present = false;
    std::wstring pattern = in_.String(&present);
    if (!Complete()) return Malformed();
    Device::FoundEntry entry;
    uint32_t id = 0;
    Result result = present ? d_.DoFindFirstFile(session_, pattern, &id, &entry) : Refused();
    Head(result);
    out_.U32(result.ok ? id : rapi1::kInvalidHandle);
    rapi1::WriteFindData(&out_, FindDataOf(entry));
    LogLine("CeFindFirstFile " + Quoted(pattern) + " -> " + result.note);
    return ServeOutcome::kAnswer;
}

ServeOutcome Rapi1Call::AnswerFindNextFile() {
    uint32_t id = in_.U32();
    if (!Complete()) return Malformed();
    Device::FoundEntry entry;
    std::string name = HandleName(id);
    Result result = d_.DoFindNextFile(session_, id, &entry);
    Head(result);
    out_.U32(result.ok);
    rapi1::WriteFindData(&out_, FindDataOf(entry));
    LogLine("CeFindNextFile " + name + " -> " + result.note);
    return ServeOutcome::kAnswer;
}

ServeOutcome Rapi1Call::AnswerFindClose() {
    uint32_t id = in_.U32();
    if (!Complete()) return Malformed();
    Result result = d_.DoFindClose(session_, id);
    Head(result);
    out_.U32(result.ok);
    LogLine("CeFindClose " + Hex(id) + " -> " + result.note);
    return ServeOutcome::kAnswer;
}

ServeOutcome Rapi1Call::AnswerGetFileAttributes() {
    bool present = false;
    std::wstring path = in_.String(&present);
    if (!Complete()) return Malformed();
    DWORD attributes = INVALID_FILE_ATTRIBUTES;
    Result result = present ? d_.DoGetFileAttributes(path, &attributes) : Refused();
    Head(result);
    out_.U32(result.ok ? attributes : INVALID_FILE_ATTRIBUTES);
    LogLine("CeGetFileAttributes " + Quoted(path) + " -> " + result.note);
    return ServeOutcome::kAnswer;
}

ServeOutcome Rapi1Call::AnswerSetFileAttributes() {
    uint32_t attributes = in_.U32();
    bool present = false;
    std::wstring path = in_.String(&present);
    if (!Complete()) return Malformed();
    Result result = present ? d_.DoSetFileAttributes(path, attributes) : Refused();
    Head(result);
    out_.U32(result.ok);
    LogLine("CeSetFileAttributes " + Quoted(path) + " " + Hex(attributes) + " -> " + result.note);
    return ServeOutcome::kAnswer;
}

ServeOutcome Rapi1Call::AnswerCreateFile() {
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
    LogLine("CeCreateFile " + Quoted(path) + " access " + Hex(access) + " share " + Hex(share) + " disposition " +
        std::to_string(disposition) + " -> " + result.note);
    return ServeOutcome::kAnswer;
}

ServeOutcome Rapi1Call::AnswerReadFile() {
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
    LogLine("CeReadFile " + name + " " + std::to_string(buffer.size) + " bytes -> " + result.note);
    return ServeOutcome::kAnswer;
}

ServeOutcome Rapi1Call::AnswerWriteFile() {
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
    LogLine("CeWriteFile " + name + " " + std::to_string(data.size) + " bytes -> " + result.note);
    if (drop) return ServeOutcome::kDrop;
    Head(result);
    out_.U32(result.ok);
    out_.U32(written);
    return ServeOutcome::kAnswer;
}

ServeOutcome Rapi1Call::AnswerCloseHandle() {
    uint32_t id = in_.U32();
    if (!Complete()) return Malformed();
    std::string name = HandleName(id);
    Result result = d_.DoCloseHandle(session_, id);
    Head(result);
    out_.U32(result.ok);
    LogLine("CeCloseHandle " + name + " -> " + result.note);
    return ServeOutcome::kAnswer;
}

ServeOutcome Rapi1Call::AnswerFindAllFiles() {
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
    LogLine("CeFindAllFiles " + Quoted(pattern) + " flags " + Hex(flags) + " -> " + note);
    return ServeOutcome::kAnswer;
}

ServeOutcome Rapi1Call::AnswerSetFilePointer() {
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
    LogLine("CeSetFilePointer " + name + " " + std::to_string(distance) + " method " + std::to_string(method) +
        " -> " + result.note);
    return ServeOutcome::kAnswer;
}

ServeOutcome Rapi1Call::PathCall(const char *verb, Result (Device::*operation)(const std::wstring &)) {
    bool present = false;
    std::wstring path = in_.OptionalString(&present);
    if (operation == &Device::DoCreateDirectory) in_.InBuffer();  // security attributes: ignored
    if (!Complete()) return Malformed();
    Result result = present ? (d_.*operation)(path) : Refused();
    Head(result);
    out_.U32(result.ok);
    LogLine(std::string(verb) + " " + Quoted(path) + " -> " + result.note);
    return ServeOutcome::kAnswer;
}

ServeOutcome Rapi1Call::AnswerCreateDirectory() { return PathCall("CeCreateDirectory", &Device::DoCreateDirectory); }
ServeOutcome Rapi1Call::AnswerRemoveDirectory() { return PathCall("CeRemoveDirectory", &Device::DoRemoveDirectory); }
ServeOutcome Rapi1Call::AnswerDeleteFile() { return PathCall("CeDeleteFile", &Device::DoDeleteFile); }

ServeOutcome Rapi1Call::AnswerMoveFile() {
    bool hasSource = false, hasTarget = false;
    std::wstring source = in_.OptionalString(&hasSource);
    std::wstring target = in_.OptionalString(&hasTarget);
    if (!Complete()) return Malformed();
    Result result = hasSource && hasTarget ? d_.DoMoveFile(source, target) : Refused();
    Head(result);
    out_.U32(result.ok);
    LogLine("CeMoveFile " + Quoted(source) + " to " + Quoted(target) + " -> " + result.note);
    return ServeOutcome::kAnswer;
}

ServeOutcome Rapi1Call::AnswerGetFileSize() {
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
    LogLine("CeGetFileSize " + name + " -> " + result.note);
    return ServeOutcome::kAnswer;
}

ServeOutcome Rapi1Call::AnswerGetFileTime() {
    uint32_t id = 0;
    rapi1::FileTimes times;
    if (!rapi1::ReadFileTimeRequest(&in_, false, &id, &times) || !Complete()) return Malformed();
    uint64_t values[3] = {0, 0, 0};
    std::string name = HandleName(id);
    Result result = d_.DoGetFileTime(session_, id, values);
    for (int i = 0; i < 3; ++i) times.value[i] = values[i];
    out_.Succeeded();
    rapi1::WriteGetFileTimeReply(&out_, LastErrorOf(result), result.ok,
                                 times);
    LogLine("CeGetFileTime " + name + " -> " + result.note);
    return ServeOutcome::kAnswer;
}

ServeOutcome Rapi1Call::AnswerSetFileTime() {
    uint32_t id = 0;
    rapi1::FileTimes times;
    if (!rapi1::ReadFileTimeRequest(&in_, true, &id, &times) || !Complete()) return Malformed();
    uint32_t which = (times.present[0] ? 1 : 0) | (times.present[1] ? 2 : 0) | (times.present[2] ? 4 : 0);
    std::string name = HandleName(id);
    Result result = d_.DoSetFileTime(session_, id, which, times.value);
    Head(result);
    out_.U32(result.ok);
    LogLine("CeSetFileTime " + name + " -> " + result.note);
    return ServeOutcome::kAnswer;
}
