// The registry calls of the network transport to a Windows Mobile 5/6
// device beyond opening, querying and closing a key: entries of its call
// table (rapi/network/rapi2_calls.cpp).
#pragma once

#include "device/rapi_types.h"

namespace netcall2 {

LONG WINAPI RegCreateKeyEx2(HKEY key, LPCWSTR subKey, DWORD, LPWSTR keyClass, DWORD, REGSAM, LPSECURITY_ATTRIBUTES,
                            PHKEY result, LPDWORD disposition);
LONG WINAPI RegEnumKeyEx2(HKEY key, DWORD index, LPWSTR name, LPDWORD nameChars, LPDWORD, LPWSTR keyClass,
                          LPDWORD classChars, PFILETIME lastWrite);
LONG WINAPI RegEnumValue2(HKEY key, DWORD index, LPWSTR name, LPDWORD nameChars, LPDWORD, LPDWORD type, LPBYTE data,
                          LPDWORD dataSize);
LONG WINAPI RegSetValueEx2(HKEY key, LPCWSTR name, DWORD, DWORD type, const BYTE *data, DWORD dataSize);
LONG WINAPI RegDeleteKey2(HKEY key, LPCWSTR subKey);
LONG WINAPI RegDeleteValue2(HKEY key, LPCWSTR name);

}  // namespace netcall2
