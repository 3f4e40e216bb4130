// The remote API calls behind the exports, once per transport: the pipe to
// our simulated device (rapi/pipe/pipe_calls.cpp) and a device's own protocol over
// TCP (rapi/network/rapi1_calls.cpp). Each table entry has the export's signature; the
// exports (exports.cpp) check the caller's arguments, pick the table of the
// transport started, and log each call.
#pragma once

#include <new>

#include "device/rapi_types.h"

struct RapiCalls {
    CeGetVersionExFn getVersionEx;
    CeGetSystemInfoFn getSystemInfo;
    CeRegOpenKeyExFn regOpenKeyEx;
    CeRegQueryValueExFn regQueryValueEx;
    CeRegCloseKeyFn regCloseKey;
    CeCreateFileFn createFile;
    CeReadFileFn readFile;
    CeWriteFileFn writeFile;
    CeSetFilePointerFn setFilePointer;
    CeGetFileSizeFn getFileSize;
    CeGetFileTimeFn getFileTime;
    CeSetFileTimeFn setFileTime;
    CeCloseHandleFn closeHandle;
    CeDeleteFileFn deleteFile;
    CeMoveFileFn moveFile;
    CeCreateDirectoryFn createDirectory;
    CeRemoveDirectoryFn removeDirectory;
    CeGetFileAttributesFn getFileAttributes;
    CeFindFirstFileFn findFirstFile;
    CeFindNextFileFn findNextFile;
    CeFindCloseFn findClose;
    CeGetSpecialFolderPathFn getSpecialFolderPath;
    CeSHCreateShortcutFn createShortcut;
    CeRapiInvokeFn rapiInvoke;
    CeCreateProcessFn createProcess;
    CeGetStoreInformationFn getStoreInformation;
    CeGetDiskFreeSpaceExFn getDiskFreeSpaceEx;
    CeFindAllFilesFn findAllFiles;
    CeRegCreateKeyExFn regCreateKeyEx;
    CeRegEnumKeyExFn regEnumKeyEx;
    CeRegEnumValueFn regEnumValue;
    CeRegSetValueExFn regSetValueEx;
    CeRegDeleteKeyFn regDeleteKey;
    CeRegDeleteValueFn regDeleteValue;
};

// The calls of the transport CeRapiInitEx started (exports.cpp).
const RapiCalls &TransportCalls();

// A call that runs out of memory fails as such (ERROR_NOT_ENOUGH_MEMORY),
// and no exception leaves the library. Over the network the link is
// dropped too: a reply read only in part leaves the session out of step
// with the device.
void OutOfMemory();
template <typename R, typename F, typename... A> R Guarded(R failed, F call, A... args) {
    try {
        return call(args...);
    } catch (const std::bad_alloc &) {
        OutOfMemory();
        return failed;
    }
}

extern const RapiCalls kPipeCalls;
extern const RapiCalls kNetCalls;
extern const RapiCalls kNet2Calls;  // a Windows Mobile 5/6 device's protocol
