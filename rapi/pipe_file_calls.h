// The file calls of the stand-in's pipe transport: opening, reading,
// writing and closing device files, their times, sizes and attributes,
// folders, and searches. Entries of its call table (pipe_calls.cpp).
#pragma once

#include "device/rapi_types.h"

namespace pipecall {

HANDLE WINAPI PipeCreateFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                           DWORD disposition, DWORD flags, HANDLE templateFile);
BOOL WINAPI PipeReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped);
BOOL WINAPI PipeWriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED overlapped);
DWORD WINAPI PipeSetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method);
DWORD WINAPI PipeGetFileSize(HANDLE file, LPDWORD sizeHigh);
BOOL WINAPI PipeGetFileTime(HANDLE file, FILETIME *creation, FILETIME *lastAccess, FILETIME *lastWrite);
BOOL WINAPI PipeSetFileTime(HANDLE file, const FILETIME *creation, const FILETIME *lastAccess,
                          const FILETIME *lastWrite);
BOOL WINAPI PipeCloseHandle(HANDLE handle);
BOOL WINAPI PipeDeleteFile(LPCWSTR path);
BOOL WINAPI PipeMoveFile(LPCWSTR existingPath, LPCWSTR newPath);
BOOL WINAPI PipeCreateDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES security);
BOOL WINAPI PipeRemoveDirectory(LPCWSTR path);
DWORD WINAPI PipeGetFileAttributes(LPCWSTR path);
HANDLE WINAPI PipeFindFirstFile(LPCWSTR pattern, CE_FIND_DATA *found);
BOOL WINAPI PipeFindNextFile(HANDLE search, CE_FIND_DATA *found);
BOOL WINAPI PipeFindClose(HANDLE search);

}  // namespace pipecall
