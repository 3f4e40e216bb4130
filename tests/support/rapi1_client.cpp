#include "tests/support/rapi1_client.h"

#include <ws2tcpip.h>
#include <string.h>

#include <algorithm>

Rapi1Client::Rapi1Client() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
}

Rapi1Client::~Rapi1Client() {
    Close();
    WSACleanup();
}

bool Rapi1Client::Connect(uint16_t port, const char *host) {
    Close();
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, host, &address.sin_addr);
    socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    BOOL on = TRUE;
    setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on), sizeof on);
    if (connect(socket_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        Close();
        return false;
    }
    // Non-blocking with an event, as the device serves: under Wine a
    // blocking receive that finds nothing yet costs extra wineserver round
    // trips, and so does asking what the socket holds.
    ready_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!ready_ || WSAEventSelect(socket_, ready_, FD_READ | FD_WRITE | FD_CLOSE) != 0) {
        Close();
        return false;
    }
    return true;
}

void Rapi1Client::Close() {
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
    socket_ = INVALID_SOCKET;
    if (ready_) ::CloseHandle(ready_);
    ready_ = nullptr;
    heldAt_ = heldEnd_ = 0;
    mayHoldMore_ = false;
}

bool Rapi1Client::SendBytes(const std::vector<uint8_t> &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        int sent = send(socket_, reinterpret_cast<const char *>(bytes.data() + done),
                        static_cast<int>(bytes.size() - done), 0);
        if (sent > 0) {
            done += static_cast<size_t>(sent);
        } else if (sent == 0 || WSAGetLastError() != WSAEWOULDBLOCK ||
                   WaitForSingleObject(ready_, INFINITE) != WAIT_OBJECT_0) {
            return false;
        } else {
            mayHoldMore_ = true;  // the wait may have taken the news of bytes that arrived
        }
    }
    return true;
}

int Rapi1Client::ReceiveSome(uint8_t *data, size_t count, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    if (socket_ == INVALID_SOCKET) return -1;
    for (;;) {
        // The event first, unless the last receive filled its buffer.
        if (!mayHoldMore_) {
            DWORD spent = GetTickCount() - start;
            if (timeoutMs != INFINITE && spent >= timeoutMs) return -1;
            if (WaitForSingleObject(ready_, timeoutMs == INFINITE ? INFINITE : timeoutMs - spent) != WAIT_OBJECT_0) {
                return -1;
            }
        }
        int got = recv(socket_, reinterpret_cast<char *>(data), static_cast<int>(count), 0);
        mayHoldMore_ = got > 0 && static_cast<size_t>(got) == count;
        if (got >= 0) return got;
        if (WSAGetLastError() != WSAEWOULDBLOCK) return -1;
    }
}

// Takes bytes from what earlier receives brought first; a receive brings
// as much as the socket holds, so a reply usually costs one call.
bool Rapi1Client::Receive(uint8_t *data, size_t count) {
    while (count > 0) {
        if (heldAt_ == heldEnd_) {
            held_.resize(64 * 1024);
            int got = ReceiveSome(held_.data(), held_.size(), INFINITE);
            if (got <= 0) return false;
            heldAt_ = 0;
            heldEnd_ = static_cast<size_t>(got);
        }
        size_t take = std::min(count, heldEnd_ - heldAt_);
        memcpy(data, held_.data() + heldAt_, take);
        heldAt_ += take;
        data += take;
        count -= take;
    }
    return true;
}

bool Rapi1Client::ReceiveFrame(std::vector<uint8_t> *body) {
    uint8_t header[4];
    uint32_t length = 0;
    if (!Receive(header, 4) || !rapi1::FrameLength(header, &length)) return false;
    body->resize(length);
    return length == 0 || Receive(body->data(), length);
}

bool Rapi1Client::Call(const rapi1::Writer &request, std::vector<uint8_t> *reply) {
    return SendBytes(request.Frame()) && ReceiveFrame(reply);
}

bool Rapi1Client::EndedUnanswered(DWORD timeoutMs) {
    uint8_t byte;
    return heldAt_ == heldEnd_ && ReceiveSome(&byte, 1, timeoutMs) == 0;
}

namespace {

// Reads result_1 (must be 0), then the last error and the return value.
bool ReplyStart(rapi1::Reader *in, uint32_t *lastError, uint32_t *value) {
    uint32_t hresult = 0;
    if (in->ReplyHead(&hresult) != 0) return false;
    uint32_t error = in->U32();
    *value = in->U32();
    if (lastError) *lastError = error;
    return in->ok();
}

}  // namespace

uint32_t Rapi1Client::GetFileAttributes(const std::wstring &path, uint32_t *lastError) {
    rapi1::Writer out;
    out.U32(rapi1::kGetFileAttributes);
    out.String(path);
    std::vector<uint8_t> body;
    uint32_t value = 0xFFFFFFFFu;
    if (!Call(out, &body)) return 0xFFFFFFFFu;
    rapi1::Reader in(body.data(), body.size());
    return ReplyStart(&in, lastError, &value) ? value : 0xFFFFFFFFu;
}

uint32_t Rapi1Client::CreateFile(const std::wstring &path, uint32_t access, uint32_t disposition,
                                 uint32_t *lastError) {
    rapi1::Writer out;
    out.U32(rapi1::kCreateFile);
    for (uint32_t value : {access, 0u, disposition, static_cast<uint32_t>(FILE_ATTRIBUTE_NORMAL), 0u}) out.U32(value);
    out.String(path);
    std::vector<uint8_t> body;
    uint32_t handle = rapi1::kInvalidHandle;
    if (!Call(out, &body)) return rapi1::kInvalidHandle;
    rapi1::Reader in(body.data(), body.size());
    return ReplyStart(&in, lastError, &handle) ? handle : rapi1::kInvalidHandle;
}

bool Rapi1Client::WriteFile(uint32_t handle, const void *data, uint32_t size, uint32_t *written) {
    rapi1::Writer out;
    out.U32(rapi1::kWriteFile);
    out.U32(handle);
    out.InBuffer(data, size);
    out.Absent();
    std::vector<uint8_t> body;
    uint32_t ok = 0;
    if (!Call(out, &body)) return false;
    rapi1::Reader in(body.data(), body.size());
    if (!ReplyStart(&in, nullptr, &ok)) return false;
    uint32_t count = in.U32();
    if (written) *written = count;
    return in.Exhausted() && ok != 0;
}

bool Rapi1Client::ReadFile(uint32_t handle, uint32_t size, std::string *data) {
    rapi1::Writer out;
    out.U32(rapi1::kReadFile);
    out.U32(handle);
    out.OutBuffer(size);
    out.Absent();
    std::vector<uint8_t> body;
    uint32_t ok = 0;
    if (!Call(out, &body)) return false;
    rapi1::Reader in(body.data(), body.size());
    if (!ReplyStart(&in, nullptr, &ok)) return false;
    uint32_t count = in.U32();
    if (count > size) return false;  // more than was asked for: refuse it
    const uint8_t *bytes = in.Raw(count);
    if (!bytes || !in.Exhausted()) return false;
    data->assign(reinterpret_cast<const char *>(bytes), count);
    return ok != 0;
}

bool Rapi1Client::CloseHandle(uint32_t handle) {
    rapi1::Writer out;
    out.U32(rapi1::kCloseHandle);
    out.U32(handle);
    std::vector<uint8_t> body;
    uint32_t ok = 0;
    if (!Call(out, &body)) return false;
    rapi1::Reader in(body.data(), body.size());
    return ReplyStart(&in, nullptr, &ok) && ok != 0;
}

bool Rapi1Client::PathCall(uint32_t command, const std::wstring &path, const std::wstring &second,
                           uint32_t *lastError) {
    rapi1::Writer out;
    out.U32(command);
    out.OptionalString(path);
    if (command == rapi1::kMoveFile || command == rapi1::kSHCreateShortcut) out.OptionalString(second);
    if (command == rapi1::kCreateDirectory) out.Absent();
    std::vector<uint8_t> body;
    uint32_t ok = 0;
    if (!Call(out, &body)) return false;
    rapi1::Reader in(body.data(), body.size());
    return ReplyStart(&in, lastError, &ok) && in.Exhausted() && ok != 0;
}

std::vector<std::wstring> Rapi1Client::List(const std::wstring &pattern) {
    const uint32_t flags = rapi1::kFafName | rapi1::kFafAttributes;
    rapi1::Writer out;
    out.U32(rapi1::kFindAllFiles);
    out.String(pattern);
    out.U32(flags);
    std::vector<uint8_t> body;
    std::vector<std::wstring> names;
    if (!Call(out, &body)) return names;
    rapi1::Reader in(body.data(), body.size());
    uint32_t hresult = 0;
    if (in.ReplyHead(&hresult) != 0) return names;
    uint32_t count = in.U32();
    for (uint32_t i = 0; i < count && in.ok(); ++i) {
        rapi1::FindData entry;
        if (!rapi1::ReadFindAllEntry(&in, flags, &entry)) break;
        names.push_back(entry.name + ((entry.attributes & FILE_ATTRIBUTE_DIRECTORY) ? L"/" : L""));
    }
    return names;
}
