// Windows CE remote API (RAPI): the records, constants and function
// signatures, declared from the platform's public documentation (MinGW
// ships no rapi.h). Shared by the program's loader and by any library that
// provides the functions.
#pragma once

#include <windows.h>

#ifndef CSIDL_PROGRAMS
#define CSIDL_PROGRAMS 2
#endif
#ifndef CSIDL_DESKTOP
#define CSIDL_DESKTOP 0
#endif

struct RAPIINIT {
    DWORD cbSize;
    HANDLE heRapiInit;
    HRESULT hrRapiInit;
};

struct CEOSVERSIONINFO {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];
};
static_assert(sizeof(CEOSVERSIONINFO) == 276, "CEOSVERSIONINFO layout");

struct CE_FIND_DATA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwOID;
    WCHAR cFileName[MAX_PATH];
};

// CeFindAllFiles flags: the fields of each record to fill.
const DWORD FAF_ATTRIBUTES = 0x01;
const DWORD FAF_CREATION_TIME = 0x02;
const DWORD FAF_LASTACCESS_TIME = 0x04;
const DWORD FAF_LASTWRITE_TIME = 0x08;
const DWORD FAF_SIZE_HIGH = 0x10;
const DWORD FAF_SIZE_LOW = 0x20;
const DWORD FAF_OID = 0x40;
const DWORD FAF_NAME = 0x80;

// The object store's size and free room, in bytes.
struct STORE_INFORMATION {
    DWORD dwStoreSize;
    DWORD dwFreeSize;
};

// The remote-invocation stream interface; this program only ever passes
// no stream (block mode), so the interface stays opaque.
struct IRAPIStream;

// Function signatures, shared by the loader and by any library that
// provides them.
typedef HRESULT(WINAPI *CeRapiInitExFn)(RAPIINIT *init);
typedef HRESULT(WINAPI *CeRapiInitFn)(void);
typedef HRESULT(WINAPI *CeRapiUninitFn)(void);
typedef DWORD(WINAPI *CeGetLastErrorFn)(void);
typedef BOOL(WINAPI *CeGetVersionExFn)(CEOSVERSIONINFO *info);
typedef void(WINAPI *CeGetSystemInfoFn)(SYSTEM_INFO *info);
typedef LONG(WINAPI *CeRegOpenKeyExFn)(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result);
typedef LONG(WINAPI *CeRegQueryValueExFn)(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                          LPDWORD dataSize);
typedef LONG(WINAPI *CeRegCloseKeyFn)(HKEY key);
// The rest of the registry: the program itself uses none of these; the
// stand-in rapi.dll offers them to other tools.
typedef LONG(WINAPI *CeRegCreateKeyExFn)(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options,
                                         REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY result,
                                         LPDWORD disposition);
typedef LONG(WINAPI *CeRegEnumKeyExFn)(HKEY key, DWORD index, LPWSTR name, LPDWORD nameChars, LPDWORD reserved,
                                       LPWSTR keyClass, LPDWORD classChars, PFILETIME lastWrite);
typedef LONG(WINAPI *CeRegEnumValueFn)(HKEY key, DWORD index, LPWSTR name, LPDWORD nameChars, LPDWORD reserved,
                                       LPDWORD type, LPBYTE data, LPDWORD dataSize);
typedef LONG(WINAPI *CeRegSetValueExFn)(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE *data,
                                        DWORD dataSize);
typedef LONG(WINAPI *CeRegDeleteKeyFn)(HKEY key, LPCWSTR subKey);
typedef LONG(WINAPI *CeRegDeleteValueFn)(HKEY key, LPCWSTR name);
typedef HANDLE(WINAPI *CeCreateFileFn)(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                       DWORD disposition, DWORD flags, HANDLE templateFile);
typedef BOOL(WINAPI *CeReadFileFn)(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped);
typedef BOOL(WINAPI *CeWriteFileFn)(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
                                    LPOVERLAPPED overlapped);
typedef DWORD(WINAPI *CeSetFilePointerFn)(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method);
typedef DWORD(WINAPI *CeGetFileSizeFn)(HANDLE file, LPDWORD sizeHigh);
typedef BOOL(WINAPI *CeGetFileTimeFn)(HANDLE file, FILETIME *creation, FILETIME *lastAccess, FILETIME *lastWrite);
typedef BOOL(WINAPI *CeSetFileTimeFn)(HANDLE file, const FILETIME *creation, const FILETIME *lastAccess,
                                      const FILETIME *lastWrite);
typedef BOOL(WINAPI *CeCloseHandleFn)(HANDLE handle);
typedef BOOL(WINAPI *CeDeleteFileFn)(LPCWSTR path);
typedef BOOL(WINAPI *CeMoveFileFn)(LPCWSTR existingPath, LPCWSTR newPath);
typedef BOOL(WINAPI *CeCreateDirectoryFn)(LPCWSTR path, LPSECURITY_ATTRIBUTES security);
typedef BOOL(WINAPI *CeRemoveDirectoryFn)(LPCWSTR path);
typedef DWORD(WINAPI *CeGetFileAttributesFn)(LPCWSTR path);
typedef HANDLE(WINAPI *CeFindFirstFileFn)(LPCWSTR pattern, CE_FIND_DATA *found);
typedef BOOL(WINAPI *CeFindNextFileFn)(HANDLE search, CE_FIND_DATA *found);
typedef BOOL(WINAPI *CeFindCloseFn)(HANDLE search);
typedef DWORD(WINAPI *CeGetSpecialFolderPathFn)(int folder, DWORD bufferLength, LPWSTR buffer);
typedef DWORD(WINAPI *CeSHCreateShortcutFn)(LPWSTR shortcut, LPWSTR target);
typedef HRESULT(WINAPI *CeRapiInvokeFn)(LPCWSTR dllPath, LPCWSTR function, DWORD inputSize, BYTE *input,
                                        DWORD *outputSize, BYTE **output, IRAPIStream **stream, DWORD reserved);
typedef BOOL(WINAPI *CeGetStoreInformationFn)(STORE_INFORMATION *information);
typedef BOOL(WINAPI *CeGetDiskFreeSpaceExFn)(LPCWSTR folder, ULARGE_INTEGER *freeToCaller, ULARGE_INTEGER *total,
                                             ULARGE_INTEGER *totalFree);
// The records come in one array that the library allocates and the caller
// releases with CeRapiFreeBuffer.
typedef BOOL(WINAPI *CeFindAllFilesFn)(LPCWSTR path, DWORD flags, LPDWORD foundCount, CE_FIND_DATA **found);
typedef HRESULT(WINAPI *CeRapiFreeBufferFn)(LPVOID buffer);
typedef BOOL(WINAPI *CeCreateProcessFn)(LPCWSTR image, LPCWSTR commandLine, LPSECURITY_ATTRIBUTES processSecurity,
                                        LPSECURITY_ATTRIBUTES threadSecurity, BOOL inherit, DWORD flags,
                                        LPVOID environment, LPWSTR currentDir, LPSTARTUPINFOW startup,
                                        LPPROCESS_INFORMATION info);

