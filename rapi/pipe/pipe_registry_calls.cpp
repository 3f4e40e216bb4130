// The registry calls over the pipe to our simulated device (protocol/wire.h,
// kRegCreateKey to kRegDeleteKey). Every answer starts with the registry's
// result; names and data reach the caller's buffers only on success, and
// only as much as the caller said they hold.
#include "rapi/pipe/pipe_registry_calls.h"

#include <string.h>

#include "rapi/last_error.h"
#include "rapi/pipe/pipe_link.h"
#include "rapi/pipe/pipe_request.h"

using rapilink::Answer;
using rapilink::Call;

namespace pipecall {

namespace {

LONG NoDevice() { return static_cast<LONG>(rapilink::kNoDevice); }

// A call whose answer is the registry's result alone.
LONG StatusCall(wire::Writer &request) {
    Answer answer;
    if (!Call(request, &answer)) return NoDevice();
    LONG status = answer.in.I32();
    return Decoded(answer) ? status : NoDevice();
}

// A name into the caller's buffer of *chars characters (the device checked
// that it fits with its terminator); *chars becomes its length.
bool PutName(const std::wstring &text, LPWSTR name, LPDWORD chars) {
    if (text.size() + 1 > *chars) return false;
    memcpy(name, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    *chars = static_cast<DWORD>(text.size());
    return true;
}

}  // namespace

LONG WINAPI PipeRegCreateKeyEx(HKEY key, LPCWSTR subKey, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES,
                               PHKEY result, LPDWORD disposition) {
    wire::Writer request = Request(wire::kRegCreateKey);
    request.U32(FromKey(key));
    request.Text(TextOf(subKey));
    Answer answer;
    if (!Call(request, &answer)) return NoDevice();
    LONG status = answer.in.I32();
    uint32_t opened = answer.in.U32();
    DWORD how = answer.in.U32();
    if (!Decoded(answer)) return NoDevice();
    if (status != ERROR_SUCCESS) return status;
    *result = reinterpret_cast<HKEY>(ToHandle(opened));
    if (disposition) *disposition = how;
    return status;
}

// Keys have no class and no time of their own here: an empty class and a
// zero time.
LONG WINAPI PipeRegEnumKeyEx(HKEY key, DWORD index, LPWSTR name, LPDWORD nameChars, LPDWORD, LPWSTR keyClass,
                             LPDWORD classChars, PFILETIME lastWrite) {
    wire::Writer request = Request(wire::kRegEnumKey);
    request.U32(FromKey(key));
    request.U32(index);
    request.U32(*nameChars);
    Answer answer;
    if (!Call(request, &answer)) return NoDevice();
    LONG status = answer.in.I32();
    std::wstring text = answer.in.Text();
    if (!Decoded(answer)) return NoDevice();
    if (status != ERROR_SUCCESS) return status;
    if (!PutName(text, name, nameChars)) return ERROR_MORE_DATA;
    if (keyClass && *classChars) keyClass[0] = L'\0';
    if (classChars) *classChars = 0;
    if (lastWrite) *lastWrite = FILETIME{0, 0};
    return status;
}

LONG WINAPI PipeRegEnumValue(HKEY key, DWORD index, LPWSTR name, LPDWORD nameChars, LPDWORD, LPDWORD type,
                             LPBYTE data, LPDWORD dataSize) {
    wire::Writer request = Request(wire::kRegEnumValue);
    request.U32(FromKey(key));
    request.U32(index);
    request.U32(*nameChars);
    request.U32(data != nullptr);
    request.U32(dataSize ? *dataSize : 0);
    Answer answer;
    if (!Call(request, &answer)) return NoDevice();
    LONG status = answer.in.I32();
    std::wstring text = answer.in.Text();
    DWORD valueType = answer.in.U32();
    uint32_t size = answer.in.U32();
    uint32_t count = 0;
    const uint8_t *bytes = answer.in.Bytes(&count);
    if (!Decoded(answer)) return NoDevice();
    if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) return status;
    if (status == ERROR_SUCCESS && !PutName(text, name, nameChars)) return ERROR_MORE_DATA;
    if (type) *type = valueType;
    if (data && status == ERROR_SUCCESS && count && count <= *dataSize) memcpy(data, bytes, count);
    if (dataSize) *dataSize = size;
    return status;
}

LONG WINAPI PipeRegSetValueEx(HKEY key, LPCWSTR name, DWORD, DWORD type, const BYTE *data, DWORD dataSize) {
    wire::Writer request = Request(wire::kRegSetValue);
    request.U32(FromKey(key));
    request.Text(TextOf(name));
    request.U32(type);
    request.Bytes(data, dataSize);
    return StatusCall(request);
}

LONG WINAPI PipeRegDeleteKey(HKEY key, LPCWSTR subKey) {
    wire::Writer request = Request(wire::kRegDeleteKey);
    request.U32(FromKey(key));
    request.Text(TextOf(subKey));
    return StatusCall(request);
}

LONG WINAPI PipeRegDeleteValue(HKEY key, LPCWSTR name) {
    wire::Writer request = Request(wire::kRegDeleteValue);
    request.U32(FromKey(key));
    request.Text(TextOf(name));
    return StatusCall(request);
}

}  // namespace pipecall
