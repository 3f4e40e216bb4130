// The remote API functions of the stand-in rapi.dll. Each one checks the
// caller's arguments as the platform does, hands the call to the transport
// that CeRapiInitEx started (the pipe to our simulated device, or a device
// over the network), and writes one line to the RAPI_LOG file.
#include <string.h>

#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "rapi/call_log.h"
#include "rapi/calls.h"
#include "rapi/find_all_calls.h"
#include "rapi/last_error.h"
#include "rapi/network/network_link.h"
#include "rapi/pipe/pipe_link.h"

using calllog::Hex;
using calllog::Text;

namespace {

// Fails a call before it goes out, as the platform does for bad arguments.
template <typename T> T Refuse(T result, DWORD error) {
    rapilink::SetLastError(error);
    return result;
}

std::string Number(unsigned long long value) { return std::to_string(value); }
std::string Handle(HANDLE handle) { return Hex(reinterpret_cast<uintptr_t>(handle)); }
std::string Flag(BOOL value) { return value ? "TRUE" : "FALSE"; }

std::string Time(const FILETIME *time) {
    if (!time) return "null";
    return Hex((static_cast<unsigned long long>(time->dwHighDateTime) << 32) | time->dwLowDateTime);
}

}  // namespace

void OutOfMemory() {
    if (netlink::InUse()) netlink::Drop("no memory for a call");
    rapilink::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
}

const RapiCalls &TransportCalls() {
    if (!netlink::InUse()) return kPipeCalls;
    return netlink::SpeaksRapi2() ? kNet2Calls : kNetCalls;
}

extern "C" {

HRESULT WINAPI CeRapiInitEx(RAPIINIT *init) {
    calllog::Call log("CeRapiInitEx");
    netlink::Choice choice = netlink::ChooseFromEnvironment();
    HRESULT result = choice.transport == netlink::Transport::kPipe ? rapilink::BeginStartup(init)
                                                                   : netlink::BeginStartup(init, choice);
    log.Done(choice.transport == netlink::Transport::kPipe     ? "pipe"
             : choice.transport == netlink::Transport::kListen ? "listen " + choice.host + ":" + Number(choice.port)
                                                               : "device " + choice.host + ":" + Number(choice.port),
             Hex(static_cast<uint32_t>(result)));
    return result;
}

HRESULT WINAPI CeRapiInit(void) {
    // The blocking form: waits as long as it takes for a device.
    RAPIINIT init = {sizeof(RAPIINIT), nullptr, E_FAIL};
    HRESULT started = CeRapiInitEx(&init);
    if (FAILED(started)) return started;
    WaitForSingleObject(init.heRapiInit, INFINITE);
    return init.hrRapiInit;
}

HRESULT WINAPI CeRapiUninit(void) {
    calllog::Call log("CeRapiUninit");
    HRESULT result = netlink::InUse() ? netlink::End() : rapilink::End();
    log.Done("", Hex(static_cast<uint32_t>(result)));
    return result;
}

DWORD WINAPI CeGetLastError(void) { return rapilink::LastError(); }

BOOL WINAPI CeGetVersionEx(CEOSVERSIONINFO *info) {
    calllog::Call log("CeGetVersionEx");
    BOOL ok = !info || info->dwOSVersionInfoSize != sizeof(CEOSVERSIONINFO)
                  ? Refuse(FALSE, ERROR_INVALID_PARAMETER)
                  : Guarded<BOOL>(FALSE, TransportCalls().getVersionEx, info);
    log.Done("", ok ? Flag(ok) + " " + Number(info->dwMajorVersion) + "." + Number(info->dwMinorVersion) + " build " +
                          Number(info->dwBuildNumber)
                    : Flag(ok));
    return ok;
}

void WINAPI CeGetSystemInfo(SYSTEM_INFO *info) {
    calllog::Call log("CeGetSystemInfo");
    if (!info) return log.Done("null", "");
    // Nothing comes back when the call fails: the record is left zeroed
    // rather than holding whatever the caller's stack held.
    memset(info, 0, sizeof *info);
    try {
        TransportCalls().getSystemInfo(info);
    } catch (const std::bad_alloc &) {
        OutOfMemory();
    }
    log.Done("", "processor " + Number(info->dwProcessorType));
}

HANDLE WINAPI CeCreateFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                           DWORD disposition, DWORD flags, HANDLE templateFile) {
    calllog::Call log("CeCreateFile");
    HANDLE file = !path ? Refuse(INVALID_HANDLE_VALUE, ERROR_INVALID_PARAMETER)
                        : Guarded<HANDLE>(INVALID_HANDLE_VALUE, TransportCalls().createFile, path, access, share, security, disposition, flags, templateFile);
    log.Done(Text(path) + ", access " + Hex(access) + ", share " + Number(share) + ", disposition " +
                 Number(disposition) + ", flags " + Hex(flags),
             Handle(file));
    return file;
}

BOOL WINAPI CeReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped) {
    calllog::Call log("CeReadFile");
    if (read) *read = 0;
    BOOL ok = !buffer && toRead ? Refuse(FALSE, ERROR_INVALID_PARAMETER)
                                : Guarded<BOOL>(FALSE, TransportCalls().readFile, file, buffer, toRead, read, overlapped);
    log.Done(Handle(file) + ", " + Number(toRead), Flag(ok) + (read ? " read " + Number(*read) : ""));
    return ok;
}

BOOL WINAPI CeWriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED overlapped) {
    calllog::Call log("CeWriteFile");
    if (written) *written = 0;
    BOOL ok = !buffer && toWrite ? Refuse(FALSE, ERROR_INVALID_PARAMETER)
                                 : Guarded<BOOL>(FALSE, TransportCalls().writeFile, file, buffer, toWrite, written, overlapped);
    log.Done(Handle(file) + ", " + Number(toWrite), Flag(ok) + (written ? " written " + Number(*written) : ""));
    return ok;
}

DWORD WINAPI CeSetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method) {
    calllog::Call log("CeSetFilePointer");
    DWORD position = Guarded<DWORD>(INVALID_SET_FILE_POINTER, TransportCalls().setFilePointer, file, distance, distanceHigh, method);
    log.Done(Handle(file) + ", " + std::to_string(distance) + ", method " + Number(method), Hex(position));
    return position;
}

DWORD WINAPI CeGetFileSize(HANDLE file, LPDWORD sizeHigh) {
    calllog::Call log("CeGetFileSize");
    DWORD size = Guarded<DWORD>(INVALID_FILE_SIZE, TransportCalls().getFileSize, file, sizeHigh);
    log.Done(Handle(file), Hex(size));
    return size;
}

BOOL WINAPI CeGetFileTime(HANDLE file, FILETIME *creation, FILETIME *lastAccess, FILETIME *lastWrite) {
    calllog::Call log("CeGetFileTime");
    BOOL ok = Guarded<BOOL>(FALSE, TransportCalls().getFileTime, file, creation, lastAccess, lastWrite);
    log.Done(Handle(file), Flag(ok) + (ok ? " " + Time(creation) + " " + Time(lastAccess) + " " + Time(lastWrite) : ""));
    return ok;
}

BOOL WINAPI CeSetFileTime(HANDLE file, const FILETIME *creation, const FILETIME *lastAccess,
                          const FILETIME *lastWrite) {
    calllog::Call log("CeSetFileTime");
    BOOL ok = Guarded<BOOL>(FALSE, TransportCalls().setFileTime, file, creation, lastAccess, lastWrite);
    log.Done(Handle(file) + ", " + Time(creation) + ", " + Time(lastAccess) + ", " + Time(lastWrite), Flag(ok));
    return ok;
}

BOOL WINAPI CeCloseHandle(HANDLE handle) {
    calllog::Call log("CeCloseHandle");
    BOOL ok = Guarded<BOOL>(FALSE, TransportCalls().closeHandle, handle);
    log.Done(Handle(handle), Flag(ok));
    return ok;
}

BOOL WINAPI CeDeleteFile(LPCWSTR path) {
    calllog::Call log("CeDeleteFile");
    BOOL ok = !path ? Refuse(FALSE, ERROR_INVALID_PARAMETER) : Guarded<BOOL>(FALSE, TransportCalls().deleteFile, path);
    log.Done(Text(path), Flag(ok));
    return ok;
}

BOOL WINAPI CeMoveFile(LPCWSTR existingPath, LPCWSTR newPath) {
    calllog::Call log("CeMoveFile");
    BOOL ok = !existingPath || !newPath ? Refuse(FALSE, ERROR_INVALID_PARAMETER)
                                        : Guarded<BOOL>(FALSE, TransportCalls().moveFile, existingPath, newPath);
    log.Done(Text(existingPath) + ", " + Text(newPath), Flag(ok));
    return ok;
}

BOOL WINAPI CeCreateDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES security) {
    calllog::Call log("CeCreateDirectory");
    BOOL ok = !path ? Refuse(FALSE, ERROR_INVALID_PARAMETER) : Guarded<BOOL>(FALSE, TransportCalls().createDirectory, path, security);
    log.Done(Text(path), Flag(ok));
    return ok;
}

BOOL WINAPI CeRemoveDirectory(LPCWSTR path) {
    calllog::Call log("CeRemoveDirectory");
    BOOL ok = !path ? Refuse(FALSE, ERROR_INVALID_PARAMETER) : Guarded<BOOL>(FALSE, TransportCalls().removeDirectory, path);
    log.Done(Text(path), Flag(ok));
    return ok;
}

DWORD WINAPI CeGetFileAttributes(LPCWSTR path) {
    calllog::Call log("CeGetFileAttributes");
    DWORD attributes =
        !path ? Refuse(INVALID_FILE_ATTRIBUTES, ERROR_INVALID_PARAMETER) : Guarded<DWORD>(INVALID_FILE_ATTRIBUTES, TransportCalls().getFileAttributes, path);
    log.Done(Text(path), Hex(attributes));
    return attributes;
}

HANDLE WINAPI CeFindFirstFile(LPCWSTR pattern, CE_FIND_DATA *found) {
    calllog::Call log("CeFindFirstFile");
    HANDLE search = !pattern || !found ? Refuse(INVALID_HANDLE_VALUE, ERROR_INVALID_PARAMETER)
                                       : Guarded<HANDLE>(INVALID_HANDLE_VALUE, TransportCalls().findFirstFile, pattern, found);
    log.Done(Text(pattern), Handle(search) + (search != INVALID_HANDLE_VALUE ? " " + Text(found->cFileName) : ""));
    return search;
}

BOOL WINAPI CeFindNextFile(HANDLE search, CE_FIND_DATA *found) {
    calllog::Call log("CeFindNextFile");
    BOOL ok = !found ? Refuse(FALSE, ERROR_INVALID_PARAMETER) : Guarded<BOOL>(FALSE, TransportCalls().findNextFile, search, found);
    log.Done(Handle(search), Flag(ok) + (ok ? " " + Text(found->cFileName) : ""));
    return ok;
}

BOOL WINAPI CeFindClose(HANDLE search) {
    calllog::Call log("CeFindClose");
    BOOL ok = Guarded<BOOL>(FALSE, TransportCalls().findClose, search);
    log.Done(Handle(search), Flag(ok));
    return ok;
}

DWORD WINAPI CeGetSpecialFolderPath(int folder, DWORD bufferLength, LPWSTR buffer) {
    calllog::Call log("CeGetSpecialFolderPath");
    DWORD length = Guarded<DWORD>(0, TransportCalls().getSpecialFolderPath, folder, bufferLength, buffer);
    bool copied = buffer && length > 0 && length < bufferLength;
    log.Done(std::to_string(folder) + ", " + Number(bufferLength), Number(length) + (copied ? " " + Text(buffer) : ""));
    return length;
}

DWORD WINAPI CeSHCreateShortcut(LPWSTR shortcut, LPWSTR target) {
    calllog::Call log("CeSHCreateShortcut");
    DWORD ok = !shortcut || !target ? Refuse(0, ERROR_INVALID_PARAMETER) : Guarded<BOOL>(FALSE, TransportCalls().createShortcut, shortcut, target);
    log.Done(Text(shortcut) + ", " + Text(target), Number(ok));
    return ok;
}

HRESULT WINAPI CeRapiInvoke(LPCWSTR dllPath, LPCWSTR function, DWORD inputSize, BYTE *input, DWORD *outputSize,
                            BYTE **output, IRAPIStream **stream, DWORD reserved) {
    calllog::Call log("CeRapiInvoke");
    if (outputSize) *outputSize = 0;
    if (output) *output = nullptr;
    // The input block is ours from here on, whatever happens to the call.
    std::vector<uint8_t> block;
    if (input && inputSize) block.assign(input, input + inputSize);
    if (input) LocalFree(input);
    HRESULT result;
    if (stream) {
        *stream = nullptr;
        result = E_NOTIMPL;  // only block mode is offered
    } else if (!dllPath || !function) {
        result = E_INVALIDARG;
    } else {
        result = Guarded<HRESULT>(E_OUTOFMEMORY, TransportCalls().rapiInvoke, dllPath, function, static_cast<DWORD>(block.size()), block.data(), outputSize,
                                        output, nullptr, reserved);
    }
    // A failed invocation also leaves its code as the host thread's error.
    if (result != 0) ::SetLastError(static_cast<DWORD>(result));
    log.Done(Text(dllPath) + ", " + Text(function) + ", " + Number(block.size()) + " bytes",
             Hex(static_cast<uint32_t>(result)) + (outputSize ? " output " + Number(*outputSize) : ""));
    return result;
}

BOOL WINAPI CeCreateProcess(LPCWSTR image, LPCWSTR commandLine, LPSECURITY_ATTRIBUTES processSecurity,
                            LPSECURITY_ATTRIBUTES threadSecurity, BOOL inherit, DWORD flags, LPVOID environment,
                            LPWSTR currentDir, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info) {
    calllog::Call log("CeCreateProcess");
    BOOL ok = !image ? Refuse(FALSE, ERROR_INVALID_PARAMETER)
                     : Guarded<BOOL>(FALSE, TransportCalls().createProcess, image, commandLine, processSecurity, threadSecurity, inherit, flags,
                                                 environment, currentDir, startup, info);
    log.Done(Text(image) + ", " + Text(commandLine), Flag(ok));
    return ok;
}

BOOL WINAPI CeGetStoreInformation(STORE_INFORMATION *information) {
    calllog::Call log("CeGetStoreInformation");
    BOOL ok = !information ? Refuse(FALSE, ERROR_INVALID_PARAMETER) : Guarded<BOOL>(FALSE, TransportCalls().getStoreInformation, information);
    log.Done("", Flag(ok) + (ok ? " " + Number(information->dwFreeSize) + " of " +
                                       Number(information->dwStoreSize) + " free"
                                 : ""));
    return ok;
}

BOOL WINAPI CeGetDiskFreeSpaceEx(LPCWSTR folder, ULARGE_INTEGER *freeToCaller, ULARGE_INTEGER *total,
                                 ULARGE_INTEGER *totalFree) {
    calllog::Call log("CeGetDiskFreeSpaceEx");
    BOOL ok = !folder ? Refuse(FALSE, ERROR_INVALID_PARAMETER)
                      : Guarded<BOOL>(FALSE, TransportCalls().getDiskFreeSpaceEx, folder, freeToCaller, total, totalFree);
    log.Done(Text(folder), Flag(ok) + (ok && freeToCaller ? " " + Number(freeToCaller->QuadPart) + " free" : ""));
    return ok;
}

BOOL WINAPI CeFindAllFiles(LPCWSTR path, DWORD flags, LPDWORD foundCount, CE_FIND_DATA **found) {
    calllog::Call log("CeFindAllFiles");
    if (foundCount) *foundCount = 0;
    if (found) *found = nullptr;
    BOOL ok = !path || !foundCount || !found ? Refuse(FALSE, ERROR_INVALID_PARAMETER)
                                             : Guarded<BOOL>(FALSE, TransportCalls().findAllFiles, path, flags, foundCount, found);
    log.Done(Text(path) + ", flags " + Hex(flags), Flag(ok) + (ok ? " " + Number(*foundCount) + " found" : ""));
    return ok;
}

HRESULT WINAPI CeRapiFreeBuffer(LPVOID buffer) {
    calllog::Call log("CeRapiFreeBuffer");
    ReleaseFoundArray(buffer);
    log.Done(buffer ? "array" : "null", "0");
    return S_OK;
}

}  // extern "C"

// The exports must have exactly the platform's signatures.
#define SAME_SIGNATURE(name) \
    static_assert(std::is_same<decltype(&name), name##Fn>::value, #name " signature")
SAME_SIGNATURE(CeRapiInitEx);
SAME_SIGNATURE(CeRapiInit);
SAME_SIGNATURE(CeRapiUninit);
SAME_SIGNATURE(CeGetLastError);
SAME_SIGNATURE(CeGetVersionEx);
SAME_SIGNATURE(CeGetSystemInfo);
SAME_SIGNATURE(CeCreateFile);
SAME_SIGNATURE(CeReadFile);
SAME_SIGNATURE(CeWriteFile);
SAME_SIGNATURE(CeSetFilePointer);
SAME_SIGNATURE(CeGetFileSize);
SAME_SIGNATURE(CeGetFileTime);
SAME_SIGNATURE(CeSetFileTime);
SAME_SIGNATURE(CeCloseHandle);
SAME_SIGNATURE(CeDeleteFile);
SAME_SIGNATURE(CeMoveFile);
SAME_SIGNATURE(CeCreateDirectory);
SAME_SIGNATURE(CeRemoveDirectory);
SAME_SIGNATURE(CeGetFileAttributes);
SAME_SIGNATURE(CeFindFirstFile);
SAME_SIGNATURE(CeFindNextFile);
SAME_SIGNATURE(CeFindClose);
SAME_SIGNATURE(CeGetSpecialFolderPath);
SAME_SIGNATURE(CeSHCreateShortcut);
SAME_SIGNATURE(CeRapiInvoke);
SAME_SIGNATURE(CeCreateProcess);
SAME_SIGNATURE(CeGetStoreInformation);
SAME_SIGNATURE(CeGetDiskFreeSpaceEx);
SAME_SIGNATURE(CeFindAllFiles);
SAME_SIGNATURE(CeRapiFreeBuffer);
