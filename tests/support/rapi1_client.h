// A probe-style remote API client over TCP, as any desktop tool speaks to
// a networked CE device: one connection is one session. Used by the tests
// and the copy benchmark. Requests are built with rapi1::Writer; every
// reply frame is checked against the frame limit before it is read.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "protocol/rapi1.h"

class Rapi1Client {
public:
    Rapi1Client();
    ~Rapi1Client();
    Rapi1Client(const Rapi1Client &) = delete;
    Rapi1Client &operator=(const Rapi1Client &) = delete;

    bool Connect(uint16_t port, const char *host = "127.0.0.1");
    void Close();
    bool SendBytes(const std::vector<uint8_t> &bytes);
    // Exactly `count` bytes (a password reply); false when the link ended.
    bool Receive(uint8_t *data, size_t count);
    // The next reply body; false when the link ended first.
    bool ReceiveFrame(std::vector<uint8_t> *body);
    // Sends one request body and reads its reply body.
    bool Call(const rapi1::Writer &request, std::vector<uint8_t> *reply);
    // True when the device closes the link without another byte.
    bool EndedUnanswered(DWORD timeoutMs = 10000);

    // Typed calls, each returning what the API returns; `lastError` (when
    // given) gets the device's last error. 0xFFFFFFFF: no reply at all.
    uint32_t GetFileAttributes(const std::wstring &path, uint32_t *lastError = nullptr);
    uint32_t CreateFile(const std::wstring &path, uint32_t access, uint32_t disposition,
                        uint32_t *lastError = nullptr);
    bool WriteFile(uint32_t handle, const void *data, uint32_t size, uint32_t *written = nullptr);
    bool ReadFile(uint32_t handle, uint32_t size, std::string *data);
    bool CloseHandle(uint32_t handle);
    // The optional-string calls: CreateDirectory, RemoveDirectory,
    // DeleteFile (one path), MoveFile, SHCreateShortcut (two).
    bool PathCall(uint32_t command, const std::wstring &path, const std::wstring &second = std::wstring(),
                  uint32_t *lastError = nullptr);
    // CeFindAllFiles with names and attributes: "name" or "name/" for folders.
    std::vector<std::wstring> List(const std::wstring &pattern);

private:
    // One receive of whatever the socket holds, after waiting for it up to
    // `timeoutMs`: the bytes, 0 when the link ended, -1 on error or timeout.
    int ReceiveSome(uint8_t *data, size_t count, DWORD timeoutMs);

    SOCKET socket_ = INVALID_SOCKET;
    HANDLE ready_ = nullptr;  // set by the system when the socket has news
    std::vector<uint8_t> held_;  // received; bytes heldAt_ to heldEnd_ not yet taken
    size_t heldAt_ = 0, heldEnd_ = 0;
    bool mayHoldMore_ = false;  // the last receive filled its buffer
};
