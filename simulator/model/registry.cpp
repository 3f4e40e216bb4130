#include "model/registry.h"

#include <stdio.h>

#include <algorithm>

#include "model/text_util.h"

namespace {

const wchar_t *const kRootNames[] = {L"HKEY_CLASSES_ROOT", L"HKEY_CURRENT_USER", L"HKEY_LOCAL_MACHINE",
                                     L"HKEY_USERS"};
const uint32_t kFirstRoot = 0x80000000u;

bool IsRootPath(const std::wstring &path) { return path.find(L'\\') == std::wstring::npos; }

// The escapes that keep a name or text on its own line and field.
std::string Escape(const std::wstring &text) {
    std::string out;
    for (char c : WideToUtf8(text)) {
        if (c == '%' || c == '\t' || c == '\n' || c == '\r') {
            char code[4];
            snprintf(code, sizeof code, "%%%02X", static_cast<unsigned char>(c));
            out += code;
        } else {
            out += c;
        }
    }
    return out;
}

std::wstring Unescape(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned value = 0;
        if (text[i] == '%' && i + 2 < text.size() && sscanf(text.substr(i + 1, 2).c_str(), "%2X", &value) == 1) {
            out += static_cast<char>(value);
            i += 2;
        } else {
            out += text[i];
        }
    }
    return Utf8ToWide(out);
}

// Text when the bytes are a string ending in its one terminator.
bool IsPlainText(const RegistryValue &value) {
    const std::vector<uint8_t> &d = value.data;
    if ((value.type != REG_SZ && value.type != REG_EXPAND_SZ) || d.size() < 2 || d.size() % 2 != 0) return false;
    for (size_t i = 0; i + 2 < d.size(); i += 2) {
        if (d[i] == 0 && d[i + 1] == 0) return false;
    }
    return d[d.size() - 2] == 0 && d[d.size() - 1] == 0;
}

std::string DataText(const RegistryValue &value) {
    if (IsPlainText(value)) return "text:" + Escape(ValueText(value.data));
    if (value.type == REG_DWORD && value.data.size() == 4) {
        uint32_t number = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                          (static_cast<uint32_t>(value.data[3]) << 24);
        return "dword:" + std::to_string(number);
    }
    std::string hex = "hex:";
    for (uint8_t byte : value.data) {
        char pair[3];
        snprintf(pair, sizeof pair, "%02x", byte);
        hex += pair;
    }
    return hex;
}

bool ParseDataText(const std::string &text, RegistryValue *value) {
    if (text.compare(0, 5, "text:") == 0) {
        value->data = TextValue(L"", Unescape(text.substr(5))).data;
        return true;
    }
    uint64_t number = 0;
    if (text.compare(0, 6, "dword:") == 0 && ParseUnsigned(text.substr(6), &number) && number <= 0xFFFFFFFFull) {
        value->data = DwordValue(L"", static_cast<uint32_t>(number)).data;
        return true;
    }
    if (text.compare(0, 4, "hex:") != 0 || text.size() % 2 != 0) return false;
    for (size_t i = 4; i < text.size(); i += 2) {
        unsigned byte = 0;
        if (sscanf(text.substr(i, 2).c_str(), "%2x", &byte) != 1) return false;
        value->data.push_back(static_cast<uint8_t>(byte));
    }
    return true;
}

}  // namespace

const wchar_t *Registry::RootName(uint32_t root) {
    if (root < kFirstRoot || root >= kFirstRoot + 4) return nullptr;
    return kRootNames[root - kFirstRoot];
}

DWORD Registry::JoinPath(const std::wstring &base, const std::wstring &subKey, std::wstring *path) {
    size_t first = subKey.find_first_not_of(L'\\');
    size_t last = subKey.find_last_not_of(L'\\');
    *path = base;
    if (first == std::wstring::npos) return 0;
    std::wstring rest = subKey.substr(first, last - first + 1);
    for (const std::string &part : SplitFields(WideToUtf8(rest), '\\')) {
        const std::wstring name = Utf8ToWide(part);
        if (name.empty() || name.size() > kMaxNameChars) return ERROR_INVALID_PARAMETER;
    }
    *path += L"\\" + rest;
    return 0;
}

void Registry::SplitPath(const std::wstring &path, std::wstring *parent, std::wstring *name) {
    size_t at = path.rfind(L'\\');
    *parent = at == std::wstring::npos ? std::wstring() : path.substr(0, at);
    *name = at == std::wstring::npos ? path : path.substr(at + 1);
}

bool Registry::HasKey(const std::wstring &path) const {
    if (IsRootPath(path)) {
        for (const wchar_t *root : kRootNames) {
            if (SameName(root, path)) return true;
        }
        return false;
    }
    return keys_.count(CaseKey(path)) != 0;
}

void Registry::CreateKey(const std::wstring &path, bool *created) {
    *created = false;
    if (IsRootPath(path) || HasKey(path)) return;
    std::wstring parent, name;
    SplitPath(path, &parent, &name);
    bool above = false;
    CreateKey(parent, &above);
    keys_[CaseKey(path)].path = path;
    *created = true;
}

void Registry::DeleteKey(const std::wstring &path) { keys_.erase(CaseKey(path)); }

std::vector<std::wstring> Registry::SubKeys(const std::wstring &path) const {
    std::vector<std::wstring> names;
    const std::wstring prefix = CaseKey(path) + L"\\";
    for (auto it = keys_.lower_bound(prefix); it != keys_.end() && it->first.compare(0, prefix.size(), prefix) == 0;
         ++it) {
        if (it->first.find(L'\\', prefix.size()) == std::wstring::npos) {
            names.push_back(it->second.path.substr(prefix.size()));
        }
    }
    return names;
}

std::vector<RegistryValue> Registry::Values(const std::wstring &path) const {
    auto key = keys_.find(CaseKey(path));
    return key == keys_.end() ? std::vector<RegistryValue>() : key->second.values;
}

const RegistryValue *Registry::FindValue(const std::wstring &path, const std::wstring &name) const {
    auto key = keys_.find(CaseKey(path));
    if (key == keys_.end()) return nullptr;
    for (const RegistryValue &value : key->second.values) {
        if (SameName(value.name, name)) return &value;
    }
    return nullptr;
}

void Registry::SetValue(const std::wstring &path, const RegistryValue &value) {
    bool created = false;
    CreateKey(path, &created);
    Key &key = keys_[CaseKey(path)];
    if (key.path.empty()) key.path = path;  // a root's entry is made here, not by CreateKey
    for (RegistryValue &held : key.values) {
        if (SameName(held.name, value.name)) {
            held = value;
            return;
        }
    }
    key.values.push_back(value);
}

bool Registry::DeleteValue(const std::wstring &path, const std::wstring &name) {
    auto key = keys_.find(CaseKey(path));
    if (key == keys_.end()) return false;
    std::vector<RegistryValue> &values = key->second.values;
    auto found = std::find_if(values.begin(), values.end(),
                              [&](const RegistryValue &value) { return SameName(value.name, name); });
    if (found == values.end()) return false;
    values.erase(found);
    return true;
}

std::string Registry::Serialize() const {
    std::string text;
    for (const auto &entry : keys_) {
        text += Escape(entry.second.path) + "\n";
        for (const RegistryValue &value : entry.second.values) {
            text += "\t" + Escape(value.name) + "\t" + std::to_string(value.type) + "\t" + DataText(value) + "\n";
        }
    }
    return text;
}

void Registry::Parse(const std::string &text) {
    keys_.clear();
    std::wstring current;
    for (std::string line : SplitFields(text, '\n')) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        if (line[0] != '\t') {
            std::wstring path = Unescape(line), root;
            size_t at = path.find(L'\\');
            current.clear();
            // A root holds values of its own too.
            if (at == std::wstring::npos && HasKey(path)) current = path;
            if (at == std::wstring::npos || !HasKey(path.substr(0, at))) continue;
            if (JoinPath(path.substr(0, at), path.substr(at + 1), &root) != 0 || root != path) continue;
            bool created = false;
            CreateKey(path, &created);
            current = path;
            continue;
        }
        std::vector<std::string> fields = SplitFields(line.substr(1), '\t');
        RegistryValue value;
        uint64_t type = 0;
        if (current.empty() || fields.size() != 3 || !ParseUnsigned(fields[1], &type) || type > 0xFFFFFFFFull) {
            continue;
        }
        value.name = Unescape(fields[0]);
        value.type = static_cast<DWORD>(type);
        if (ParseDataText(fields[2], &value)) SetValue(current, value);
    }
}

RegistryValue TextValue(const std::wstring &name, const std::wstring &text) {
    RegistryValue value;
    value.name = name;
    value.type = REG_SZ;
    for (wchar_t unit : text) {
        value.data.push_back(static_cast<uint8_t>(unit & 0xFF));
        value.data.push_back(static_cast<uint8_t>(unit >> 8));
    }
    value.data.push_back(0);
    value.data.push_back(0);
    return value;
}

RegistryValue DwordValue(const std::wstring &name, uint32_t number) {
    RegistryValue value;
    value.name = name;
    value.type = REG_DWORD;
    for (int shift = 0; shift < 32; shift += 8) value.data.push_back(static_cast<uint8_t>(number >> shift));
    return value;
}

std::wstring ValueText(const std::vector<uint8_t> &data) {
    std::wstring text;
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
        wchar_t unit = static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
        if (unit == 0) break;
        text += unit;
    }
    return text;
}

std::string DescribeValue(const RegistryValue &value) {
    if (value.type == REG_SZ || value.type == REG_EXPAND_SZ) return Quoted(ValueText(value.data));
    if (value.type == REG_DWORD && value.data.size() == 4) {
        return "dword " + std::to_string(value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                                         (static_cast<uint32_t>(value.data[3]) << 24));
    }
    return "type " + std::to_string(value.type) + ", " + std::to_string(value.data.size()) + " bytes";
}

bool ParseValueData(const std::string &text, RegistryValue *value) { return ParseDataText(text, value); }
