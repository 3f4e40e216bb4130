// The frames and argument encodings of the remote API v1: building a body
// with Writer and reading one with Reader (see rapi1.h).
#include "protocol/rapi1.h"
#include "protocol/little_endian.h"

#include <string.h>

namespace rapi1 {

void Writer::U16(uint16_t value) {
    bytes_.push_back(static_cast<uint8_t>(value));
    bytes_.push_back(static_cast<uint8_t>(value >> 8));
}

void Writer::U32(uint32_t value) {
    AppendU32(&bytes_, value);
}

void Writer::PatchU32(size_t at, uint32_t value) {
    if (at + 4 <= bytes_.size()) StoreU32(&bytes_[at], value);
}

void Writer::Raw(const void *data, size_t count) {
    if (count == 0) return;
    size_t at = bytes_.size();
    bytes_.resize(at + count);
    memcpy(bytes_.data() + at, data, count);
}

void Writer::Units(const std::wstring &text) {
    for (wchar_t unit : text) U16(static_cast<uint16_t>(unit));
}

void Writer::String(const std::wstring &text) {
    U32(1);
    U32(static_cast<uint32_t>(text.size() + 1));
    Units(text);
    U16(0);
}

void Writer::OptionalString(const std::wstring &text) {
    U32(1);
    U32(static_cast<uint32_t>((text.size() + 1) * 2));
    U32(1);
    Units(text);
    U16(0);
}

void Writer::InBuffer(const void *data, uint32_t size) {
    U32(1);
    U32(size);
    Raw(data, size);
}

void Writer::OutBuffer(uint32_t size) {
    U32(1);
    U32(size);
    U32(0);
}

void Writer::InOutBuffer(const void *data, uint32_t size) {
    U32(1);
    U32(size);
    U32(1);
    Raw(data, size);
}

void Writer::OptionalValue(const void *data, uint32_t size) { InOutBuffer(data, size); }

void Writer::OptionalNoValue(uint32_t size) { OutBuffer(size); }

std::vector<uint8_t> Writer::Frame() const {
    std::vector<uint8_t> frame;
    frame.reserve(4 + bytes_.size());
    uint32_t length = static_cast<uint32_t>(bytes_.size());
    AppendU32(&frame, length);
    frame.insert(frame.end(), bytes_.begin(), bytes_.end());
    return frame;
}

void Reader::Fail(const char *problem) {
    if (ok_) problem_ = problem;
    ok_ = false;
}

bool Reader::Refuse(const char *problem) {
    Fail(problem);
    return false;
}

bool Reader::Take(size_t count) {
    if (!ok_) return false;
    if (count > size_ - at_) {
        Fail("cut short");
        return false;
    }
    return true;
}

uint8_t Reader::U8() {
    if (!Take(1)) return 0;
    return data_[at_++];
}

uint16_t Reader::U16() {
    if (!Take(2)) return 0;
    uint16_t value = static_cast<uint16_t>(data_[at_] | (data_[at_ + 1] << 8));
    at_ += 2;
    return value;
}

uint32_t Reader::U32() {
    if (!Take(4)) return 0;
    uint32_t value = LoadU32(data_ + at_);
    at_ += 4;
    return value;
}

const uint8_t *Reader::Raw(size_t count) {
    if (!Take(count)) return nullptr;
    const uint8_t *at = data_ + at_;
    at_ += count;
    return at;
}

std::wstring Reader::Units(uint32_t units) {
    if (units > kMaxStringUnits) {
        Fail("text too long");
        return std::wstring();
    }
    const uint8_t *at = Raw(size_t(units) * 2);
    if (!at) return std::wstring();
    std::wstring text(units, L'\0');
    for (uint32_t i = 0; i < units; ++i) text[i] = static_cast<wchar_t>(at[2 * i] | (at[2 * i + 1] << 8));
    return text;
}

bool Reader::Flag(bool *value) {
    uint32_t flag = U32();
    if (!ok_) return false;
    if (flag > 1) {
        Fail("flag neither 0 nor 1");
        return false;
    }
    *value = flag == 1;
    return true;
}

// `count` units that must end with a zero unit, the only one: a name with
// a NUL inside would name something else on the device than in the log.
std::wstring Reader::Terminated(const uint8_t *units, uint32_t count) {
    std::wstring text;
    if (count == 0 || units[2 * (count - 1)] != 0 || units[2 * (count - 1) + 1] != 0) {
        Fail("string without its terminator");
        return text;
    }
    text.resize(count - 1);
    for (uint32_t i = 0; i + 1 < count; ++i) {
        text[i] = static_cast<wchar_t>(units[2 * i] | (units[2 * i + 1] << 8));
        if (text[i] == 0) {
            Fail("string with a NUL inside");
            return std::wstring();
        }
    }
    return text;
}

std::wstring Reader::String(bool *present) {
    *present = false;
    bool has = false;
    if (!Flag(&has) || !has) return std::wstring();
    uint32_t units = U32();
    if (!ok_) return std::wstring();
    if (units > kMaxStringUnits) {
        Fail("text too long");
        return std::wstring();
    }
    const uint8_t *at = Raw(size_t(units) * 2);
    if (!at) return std::wstring();
    std::wstring text = Terminated(at, units);
    *present = ok_;
    return text;
}

std::wstring Reader::OptionalString(bool *present) {
    *present = false;
    Optional value = OptionalArgument();
    if (!ok_ || !value.present || !value.hasValue) return std::wstring();
    if (value.size % 2 != 0 || value.size / 2 > kMaxStringUnits) {
        Fail("string size not a whole number of units");
        return std::wstring();
    }
    std::wstring text = Terminated(value.data, value.size / 2);
    *present = ok_;
    return text;
}

Optional Reader::InBuffer() {
    Optional value;
    if (!Flag(&value.present) || !value.present) return Optional();
    value.size = U32();
    value.data = Raw(value.size);
    if (!ok_) return Optional();
    value.hasValue = true;
    return value;
}

Optional Reader::OptionalArgument() {
    Optional value;
    if (!Flag(&value.present) || !value.present) return Optional();
    value.size = U32();
    if (!Flag(&value.hasValue)) return Optional();
    if (value.hasValue) {
        value.data = Raw(value.size);
        if (!ok_) return Optional();
    }
    return value;
}

uint32_t Reader::ReplyHead(uint32_t *hresult) {
    *hresult = 0;
    uint32_t result1 = U32();
    if (result1 == 1) *hresult = U32();
    return result1;
}

bool FrameLength(const uint8_t header[4], uint32_t *length) {
    *length = header[0] | (header[1] << 8) | (header[2] << 16) | (static_cast<uint32_t>(header[3]) << 24);
    return *length <= kMaxFrameBytes;
}

}  // namespace rapi1
