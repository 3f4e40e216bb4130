// The registry calls of RAPI2 as the simulated device answers them, in the
// layouts of SynCE's client library (its registry calls of the newer
// protocol; protocol/rapi2.h). The registry reports through its result:
// the last error of every reply is 0.
#include "serve/rapi2_call.h"

namespace {

Device::Result WithoutLastError(Device::Result result) {
    result.lastError = Device::kErrorUnchanged;
    return result;
}

uint32_t ErrorOf(const Device::Result &result) { return result.ok ? ERROR_SUCCESS : result.lastError; }

}  // namespace

ServeOutcome Rapi2Call::Registry(const Result &result, const std::string &what) {
    return Answer(WithoutLastError(result), ErrorOf(result), what);
}

// A value's type and size, and its bytes when they were asked for and fit.
void Rapi2Call::ReplyValue(DWORD type, uint32_t size) {
    r_.value = type;
    r_.size = size;
    r_.data = held_.empty() ? nullptr : held_.data();
}

ServeOutcome Rapi2Call::AnswerRegOpenKeyEx() {
    uint32_t key = 0;
    Result result = d_.DoRegOpenKey(session_, q_.handle, q_.path, &key);
    r_.value = key;
    return Registry(result, Hex(q_.handle) + " " + Quoted(q_.path));
}

ServeOutcome Rapi2Call::AnswerRegCreateKeyEx() {
    uint32_t key = 0;
    DWORD disposition = 0;
    Result result = q_.hasPath ? d_.DoRegCreateKey(session_, q_.handle, q_.path, &key, &disposition)
                               : PathOrRefused();
    r_.value = key;
    r_.numbers[0] = disposition;
    return Registry(result, Hex(q_.handle) + " " + Quoted(q_.path));
}

ServeOutcome Rapi2Call::AnswerRegCloseKey() { return Registry(d_.DoRegCloseKey(session_, q_.handle), Hex(q_.handle)); }

// A buffer of `count` bytes: 0 asks for the type and size alone; one too
// small fails with ERROR_MORE_DATA.
ServeOutcome Rapi2Call::AnswerRegQueryValueEx() {
    DWORD type = 0;
    uint32_t size = 0;
    Result result = d_.DoRegQueryValue(session_, q_.handle, q_.path, true, q_.count, &type, &held_, &size);
    ReplyValue(type, size);
    return Registry(result, Quoted(q_.path));
}

ServeOutcome Rapi2Call::AnswerRegSetValueEx() {
    Result result = d_.DoRegSetValue(session_, q_.handle, q_.path, q_.valueType, q_.data, q_.size);
    return Registry(result, Quoted(q_.path));
}

ServeOutcome Rapi2Call::AnswerRegDeleteValue() {
    return Registry(d_.DoRegDeleteValue(session_, q_.handle, q_.path), Quoted(q_.path));
}

ServeOutcome Rapi2Call::AnswerRegDeleteKey() {
    Result result = q_.hasPath ? d_.DoRegDeleteKey(session_, q_.handle, q_.path) : PathOrRefused();
    return Registry(result, Hex(q_.handle) + " " + Quoted(q_.path));
}

ServeOutcome Rapi2Call::AnswerRegEnumKeyEx() {
    Result result = d_.DoRegEnumKey(session_, q_.handle, q_.index, q_.nameRoom, &r_.text);
    return Registry(result, HandleName(q_.handle) + " #" + std::to_string(q_.index));
}

ServeOutcome Rapi2Call::AnswerRegEnumValue() {
    DWORD type = 0;
    uint32_t size = 0;
    Result result = d_.DoRegEnumValue(session_, q_.handle, q_.index, q_.nameRoom, true, q_.count, &r_.text, &type,
                                      &held_, &size);
    ReplyValue(type, size);
    return Registry(result, HandleName(q_.handle) + " #" + std::to_string(q_.index));
}
