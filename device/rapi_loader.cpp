// Loads the system's rapi.dll on first use and forwards each remote API call
// to it. A missing library or function makes the call fail as it does for a
// device that is not there, so the callers' own failure paths apply.
#include "device/rapi_loader.h"

#include "device/rapi.h"

namespace {

typedef BOOL(WINAPI *SetDllDirectoryWFn)(LPCWSTR);
typedef BOOL(WINAPI *SetDefaultDllDirectoriesFn)(DWORD);
typedef BOOL(WINAPI *SetSearchPathModeFn)(DWORD);

// A function of kernel32.dll that older Windows lacks, or null there.
template <typename Fn> Fn KernelFunction(const char *name) {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (!kernel) return nullptr;
    // Through void* so the compiler accepts the change of function type.
    return reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(kernel, name)));
}

// The rapi.dll of the device sync service, by its full path in the system
// folder where the service installs it. A setup program is often started
// from a downloads folder: a rapi.dll lying there or in the current
// directory must never run. Its own imports are looked for in its folder.
HMODULE LoadSystemRapi() {
    static const wchar_t kName[] = L"\\rapi.dll";
    wchar_t path[MAX_PATH];
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length + lstrlenW(kName) >= MAX_PATH) return nullptr;
    lstrcpyW(path + length, kName);
    return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

// A process-wide, once-only load: static initialisation is thread-safe, and
// the connection worker thread may be the first caller.
HMODULE RapiModule() {
    static const HMODULE module = LoadSystemRapi();
    return module;
}

template <typename Fn> Fn Resolve(const char *name) {
    HMODULE module = RapiModule();
    if (!module) return nullptr;
    // Through void* so the compiler accepts the change of function type.
    return reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

// The error a call reports when there is no remote API to make it.
const DWORD kNoDevice = ERROR_NOT_CONNECTED;

}  // namespace

void RestrictLibrarySearch() {
    // Windows 7 with its loader update and later: system folder only, for
    // every library loaded without a full path from now on.
    const SetDefaultDllDirectoriesFn setDefault =
        KernelFunction<SetDefaultDllDirectoriesFn>("SetDefaultDllDirectories");
    if (setDefault) setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Windows XP SP1 and later: the current directory leaves the search.
    const SetDllDirectoryWFn setDllDirectory = KernelFunction<SetDllDirectoryWFn>("SetDllDirectoryW");
    if (setDllDirectory) setDllDirectory(L"");
    // Windows XP SP3 and later: SearchPath looks in the current directory last.
    const SetSearchPathModeFn setSearchPathMode = KernelFunction<SetSearchPathModeFn>("SetSearchPathMode");
    if (setSearchPathMode) setSearchPathMode(BASE_SEARCH_PATH_ENABLE_SAFE_SEARCHMODE | BASE_SEARCH_PATH_PERMANENT);
}

#define REMOTE(name) static const name##Fn fn = Resolve<name##Fn>(#name)

HRESULT CeRapiInitEx(RAPIINIT *init) {
    REMOTE(CeRapiInitEx);
    return fn ? fn(init) : E_FAIL;
}

HRESULT CeRapiUninit() {
    REMOTE(CeRapiUninit);
    return fn ? fn() : E_FAIL;
}

DWORD CeGetLastError() {
    REMOTE(CeGetLastError);
    return fn ? fn() : kNoDevice;
}

BOOL CeGetVersionEx(CEOSVERSIONINFO *info) {
    REMOTE(CeGetVersionEx);
    return fn ? fn(info) : FALSE;
}

void CeGetSystemInfo(SYSTEM_INFO *info) {
    REMOTE(CeGetSystemInfo);
    if (fn) fn(info);
}

LONG CeRegOpenKeyEx(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result) {
    REMOTE(CeRegOpenKeyEx);
    return fn ? fn(key, subKey, options, access, result) : static_cast<LONG>(kNoDevice);
}

LONG CeRegQueryValueEx(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize) {
    REMOTE(CeRegQueryValueEx);
    return fn ? fn(key, name, reserved, type, data, dataSize) : static_cast<LONG>(kNoDevice);
}

LONG CeRegCloseKey(HKEY key) {
    REMOTE(CeRegCloseKey);
    return fn ? fn(key) : static_cast<LONG>(kNoDevice);
}

HANDLE CeCreateFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                    DWORD flags, HANDLE templateFile) {
    REMOTE(CeCreateFile);
    return fn ? fn(path, access, share, security, disposition, flags, templateFile) : INVALID_HANDLE_VALUE;
}

BOOL CeReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped) {
    REMOTE(CeReadFile);
    return fn ? fn(file, buffer, toRead, read, overlapped) : FALSE;
}

BOOL CeWriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED overlapped) {
    REMOTE(CeWriteFile);
    return fn ? fn(file, buffer, toWrite, written, overlapped) : FALSE;
}

DWORD CeSetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method) {
    REMOTE(CeSetFilePointer);
    return fn ? fn(file, distance, distanceHigh, method) : INVALID_SET_FILE_POINTER;
}

BOOL CeGetFileTime(HANDLE file, FILETIME *creation, FILETIME *lastAccess, FILETIME *lastWrite) {
    REMOTE(CeGetFileTime);
    return fn ? fn(file, creation, lastAccess, lastWrite) : FALSE;
}

BOOL CeSetFileTime(HANDLE file, const FILETIME *creation, const FILETIME *lastAccess, const FILETIME *lastWrite) {
    REMOTE(CeSetFileTime);
    return fn ? fn(file, creation, lastAccess, lastWrite) : FALSE;
}

BOOL CeCloseHandle(HANDLE handle) {
    REMOTE(CeCloseHandle);
    return fn ? fn(handle) : FALSE;
}

BOOL CeDeleteFile(LPCWSTR path) {
    REMOTE(CeDeleteFile);
    return fn ? fn(path) : FALSE;
}

BOOL CeMoveFile(LPCWSTR existingPath, LPCWSTR newPath) {
    REMOTE(CeMoveFile);
    return fn ? fn(existingPath, newPath) : FALSE;
}

BOOL CeCreateDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES security) {
    REMOTE(CeCreateDirectory);
    return fn ? fn(path, security) : FALSE;
}

BOOL CeRemoveDirectory(LPCWSTR path) {
    REMOTE(CeRemoveDirectory);
    return fn ? fn(path) : FALSE;
}

HANDLE CeFindFirstFile(LPCWSTR pattern, CE_FIND_DATA *found) {
    REMOTE(CeFindFirstFile);
    return fn ? fn(pattern, found) : INVALID_HANDLE_VALUE;
}

BOOL CeFindNextFile(HANDLE search, CE_FIND_DATA *found) {
    REMOTE(CeFindNextFile);
    return fn ? fn(search, found) : FALSE;
}

BOOL CeFindClose(HANDLE search) {
    REMOTE(CeFindClose);
    return fn ? fn(search) : FALSE;
}

DWORD CeGetSpecialFolderPath(int folder, DWORD bufferLength, LPWSTR buffer) {
    REMOTE(CeGetSpecialFolderPath);
    return fn ? fn(folder, bufferLength, buffer) : 0;
}

DWORD CeSHCreateShortcut(LPWSTR shortcut, LPWSTR target) {
    REMOTE(CeSHCreateShortcut);
    return fn ? fn(shortcut, target) : 0;
}

HRESULT CeRapiInvoke(LPCWSTR dllPath, LPCWSTR function, DWORD inputSize, BYTE *input, DWORD *outputSize,
                     BYTE **output, IRAPIStream **stream, DWORD reserved) {
    REMOTE(CeRapiInvoke);
    if (fn) return fn(dllPath, function, inputSize, input, outputSize, output, stream, reserved);
    // The interface owns the input block whatever happens to the call.
    LocalFree(input);
    return E_FAIL;
}

BOOL CeGetStoreInformation(STORE_INFORMATION *information) {
    REMOTE(CeGetStoreInformation);
    return fn ? fn(information) : FALSE;
}

BOOL CeGetDiskFreeSpaceEx(LPCWSTR folder, ULARGE_INTEGER *freeToCaller, ULARGE_INTEGER *total,
                          ULARGE_INTEGER *totalFree) {
    REMOTE(CeGetDiskFreeSpaceEx);
    return fn ? fn(folder, freeToCaller, total, totalFree) : FALSE;
}

BOOL CeFindAllFiles(LPCWSTR path, DWORD flags, LPDWORD foundCount, CE_FIND_DATA **found) {
    REMOTE(CeFindAllFiles);
    static const CeRapiFreeBufferFn release = Resolve<CeRapiFreeBufferFn>("CeRapiFreeBuffer");
    if (foundCount) *foundCount = 0;
    if (found) *found = nullptr;
    // An array that could not be released is never asked for.
    return fn && release ? fn(path, flags, foundCount, found) : FALSE;
}

HRESULT CeRapiFreeBuffer(LPVOID buffer) {
    REMOTE(CeRapiFreeBuffer);
    return fn ? fn(buffer) : E_FAIL;
}

BOOL CeCreateProcess(LPCWSTR image, LPCWSTR commandLine, LPSECURITY_ATTRIBUTES processSecurity,
                     LPSECURITY_ATTRIBUTES threadSecurity, BOOL inherit, DWORD flags, LPVOID environment,
                     LPWSTR currentDir, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info) {
    REMOTE(CeCreateProcess);
    return fn ? fn(image, commandLine, processSecurity, threadSecurity, inherit, flags, environment, currentDir,
                   startup, info)
              : FALSE;
}
