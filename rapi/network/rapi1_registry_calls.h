// The registry calls of the network transport to a CE 3.x/4.x device beyond
// opening, querying and closing a key: entries of its call table
// (rapi/network/rapi1_calls.cpp).
#pragma once

#include "device/rapi_types.h"

namespace netcall {

LONG WINAPI NetRegCreateKeyEx(HKEY key, LPCWSTR subKey, DWORD, LPWSTR keyClass, DWORD, REGSAM, LPSECURITY_ATTRIBUTES,
                              PHKEY result, LPDWORD disposition);
LONG WINAPI NetRegEnumKeyEx(HKEY key, DWORD index, LPWSTR name, LPDWORD nameChars, LPDWORD, LPWSTR keyClass,
                            LPDWORD classChars, PFILETIME lastWrite);
LONG WINAPI NetRegEnumValue(HKEY key, DWORD index, LPWSTR name, LPDWORD nameChars, LPDWORD, LPDWORD type,
                            LPBYTE data, LPDWORD dataSize);
LONG WINAPI NetRegSetValueEx(HKEY key, LPCWSTR name, DWORD, DWORD type, const BYTE *data, DWORD dataSize);
LONG WINAPI NetRegDeleteKey(HKEY key, LPCWSTR subKey);
LONG WINAPI NetRegDeleteValue(HKEY key, LPCWSTR name);

}  // namespace netcall
