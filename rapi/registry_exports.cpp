// The registry functions of the stand-in rapi.dll: each checks the
// caller's arguments as the platform does, hands the call to the transport
// that CeRapiInitEx started, and writes one line to the RAPI_LOG file. The
// program itself reads only Ident\OrigName; the rest is here for any other
// tool that uses this rapi.dll (a registry editor, SynCE-style tools).
#include <string>
#include <type_traits>

#include "rapi/call_log.h"
#include "rapi/calls.h"

using calllog::Hex;
using calllog::Text;

namespace {

std::string Number(unsigned long long value) { return std::to_string(value); }
std::string Key(HKEY key) { return Hex(reinterpret_cast<uintptr_t>(key)); }
std::string Status(LONG status) { return Number(static_cast<unsigned long>(status)); }
std::string Count(const DWORD *count) { return count ? Number(*count) : std::string("null"); }

}  // namespace

extern "C" {

LONG WINAPI CeRegOpenKeyEx(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result) {
    calllog::Call log("CeRegOpenKeyEx");
    LONG status = ERROR_INVALID_PARAMETER;
    if (result) {
        *result = nullptr;
        status = Guarded<LONG>(ERROR_NOT_ENOUGH_MEMORY, TransportCalls().regOpenKeyEx, key, subKey, options, access, result);
    }
    log.Done(Key(key) + ", " + Text(subKey), Status(status) + (result ? " key " + Key(*result) : ""));
    return status;
}

LONG WINAPI CeRegCreateKeyEx(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options,
                             REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY result, LPDWORD disposition) {
    calllog::Call log("CeRegCreateKeyEx");
    LONG status = ERROR_INVALID_PARAMETER;
    if (result && subKey) {
        *result = nullptr;
        status = Guarded<LONG>(ERROR_NOT_ENOUGH_MEMORY, TransportCalls().regCreateKeyEx, key, subKey, reserved, keyClass, options, access, security, result,
                                                 disposition);
    }
    log.Done(Key(key) + ", " + Text(subKey),
             Status(status) + (result ? " key " + Key(*result) : "") + " disposition " + Count(disposition));
    return status;
}

// No data buffer, or one of 0 bytes, asks for the value's type and size.
LONG WINAPI CeRegQueryValueEx(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                              LPDWORD dataSize) {
    calllog::Call log("CeRegQueryValueEx");
    DWORD room = dataSize ? *dataSize : 0;
    LONG status = data && !dataSize ? ERROR_INVALID_PARAMETER
                                    : Guarded<LONG>(ERROR_NOT_ENOUGH_MEMORY, TransportCalls().regQueryValueEx, key, name, reserved, type, data, dataSize);
    log.Done(Key(key) + ", " + Text(name) + ", room " + Number(room),
             Status(status) + (type ? " type " + Number(*type) : "") + (dataSize ? " size " + Number(*dataSize) : ""));
    return status;
}

LONG WINAPI CeRegEnumKeyEx(HKEY key, DWORD index, LPWSTR name, LPDWORD nameChars, LPDWORD reserved, LPWSTR keyClass,
                           LPDWORD classChars, PFILETIME lastWrite) {
    calllog::Call log("CeRegEnumKeyEx");
    const std::string room = Count(nameChars);
    LONG status = !name || !nameChars || (keyClass && !classChars)
                      ? ERROR_INVALID_PARAMETER
                      : Guarded<LONG>(ERROR_NOT_ENOUGH_MEMORY, TransportCalls().regEnumKeyEx, key, index, name, nameChars, reserved, keyClass, classChars,
                                                      lastWrite);
    log.Done(Key(key) + ", #" + Number(index) + ", room " + room,
             Status(status) + (status == ERROR_SUCCESS ? " " + Text(name) : ""));
    return status;
}

LONG WINAPI CeRegEnumValue(HKEY key, DWORD index, LPWSTR name, LPDWORD nameChars, LPDWORD reserved, LPDWORD type,
                           LPBYTE data, LPDWORD dataSize) {
    calllog::Call log("CeRegEnumValue");
    const std::string room = Count(nameChars) + ", data room " + Count(dataSize);
    LONG status = !name || !nameChars || (data && !dataSize)
                      ? ERROR_INVALID_PARAMETER
                      : Guarded<LONG>(ERROR_NOT_ENOUGH_MEMORY, TransportCalls().regEnumValue, key, index, name, nameChars, reserved, type, data, dataSize);
    log.Done(Key(key) + ", #" + Number(index) + ", room " + room,
             Status(status) + (status == ERROR_SUCCESS ? " " + Text(name) + " size " + Count(dataSize) : ""));
    return status;
}

LONG WINAPI CeRegSetValueEx(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE *data, DWORD dataSize) {
    calllog::Call log("CeRegSetValueEx");
    LONG status = !data && dataSize ? ERROR_INVALID_PARAMETER
                                    : Guarded<LONG>(ERROR_NOT_ENOUGH_MEMORY, TransportCalls().regSetValueEx, key, name, reserved, type, data, dataSize);
    log.Done(Key(key) + ", " + Text(name) + ", type " + Number(type) + ", " + Number(dataSize) + " bytes",
             Status(status));
    return status;
}

LONG WINAPI CeRegDeleteKey(HKEY key, LPCWSTR subKey) {
    calllog::Call log("CeRegDeleteKey");
    LONG status = !subKey ? ERROR_INVALID_PARAMETER : Guarded<LONG>(ERROR_NOT_ENOUGH_MEMORY, TransportCalls().regDeleteKey, key, subKey);
    log.Done(Key(key) + ", " + Text(subKey), Status(status));
    return status;
}

LONG WINAPI CeRegDeleteValue(HKEY key, LPCWSTR name) {
    calllog::Call log("CeRegDeleteValue");
    LONG status = Guarded<LONG>(ERROR_NOT_ENOUGH_MEMORY, TransportCalls().regDeleteValue, key, name);
    log.Done(Key(key) + ", " + Text(name), Status(status));
    return status;
}

LONG WINAPI CeRegCloseKey(HKEY key) {
    calllog::Call log("CeRegCloseKey");
    LONG status = Guarded<LONG>(ERROR_NOT_ENOUGH_MEMORY, TransportCalls().regCloseKey, key);
    log.Done(Key(key), Status(status));
    return status;
}

}  // extern "C"

// The exports must have exactly the platform's signatures.
#define SAME_SIGNATURE(name) \
    static_assert(std::is_same<decltype(&name), name##Fn>::value, #name " signature")
SAME_SIGNATURE(CeRegOpenKeyEx);
SAME_SIGNATURE(CeRegCreateKeyEx);
SAME_SIGNATURE(CeRegQueryValueEx);
SAME_SIGNATURE(CeRegEnumKeyEx);
SAME_SIGNATURE(CeRegEnumValue);
SAME_SIGNATURE(CeRegSetValueEx);
SAME_SIGNATURE(CeRegDeleteKey);
SAME_SIGNATURE(CeRegDeleteValue);
SAME_SIGNATURE(CeRegCloseKey);
