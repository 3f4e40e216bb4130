// The program calls of the remote API v1 as the simulated device answers
// them: starting a program, making a shortcut, and RapiInvoke.

#include "serve/rapi1_call.h"

// PROCESS_INFORMATION as the caller receives it: process and thread
// handles, then their ids.
ServeOutcome Rapi1Call::AnswerCreateProcess() {
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
            d_.DoCloseHandle(session_, started.process);
            d_.DoCloseHandle(session_, started.thread);
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
    LogLine("CeCreateProcess " + Quoted(image) + (commandLine.empty() ? "" : " " + Quoted(commandLine)) + " -> " +
        result.note);
    return ServeOutcome::kAnswer;
}

ServeOutcome Rapi1Call::AnswerSHCreateShortcut() {
    bool hasShortcut = false, hasTarget = false;
    std::wstring shortcut = in_.OptionalString(&hasShortcut);
    std::wstring target = in_.OptionalString(&hasTarget);
    if (!Complete()) return Malformed();
    Result result = hasShortcut && hasTarget ? d_.DoCreateShortcut(shortcut, target) : Refused();
    Head(result);
    out_.U32(result.ok);
    LogLine("CeSHCreateShortcut " + Quoted(shortcut) + " -> " + result.note);
    return ServeOutcome::kAnswer;
}

// Request: reserved, library, function, input size and bytes (no presence
// flag), then 1 when the caller wants a stream. Reply: result_1, last
// error, the function's result, output size and bytes; then a second,
// empty frame, which callers read and drop.
ServeOutcome Rapi1Call::AnswerRapiInvoke() {
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
        LogLine("CeRapiInvoke " + Quoted(library) + " " + Quoted(function) + " as a stream: refused with E_NOTIMPL");
        return ServeOutcome::kAnswer;
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
    LogLine("CeRapiInvoke " + Quoted(library) + " " + Quoted(function) + " -> " + result.note + ", returns " +
        std::to_string(returned));
    return ServeOutcome::kAnswer;
}
