// The registry calls of the remote API v1 as the simulated device answers
// them, in the layouts of SynCE's client library (its registry calls of
// the older protocol). Every reply: result_1 0, the last error (0: the
// registry reports through its result), the result, then only on success
// the call's own fields. Optional arguments the caller gave (a name or data
// buffer, a type, a size) come back as optional values; those it did not
// give come back absent.
#include <algorithm>

#include "serve/rapi1_call.h"

namespace {

const uint32_t kNoLastError = 0;

uint32_t U32Of(const rapi1::Optional &value) {
    if (!value.hasValue || value.size != 4) return 0;
    return value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) | (static_cast<uint32_t>(value.data[3]) << 24);
}

// The characters a caller has room for: its buffer's bytes, and the count
// it states in characters, whichever is smaller.
uint32_t NameRoom(const rapi1::Optional &buffer, const rapi1::Optional &count) {
    if (!buffer.present || !count.present) return 0;
    return std::min(buffer.size / 2, U32Of(count));
}

// The bytes a data buffer has room for: its size, and the size the caller
// states, whichever is smaller.
uint32_t DataRoom(const rapi1::Optional &data, const rapi1::Optional &size) {
    return size.hasValue ? std::min(data.size, U32Of(size)) : data.size;
}

}  // namespace

// A value's data back to a caller that gave a buffer: none for a size
// query, else the bytes.
void Rapi1Call::OptionalData(const rapi1::Optional &data, uint32_t room, const std::vector<uint8_t> &value) {
    if (!data.present) {
        out_.Absent();
    } else if (value.empty()) {
        out_.OptionalNoValue(room);
    } else {
        out_.OptionalValue(value.data(), static_cast<uint32_t>(value.size()));
    }
}

// The arguments both enumerations start with: the key, the index, the
// name's buffer and its count, and the reserved pointer.
Rapi1Call::EnumHead Rapi1Call::ReadEnumHead() {
    EnumHead h;
    h.key = in_.U32();
    h.index = in_.U32();
    h.nameBuffer = in_.OptionalArgument();
    h.nameCount = in_.OptionalArgument();
    in_.OptionalArgument();  // reserved
    return h;
}

void Rapi1Call::RegistryHead(const Result &result) {
    out_.Succeeded();
    out_.U32(kNoLastError);
    out_.U32(result.ok ? ERROR_SUCCESS : result.lastError);
}

// A u32 back to the caller as an optional value, when it gave room for one.
void Rapi1Call::OptionalU32(const rapi1::Optional &asked, uint32_t value) {
    uint8_t bytes[4];
    PutU32(bytes, value);
    asked.present ? out_.OptionalValue(bytes, 4) : out_.Absent();
}

// A name back: its units with the terminator, then its length without it.
void Rapi1Call::OptionalName(const rapi1::Optional &buffer, const rapi1::Optional &count, const std::wstring &name) {
    rapi1::Writer units;
    units.Units(name);
    units.U16(0);
    buffer.present ? out_.OptionalValue(units.Body().data(), static_cast<uint32_t>(units.Size())) : out_.Absent();
    OptionalU32(count, static_cast<uint32_t>(name.size()));
}

ServeOutcome Rapi1Call::AnswerRegOpenKeyEx() {
    uint32_t root = in_.U32();
    bool present = false;
    std::wstring subKey = in_.String(&present);
    if (!Complete()) return Malformed();
    uint32_t key = 0;
    Result result = d_.DoRegOpenKey(session_, root, subKey, &key);
    RegistryHead(result);
    if (result.ok) out_.U32(key);
    LogLine("CeRegOpenKeyEx " + Hex(root) + " " + Quoted(subKey) + " -> " + result.note);
    return ServeOutcome::kAnswer;
}

ServeOutcome Rapi1Call::AnswerRegCreateKeyEx() {
    uint32_t parent = in_.U32();
    bool present = false, hasClass = false;
    std::wstring subKey = in_.String(&present);
    in_.String(&hasClass);  // a key's class is not kept
    if (!Complete()) return Malformed();
    uint32_t key = 0;
    DWORD disposition = 0;
    Result result = present ? d_.DoRegCreateKey(session_, parent, subKey, &key, &disposition) : Refused();
    RegistryHead(result);
    if (result.ok) {
        out_.U32(key);
        out_.U32(disposition);
    }
    LogLine("CeRegCreateKeyEx " + Hex(parent) + " " + Quoted(subKey) + " -> " + result.note);
    return ServeOutcome::kAnswer;
}

ServeOutcome Rapi1Call::AnswerRegCloseKey() {
    uint32_t key = in_.U32();
    if (!Complete()) return Malformed();
    Result result = d_.DoRegCloseKey(session_, key);
    RegistryHead(result);
    LogLine("CeRegCloseKey " + Hex(key) + " -> " + result.note);
    return ServeOutcome::kAnswer;
}

// Data without its size is refused, as Windows refuses it; a data buffer of
// 0 bytes asks for the type and size alone, as no buffer does. A buffer too
// small fails with 234 and still tells the size.
ServeOutcome Rapi1Call::AnswerRegQueryValueEx() {
    uint32_t key = in_.U32();
    bool hasName = false;
    std::wstring name = in_.OptionalString(&hasName);
    in_.OptionalArgument();  // reserved
    rapi1::Optional type = in_.OptionalArgument();
    rapi1::Optional data = in_.OptionalArgument();
    rapi1::Optional size = in_.OptionalArgument();
    if (!Complete()) return Malformed();
    const uint32_t room = DataRoom(data, size);
    DWORD valueType = 0;
    uint32_t valueSize = 0;
    std::vector<uint8_t> value;
    Result result = data.present && !size.present
                        ? Refused()
                        : d_.DoRegQueryValue(session_, key, name, data.present, room, &valueType, &value, &valueSize);
    RegistryHead(result);
    if (result.ok || result.lastError == ERROR_MORE_DATA) {
        OptionalU32(type, valueType);
        OptionalData(data, room, value);
        OptionalU32(size, valueSize);
    }
    LogLine("CeRegQueryValueEx " + Quoted(name) + " -> " + result.note);
    return ServeOutcome::kAnswer;
}

ServeOutcome Rapi1Call::AnswerRegEnumKeyEx() {
    const EnumHead h = ReadEnumHead();
    rapi1::Optional classBuffer = in_.OptionalArgument();
    rapi1::Optional classCount = in_.OptionalArgument();
    rapi1::Optional written = in_.OptionalArgument();
    if (!Complete()) return Malformed();
    std::wstring name;
    Result result = !h.nameBuffer.present || !h.nameCount.present
                        ? Refused()
                        : d_.DoRegEnumKey(session_, h.key, h.index, NameRoom(h.nameBuffer, h.nameCount), &name);
    RegistryHead(result);
    if (result.ok) {
        OptionalName(h.nameBuffer, h.nameCount, name);
        OptionalName(classBuffer, classCount, std::wstring());  // no key has a class
        const uint8_t never[rapi1::kFileTimeBytes] = {};
        written.present ? out_.OptionalValue(never, sizeof never) : out_.Absent();
    }
    LogLine("CeRegEnumKeyEx " + HandleName(h.key) + " #" + std::to_string(h.index) + " -> " + result.note);
    return ServeOutcome::kAnswer;
}

ServeOutcome Rapi1Call::AnswerRegEnumValue() {
    const EnumHead h = ReadEnumHead();
    rapi1::Optional type = in_.OptionalArgument();
    rapi1::Optional data = in_.OptionalArgument();
    rapi1::Optional size = in_.OptionalArgument();
    if (!Complete()) return Malformed();
    const uint32_t room = DataRoom(data, size);
    std::wstring name;
    DWORD valueType = 0;
    uint32_t valueSize = 0;
    std::vector<uint8_t> value;
    Result result = !h.nameBuffer.present || !h.nameCount.present || (data.present && !size.present)
                        ? Refused()
                        : d_.DoRegEnumValue(session_, h.key, h.index, NameRoom(h.nameBuffer, h.nameCount), data.present,
                                            room, &name, &valueType, &value, &valueSize);
    RegistryHead(result);
    if (result.ok) {
        OptionalName(h.nameBuffer, h.nameCount, name);
        OptionalU32(type, valueType);
        OptionalData(data, room, value);
        OptionalU32(size, valueSize);
    }
    LogLine("CeRegEnumValue " + HandleName(h.key) + " #" + std::to_string(h.index) + " -> " + result.note);
    return ServeOutcome::kAnswer;
}

// The data comes as an in/out buffer (or absent for none), then its size:
// a size above the bytes sent is refused.
ServeOutcome Rapi1Call::AnswerRegSetValueEx() {
    uint32_t key = in_.U32();
    bool hasName = false;
    std::wstring name = in_.OptionalString(&hasName);
    uint32_t type = in_.U32();
    rapi1::Optional data = in_.OptionalArgument();
    uint32_t size = in_.U32();
    if (!Complete()) return Malformed();
    const uint32_t sent = data.hasValue ? data.size : 0;
    Result result = size > sent ? Refused() : d_.DoRegSetValue(session_, key, name, type, data.data, size);
    RegistryHead(result);
    LogLine("CeRegSetValueEx " + Quoted(name) + " -> " + result.note);
    return ServeOutcome::kAnswer;
}

ServeOutcome Rapi1Call::AnswerRegDeleteValue() {
    uint32_t key = in_.U32();
    bool hasName = false;
    std::wstring name = in_.OptionalString(&hasName);
    if (!Complete()) return Malformed();
    Result result = d_.DoRegDeleteValue(session_, key, name);
    RegistryHead(result);
    LogLine("CeRegDeleteValue " + Quoted(name) + " -> " + result.note);
    return ServeOutcome::kAnswer;
}

ServeOutcome Rapi1Call::AnswerRegDeleteKey() {
    uint32_t parent = in_.U32();
    bool present = false;
    std::wstring subKey = in_.OptionalString(&present);
    if (!Complete()) return Malformed();
    Result result = present ? d_.DoRegDeleteKey(session_, parent, subKey) : Refused();
    RegistryHead(result);
    LogLine("CeRegDeleteKey " + Hex(parent) + " " + Quoted(subKey) + " -> " + result.note);
    return ServeOutcome::kAnswer;
}
