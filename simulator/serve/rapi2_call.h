// One RAPI2 request being answered by the simulated device: the codec
// (protocol/rapi2.h) has decoded the request whole; each Answer... member
// calls the model's operations and fills the reply the codec encodes. The
// calls are grouped by kind: rapi2_translator.cpp (dispatch, files and
// searches), rapi2_system_calls.cpp (system, programs) and
// rapi2_registry_calls.cpp.
// Internal to that translator.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "model/device.h"
#include "model/text_util.h"
#include "protocol/rapi2.h"
#include "serve/serve_outcome.h"

class Rapi2Call {
public:
    using Result = Device::Result;

    Rapi2Call(Device &device, uint32_t session, const rapi2::Request &request, rapi2::Reply &reply)
        : d_(device), session_(session), q_(request), r_(reply), prefix_("[" + std::to_string(session) + "] ") {}

    // False when the command has no answer here (it is then dropped).
    static const char *NameOf(uint32_t command);
    ServeOutcome Run();

private:
    struct Entry {
        uint32_t command;
        const char *name;
        ServeOutcome (Rapi2Call::*serve)();
    };
    static const Entry kCalls[];

    ServeOutcome AnswerFindFirstFile();
    ServeOutcome AnswerFindNextFile();
    ServeOutcome AnswerFindAllFiles();
    ServeOutcome AnswerGetFileAttributes();
    ServeOutcome AnswerCreateFile();
    ServeOutcome AnswerReadFile();
    ServeOutcome AnswerWriteFile();
    ServeOutcome AnswerCloseHandle();
    ServeOutcome AnswerSetFilePointer();
    ServeOutcome AnswerGetFileSize();
    ServeOutcome AnswerGetFileTime();
    ServeOutcome AnswerSetFileTime();
    ServeOutcome AnswerPathCall();
    ServeOutcome AnswerMoveFile();
    ServeOutcome AnswerRegOpenKeyEx();
    ServeOutcome AnswerRegQueryValueEx();
    ServeOutcome AnswerRegCloseKey();
    ServeOutcome AnswerRegCreateKeyEx();
    ServeOutcome AnswerRegSetValueEx();
    ServeOutcome AnswerRegDeleteValue();
    ServeOutcome AnswerRegDeleteKey();
    ServeOutcome AnswerRegEnumKeyEx();
    ServeOutcome AnswerRegEnumValue();
    // The registry's replies (rapi2_registry_calls.cpp).
    ServeOutcome Registry(const Result &result, const std::string &what);
    void ReplyValue(DWORD type, uint32_t size);
    ServeOutcome AnswerGetVersionEx();
    ServeOutcome AnswerGetSystemInfo();
    ServeOutcome AnswerGetSystemPowerStatusEx();
    ServeOutcome AnswerGetSpecialFolderPath();
    ServeOutcome AnswerCreateProcess();
    ServeOutcome AnswerRapiInvoke();
    ServeOutcome AnswerGetStoreInformation();
    ServeOutcome AnswerGetDiskFreeSpaceEx();

    // The reply's last error and result, and the call's log line.
    ServeOutcome Answer(const Result &result, uint32_t value, const std::string &what) {
        r_.lastError = result.lastError == Device::kErrorUnchanged ? 0 : result.lastError;
        r_.result = value;
        d_.Log(prefix_ + name_ + (what.empty() ? "" : " " + what) + " -> " + result.note);
        return ServeOutcome::kAnswer;
    }
    // A path the call needs but was not given (an absent string).
    Result PathOrRefused() const { return Device::Fail(ERROR_INVALID_PARAMETER); }
    std::string HandleName(uint32_t id) const {
        Device::Kind kind;
        std::wstring path;
        return d_.HandleTarget(id, &kind, &path) ? Quoted(path) : Hex(id);
    }

    Device &d_;
    uint32_t session_;
    const rapi2::Request &q_;
    rapi2::Reply &r_;
    std::string prefix_;
    const char *name_ = "";
    // Bytes the reply's `data` points into, alive until it is encoded.
    std::vector<uint8_t> held_;
};
