// Windows CE remote API (RAPI): the functions this program calls. They are
// resolved from rapi.dll at first use (rapi_loader.cpp); when the library or
// a function is missing, each call fails the way it fails for a device that
// is not there.
#pragma once

#include "device/rapi_types.h"

// The program's view of the remote API: plain functions of the same names.
HRESULT CeRapiInitEx(RAPIINIT *init);
HRESULT CeRapiUninit();
DWORD CeGetLastError();
BOOL CeGetVersionEx(CEOSVERSIONINFO *info);
void CeGetSystemInfo(SYSTEM_INFO *info);
LONG CeRegOpenKeyEx(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result);
LONG CeRegQueryValueEx(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize);
LONG CeRegCloseKey(HKEY key);
HANDLE CeCreateFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                    DWORD flags, HANDLE templateFile);
BOOL CeReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped);
BOOL CeWriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED overlapped);
DWORD CeSetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method);
BOOL CeGetFileTime(HANDLE file, FILETIME *creation, FILETIME *lastAccess, FILETIME *lastWrite);
BOOL CeSetFileTime(HANDLE file, const FILETIME *creation, const FILETIME *lastAccess, const FILETIME *lastWrite);
BOOL CeCloseHandle(HANDLE handle);
BOOL CeDeleteFile(LPCWSTR path);
// Renames a file, as MoveFile does: fails (183) when newPath exists.
BOOL CeMoveFile(LPCWSTR existingPath, LPCWSTR newPath);
BOOL CeCreateDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES security);
BOOL CeRemoveDirectory(LPCWSTR path);
HANDLE CeFindFirstFile(LPCWSTR pattern, CE_FIND_DATA *found);
BOOL CeFindNextFile(HANDLE search, CE_FIND_DATA *found);
BOOL CeFindClose(HANDLE search);
DWORD CeGetSpecialFolderPath(int folder, DWORD bufferLength, LPWSTR buffer);
DWORD CeSHCreateShortcut(LPWSTR shortcut, LPWSTR target);
HRESULT CeRapiInvoke(LPCWSTR dllPath, LPCWSTR function, DWORD inputSize, BYTE *input, DWORD *outputSize,
                     BYTE **output, IRAPIStream **stream, DWORD reserved);
// The room of main memory (the object store). Not every rapi.dll has it.
BOOL CeGetStoreInformation(STORE_INFORMATION *information);
// The room of the file system that holds folder (a storage card's). Not
// every rapi.dll has it, and not every transport answers it.
BOOL CeGetDiskFreeSpaceEx(LPCWSTR folder, ULARGE_INTEGER *freeToCaller, ULARGE_INTEGER *total,
                          ULARGE_INTEGER *totalFree);
// A folder's listing in one call: *found gets an array of *foundCount
// records with the fields the FAF_ flags name, released with
// CeRapiFreeBuffer. Not every rapi.dll has it: without it, or without
// CeRapiFreeBuffer to release the array, the call fails and lists nothing.
BOOL CeFindAllFiles(LPCWSTR path, DWORD flags, LPDWORD foundCount, CE_FIND_DATA **found);
HRESULT CeRapiFreeBuffer(LPVOID buffer);
BOOL CeCreateProcess(LPCWSTR image, LPCWSTR commandLine, LPSECURITY_ATTRIBUTES processSecurity,
                     LPSECURITY_ATTRIBUTES threadSecurity, BOOL inherit, DWORD flags, LPVOID environment,
                     LPWSTR currentDir, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info);
