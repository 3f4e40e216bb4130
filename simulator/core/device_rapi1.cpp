// Answering the remote API as a networked Windows CE device does (RAPI v1,
// see rapi1.h): decode a request, run the same device operations the pipe
// runs, write one log line, encode the reply in the device's own layout.
// Results and error codes therefore never depend on the transport.
//
// A request that does not decode exactly (cut short, bytes left over, a
// string without its terminator, a size past the frame) is refused and its
// session closed before anything touches the image. An unknown command is
// answered with result_1 = 1 and E_NOTIMPL, and the session goes on.
#include <stdio.h>

#include <algorithm>

#include "core/device.h"
#include "core/device_path.h"
#include "core/profiles.h"
#include "core/text_util.h"
#include "protocol/rapi1.h"

namespace {

void PutU16(uint8_t *at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

void PutU32(uint8_t *at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t Clamp32(uint64_t value) { return value > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(value); }

// The largest reply a call may build; leaves room for its fixed fields.
const size_t kReplyRoom = rapi1::kMaxFrameBytes - 4096;

const DWORD kAttributeInRom = 0x40;  // FILE_ATTRIBUTE_INROM of Windows CE

// Registry calls report through their result, not the last error.
const uint32_t kNoLastError = 0;

}  // namespace

// One request of one session, the device's lock held.
class Rapi1Call {
public:
    using Outcome = Device::Outcome;
    using Result = Device::Result;

    Rapi1Call(Device &device, uint32_t session, rapi1::Reader &in, rapi1::Writer &out)
        : d_(device), session_(session), in_(in), out_(out), prefix_("[" + std::to_string(session) + "] ") {}

    Outcome Run(uint32_t command, bool *trailer);

private:
    struct Entry {
        uint32_t command;
        const char *name;
        Outcome (Rapi1Call::*serve)();
    };
    static const Entry kCalls[];

    Outcome FindFirstFile();
    Outcome FindNextFile();
    Outcome FindClose();
    Outcome GetFileAttributes();
    Outcome SetFileAttributes();
    Outcome CreateFile();
    Outcome ReadFile();
    Outcome WriteFile();
    Outcome CloseHandle();
    Outcome FindAllFiles();
    Outcome SetFilePointer();
    Outcome CreateDirectory();
    Outcome RemoveDirectory();
    Outcome CreateProcess();
    Outcome MoveFile();
    Outcome DeleteFile();
    Outcome GetFileSize();
    Outcome RegOpenKeyEx();
    Outcome RegCloseKey();
    Outcome RegQueryValueEx();
    Outcome GetSystemMemoryDivision();
    Outcome GetStoreInformation();
    Outcome GetSystemInfo();
    Outcome SHCreateShortcut();
    Outcome GetFileTime();
    Outcome SetFileTime();
    Outcome GetVersionEx();
    Outcome GetSystemPowerStatusEx();
    Outcome GetSpecialFolderPath();
    Outcome RapiInvoke();

    // The request read to its last byte; otherwise the session is closed.
    bool Complete() { return in_.Exhausted(); }
    Outcome Malformed() {
        const char *problem = in_.ok() ? "bytes left over" : in_.Problem();
        Log(std::string(name_) + ": malformed request (" + problem + "): session closed");
        return Outcome::kDrop;
    }
    void Log(const std::string &line) { d_.Log(prefix_ + line); }
    // The head of every answered call: result_1 = 0, then the last error
    // the call leaves (0 when it leaves none).
    void Head(const Result &result) {
        out_.Succeeded();
        out_.U32(result.lastError == wire::kErrorUnchanged ? 0 : result.lastError);
    }
    // A call made with a pointer the device needs but was not given.
    static Result Refused() { return Device::Fail(ERROR_INVALID_PARAMETER); }
    std::string HandleName(uint32_t id) const {
        auto found = d_.handles_.find(id);
        return found == d_.handles_.end() ? Hex(id) : Quoted(found->second.path);
    }
    static rapi1::FindData FindDataOf(const Device::FoundEntry &entry);
    // A path given as an optional string; absent, the call is refused.
    Outcome PathCall(const char *verb, Result (Device::*operation)(const std::wstring &));

    Device &d_;
    uint32_t session_;
    rapi1::Reader &in_;
    rapi1::Writer &out_;
    std::string prefix_;
    const char *name_ = "";
    bool trailer_ = false;
};

const Rapi1Call::Entry Rapi1Call::kCalls[] = {
    {rapi1::kFindFirstFile, "CeFindFirstFile", &Rapi1Call::FindFirstFile},
    {rapi1::kFindNextFile, "CeFindNextFile", &Rapi1Call::FindNextFile},
    {rapi1::kFindClose, "CeFindClose", &Rapi1Call::FindClose},
    {rapi1::kGetFileAttributes, "CeGetFileAttributes", &Rapi1Call::GetFileAttributes},
    {rapi1::kSetFileAttributes, "CeSetFileAttributes", &Rapi1Call::SetFileAttributes},
    {rapi1::kCreateFile, "CeCreateFile", &Rapi1Call::CreateFile},
    {rapi1::kReadFile, "CeReadFile", &Rapi1Call::ReadFile},
    {rapi1::kWriteFile, "CeWriteFile", &Rapi1Call::WriteFile},
    {rapi1::kCloseHandle, "CeCloseHandle", &Rapi1Call::CloseHandle},
    {rapi1::kFindAllFiles, "CeFindAllFiles", &Rapi1Call::FindAllFiles},
    {rapi1::kSetFilePointer, "CeSetFilePointer", &Rapi1Call::SetFilePointer},
    {rapi1::kCreateDirectory, "CeCreateDirectory", &Rapi1Call::CreateDirectory},
    {rapi1::kRemoveDirectory, "CeRemoveDirectory", &Rapi1Call::RemoveDirectory},
    {rapi1::kCreateProcess, "CeCreateProcess", &Rapi1Call::CreateProcess},
    {rapi1::kMoveFile, "CeMoveFile", &Rapi1Call::MoveFile},
    {rapi1::kDeleteFile, "CeDeleteFile", &Rapi1Call::DeleteFile},
    {rapi1::kGetFileSize, "CeGetFileSize", &Rapi1Call::GetFileSize},
    {rapi1::kRegOpenKeyEx, "CeRegOpenKeyEx", &Rapi1Call::RegOpenKeyEx},
    {rapi1::kRegCloseKey, "CeRegCloseKey", &Rapi1Call::RegCloseKey},
    {rapi1::kRegQueryValueEx, "CeRegQueryValueEx", &Rapi1Call::RegQueryValueEx},
    {rapi1::kGetSystemMemoryDivision, "CeGetSystemMemoryDivision", &Rapi1Call::GetSystemMemoryDivision},
    {rapi1::kGetStoreInformation, "CeGetStoreInformation", &Rapi1Call::GetStoreInformation},
    {rapi1::kGetSystemInfo, "CeGetSystemInfo", &Rapi1Call::GetSystemInfo},
    {rapi1::kSHCreateShortcut, "CeSHCreateShortcut", &Rapi1Call::SHCreateShortcut},
    {rapi1::kGetFileTime, "CeGetFileTime", &Rapi1Call::GetFileTime},
    {rapi1::kSetFileTime, "CeSetFileTime", &Rapi1Call::SetFileTime},
    {rapi1::kGetVersionEx, "CeGetVersionEx", &Rapi1Call::GetVersionEx},
    {rapi1::kGetSystemPowerStatusEx, "CeGetSystemPowerStatusEx", &Rapi1Call::GetSystemPowerStatusEx},
    {rapi1::kGetSpecialFolderPath, "CeGetSpecialFolderPath", &Rapi1Call::GetSpecialFolderPath},
    {rapi1::kRapiInvoke, "CeRapiInvoke", &Rapi1Call::RapiInvoke},
};

Device::Outcome Rapi1Call::Run(uint32_t command, bool *trailer) {
    for (const Entry &entry : kCalls) {
        if (entry.command != command) continue;
        name_ = entry.name;
        if (d_.DropPlanned(prefix_)) return Outcome::kDrop;
        Outcome outcome = (this->*entry.serve)();
        *trailer = trailer_;
        return outcome;
    }
    // Refused, not fatal: a client may probe for calls this device lacks.
    out_.Failed(rapi1::kENotImpl);
    Log("unknown command " + Hex(command) + " (" + std::to_string(in_.Remaining()) +
        " bytes of arguments): refused with E_NOTIMPL");
    return Outcome::kAnswer;
}

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
    Result result = present ? d_.DoFindAllFiles(pattern, &entries) : Refused();
    std::wstring folder, ignored, canonical;
    if (NormalizeDevicePath(pattern, true, &canonical) == 0) SplitDevicePath(canonical, &folder, &ignored);
    auto excluded = [&](const Device::FoundEntry &entry) {
        DWORD attributes = entry.item.attributes;
        bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if ((flags & rapi1::kFafFoldersOnly) && !directory) return true;
        if ((flags & rapi1::kFafAttribNoHidden) && (attributes & FILE_ATTRIBUTE_HIDDEN)) return true;
        if ((flags & rapi1::kFafNoHiddenSysRomModules) && (attributes & kAttributeInRom)) return true;
        if (flags & rapi1::kFafAttribChildren) {
            return !directory || d_.ListFolder(JoinDevicePath(folder, entry.name), L"*").empty();
        }
        return false;
    };
    entries.erase(std::remove_if(entries.begin(), entries.end(), excluded), entries.end());
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

Device::Outcome Rapi1Call::SHCreateShortcut() {
    bool hasShortcut = false, hasTarget = false;
    std::wstring shortcut = in_.OptionalString(&hasShortcut);
    std::wstring target = in_.OptionalString(&hasTarget);
    if (!Complete()) return Malformed();
    Result result = hasShortcut && hasTarget ? d_.DoCreateShortcut(shortcut, target) : Refused();
    Head(result);
    out_.U32(result.ok);
    Log("CeSHCreateShortcut " + Quoted(shortcut) + " -> " + result.note);
    return Outcome::kAnswer;
}

// PROCESS_INFORMATION as the caller receives it: process and thread
// handles, then their ids.
Device::Outcome Rapi1Call::CreateProcess() {
    bool hasImage = false, hasCommandLine = false;
    std::wstring image = in_.OptionalString(&hasImage);
    std::wstring commandLine = in_.OptionalString(&hasCommandLine);
    for (int i = 0; i < 7; ++i) in_.U32();  // attributes, inheritance, flags, environment, folder, start-up
    rapi1::Optional information = in_.OptionalArgument();
    if (!Complete()) return Malformed();
    Device::Started started;
    Result result = hasImage ? d_.DoCreateProcess(session_, image, &started) : Refused();
    Head(result);
    out_.U32(result.ok);
    if (!information.present) {
        // Nobody takes the handles: they are not left open in the session.
        if (result.ok) {
            d_.CloseHandleLocked(started.process);
            d_.CloseHandleLocked(started.thread);
        }
        out_.Absent();
    } else if (!result.ok) {
        out_.OptionalNoValue(rapi1::kProcessInformationBytes);
    } else {
        uint8_t bytes[rapi1::kProcessInformationBytes] = {};
        PutU32(bytes, started.process);
        PutU32(bytes + 4, started.thread);
        PutU32(bytes + 8, started.processId);
        PutU32(bytes + 12, started.threadId);
        out_.OptionalValue(bytes, sizeof bytes);
    }
    Log("CeCreateProcess " + Quoted(image) + (commandLine.empty() ? "" : " " + Quoted(commandLine)) + " -> " +
        result.note);
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

Device::Outcome Rapi1Call::RegOpenKeyEx() {
    uint32_t root = in_.U32();
    bool present = false;
    std::wstring subKey = in_.String(&present);
    if (!Complete()) return Malformed();
    uint32_t key = 0;
    Result result = d_.DoRegOpenKey(session_, root, subKey, &key);
    out_.Succeeded();
    out_.U32(kNoLastError);
    out_.U32(result.ok ? ERROR_SUCCESS : result.lastError);
    if (result.ok) out_.U32(key);
    Log("CeRegOpenKeyEx " + Hex(root) + " " + Quoted(subKey) + " -> " + result.note);
    return Outcome::kAnswer;
}

Device::Outcome Rapi1Call::RegCloseKey() {
    uint32_t key = in_.U32();
    if (!Complete()) return Malformed();
    DWORD error = 0;
    bool ok = d_.FindHandle(session_, key, Device::Kind::kKey, &error) != nullptr;
    if (ok) d_.CloseHandleLocked(key);
    out_.Succeeded();
    out_.U32(kNoLastError);
    out_.U32(ok ? ERROR_SUCCESS : error);
    Log("CeRegCloseKey " + Hex(key) + " -> " + (ok ? std::string("ok") : "error " + std::to_string(error)));
    return Outcome::kAnswer;
}

// Type, data and size go back only for the pointers the caller gave; the
// data's room is the smaller of the buffer sent and the size it states.
Device::Outcome Rapi1Call::RegQueryValueEx() {
    uint32_t key = in_.U32();
    bool hasName = false;
    std::wstring name = in_.OptionalString(&hasName);
    in_.OptionalArgument();  // reserved
    rapi1::Optional type = in_.OptionalArgument();
    rapi1::Optional data = in_.OptionalArgument();
    rapi1::Optional size = in_.OptionalArgument();
    if (!Complete()) return Malformed();
    uint32_t room = data.size;
    if (size.present && size.hasValue && size.size == 4) {
        room = std::min(room, static_cast<uint32_t>(size.data[0] | (size.data[1] << 8) | (size.data[2] << 16) |
                                                    (static_cast<uint32_t>(size.data[3]) << 24)));
    }
    DWORD valueType = 0;
    uint32_t valueSize = 0;
    std::vector<uint8_t> value;
    Result result = data.present && !size.present
                        ? Refused()  // data without its size, as Windows refuses it
                        : d_.DoRegQueryValue(session_, key, name, data.present, room, &valueType, &value, &valueSize);
    out_.Succeeded();
    out_.U32(kNoLastError);
    out_.U32(result.ok ? ERROR_SUCCESS : result.lastError);
    if (result.ok) {
        uint8_t bytes[4];
        PutU32(bytes, valueType);
        type.present ? out_.OptionalValue(bytes, 4) : out_.Absent();
        data.present ? out_.OptionalValue(value.data(), static_cast<uint32_t>(value.size())) : out_.Absent();
        PutU32(bytes, valueSize);
        size.present ? out_.OptionalValue(bytes, 4) : out_.Absent();
    }
    Log("CeRegQueryValueEx " + Quoted(name) + " -> " + result.note);
    return Outcome::kAnswer;
}

Device::Outcome Rapi1Call::GetSystemMemoryDivision() {
    rapi1::Optional asked[3];
    for (rapi1::Optional &one : asked) one = in_.OptionalArgument();
    if (!Complete()) return Malformed();
    const DeviceStatus &status = StatusOfProfile(d_.identity_.profile);
    const uint32_t values[3] = {status.storagePages, status.ramPages, status.pageSize};
    Result result = Device::Done(std::to_string(status.storagePages) + " store pages, " +
                                 std::to_string(status.ramPages) + " program pages of " +
                                 std::to_string(status.pageSize));
    Head(result);
    out_.U32(1);
    for (int i = 0; i < 3; ++i) {
        uint8_t bytes[4];
        PutU32(bytes, values[i]);
        asked[i].present ? out_.OptionalValue(bytes, 4) : out_.Absent();
    }
    Log(std::string("CeGetSystemMemoryDivision -> ") + result.note);
    return Outcome::kAnswer;
}

Device::Outcome Rapi1Call::GetStoreInformation() {
    rapi1::Optional information = in_.OptionalArgument();
    if (!Complete()) return Malformed();
    uint64_t size = 0, free = 0;
    Result result = information.present ? d_.DoGetStoreInformation(&size, &free) : Refused();
    Head(result);
    out_.U32(result.ok);
    if (!information.present) {
        out_.Absent();
    } else if (!result.ok) {
        out_.OptionalNoValue(rapi1::kStoreInformationBytes);
    } else {
        uint8_t bytes[rapi1::kStoreInformationBytes];
        PutU32(bytes, Clamp32(size));
        PutU32(bytes + 4, Clamp32(free));
        out_.OptionalValue(bytes, sizeof bytes);
    }
    Log("CeGetStoreInformation -> " + result.note);
    return Outcome::kAnswer;
}

// SYSTEM_INFO of a single-processor CE device; no return value follows
// the last error.
Device::Outcome Rapi1Call::GetSystemInfo() {
    rapi1::Optional information = in_.OptionalArgument();
    if (!Complete()) return Malformed();
    DWORD processor = d_.faults_.hasProcessor ? d_.faults_.processor : d_.identity_.processor;
    Head(Device::Done("ok"));
    if (information.present) {
        uint8_t bytes[rapi1::kSystemInfoBytes] = {};
        PutU16(bytes, ArchitectureOfProcessor(processor));
        PutU32(bytes + 4, 4096);         // page size
        PutU32(bytes + 8, 0x00010000);   // lowest application address
        PutU32(bytes + 12, 0x7FFFFFFF);  // highest application address
        PutU32(bytes + 16, 1);           // active processor mask
        PutU32(bytes + 20, 1);           // number of processors
        PutU32(bytes + 24, processor);
        PutU32(bytes + 28, 0x00010000);  // allocation granularity
        out_.OptionalValue(bytes, sizeof bytes);
    } else {
        out_.Absent();
    }
    Log("CeGetSystemInfo -> processor " + std::to_string(processor));
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

// CEOSVERSIONINFO: its size, major, minor, build, platform (3: CE), then
// an empty service-pack text of 128 units.
Device::Outcome Rapi1Call::GetVersionEx() {
    if (!Complete()) return Malformed();
    DWORD major = d_.faults_.hasVersion ? d_.faults_.major : d_.identity_.major;
    DWORD minor = d_.faults_.hasVersion ? d_.faults_.minor : d_.identity_.minor;
    Head(Device::Done("ok"));
    out_.U32(1);
    out_.U32(rapi1::kOsVersionInfoBytes);
    uint8_t bytes[rapi1::kOsVersionInfoBytes] = {};
    PutU32(bytes, rapi1::kOsVersionInfoBytes);
    PutU32(bytes + 4, major);
    PutU32(bytes + 8, minor);
    PutU32(bytes + 12, d_.identity_.build);
    PutU32(bytes + 16, 3);  // VER_PLATFORM_WIN32_CE
    out_.Raw(bytes, sizeof bytes);
    Log("CeGetVersionEx -> " + std::to_string(major) + "." + std::to_string(minor) + " build " +
        std::to_string(d_.identity_.build));
    return Outcome::kAnswer;
}

// SYSTEM_POWER_STATUS_EX of a docked device: on the cradle's power, the
// battery figures of its profile, life times unknown (0xFFFFFFFF).
Device::Outcome Rapi1Call::GetSystemPowerStatusEx() {
    rapi1::Optional status = in_.OptionalArgument();
    in_.U32();  // refresh: the figures are fixed
    if (!Complete()) return Malformed();
    const DeviceStatus &profile = StatusOfProfile(d_.identity_.profile);
    Result result = status.present ? Device::Done("battery " + std::to_string(profile.batteryPercent) + "%")
                                   : Refused();
    Head(result);
    out_.U32(result.ok);
    if (status.present) {
        uint8_t bytes[rapi1::kPowerStatusBytes] = {};
        bytes[0] = profile.acLineStatus;
        bytes[1] = profile.batteryFlag;
        bytes[2] = profile.batteryPercent;
        PutU32(bytes + 4, 0xFFFFFFFFu);
        PutU32(bytes + 8, 0xFFFFFFFFu);
        bytes[13] = 1;    // backup battery: high
        bytes[14] = 100;  // backup battery percent
        PutU32(bytes + 16, 0xFFFFFFFFu);
        PutU32(bytes + 20, 0xFFFFFFFFu);
        out_.OptionalValue(bytes, sizeof bytes);
    } else {
        out_.Absent();
    }
    Log("CeGetSystemPowerStatusEx -> " + result.note);
    return Outcome::kAnswer;
}

// The reply: last error, the path's length in characters, then the path
// and its terminator. The caller's buffer length comes in bytes.
Device::Outcome Rapi1Call::GetSpecialFolderPath() {
    int32_t folder = static_cast<int32_t>(in_.U32());
    uint32_t bufferBytes = in_.U32();
    if (!Complete()) return Malformed();
    std::wstring path;
    Result result = d_.DoGetSpecialFolder(folder, &path);
    if (result.ok && (path.size() + 1) * 2 > bufferBytes) result = Device::Fail(ERROR_INSUFFICIENT_BUFFER);
    if (!result.ok) path.clear();
    Head(result);
    out_.U32(static_cast<uint32_t>(path.size()));
    out_.Units(path);
    out_.U16(0);
    Log("CeGetSpecialFolderPath " + std::to_string(folder) + " -> " + result.note);
    return Outcome::kAnswer;
}

// Request: reserved, library, function, input size and bytes (no presence
// flag), then 1 when the caller wants a stream. Reply: result_1, last
// error, the function's result, output size and bytes; then a second,
// empty frame, which callers read and drop.
Device::Outcome Rapi1Call::RapiInvoke() {
    in_.U32();  // reserved
    bool hasLibrary = false, hasFunction = false;
    std::wstring library = in_.String(&hasLibrary);
    std::wstring function = in_.String(&hasFunction);
    uint32_t inputSize = in_.U32();
    const uint8_t *input = in_.Raw(inputSize);
    uint32_t stream = in_.U32();
    if (!Complete()) return Malformed();
    if (stream != 0) {
        out_.Failed(rapi1::kENotImpl);
        Log("CeRapiInvoke " + Quoted(library) + " " + Quoted(function) + " as a stream: refused with E_NOTIMPL");
        return Outcome::kAnswer;
    }
    int32_t returned = 0;
    std::vector<uint8_t> output;
    Result result;
    if (hasLibrary && hasFunction) {
        result = d_.DoInvoke(library, function, inputSize ? input : nullptr, inputSize, &returned, &output);
    } else {
        result = Refused();
        returned = ERROR_INVALID_PARAMETER;
    }
    out_.Succeeded();
    out_.U32(static_cast<uint32_t>(returned));  // as over the pipe: the result is also the last error
    out_.U32(static_cast<uint32_t>(returned));
    out_.U32(static_cast<uint32_t>(output.size()));
    out_.Raw(output.data(), output.size());
    trailer_ = true;
    Log("CeRapiInvoke " + Quoted(library) + " " + Quoted(function) + " -> " + result.note + ", returns " +
        std::to_string(returned));
    return Outcome::kAnswer;
}

Device::Outcome Device::ServeRapi1(uint32_t session, const uint8_t *body, size_t size, std::vector<uint8_t> *frames) {
    Outcome outcome = ServeRapi1Locked(session, body, size, frames);
    // The request and its answer cross the cable, as over the pipe.
    link_.Pace(4 + size + frames->size());
    return outcome;
}

Device::Outcome Device::ServeRapi1Locked(uint32_t session, const uint8_t *body, size_t size,
                                         std::vector<uint8_t> *frames) {
    std::lock_guard<std::mutex> lock(mutex_);
    frames->clear();
    // Programs asked to close end in their own time, between requests.
    EndClosedPrograms();
    rapi1::Reader in(body, size);
    rapi1::Writer out;
    uint32_t command = in.U32();
    if (!in.ok()) {
        Log("[" + std::to_string(session) + "] malformed request (" + std::to_string(size) +
            " bytes, no command code): session closed");
        return Outcome::kDrop;
    }
    bool trailer = false;
    Rapi1Call call(*this, session, in, out);
    if (call.Run(command, &trailer) == Outcome::kDrop) return Outcome::kDrop;
    *frames = out.Frame();
    if (trailer) {
        rapi1::Writer second;
        second.U32(0);
        std::vector<uint8_t> bytes = second.Frame();
        frames->insert(frames->end(), bytes.begin(), bytes.end());
    }
    return Outcome::kAnswer;
}

Device::Introduction Device::Introduce() {
    std::lock_guard<std::mutex> lock(mutex_);
    const DeviceStatus &status = StatusOfProfile(identity_.profile);
    Introduction introduction;
    introduction.major = faults_.hasVersion ? faults_.major : identity_.major;
    introduction.minor = faults_.hasVersion ? faults_.minor : identity_.minor;
    introduction.build = identity_.build;
    introduction.processor = faults_.hasProcessor ? faults_.processor : identity_.processor;
    introduction.name = status.deviceName;
    introduction.platform = identity_.platform;
    introduction.model = status.model;
    introduction.password = faults_.password;
    return introduction;
}
