#include "protocol/wire.h"
#include "protocol/little_endian.h"

#include <windows.h>
#include <string.h>

namespace wire {

void Writer::U32(uint32_t value) {
    AppendU32(&bytes_, value);
}

void Writer::U64(uint64_t value) {
    U32(static_cast<uint32_t>(value));
    U32(static_cast<uint32_t>(value >> 32));
}

void Writer::Text(const std::wstring &text) {
    U32(static_cast<uint32_t>(text.size()));
    for (wchar_t unit : text) {
        bytes_.push_back(static_cast<uint8_t>(unit & 0xFF));
        bytes_.push_back(static_cast<uint8_t>((unit >> 8) & 0xFF));
    }
}

void Writer::Bytes(const void *data, size_t count) {
    uint8_t *to = ReserveBytes(count);
    if (count) memcpy(to, data, count);
}

uint8_t *Writer::ReserveBytes(size_t count) {
    U32(static_cast<uint32_t>(count));
    size_t at = bytes_.size();
    bytes_.resize(at + count);
    return bytes_.data() + at;
}

void Writer::ShrinkReserved(size_t reserved, size_t used) {
    size_t countAt = bytes_.size() - reserved - 4;
    bytes_.resize(bytes_.size() - (reserved - used));
    StoreU32(&bytes_[countAt], used);
}

std::vector<uint8_t> &Writer::Finish() {
    uint32_t body = static_cast<uint32_t>(bytes_.size() - 4);
    StoreU32(&bytes_[0], body);
    return bytes_;
}

bool Reader::Take(size_t count) {
    if (!ok_ || count > size_ - at_) {
        ok_ = false;
        return false;
    }
    return true;
}

uint32_t Reader::U32() {
    if (!Take(4)) return 0;
    uint32_t value = LoadU32(data_ + at_);
    at_ += 4;
    return value;
}

uint64_t Reader::U64() {
    uint64_t low = U32();
    uint64_t high = U32();
    return low | (high << 32);
}

std::wstring Reader::Text() {
    uint32_t units = U32();
    if (units > kMaxTextUnits || !Take(size_t(units) * 2)) {
        ok_ = false;
        return std::wstring();
    }
    std::wstring text(units, L'\0');
    for (uint32_t i = 0; i < units; ++i) {
        text[i] = static_cast<wchar_t>(data_[at_ + 2 * i] | (data_[at_ + 2 * i + 1] << 8));
    }
    at_ += size_t(units) * 2;
    return text;
}

const uint8_t *Reader::Bytes(uint32_t *count) {
    *count = U32();
    if (!Take(*count)) {
        *count = 0;
        return nullptr;
    }
    const uint8_t *at = data_ + at_;
    at_ += *count;
    return at;
}

std::wstring PipeNameFromEnvironment() {
    wchar_t name[512];
    DWORD length = GetEnvironmentVariableW(L"CEDEVICE_PIPE", name, 512);
    if (length == 0 || length >= 512) return L"\\\\.\\pipe\\cedevice";
    return std::wstring(name, length);
}

bool MovePipeBytes(void *pipe, uint8_t *data, size_t count, bool reading) {
    while (count > 0) {
        DWORD moved = 0;
        BOOL ok = reading ? ReadFile(pipe, data, static_cast<DWORD>(count), &moved, nullptr)
                          : WriteFile(pipe, data, static_cast<DWORD>(count), &moved, nullptr);
        if (!ok || moved == 0) return false;
        data += moved;
        count -= moved;
    }
    return true;
}

}  // namespace wire
