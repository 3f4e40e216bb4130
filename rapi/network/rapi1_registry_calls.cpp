// The registry calls to a CE 3.x/4.x device (protocol/rapi1.h), in the
// layouts of SynCE's client library: buffers the device fills go out as
// output buffers (their room, no data), counts as in/out u32s; the reply
// brings each back as an optional value. Every size the device sends is
// checked against the room the caller gave before anything is copied.
#include "rapi/network/rapi1_registry_calls.h"

#include <string.h>

#include <algorithm>

#include "rapi/last_error.h"
#include "rapi/network/exchange.h"

namespace netcall {

namespace {

LONG Lost() { return static_cast<LONG>(rapilink::LastError()); }
LONG NoDevice() { return static_cast<LONG>(rapilink::kNoDevice); }

void CountArgument(rapi1::Writer &request, const DWORD *count) {
    if (!count) return request.Absent();
    uint8_t bytes[4] = {static_cast<uint8_t>(*count), static_cast<uint8_t>(*count >> 8),
                        static_cast<uint8_t>(*count >> 16), static_cast<uint8_t>(*count >> 24)};
    request.InOutBuffer(bytes, 4);
}

// The registry's result after the last error; 0 and the reply failed when
// the reply was cut short.
bool TakeStatus(Reply &reply, LONG *status) {
    TakeLastError(reply);
    *status = static_cast<LONG>(reply.in.U32());
    return Complete(reply);
}

// A name the device sent into a buffer of *chars characters: its units up
// to the first NUL; *chars becomes its length. Malformed when the device
// sent more than the room, or a name that leaves no room for the
// terminator.
bool TakeName(Reply &reply, LPWSTR name, LPDWORD chars) {
    rapi1::Optional value = reply.in.OptionalArgument();
    if (!Complete(reply)) return false;
    if (!name) return true;
    if (!value.hasValue || value.size % 2 != 0 || value.size / 2 > *chars) {
        return Malformed(reply, "a name larger than the caller's buffer");
    }
    rapi1::Reader units(value.data, value.size);
    std::wstring text = units.Units(value.size / 2);
    text = text.substr(0, text.find(L'\0'));
    if (text.size() + 1 > *chars) return Malformed(reply, "a name with no room for its terminator");
    memcpy(name, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    *chars = static_cast<DWORD>(text.size());
    return true;
}

// A u32 the device sent back (a count or a type) into `to`, when given.
bool TakeU32(Reply &reply, DWORD *to) {
    uint8_t bytes[4];
    bool got = false;
    if (!TakeExactValue(reply, bytes, 4, &got)) return false;
    if (got && to) *to = U32At(bytes);
    return true;
}

}  // namespace

LONG WINAPI NetRegCreateKeyEx(HKEY key, LPCWSTR subKey, DWORD, LPWSTR keyClass, DWORD, REGSAM, LPSECURITY_ATTRIBUTES,
                              PHKEY result, LPDWORD disposition) {
    rapi1::Writer request = Request(rapi1::kRegCreateKeyEx);
    request.U32(FromKey(key));
    request.String(subKey);
    keyClass ? request.String(keyClass) : request.Absent();
    Reply reply("CeRegCreateKeyEx");
    if (!Exchange(request, kSmallReply, &reply)) return Lost();
    LONG status = 0;
    if (!TakeStatus(reply, &status)) return NoDevice();
    if (status != ERROR_SUCCESS) return status;
    uint32_t opened = reply.in.U32();
    DWORD how = reply.in.U32();
    if (!Complete(reply)) return NoDevice();
    *result = reinterpret_cast<HKEY>(ToHandle(opened));
    if (disposition) *disposition = how;
    return status;
}

LONG WINAPI NetRegEnumKeyEx(HKEY key, DWORD index, LPWSTR name, LPDWORD nameChars, LPDWORD, LPWSTR keyClass,
                            LPDWORD classChars, PFILETIME lastWrite) {
    const DWORD nameRoom = std::min<DWORD>(*nameChars, rapi1::kMaxStringUnits);
    const DWORD classRoom = keyClass ? std::min<DWORD>(*classChars, rapi1::kMaxStringUnits) : 0;
    rapi1::Writer request = Request(rapi1::kRegEnumKeyEx);
    request.U32(FromKey(key));
    request.U32(index);
    request.OutBuffer(nameRoom * 2);
    CountArgument(request, &nameRoom);
    request.Absent();  // reserved
    keyClass ? request.OutBuffer(classRoom * 2) : request.Absent();
    CountArgument(request, classChars ? &classRoom : nullptr);
    lastWrite ? request.OutBuffer(rapi1::kFileTimeBytes) : request.Absent();
    Reply reply("CeRegEnumKeyEx");
    if (!Exchange(request, (nameRoom + classRoom) * 2 + kSmallReply, &reply)) return Lost();
    LONG status = 0;
    if (!TakeStatus(reply, &status)) return NoDevice();
    if (status != ERROR_SUCCESS) return status;
    DWORD nameRoomLeft = nameRoom, classRoomLeft = classRoom;
    if (!TakeName(reply, name, &nameRoomLeft) || !TakeU32(reply, nullptr) ||
        !TakeName(reply, keyClass, &classRoomLeft) || !TakeU32(reply, nullptr)) {
        return NoDevice();
    }
    uint8_t time[rapi1::kFileTimeBytes] = {};
    bool gotTime = false;
    if (lastWrite && !TakeExactValue(reply, time, sizeof time, &gotTime)) return NoDevice();
    *nameChars = nameRoomLeft;
    if (classChars) *classChars = keyClass ? classRoomLeft : 0;
    if (lastWrite) *lastWrite = FILETIME{U32At(time), U32At(time + 4)};
    return status;
}

// A data buffer of 0 bytes asks for the size alone: bytes a device sends
// with it anyway are not copied anywhere.
LONG WINAPI NetRegEnumValue(HKEY key, DWORD index, LPWSTR name, LPDWORD nameChars, LPDWORD, LPDWORD type,
                            LPBYTE data, LPDWORD dataSize) {
    const DWORD nameRoom = std::min<DWORD>(*nameChars, rapi1::kMaxStringUnits);
    const DWORD room = dataSize ? *dataSize : 0;
    rapi1::Writer request = Request(rapi1::kRegEnumValue);
    request.U32(FromKey(key));
    request.U32(index);
    request.OutBuffer(nameRoom * 2);
    CountArgument(request, &nameRoom);
    request.Absent();  // reserved
    type ? request.OutBuffer(4) : request.Absent();
    data ? request.OutBuffer(room) : request.Absent();
    CountArgument(request, dataSize);
    Reply reply("CeRegEnumValue");
    if (!Exchange(request, nameRoom * 2 + room + kSmallReply, &reply)) return Lost();
    LONG status = 0;
    if (!TakeStatus(reply, &status)) return NoDevice();
    if (status != ERROR_SUCCESS) return status;
    DWORD nameLength = nameRoom, valueType = 0, size = 0;
    if (!TakeName(reply, name, &nameLength) || !TakeU32(reply, nullptr) || !TakeU32(reply, &valueType)) {
        return NoDevice();
    }
    rapi1::Optional value = reply.in.OptionalArgument();
    if (!Complete(reply) || !TakeU32(reply, &size)) return NoDevice();
    const bool copy = data && room && value.hasValue;
    if (copy && value.size > room) {
        Malformed(reply, "a value larger than the caller's buffer");
        return NoDevice();
    }
    if (copy) memcpy(data, value.data, value.size);
    *nameChars = nameLength;
    if (type) *type = valueType;
    if (dataSize) *dataSize = size;
    return status;
}

LONG WINAPI NetRegSetValueEx(HKEY key, LPCWSTR name, DWORD, DWORD type, const BYTE *data, DWORD dataSize) {
    rapi1::Writer request = Request(rapi1::kRegSetValueEx);
    request.U32(FromKey(key));
    name ? request.OptionalString(name) : request.Absent();
    request.U32(type);
    data ? request.InOutBuffer(data, dataSize) : request.Absent();
    request.U32(dataSize);
    Reply reply("CeRegSetValueEx");
    if (!Exchange(request, kSmallReply, &reply)) return Lost();
    LONG status = 0;
    return TakeStatus(reply, &status) ? status : NoDevice();
}

namespace {

// A call on a key and an optional string whose reply is the result alone.
LONG KeyNameCall(rapi1::Command command, const char *call, HKEY key, LPCWSTR name) {
    rapi1::Writer request = Request(command);
    request.U32(FromKey(key));
    name ? request.OptionalString(name) : request.Absent();
    Reply reply(call);
    if (!Exchange(request, kSmallReply, &reply)) return Lost();
    LONG status = 0;
    return TakeStatus(reply, &status) ? status : NoDevice();
}

}  // namespace

LONG WINAPI NetRegDeleteKey(HKEY key, LPCWSTR subKey) {
    return KeyNameCall(rapi1::kRegDeleteKey, "CeRegDeleteKey", key, subKey);
}

LONG WINAPI NetRegDeleteValue(HKEY key, LPCWSTR name) {
    return KeyNameCall(rapi1::kRegDeleteValue, "CeRegDeleteValue", key, name);
}

}  // namespace netcall
