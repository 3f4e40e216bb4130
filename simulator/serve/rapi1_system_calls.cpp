// The system calls of the remote API v1 as the simulated device
// answers them: memory and store figures, system and version
// information, power status and the special folders. The figures come from
// the device's profile (and its faults), never from the host.

#include <algorithm>

#include "model/profiles.h"
#include "serve/device_records.h"
#include "serve/rapi1_call.h"

namespace {

uint32_t Clamp32(uint64_t value) { return value > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(value); }

}  // namespace

ServeOutcome Rapi1Call::AnswerGetSystemMemoryDivision() {
    rapi1::Optional asked[3];
    for (rapi1::Optional &one : asked) one = in_.OptionalArgument();
    if (!Complete()) return Malformed();
    const DeviceStatus &status = d_.DoGetStatus();
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
    LogLine(std::string("CeGetSystemMemoryDivision -> ") + result.note);
    return ServeOutcome::kAnswer;
}

ServeOutcome Rapi1Call::AnswerGetStoreInformation() {
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
    LogLine("CeGetStoreInformation -> " + result.note);
    return ServeOutcome::kAnswer;
}

// SYSTEM_INFO of a single-processor CE device; no return value follows
// the last error.
ServeOutcome Rapi1Call::AnswerGetSystemInfo() {
    rapi1::Optional information = in_.OptionalArgument();
    if (!Complete()) return Malformed();
    DWORD processor = d_.DoGetProcessor();
    Head(Device::Done("ok"));
    if (information.present) {
        uint8_t bytes[kSystemInfoRecordBytes];
        BuildSystemInfo(processor, bytes);
        out_.OptionalValue(bytes, sizeof bytes);
    } else {
        out_.Absent();
    }
    LogLine("CeGetSystemInfo -> processor " + std::to_string(processor));
    return ServeOutcome::kAnswer;
}

ServeOutcome Rapi1Call::AnswerGetVersionEx() {
    if (!Complete()) return Malformed();
    const Device::Version version = d_.DoGetVersion();
    const DWORD major = version.major, minor = version.minor;
    if (version.refused) {
        // Refused by the device itself: a failure with its error, and an
        // empty record.
        Result refused = Device::Fail(version.refused);
        Head(refused);
        out_.U32(0);
        out_.U32(0);
        LogLine("CeGetVersionEx -> " + refused.note);
        return ServeOutcome::kAnswer;
    }
    Head(Device::Done("ok"));
    out_.U32(1);
    out_.U32(rapi1::kOsVersionInfoBytes);
    uint8_t bytes[kVersionRecordBytes];
    BuildVersionInfo(version, bytes);
    out_.Raw(bytes, sizeof bytes);
    LogLine("CeGetVersionEx -> " + std::to_string(major) + "." + std::to_string(minor) + " build " +
        std::to_string(version.build));
    return ServeOutcome::kAnswer;
}

// SYSTEM_POWER_STATUS_EX of a docked device: on the cradle's power, the
// battery figures of its profile, life times unknown (0xFFFFFFFF).
ServeOutcome Rapi1Call::AnswerGetSystemPowerStatusEx() {
    rapi1::Optional status = in_.OptionalArgument();
    in_.U32();  // refresh: the figures are fixed
    if (!Complete()) return Malformed();
    const DeviceStatus &profile = d_.DoGetStatus();
    Result result = status.present ? Device::Done("battery " + std::to_string(profile.batteryPercent) + "%")
                                   : Refused();
    Head(result);
    out_.U32(result.ok);
    if (status.present) {
        uint8_t bytes[kPowerRecordBytes];
        BuildPowerStatus(profile, bytes);
        out_.OptionalValue(bytes, sizeof bytes);
    } else {
        out_.Absent();
    }
    LogLine("CeGetSystemPowerStatusEx -> " + result.note);
    return ServeOutcome::kAnswer;
}

// The reply: last error, the path's length in characters, then the path
// and its terminator. The caller's buffer length comes in bytes.
ServeOutcome Rapi1Call::AnswerGetSpecialFolderPath() {
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
    LogLine("CeGetSpecialFolderPath " + std::to_string(folder) + " -> " + result.note);
    return ServeOutcome::kAnswer;
}
