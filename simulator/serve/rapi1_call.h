// One remote API v1 request being answered by the simulated device: the
// call table and the helpers its calls share. The calls themselves are
// grouped by kind: rapi1_file_calls.cpp (files and searches),
// rapi1_system_calls.cpp (system figures), rapi1_registry_calls.cpp and
// rapi1_program_calls.cpp (programs, shortcuts, RapiInvoke); the dispatch
// is in rapi1_translator.cpp. Internal to that translator: it reaches the
// device only through the model's public operations (model/device.h).
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "model/device.h"
#include "model/text_util.h"
#include "protocol/rapi1.h"
#include "serve/serve_outcome.h"

// One request of one session, the device's lock held.
class Rapi1Call {
public:
    using Result = Device::Result;

    Rapi1Call(Device &device, uint32_t session, rapi1::Reader &in, rapi1::Writer &out)
        : d_(device), session_(session), in_(in), out_(out), prefix_("[" + std::to_string(session) + "] ") {}

    ServeOutcome Run(uint32_t command, bool *trailer);

private:
    struct Entry {
        uint32_t command;
        const char *name;
        ServeOutcome (Rapi1Call::*serve)();
    };
    static const Entry kCalls[];

    ServeOutcome AnswerFindFirstFile();
    ServeOutcome AnswerFindNextFile();
    ServeOutcome AnswerFindClose();
    ServeOutcome AnswerGetFileAttributes();
    ServeOutcome AnswerSetFileAttributes();
    ServeOutcome AnswerCreateFile();
    ServeOutcome AnswerReadFile();
    ServeOutcome AnswerWriteFile();
    ServeOutcome AnswerCloseHandle();
    ServeOutcome AnswerFindAllFiles();
    ServeOutcome AnswerSetFilePointer();
    ServeOutcome AnswerCreateDirectory();
    ServeOutcome AnswerRemoveDirectory();
    ServeOutcome AnswerCreateProcess();
    ServeOutcome AnswerMoveFile();
    ServeOutcome AnswerDeleteFile();
    ServeOutcome AnswerGetFileSize();
    ServeOutcome AnswerRegOpenKeyEx();
    ServeOutcome AnswerRegCloseKey();
    ServeOutcome AnswerRegQueryValueEx();
    ServeOutcome AnswerRegCreateKeyEx();
    ServeOutcome AnswerRegEnumKeyEx();
    ServeOutcome AnswerRegEnumValue();
    ServeOutcome AnswerRegSetValueEx();
    ServeOutcome AnswerRegDeleteValue();
    ServeOutcome AnswerRegDeleteKey();
    ServeOutcome AnswerGetSystemMemoryDivision();
    ServeOutcome AnswerGetStoreInformation();
    ServeOutcome AnswerGetSystemInfo();
    ServeOutcome AnswerSHCreateShortcut();
    ServeOutcome AnswerGetFileTime();
    ServeOutcome AnswerSetFileTime();
    ServeOutcome AnswerGetVersionEx();
    ServeOutcome AnswerGetSystemPowerStatusEx();
    ServeOutcome AnswerGetSpecialFolderPath();
    ServeOutcome AnswerRapiInvoke();

    // The request read to its last byte; otherwise the session is closed.
    bool Complete() { return in_.Exhausted(); }
    ServeOutcome Malformed() {
        const char *problem = in_.ok() ? "bytes left over" : in_.Problem();
        LogLine(std::string(name_) + ": malformed request (" + problem + "): session closed");
        return ServeOutcome::kDrop;
    }
    void LogLine(const std::string &line) { d_.Log(prefix_ + line); }
    // The head of every answered call: result_1 = 0, then the last error
    // the call leaves (0 when it leaves none).
    void Head(const Result &result) {
        out_.Succeeded();
        out_.U32(LastErrorOf(result));
    }
    // The last error a reply carries: 0 when the call leaves none.
    static uint32_t LastErrorOf(const Result &result) {
        return result.lastError == Device::kErrorUnchanged ? 0 : result.lastError;
    }
    // A little-endian u32 into a structure the reply carries.
    static void PutU32(uint8_t *at, uint32_t value) {
        for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
    }
    // A call made with a pointer the device needs but was not given.
    static Result Refused() { return Device::Fail(ERROR_INVALID_PARAMETER); }
    std::string HandleName(uint32_t id) const {
        Device::Kind kind;
        std::wstring path;
        return d_.HandleTarget(id, &kind, &path) ? Quoted(path) : Hex(id);
    }
    // The registry replies' pieces (rapi1_registry_calls.cpp).
    struct EnumHead {
        uint32_t key = 0, index = 0;
        rapi1::Optional nameBuffer, nameCount;
    };
    EnumHead ReadEnumHead();
    void RegistryHead(const Result &result);
    void OptionalU32(const rapi1::Optional &asked, uint32_t value);
    void OptionalName(const rapi1::Optional &buffer, const rapi1::Optional &count, const std::wstring &name);
    void OptionalData(const rapi1::Optional &data, uint32_t room, const std::vector<uint8_t> &value);
    // A path given as an optional string; absent, the call is refused.
    ServeOutcome PathCall(const char *verb, Result (Device::*operation)(const std::wstring &));

    Device &d_;
    uint32_t session_;
    rapi1::Reader &in_;
    rapi1::Writer &out_;
    std::string prefix_;
    const char *name_ = "";
    bool trailer_ = false;
};
