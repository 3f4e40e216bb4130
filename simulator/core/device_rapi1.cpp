// Answering the remote API as a networked Windows CE device does (RAPI v1,
// see rapi1.h): decode a request, run the same device operations the pipe
// runs, write one log line, encode the reply in the device's own layout.
// Results and error codes therefore never depend on the transport.
//
// A request that does not decode exactly (cut short, bytes left over, a
// string without its terminator, a size past the frame) is refused and its
// session closed before anything touches the image. An unknown command is
// answered with result_1 = 1 and E_NOTIMPL, and the session goes on.
#include "core/profiles.h"
#include "core/rapi1_call.h"

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

Device::Outcome Device::ServeRapi1(uint32_t session, const uint8_t *body, size_t size, std::vector<uint8_t> *frames) {
    Outcome outcome = ServeRapi1Locked(session, body, size, frames);
    // The request and its answer cross the cable, as over the pipe.
    link_.Pace(4 + size + frames->size());
    link_.Delay();
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
