// Answering the remote API as a networked Windows CE device does (RAPI v1,
// see protocol/rapi1.h): decode a request, run the same device operations the pipe
// runs, write one log line, encode the reply in the device's own layout.
// Results and error codes therefore never depend on the transport.
//
// A request that does not decode exactly (cut short, bytes left over, a
// string without its terminator, a size past the frame) is refused and its
// session closed before anything touches the image. An unknown command is
// answered with result_1 = 1 and E_NOTIMPL, and the session goes on.
//
// Adding a protocol: see the steps at the top of pipe_translator.cpp. This
// translator is the larger example: a table of calls (kCalls below), one
// member of Rapi1Call per call, grouped by kind in rapi1_*_calls.cpp, each
// decoding its arguments with protocol/rapi1.h, calling the model's Do...
// operations and encoding the reply. A third protocol gets files of its
// own (serve/NAME_translator.cpp, serve/NAME_*_calls.cpp) and touches
// neither these nor model/.
#include "serve/rapi1_translator.h"

#include "serve/rapi1_call.h"

static_assert(rapi1::kRootLocalMachine == Device::kRootLocalMachine, "the wire carries the model's own root");

const Rapi1Call::Entry Rapi1Call::kCalls[] = {
    {rapi1::kFindFirstFile, "CeFindFirstFile", &Rapi1Call::AnswerFindFirstFile},
    {rapi1::kFindNextFile, "CeFindNextFile", &Rapi1Call::AnswerFindNextFile},
    {rapi1::kFindClose, "CeFindClose", &Rapi1Call::AnswerFindClose},
    {rapi1::kGetFileAttributes, "CeGetFileAttributes", &Rapi1Call::AnswerGetFileAttributes},
    {rapi1::kSetFileAttributes, "CeSetFileAttributes", &Rapi1Call::AnswerSetFileAttributes},
    {rapi1::kCreateFile, "CeCreateFile", &Rapi1Call::AnswerCreateFile},
    {rapi1::kReadFile, "CeReadFile", &Rapi1Call::AnswerReadFile},
    {rapi1::kWriteFile, "CeWriteFile", &Rapi1Call::AnswerWriteFile},
    {rapi1::kCloseHandle, "CeCloseHandle", &Rapi1Call::AnswerCloseHandle},
    {rapi1::kFindAllFiles, "CeFindAllFiles", &Rapi1Call::AnswerFindAllFiles},
    {rapi1::kSetFilePointer, "CeSetFilePointer", &Rapi1Call::AnswerSetFilePointer},
    {rapi1::kCreateDirectory, "CeCreateDirectory", &Rapi1Call::AnswerCreateDirectory},
    {rapi1::kRemoveDirectory, "CeRemoveDirectory", &Rapi1Call::AnswerRemoveDirectory},
    {rapi1::kCreateProcess, "CeCreateProcess", &Rapi1Call::AnswerCreateProcess},
    {rapi1::kMoveFile, "CeMoveFile", &Rapi1Call::AnswerMoveFile},
    {rapi1::kDeleteFile, "CeDeleteFile", &Rapi1Call::AnswerDeleteFile},
    {rapi1::kGetFileSize, "CeGetFileSize", &Rapi1Call::AnswerGetFileSize},
    {rapi1::kRegOpenKeyEx, "CeRegOpenKeyEx", &Rapi1Call::AnswerRegOpenKeyEx},
    {rapi1::kRegCloseKey, "CeRegCloseKey", &Rapi1Call::AnswerRegCloseKey},
    {rapi1::kRegQueryValueEx, "CeRegQueryValueEx", &Rapi1Call::AnswerRegQueryValueEx},
    {rapi1::kRegCreateKeyEx, "CeRegCreateKeyEx", &Rapi1Call::AnswerRegCreateKeyEx},
    {rapi1::kRegEnumKeyEx, "CeRegEnumKeyEx", &Rapi1Call::AnswerRegEnumKeyEx},
    {rapi1::kRegEnumValue, "CeRegEnumValue", &Rapi1Call::AnswerRegEnumValue},
    {rapi1::kRegSetValueEx, "CeRegSetValueEx", &Rapi1Call::AnswerRegSetValueEx},
    {rapi1::kRegDeleteValue, "CeRegDeleteValue", &Rapi1Call::AnswerRegDeleteValue},
    {rapi1::kRegDeleteKey, "CeRegDeleteKey", &Rapi1Call::AnswerRegDeleteKey},
    {rapi1::kGetSystemMemoryDivision, "CeGetSystemMemoryDivision", &Rapi1Call::AnswerGetSystemMemoryDivision},
    {rapi1::kGetStoreInformation, "CeGetStoreInformation", &Rapi1Call::AnswerGetStoreInformation},
    {rapi1::kGetSystemInfo, "CeGetSystemInfo", &Rapi1Call::AnswerGetSystemInfo},
    {rapi1::kSHCreateShortcut, "CeSHCreateShortcut", &Rapi1Call::AnswerSHCreateShortcut},
    {rapi1::kGetFileTime, "CeGetFileTime", &Rapi1Call::AnswerGetFileTime},
    {rapi1::kSetFileTime, "CeSetFileTime", &Rapi1Call::AnswerSetFileTime},
    {rapi1::kGetVersionEx, "CeGetVersionEx", &Rapi1Call::AnswerGetVersionEx},
    {rapi1::kGetSystemPowerStatusEx, "CeGetSystemPowerStatusEx", &Rapi1Call::AnswerGetSystemPowerStatusEx},
    {rapi1::kGetSpecialFolderPath, "CeGetSpecialFolderPath", &Rapi1Call::AnswerGetSpecialFolderPath},
    {rapi1::kRapiInvoke, "CeRapiInvoke", &Rapi1Call::AnswerRapiInvoke},
};

ServeOutcome Rapi1Call::Run(uint32_t command, bool *trailer) {
    for (const Entry &entry : kCalls) {
        if (entry.command != command) continue;
        name_ = entry.name;
        if (d_.DropPlanned(prefix_)) return ServeOutcome::kDrop;
        ServeOutcome outcome = (this->*entry.serve)();
        *trailer = trailer_;
        return outcome;
    }
    // Refused, not fatal: a client may probe for calls this device lacks.
    out_.Failed(rapi1::kENotImpl);
    LogLine("unknown command " + Hex(command) + " (" + std::to_string(in_.Remaining()) +
        " bytes of arguments): refused with E_NOTIMPL");
    return ServeOutcome::kAnswer;
}

ServeOutcome ServeRapi1Request(Device &device, uint32_t session, const uint8_t *body, size_t size,
                               std::vector<uint8_t> *frames) {
    std::unique_lock<std::mutex> lock = device.Lock();
    frames->clear();
    // Programs asked to close end in their own time, between requests.
    device.EndClosedPrograms();
    rapi1::Reader in(body, size);
    rapi1::Writer out;
    uint32_t command = in.U32();
    if (!in.ok()) {
        device.Log("[" + std::to_string(session) + "] malformed request (" + std::to_string(size) +
            " bytes, no command code): session closed");
        return ServeOutcome::kDrop;
    }
    bool trailer = false;
    Rapi1Call call(device, session, in, out);
    if (call.Run(command, &trailer) == ServeOutcome::kDrop) return ServeOutcome::kDrop;
    *frames = out.Frame();
    if (trailer) {
        rapi1::Writer second;
        second.U32(0);
        std::vector<uint8_t> bytes = second.Frame();
        frames->insert(frames->end(), bytes.begin(), bytes.end());
    }
    return ServeOutcome::kAnswer;
}
