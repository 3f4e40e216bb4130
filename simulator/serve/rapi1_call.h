// One remote API v1 request being answered by the simulated device: the
// call table and the helpers its calls share. The calls themselves are
// grouped by kind: rapi1_file_calls.cpp (files and searches),
// rapi1_system_calls.cpp (system figures and the registry) and
// rapi1_program_calls.cpp (programs, shortcuts, RapiInvoke); the dispatch
// is in device_rapi1.cpp. Internal to the device model.
#pragma once

#include <stdint.h>

#include <string>

#include "core/device.h"
#include "core/text_util.h"
#include "protocol/rapi1.h"

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
    // A little-endian u32 into a structure the reply carries.
    static void PutU32(uint8_t *at, uint32_t value) {
        for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
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
