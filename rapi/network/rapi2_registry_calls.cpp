// The registry calls to a Windows Mobile 5/6 device (protocol/rapi2.h, in
// the layouts of SynCE's client library). The codec has checked every
// size against the request (a name at most its room, a value at most its
// buffer); what is copied here fits the caller's buffers.
#include "rapi/network/rapi2_registry_calls.h"

#include <string.h>

#include <algorithm>

#include "rapi/last_error.h"
#include "rapi/network/exchange.h"
#include "rapi/network/rapi2_file_calls.h"

using netcall::Call2;
using netcall::Exchange2;

namespace netcall2 {

namespace {

LONG Lost() { return static_cast<LONG>(rapilink::LastError()); }

// A call whose reply is the registry's result alone.
LONG StatusCall(Call2 &call, HKEY key) {
    call.request.handle = netcall::FromKey(key);
    if (!Exchange2(call, netcall::kSmallReply)) return Lost();
    return static_cast<LONG>(call.reply.result);
}

// A name into a buffer of *chars characters, with its terminator; *chars
// becomes its length. ERROR_MORE_DATA when the terminator has no room.
LONG PutName(const std::wstring &text, LPWSTR name, LPDWORD chars) {
    if (text.size() + 1 > *chars) return ERROR_MORE_DATA;
    memcpy(name, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    *chars = static_cast<DWORD>(text.size());
    return ERROR_SUCCESS;
}

}  // namespace

LONG WINAPI RegCreateKeyEx2(HKEY key, LPCWSTR subKey, DWORD, LPWSTR keyClass, DWORD, REGSAM, LPSECURITY_ATTRIBUTES,
                            PHKEY result, LPDWORD disposition) {
    Call2 call = PathCall("CeRegCreateKeyEx", rapi2::kRegCreateKeyEx, subKey);
    call.request.hasSecond = keyClass != nullptr;
    if (keyClass) call.request.second = keyClass;
    LONG status = StatusCall(call, key);
    if (status != ERROR_SUCCESS) return status;
    *result = reinterpret_cast<HKEY>(netcall::ToHandle(call.reply.value));
    if (disposition) *disposition = static_cast<DWORD>(call.reply.numbers[0]);
    return status;
}

// No key has a class or a time the device sends back: an empty class and
// a zero time.
LONG WINAPI RegEnumKeyEx2(HKEY key, DWORD index, LPWSTR name, LPDWORD nameChars, LPDWORD, LPWSTR keyClass,
                          LPDWORD classChars, PFILETIME lastWrite) {
    Call2 call("CeRegEnumKeyEx", rapi2::kRegEnumKeyEx);
    call.request.index = index;
    call.request.nameRoom = std::min<DWORD>(*nameChars, rapi1::kMaxStringUnits);
    call.request.classRoom = keyClass ? std::min<DWORD>(*classChars, rapi1::kMaxStringUnits) : 0;
    call.request.handle = netcall::FromKey(key);
    if (!Exchange2(call, call.request.nameRoom * 2 + netcall::kSmallReply)) return Lost();
    LONG status = static_cast<LONG>(call.reply.result);
    if (status == ERROR_SUCCESS) status = PutName(call.reply.text, name, nameChars);
    if (status != ERROR_SUCCESS) return status;
    if (keyClass && *classChars) keyClass[0] = L'\0';
    if (classChars) *classChars = 0;
    if (lastWrite) *lastWrite = FILETIME{0, 0};
    return status;
}

LONG WINAPI RegEnumValue2(HKEY key, DWORD index, LPWSTR name, LPDWORD nameChars, LPDWORD, LPDWORD type, LPBYTE data,
                          LPDWORD dataSize) {
    Call2 call("CeRegEnumValue", rapi2::kRegEnumValue);
    call.request.index = index;
    call.request.nameRoom = std::min<DWORD>(*nameChars, rapi1::kMaxStringUnits);
    call.request.count = data && dataSize ? *dataSize : 0;
    call.request.handle = netcall::FromKey(key);
    if (!Exchange2(call, call.request.nameRoom * 2 + call.request.count + netcall::kSmallReply)) return Lost();
    LONG status = static_cast<LONG>(call.reply.result);
    if (status == ERROR_SUCCESS) status = PutName(call.reply.text, name, nameChars);
    if (status != ERROR_SUCCESS) return status;
    if (type) *type = call.reply.value;
    if (data && call.reply.data) memcpy(data, call.reply.data, call.reply.size);
    if (dataSize) *dataSize = call.reply.size;
    return status;
}

LONG WINAPI RegSetValueEx2(HKEY key, LPCWSTR name, DWORD, DWORD type, const BYTE *data, DWORD dataSize) {
    Call2 call = PathCall("CeRegSetValueEx", rapi2::kRegSetValueEx, name);
    call.request.valueType = type;
    call.request.data = data;
    call.request.size = data ? dataSize : 0;
    return StatusCall(call, key);
}

LONG WINAPI RegDeleteKey2(HKEY key, LPCWSTR subKey) {
    Call2 call = PathCall("CeRegDeleteKey", rapi2::kRegDeleteKey, subKey);
    return StatusCall(call, key);
}

LONG WINAPI RegDeleteValue2(HKEY key, LPCWSTR name) {
    Call2 call = PathCall("CeRegDeleteValue", rapi2::kRegDeleteValue, name);
    return StatusCall(call, key);
}

}  // namespace netcall2
