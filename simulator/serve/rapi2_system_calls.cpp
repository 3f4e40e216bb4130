// The system and program calls of RAPI2 as the simulated device answers
// them: version, system and power records, special
// folders, starting a program, RapiInvoke and the stores' room. The
// figures come from the device's profile (and its faults), never from the
// host; the records are those the other protocols send.

#include <algorithm>

#include "model/profiles.h"
#include "serve/device_records.h"
#include "serve/rapi2_call.h"

namespace {

uint32_t Clamp32(uint64_t value) { return value > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(value); }

}  // namespace

ServeOutcome Rapi2Call::AnswerGetVersionEx() {
    const Device::Version version = d_.DoGetVersion();
    uint8_t bytes[kVersionRecordBytes];
    BuildVersionInfo(version, bytes);
    held_.assign(bytes, bytes + sizeof bytes);
    r_.data = held_.data();
    r_.size = static_cast<uint32_t>(held_.size());
    return Answer(Device::Done(std::to_string(version.major) + "." + std::to_string(version.minor) + " build " +
                               std::to_string(version.build)),
                  1, "");
}

ServeOutcome Rapi2Call::AnswerGetSystemInfo() {
    DWORD processor = d_.DoGetProcessor();
    uint8_t bytes[kSystemInfoRecordBytes];
    BuildSystemInfo(processor, bytes);
    held_.assign(bytes, bytes + sizeof bytes);
    r_.data = held_.data();
    r_.size = static_cast<uint32_t>(held_.size());
    return Answer(Device::Done("processor " + std::to_string(processor)), 0, "");
}

ServeOutcome Rapi2Call::AnswerGetSystemPowerStatusEx() {
    const DeviceStatus &status = d_.DoGetStatus();
    uint8_t bytes[kPowerRecordBytes];
    BuildPowerStatus(status, bytes);
    held_.assign(bytes, bytes + sizeof bytes);
    r_.data = held_.data();
    r_.size = static_cast<uint32_t>(held_.size());
    return Answer(Device::Done("battery " + std::to_string(status.batteryPercent) + "%"), 1, "");
}

// The caller's buffer length comes in bytes; a path that does not fit it
// with its terminator fails with ERROR_INSUFFICIENT_BUFFER.
ServeOutcome Rapi2Call::AnswerGetSpecialFolderPath() {
    int32_t folder = static_cast<int32_t>(q_.handle);
    std::wstring path;
    Result result = d_.DoGetSpecialFolder(folder, &path);
    if (result.ok && (path.size() + 1) * 2 > q_.count) result = Device::Fail(ERROR_INSUFFICIENT_BUFFER);
    if (!result.ok) path.clear();
    r_.text = path;
    return Answer(result, static_cast<uint32_t>(path.size()), std::to_string(folder));
}

// PROCESS_INFORMATION: process and thread handles, then their ids. The
// handles stay open in the session until the caller closes them.
ServeOutcome Rapi2Call::AnswerCreateProcess() {
    Device::Started started;
    Result result = q_.hasPath ? d_.DoCreateProcess(session_, q_.path, &started) : PathOrRefused();
    held_.assign(rapi2::kProcessInformationBytes, 0);
    if (result.ok) {
        PutRecordU32(&held_[0], started.process);
        PutRecordU32(&held_[4], started.thread);
        PutRecordU32(&held_[8], started.processId);
        PutRecordU32(&held_[12], started.threadId);
    }
    r_.data = held_.data();
    r_.size = static_cast<uint32_t>(held_.size());
    return Answer(result, result.ok, Quoted(q_.path) + (q_.second.empty() ? "" : " " + Quoted(q_.second)));
}

// Buffer mode only: a stream needs a connection of its own, which this
// device does not open; it answers E_NOTIMPL. The function's result is
// also the last error, as over the other protocols.
ServeOutcome Rapi2Call::AnswerRapiInvoke() {
    std::string what = Quoted(q_.path) + " " + Quoted(q_.second);
    if (q_.flags != 0) {
        r_.lastError = 0;
        r_.result = rapi1::kENotImpl;
        d_.Log(prefix_ + name_ + " " + what + " as a stream: refused with E_NOTIMPL");
        return ServeOutcome::kAnswer;
    }
    int32_t returned = 0;
    Result result = q_.hasPath && q_.hasSecond
                        ? d_.DoInvoke(q_.path, q_.second, q_.size ? q_.data : nullptr, q_.size, &returned, &held_)
                        : PathOrRefused();
    if (!q_.hasPath || !q_.hasSecond) returned = ERROR_INVALID_PARAMETER;
    r_.data = held_.data();
    r_.size = static_cast<uint32_t>(held_.size());
    Answer(result, static_cast<uint32_t>(returned), what);
    r_.lastError = static_cast<uint32_t>(returned);
    return ServeOutcome::kAnswer;
}

ServeOutcome Rapi2Call::AnswerGetStoreInformation() {
    uint64_t size = 0, free = 0;
    Result result = d_.DoGetStoreInformation(&size, &free);
    r_.numbers[0] = Clamp32(size);
    r_.numbers[1] = Clamp32(free);
    return Answer(result, result.ok, "");
}

// The room of the store that holds the folder: free to the caller, total,
// total free (the device has no quotas: the first and last agree).
ServeOutcome Rapi2Call::AnswerGetDiskFreeSpaceEx() {
    uint64_t free = 0, total = 0;
    Result result = q_.hasPath ? d_.DoGetDiskFreeSpace(q_.path, &free, &total) : PathOrRefused();
    if (result.ok) {
        r_.numbers[0] = free;
        r_.numbers[1] = total;
        r_.numbers[2] = free;
    }
    return Answer(result, result.ok, Quoted(q_.path));
}
