// The RAPI2 control connection's information block and password (see
// rapi2.h).
#include "protocol/rapi2.h"
#include "protocol/little_endian.h"

#include <string.h>

#include <algorithm>

namespace rapi2 {

namespace {

void AppendText(std::vector<uint8_t> *block, const std::string &text) {
    block->insert(block->end(), text.begin(), text.end());
}

// Reads the block field by field; any length past its end stops it.
struct BlockReader {
    const uint8_t *data;
    size_t size;
    size_t at = 0;
    const char *problem = nullptr;

    bool Has(size_t count, const char *what) {
        if (problem) return false;
        if (count > size - at) problem = what;
        return problem == nullptr;
    }
    uint32_t U32(const char *what) {
        if (!Has(4, what)) return 0;
        uint32_t value = LoadU32(data + at);
        at += 4;
        return value;
    }
    const uint8_t *Bytes(size_t count, const char *what) {
        if (!Has(count, what)) return nullptr;
        const uint8_t *bytes = data + at;
        at += count;
        return bytes;
    }
};

// The text before the first NUL of `count` bytes.
std::string FirstEntry(const uint8_t *bytes, size_t count) {
    const uint8_t *end = std::find(bytes, bytes + count, 0);
    return std::string(reinterpret_cast<const char *>(bytes), end - bytes);
}

}  // namespace

std::vector<uint8_t> EncodeInfoBlock(const DeviceInfo &info) {
    std::vector<uint8_t> block(info.guid, info.guid + 16);
    AppendU32(&block, info.major);
    AppendU32(&block, info.minor);
    std::wstring name = info.name.substr(0, kMaxNameUnits);
    AppendU32(&block, static_cast<uint32_t>(name.size()));
    for (wchar_t unit : name + L'\0') {
        block.push_back(static_cast<uint8_t>(unit));
        block.push_back(static_cast<uint8_t>(unit >> 8));
    }
    for (uint32_t value : {info.version, info.processor, info.unknown, info.partnerId, info.deviceId}) {
        AppendU32(&block, value);
    }
    // The platform list: one entry, its NUL, and the list's closing NUL.
    std::string platform = info.platform.substr(0, kMaxInfoTextBytes - 2);
    AppendU32(&block, static_cast<uint32_t>(platform.size() + 2));
    AppendText(&block, platform);
    block.insert(block.end(), 2, 0);
    std::string model = info.model.substr(0, kMaxInfoTextBytes - 1);
    AppendU32(&block, static_cast<uint32_t>(model.size()));
    AppendText(&block, model);
    block.push_back(0);
    size_t components = std::min<size_t>(info.components.size() / kComponentBytes, kMaxComponents);
    AppendU32(&block, static_cast<uint32_t>(components));
    block.insert(block.end(), info.components.begin(), info.components.begin() + components * kComponentBytes);
    AppendU32(&block, info.key);
    if (!info.extra.empty()) {
        AppendU32(&block, static_cast<uint32_t>(info.extra.size()));
        block.insert(block.end(), info.extra.begin(), info.extra.end());
    }
    return block;
}

bool ParseInfoBlock(const uint8_t *block, size_t size, DeviceInfo *info, const char **problem) {
    *info = DeviceInfo();
    if (size > kMaxInfoBlockBytes) {
        *problem = "the block is larger than 2048 bytes";
        return false;
    }
    BlockReader in{block, size};
    const uint8_t *guid = in.Bytes(16, "the block ends inside its GUID");
    if (guid) memcpy(info->guid, guid, 16);
    info->major = in.U32("the block ends before the OS version");
    info->minor = in.U32("the block ends before the OS version");
    uint32_t units = in.U32("the block ends before the name");
    if (!in.problem && units > kMaxNameUnits) in.problem = "a name longer than 31 characters";
    const uint8_t *name = in.Bytes(size_t(units) * 2 + 2, "the name runs past the block");
    if (name) {
        if (name[2 * units] != 0 || name[2 * units + 1] != 0) in.problem = "a name without its terminator";
        for (uint32_t i = 0; i < units; ++i) info->name += static_cast<wchar_t>(name[2 * i] | (name[2 * i + 1] << 8));
    }
    uint32_t *fields[5] = {&info->version, &info->processor, &info->unknown, &info->partnerId, &info->deviceId};
    for (uint32_t *field : fields) *field = in.U32("the block ends inside its fixed fields");
    uint32_t platformBytes = in.U32("the block ends before the platform");
    if (!in.problem && platformBytes > kMaxInfoTextBytes) in.problem = "a platform name longer than 256 bytes";
    const uint8_t *platform = in.Bytes(platformBytes, "the platform runs past the block");
    if (platform) info->platform = FirstEntry(platform, platformBytes);
    uint32_t modelBytes = in.U32("the block ends before the model");
    if (!in.problem && modelBytes > kMaxInfoTextBytes) in.problem = "a model name longer than 256 bytes";
    const uint8_t *model = in.Bytes(size_t(modelBytes) + 1, "the model runs past the block");
    if (model) info->model = FirstEntry(model, modelBytes);
    uint32_t components = in.U32("the block ends before its components");
    if (!in.problem && components > kMaxComponents) in.problem = "more than 6 components";
    const uint8_t *versions = in.Bytes(size_t(components) * kComponentBytes, "the components run past the block");
    if (versions) info->components.assign(versions, versions + size_t(components) * kComponentBytes);
    info->key = in.U32("the block ends before the password key");
    if (!in.problem && size - in.at >= 4) {
        uint32_t extraBytes = in.U32("");
        const uint8_t *extra = in.Bytes(extraBytes, "the extra data runs past the block");
        if (extra) info->extra.assign(extra, extra + extraBytes);
    }
    *problem = in.problem ? in.problem : "";
    return in.problem == nullptr;
}

std::vector<uint8_t> EncodePassword(const std::wstring &password, uint32_t key) {
    const uint8_t mask = static_cast<uint8_t>(key);
    std::wstring text = password.substr(0, kMaxPasswordUnits) + L'\0';
    std::vector<uint8_t> message;
    uint16_t bytes = static_cast<uint16_t>(text.size() * 2);
    message.push_back(static_cast<uint8_t>(bytes));
    message.push_back(static_cast<uint8_t>(bytes >> 8));
    for (wchar_t unit : text) {
        message.push_back(static_cast<uint8_t>(unit) ^ mask);
        message.push_back(static_cast<uint8_t>(unit >> 8) ^ mask);
    }
    return message;
}

bool DecodePassword(const uint8_t *bytes, size_t count, uint32_t key, std::wstring *password) {
    password->clear();
    if (count % 2 != 0 || count > (kMaxPasswordUnits + 1) * 2) return false;
    const uint8_t mask = static_cast<uint8_t>(key);
    for (size_t at = 0; at < count; at += 2) {
        wchar_t unit = static_cast<wchar_t>((bytes[at] ^ mask) | ((bytes[at + 1] ^ mask) << 8));
        if (unit == 0) {
            if (at + 2 == count) break;  // the terminator, last
            password->clear();
            return false;
        }
        *password += unit;
    }
    return password->size() <= kMaxPasswordUnits;
}

}  // namespace rapi2
