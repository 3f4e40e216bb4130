// Shared helpers of the device's tests: connecting through the stand-in
// rapi.dll (via the program's own wrappers of device/rapi.h) to a device
// served inside the test process.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "device/rapi.h"
#include "tests/support/test_device.h"

namespace simtest {

// The stand-in's functions that the program itself does not call, straight
// from the module the program uses: the system folder's rapi.dll.
inline HMODULE SystemRapi() {
    char path[MAX_PATH] = "";
    const UINT length = GetSystemDirectoryA(path, MAX_PATH);
    return LoadLibraryA((std::string(path, length) + "\\rapi.dll").c_str());
}
template <typename Fn> Fn StandIn(const char *name) {
    static const HMODULE module = SystemRapi();
    return reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}
inline DWORD Attributes(LPCWSTR path) {
    static const CeGetFileAttributesFn fn = StandIn<CeGetFileAttributesFn>("CeGetFileAttributes");
    return fn(path);
}
inline DWORD FileSize(HANDLE file, DWORD *high) {
    static const CeGetFileSizeFn fn = StandIn<CeGetFileSizeFn>("CeGetFileSize");
    return fn(file, high);
}

// Generous: the machine running the tests may be busy.
const DWORD kConnectTimeoutMs = 10000;

// Starts the remote API and waits for the start-up to end; the result of
// the start-up, or E_ABORT when it did not end in time.
inline HRESULT Connect(DWORD timeoutMs = kConnectTimeoutMs) {
    RAPIINIT init = {sizeof(RAPIINIT), nullptr, E_FAIL};
    HRESULT started = CeRapiInitEx(&init);
    if (FAILED(started)) return started;
    if (WaitForSingleObject(init.heRapiInit, timeoutMs) != WAIT_OBJECT_0) return E_ABORT;
    return init.hrRapiInit;
}

// A fresh device of one profile, plugged in and connected for each test;
// the connection is ended after it.
class Docked : public ::testing::Test {
protected:
    explicit Docked(const std::string &profile = "pocketpc") : device(profile) {}
    void SetUp() override {
        device.Plug();
        ASSERT_EQ(Connect(), S_OK);
    }
    void TearDown() override { CeRapiUninit(); }
    TestDevice device;
};

inline std::string Narrow(const std::wstring &text) {
    std::string narrow;
    for (wchar_t c : text) narrow += c < 128 ? static_cast<char>(c) : '?';
    return narrow;
}

}  // namespace simtest
