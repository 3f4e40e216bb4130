// Answering the remote API as a Windows Mobile 5/6 device does (RAPI2, see
// protocol/rapi2.h): the codec decodes a request whole, the same device
// operations as every other protocol's run, one log line is written, and
// the codec encodes the reply. Results and error codes therefore never
// depend on the protocol.
//
// A request that does not decode exactly (cut short, bytes left over, a
// string of an odd size or without its terminator, a flag other than 0 or
// 1), and a command this device does not know, close the session before
// anything touches the image: a RAPI2 reply has no status word that could
// say "not implemented", and a guessed reply could be read as another
// call's. The file calls are here; the others in rapi2_system_calls.cpp.
#include "serve/rapi2_translator.h"

#include <algorithm>

#include "serve/device_records.h"
#include "serve/rapi2_call.h"

namespace {

// The largest reply a call may build; leaves room for its fixed fields.
const size_t kReplyRoom = rapi1::kMaxFrameBytes - 4096;
// The most one entry of CeFindAllFiles takes besides its name.
const size_t kFindAllEntryBytes = 4 + 4 + 3 * 8 + 3 * 4;

}  // namespace

const Rapi2Call::Entry Rapi2Call::kCalls[] = {
    {rapi2::kFindFirstFile, "CeFindFirstFile", &Rapi2Call::AnswerFindFirstFile},
    {rapi2::kFindNextFile, "CeFindNextFile", &Rapi2Call::AnswerFindNextFile},
    {rapi2::kFindClose, "CeFindClose", &Rapi2Call::AnswerCloseHandle},
    {rapi2::kGetFileAttributes, "CeGetFileAttributes", &Rapi2Call::AnswerGetFileAttributes},
    {rapi2::kCreateFile, "CeCreateFile", &Rapi2Call::AnswerCreateFile},
    {rapi2::kReadFile, "CeReadFile", &Rapi2Call::AnswerReadFile},
    {rapi2::kWriteFile, "CeWriteFile", &Rapi2Call::AnswerWriteFile},
    {rapi2::kCloseHandle, "CeCloseHandle", &Rapi2Call::AnswerCloseHandle},
    {rapi2::kFindAllFiles, "CeFindAllFiles", &Rapi2Call::AnswerFindAllFiles},
    {rapi2::kSetFilePointer, "CeSetFilePointer", &Rapi2Call::AnswerSetFilePointer},
    {rapi2::kCreateDirectory, "CeCreateDirectory", &Rapi2Call::AnswerPathCall},
    {rapi2::kRemoveDirectory, "CeRemoveDirectory", &Rapi2Call::AnswerPathCall},
    {rapi2::kCreateProcess, "CeCreateProcess", &Rapi2Call::AnswerCreateProcess},
    {rapi2::kMoveFile, "CeMoveFile", &Rapi2Call::AnswerMoveFile},
    {rapi2::kDeleteFile, "CeDeleteFile", &Rapi2Call::AnswerPathCall},
    {rapi2::kGetFileSize, "CeGetFileSize", &Rapi2Call::AnswerGetFileSize},
    {rapi2::kRegOpenKeyEx, "CeRegOpenKeyEx", &Rapi2Call::AnswerRegOpenKeyEx},
    {rapi2::kRegCloseKey, "CeRegCloseKey", &Rapi2Call::AnswerRegCloseKey},
    {rapi2::kRegQueryValueEx, "CeRegQueryValueEx", &Rapi2Call::AnswerRegQueryValueEx},
    {rapi2::kRegCreateKeyEx, "CeRegCreateKeyEx", &Rapi2Call::AnswerRegCreateKeyEx},
    {rapi2::kRegSetValueEx, "CeRegSetValueEx", &Rapi2Call::AnswerRegSetValueEx},
    {rapi2::kRegDeleteValue, "CeRegDeleteValue", &Rapi2Call::AnswerRegDeleteValue},
    {rapi2::kRegDeleteKey, "CeRegDeleteKey", &Rapi2Call::AnswerRegDeleteKey},
    {rapi2::kRegEnumKeyEx, "CeRegEnumKeyEx", &Rapi2Call::AnswerRegEnumKeyEx},
    {rapi2::kRegEnumValue, "CeRegEnumValue", &Rapi2Call::AnswerRegEnumValue},
    {rapi2::kGetStoreInformation, "CeGetStoreInformation", &Rapi2Call::AnswerGetStoreInformation},
    {rapi2::kGetSystemInfo, "CeGetSystemInfo", &Rapi2Call::AnswerGetSystemInfo},
    {rapi2::kGetFileTime, "CeGetFileTime", &Rapi2Call::AnswerGetFileTime},
    {rapi2::kSetFileTime, "CeSetFileTime", &Rapi2Call::AnswerSetFileTime},
    {rapi2::kGetVersionEx, "CeGetVersionEx", &Rapi2Call::AnswerGetVersionEx},
    {rapi2::kGetSystemPowerStatusEx, "CeGetSystemPowerStatusEx", &Rapi2Call::AnswerGetSystemPowerStatusEx},
    {rapi2::kGetSpecialFolderPath, "CeGetSpecialFolderPath", &Rapi2Call::AnswerGetSpecialFolderPath},
    {rapi2::kRapiInvoke, "CeRapiInvoke", &Rapi2Call::AnswerRapiInvoke},
    {rapi2::kGetDiskFreeSpaceEx, "CeGetDiskFreeSpaceEx", &Rapi2Call::AnswerGetDiskFreeSpaceEx},
};

const char *Rapi2Call::NameOf(uint32_t command) {
    for (const Entry &entry : kCalls) {
        if (entry.command == command) return entry.name;
    }
    return nullptr;
}

ServeOutcome Rapi2Call::Run() {
    for (const Entry &entry : kCalls) {
        if (entry.command != q_.command) continue;
        name_ = entry.name;
        if (d_.DropPlanned(prefix_)) return ServeOutcome::kDrop;
        return (this->*entry.serve)();
    }
    return ServeOutcome::kDrop;
}

ServeOutcome ServeRapi2Request(Device &device, uint32_t session, const uint8_t *body, size_t size,
                               std::vector<uint8_t> *frames) {
    std::unique_lock<std::mutex> lock = device.Lock();
    frames->clear();
    // Programs asked to close end in their own time, between requests.
    device.EndClosedPrograms();
    const std::string prefix = "[" + std::to_string(session) + "] ";
    rapi2::Reader peek(body, size);
    uint32_t command = peek.U32();
    const char *name = peek.ok() ? Rapi2Call::NameOf(command) : nullptr;
    if (!name) {
        device.Log(prefix + (peek.ok() ? "unknown command " + Hex(command) : std::string("no command code")) + " (" +
                   std::to_string(size) + " bytes): session closed");
        return ServeOutcome::kDrop;
    }
    rapi2::Reader in(body, size);
    rapi2::Request request;
    if (!rapi2::ReadRequest(&in, &request)) {
        device.Log(prefix + name + ": malformed request (" + in.Problem() + "): session closed");
        return ServeOutcome::kDrop;
    }
    rapi2::Reply reply;
    Rapi2Call call(device, session, request, reply);
    if (call.Run() == ServeOutcome::kDrop) return ServeOutcome::kDrop;
    rapi2::Writer out;
    rapi2::WriteReply(&out, request, reply);
    *frames = out.Frame();
    return ServeOutcome::kAnswer;
}

// ---- Files and searches

ServeOutcome Rapi2Call::AnswerFindFirstFile() {
    Device::FoundEntry entry;
    uint32_t id = 0;
    Result result = q_.hasPath ? d_.DoFindFirstFile(session_, q_.path, &id, &entry) : PathOrRefused();
    r_.found = FindDataOf(entry);
    return Answer(result, result.ok ? id : rapi1::kInvalidHandle, Quoted(q_.path));
}

ServeOutcome Rapi2Call::AnswerFindNextFile() {
    Device::FoundEntry entry;
    std::string name = HandleName(q_.handle);
    Result result = d_.DoFindNextFile(session_, q_.handle, &entry);
    r_.found = FindDataOf(entry);
    return Answer(result, result.ok, name);
}

// Entries go as long as one reply holds them; the caller sees fewer.
ServeOutcome Rapi2Call::AnswerFindAllFiles() {
    std::vector<Device::FoundEntry> entries;
    Result result = q_.hasPath ? d_.DoFindAllFiles(q_.path, q_.flags, &entries) : PathOrRefused();
    size_t bytes = 0;
    for (const Device::FoundEntry &found : entries) {
        bytes += kFindAllEntryBytes + 2 * (found.name.size() + 1);
        if (bytes > kReplyRoom) break;
        r_.entries.push_back(FindDataOf(found));
    }
    std::string what = Quoted(q_.path) + " flags " + Hex(q_.flags);
    if (result.ok) result.note = std::to_string(r_.entries.size()) + " sent";
    if (r_.entries.size() < entries.size()) result.note += " (of " + std::to_string(entries.size()) + ")";
    return Answer(result, result.ok, what);
}

ServeOutcome Rapi2Call::AnswerGetFileAttributes() {
    DWORD attributes = INVALID_FILE_ATTRIBUTES;
    Result result = q_.hasPath ? d_.DoGetFileAttributes(q_.path, &attributes) : PathOrRefused();
    return Answer(result, result.ok ? attributes : INVALID_FILE_ATTRIBUTES, Quoted(q_.path));
}

ServeOutcome Rapi2Call::AnswerCreateFile() {
    uint32_t id = 0;
    Result result = q_.hasPath ? d_.DoCreateFile(session_, q_.path, q_.access, q_.share, q_.disposition,
                                                 q_.attributes, &id)
                               : PathOrRefused();
    return Answer(result, result.ok ? id : rapi1::kInvalidHandle,
                  Quoted(q_.path) + " access " + Hex(q_.access) + " share " + Hex(q_.share) + " disposition " +
                      std::to_string(q_.disposition));
}

ServeOutcome Rapi2Call::AnswerReadFile() {
    std::string name = HandleName(q_.handle);
    // At most what one reply frame carries; a shorter read is an ordinary
    // answer the caller continues from.
    uint32_t count = static_cast<uint32_t>(std::min<size_t>(q_.count, kReplyRoom));
    Result result = d_.DoReadFile(session_, q_.handle, count, &held_);
    r_.data = held_.data();
    r_.size = static_cast<uint32_t>(held_.size());
    return Answer(result, result.ok, name + " " + std::to_string(q_.count) + " bytes");
}

ServeOutcome Rapi2Call::AnswerWriteFile() {
    uint32_t written = 0;
    bool drop = false;
    std::string name = HandleName(q_.handle);
    Result result = d_.DoWriteFile(session_, q_.handle, q_.data, q_.size, &written, &drop);
    r_.value = written;
    Answer(result, result.ok, name + " " + std::to_string(q_.size) + " bytes");
    return drop ? ServeOutcome::kDrop : ServeOutcome::kAnswer;
}

ServeOutcome Rapi2Call::AnswerCloseHandle() {
    std::string name = HandleName(q_.handle);
    Result result = q_.command == rapi2::kFindClose ? d_.DoFindClose(session_, q_.handle)
                                                    : d_.DoCloseHandle(session_, q_.handle);
    return Answer(result, result.ok, name);
}

ServeOutcome Rapi2Call::AnswerSetFilePointer() {
    // Without a high part the distance is a signed 32-bit one.
    int64_t distance = q_.hasHigh ? static_cast<int64_t>((static_cast<uint64_t>(q_.distanceHigh) << 32) | q_.distanceLow)
                                  : static_cast<int64_t>(static_cast<int32_t>(q_.distanceLow));
    int64_t position = 0;
    std::string name = HandleName(q_.handle);
    Result result = d_.DoSetFilePointer(session_, q_.handle, distance, q_.method, &position);
    r_.value = result.ok ? static_cast<uint32_t>(static_cast<uint64_t>(position) >> 32) : 0xFFFFFFFFu;
    return Answer(result, result.ok ? static_cast<uint32_t>(position) : 0xFFFFFFFFu,
                  name + " " + std::to_string(distance) + " method " + std::to_string(q_.method));
}

ServeOutcome Rapi2Call::AnswerGetFileSize() {
    uint64_t size = 0;
    std::string name = HandleName(q_.handle);
    Result result = d_.DoGetFileSize(session_, q_.handle, &size);
    r_.hasValue = result.ok;
    r_.value = static_cast<uint32_t>(size >> 32);
    return Answer(result, result.ok ? static_cast<uint32_t>(size) : rapi1::kInvalidFileSize, name);
}

ServeOutcome Rapi2Call::AnswerGetFileTime() {
    std::string name = HandleName(q_.handle);
    Result result = d_.DoGetFileTime(session_, q_.handle, r_.numbers);
    return Answer(result, result.ok, name);
}

ServeOutcome Rapi2Call::AnswerSetFileTime() {
    uint32_t which = (q_.hasTime[0] ? 1 : 0) | (q_.hasTime[1] ? 2 : 0) | (q_.hasTime[2] ? 4 : 0);
    std::string name = HandleName(q_.handle);
    Result result = d_.DoSetFileTime(session_, q_.handle, which, q_.times);
    return Answer(result, result.ok, name);
}

ServeOutcome Rapi2Call::AnswerPathCall() {
    Result (Device::*operation)(const std::wstring &) = q_.command == rapi2::kCreateDirectory ? &Device::DoCreateDirectory
                                                        : q_.command == rapi2::kRemoveDirectory
                                                            ? &Device::DoRemoveDirectory
                                                            : &Device::DoDeleteFile;
    Result result = q_.hasPath ? (d_.*operation)(q_.path) : PathOrRefused();
    return Answer(result, result.ok, Quoted(q_.path));
}

ServeOutcome Rapi2Call::AnswerMoveFile() {
    Result result = q_.hasPath && q_.hasSecond ? d_.DoMoveFile(q_.path, q_.second) : PathOrRefused();
    return Answer(result, result.ok, Quoted(q_.path) + " to " + Quoted(q_.second));
}
