// The file calls of the network transport to a Windows Mobile 5/6 device:
// entries of its call table (rapi/network/rapi2_calls.cpp).
#pragma once

#include "device/rapi_types.h"
#include "rapi/network/exchange.h"

namespace netcall2 {

// A call whose first argument is a path (absent when null).
netcall::Call2 PathCall(const char *name, uint32_t command, LPCWSTR path);
// Makes the call; its reply's result is a BOOL.
BOOL FlagCall2(netcall::Call2 &call);

HANDLE WINAPI CreateFile2(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                          DWORD flags, HANDLE);
BOOL WINAPI ReadFile2(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED);
BOOL WINAPI WriteFile2(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED);
DWORD WINAPI SetFilePointer2(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method);
DWORD WINAPI GetFileSize2(HANDLE file, LPDWORD sizeHigh);
BOOL WINAPI GetFileTime2(HANDLE file, FILETIME *creation, FILETIME *lastAccess, FILETIME *lastWrite);
BOOL WINAPI SetFileTime2(HANDLE file, const FILETIME *creation, const FILETIME *lastAccess, const FILETIME *lastWrite);
BOOL WINAPI CloseHandle2(HANDLE handle);
BOOL WINAPI DeleteFile2(LPCWSTR path);
BOOL WINAPI MoveFile2(LPCWSTR existingPath, LPCWSTR newPath);
BOOL WINAPI CreateDirectory2(LPCWSTR path, LPSECURITY_ATTRIBUTES);
BOOL WINAPI RemoveDirectory2(LPCWSTR path);
DWORD WINAPI GetFileAttributes2(LPCWSTR path);
HANDLE WINAPI FindFirstFile2(LPCWSTR pattern, CE_FIND_DATA *found);
BOOL WINAPI FindNextFile2(HANDLE search, CE_FIND_DATA *found);
BOOL WINAPI FindClose2(HANDLE search);
// A folder's whole listing in one call.
BOOL WINAPI NetFindAllFiles2(LPCWSTR path, DWORD flags, LPDWORD foundCount, CE_FIND_DATA **found);

}  // namespace netcall2
