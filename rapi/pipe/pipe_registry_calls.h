// The registry calls over the pipe beyond opening, querying and closing a
// key: entries of the pipe's call table (rapi/pipe/pipe_calls.cpp).
#pragma once

#include "device/rapi_types.h"

namespace pipecall {

LONG WINAPI PipeRegCreateKeyEx(HKEY key, LPCWSTR subKey, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES,
                               PHKEY result, LPDWORD disposition);
LONG WINAPI PipeRegEnumKeyEx(HKEY key, DWORD index, LPWSTR name, LPDWORD nameChars, LPDWORD, LPWSTR keyClass,
                             LPDWORD classChars, PFILETIME lastWrite);
LONG WINAPI PipeRegEnumValue(HKEY key, DWORD index, LPWSTR name, LPDWORD nameChars, LPDWORD, LPDWORD type,
                             LPBYTE data, LPDWORD dataSize);
LONG WINAPI PipeRegSetValueEx(HKEY key, LPCWSTR name, DWORD, DWORD type, const BYTE *data, DWORD dataSize);
LONG WINAPI PipeRegDeleteKey(HKEY key, LPCWSTR subKey);
LONG WINAPI PipeRegDeleteValue(HKEY key, LPCWSTR name);

}  // namespace pipecall
