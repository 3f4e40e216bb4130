// The file calls of the stand-in's network transport: opening, reading,
// writing and closing device files, their times, sizes and attributes,
// folders, and searches. Entries of its call table (rapi/network/rapi1_calls.cpp).
#pragma once

#include "device/rapi_types.h"

namespace netcall {

HANDLE WINAPI NetCreateFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                            DWORD flags, HANDLE);
BOOL WINAPI NetReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED);
BOOL WINAPI NetWriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED);
DWORD WINAPI NetSetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method);
DWORD WINAPI NetGetFileSize(HANDLE file, LPDWORD sizeHigh);
BOOL WINAPI NetGetFileTime(HANDLE file, FILETIME *creation, FILETIME *lastAccess, FILETIME *lastWrite);
BOOL WINAPI NetSetFileTime(HANDLE file, const FILETIME *creation, const FILETIME *lastAccess,
                           const FILETIME *lastWrite);
BOOL WINAPI NetCloseHandle(HANDLE handle);
BOOL WINAPI NetDeleteFile(LPCWSTR path);
BOOL WINAPI NetMoveFile(LPCWSTR existingPath, LPCWSTR newPath);
BOOL WINAPI NetCreateDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES);
BOOL WINAPI NetRemoveDirectory(LPCWSTR path);
DWORD WINAPI NetGetFileAttributes(LPCWSTR path);
HANDLE WINAPI NetFindFirstFile(LPCWSTR pattern, CE_FIND_DATA *found);
BOOL WINAPI NetFindNextFile(HANDLE search, CE_FIND_DATA *found);
BOOL WINAPI NetFindClose(HANDLE search);
// A folder's whole listing in one call.
BOOL WINAPI NetFindAllFiles(LPCWSTR path, DWORD flags, LPDWORD foundCount, CE_FIND_DATA **found);

}  // namespace netcall
