// cecopy.exe: copies one host file to the simulated device through the
// stand-in rapi.dll, as a desktop program would. For putting a file on a
// device by hand, and for tests that need a client in another process.
//
//   cecopy HOSTFILE DEVICEPATH [--pause-ms N]
//
// --pause-ms waits between the 16 KB chunks (a slow link), so that a test
// can pull the plug on a copy in progress.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "device/rapi_types.h"

namespace {

struct Rapi {
    CeRapiInitExFn initEx;
    CeRapiUninitFn uninit;
    CeGetLastErrorFn lastError;
    CeCreateFileFn createFile;
    CeWriteFileFn writeFile;
    CeSetFileTimeFn setFileTime;
    CeCloseHandleFn closeHandle;
};

template <typename Fn> Fn Resolve(HMODULE module, const char *name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

bool LoadRapi(Rapi *rapi) {
    HMODULE module = LoadLibraryW(L"rapi.dll");
    if (!module) return false;
    rapi->initEx = Resolve<CeRapiInitExFn>(module, "CeRapiInitEx");
    rapi->uninit = Resolve<CeRapiUninitFn>(module, "CeRapiUninit");
    rapi->lastError = Resolve<CeGetLastErrorFn>(module, "CeGetLastError");
    rapi->createFile = Resolve<CeCreateFileFn>(module, "CeCreateFile");
    rapi->writeFile = Resolve<CeWriteFileFn>(module, "CeWriteFile");
    rapi->setFileTime = Resolve<CeSetFileTimeFn>(module, "CeSetFileTime");
    rapi->closeHandle = Resolve<CeCloseHandleFn>(module, "CeCloseHandle");
    return rapi->initEx && rapi->uninit && rapi->lastError && rapi->createFile && rapi->writeFile &&
           rapi->setFileTime && rapi->closeHandle;
}

// Copies the open host file onto the device; the host file stays open.
int Copy(const Rapi &rapi, HANDLE host, const wchar_t *devicePath, DWORD pauseMs) {
    HANDLE device = rapi.createFile(devicePath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "cecopy: cannot create the device file (device error %lu)\n", rapi.lastError());
        return 1;
    }
    std::vector<char> chunk(16384);
    unsigned long long total = 0;
    DWORD got = 0;
    int result = 0;
    while (ReadFile(host, chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr) && got > 0) {
        DWORD written = 0;
        if (!rapi.writeFile(device, chunk.data(), got, &written, nullptr) || written != got) {
            fprintf(stderr, "cecopy: write failed after %llu bytes (device error %lu)\n", total, rapi.lastError());
            result = 1;
            break;
        }
        total += written;
        if (pauseMs) Sleep(pauseMs);
    }
    FILETIME creation, access, write;
    if (result == 0 && GetFileTime(host, &creation, &access, &write)) rapi.setFileTime(device, &creation, &access, &write);
    rapi.closeHandle(device);
    if (result == 0) printf("cecopy: %llu bytes copied\n", total);
    return result;
}

}  // namespace

const char kUsage[] =
    "usage: cecopy HOSTFILE DEVICEPATH [--pause-ms N]\n"
    "  Copies HOSTFILE onto the docked device as DEVICEPATH (e.g. \"\\My Documents\\book.vbk\"),\n"
    "  pausing N milliseconds after each 16 KB chunk when --pause-ms is given.\n";

int wmain(int argc, wchar_t **argv) {
    if (argc == 2 && (std::wstring(argv[1]) == L"--help" || std::wstring(argv[1]) == L"-h" ||
                      std::wstring(argv[1]) == L"/?")) {
        printf("%s", kUsage);
        return 0;
    }
    for (int i = 1; i < argc; ++i) {
        const std::wstring word = argv[i];
        if (word.size() > 1 && word[0] == L'-' && word != L"--pause-ms") {
            fprintf(stderr, "cecopy: unknown option %ls (options: --pause-ms N, --help)\n", argv[i]);
            return 2;
        }
    }
    if (argc != 3 && !(argc == 5 && std::wstring(argv[3]) == L"--pause-ms")) {
        fprintf(stderr, "%s", kUsage);
        return 2;
    }
    DWORD pauseMs = argc == 5 ? static_cast<DWORD>(_wtoi(argv[4])) : 0;
    // The host file first: a name that is wrong is said at once, not after
    // the wait for a device.
    HANDLE host = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (host == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "cecopy: cannot open the host file %ls (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    Rapi rapi;
    int result = 1;
    if (!LoadRapi(&rapi)) {
        fprintf(stderr, "cecopy: no usable rapi.dll\n");
    } else {
        RAPIINIT init = {sizeof(RAPIINIT), nullptr, E_FAIL};
        if (FAILED(rapi.initEx(&init)) || WaitForSingleObject(init.heRapiInit, 30000) != WAIT_OBJECT_0 ||
            FAILED(init.hrRapiInit)) {
            fprintf(stderr, "cecopy: no device\n");
        } else {
            result = Copy(rapi, host, argv[2], pauseMs);
        }
        rapi.uninit();
    }
    CloseHandle(host);
    return result;
}
