// cedevice.exe's conversation with a cedevice that serves an image already:
// which image and link it serves, and changes (faults, cards, programs,
// the registry) sent to it rather than made behind its back.
#pragma once

#include <windows.h>
#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

#include "protocol/wire.h"

// One line on standard output.
void Print(const std::string &line);

using AdminChanges = std::vector<std::pair<wire::Op, std::wstring>>;

struct ServedLink {
    uint64_t bytesPerSecond = 0;
    uint32_t latencyMs = 0;
};

// A plain, blocking conversation with a running service.
class AdminLink {
public:
    explicit AdminLink(const std::wstring &pipe) {
        handle_ = CreateFileW(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    }
    ~AdminLink() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }
    bool Open() const { return handle_ != INVALID_HANDLE_VALUE; }
    // The image the service on the other end serves, and the link it
    // serves it over; false when it does not say.
    bool ServedImage(std::wstring *image, ServedLink *served = nullptr) {
        wire::Writer ask;
        ask.U32(wire::kAdminImage);
        std::vector<uint8_t> body;
        if (!Call(ask, &body)) return false;
        wire::Reader in(body.data(), body.size());
        in.U32();
        *image = in.Text();
        ServedLink link;
        link.bytesPerSecond = in.U64();
        link.latencyMs = in.U32();
        if (served) *served = link;
        return in.ok();
    }
    bool Call(wire::Writer &request, std::vector<uint8_t> *body) {
        std::vector<uint8_t> &frame = request.Finish();
        uint8_t header[4];
        if (!Move(frame.data(), frame.size(), false) || !Move(header, 4, true)) return false;
        uint32_t length = header[0] | (header[1] << 8) | (header[2] << 16) | (static_cast<uint32_t>(header[3]) << 24);
        if (length > wire::kMaxFrameBytes) return false;
        body->resize(length);
        return Move(body->data(), length, true);
    }

private:
    bool Move(uint8_t *data, size_t count, bool reading) {
        return wire::MovePipeBytes(handle_, data, count, reading);
    }
    HANDLE handle_;
};

// The link line of --list: what the device serving the image uses now.
std::string LinkInEffect(const std::wstring &pipe, const std::wstring &image);
// Sends the changes to the service that serves this image, if there is one.
// False when there is none (the changes are then made directly).
bool SendToService(const std::wstring &pipe, const std::wstring &image, const AdminChanges &changes, bool *allOk);
