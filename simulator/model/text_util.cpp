#include "model/text_util.h"

#include <stdio.h>

#include <stdlib.h>

std::wstring Utf8ToWide(const std::string &text) {
    if (text.empty()) return std::wstring();
    int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], units);
    return wide;
}

std::string WideToUtf8(const std::wstring &text) {
    if (text.empty()) return std::string();
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                    nullptr);
    std::string narrow(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &narrow[0], bytes, nullptr, nullptr);
    return narrow;
}

std::wstring CaseKey(const std::wstring &text) {
    std::wstring key = text;
    if (!key.empty()) CharUpperBuffW(&key[0], static_cast<DWORD>(key.size()));
    return key;
}

bool SameName(const std::wstring &a, const std::wstring &b) { return CaseKey(a) == CaseKey(b); }

namespace {

bool MatchFrom(const std::wstring &pattern, size_t p, const std::wstring &name, size_t n) {
    // Iterative matching with one backtrack point for the last `*`: linear
    // enough for any name, and no recursion depth to exhaust.
    size_t starP = std::wstring::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == L'?' || pattern[p] == name[n])) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == L'*') {
            starP = p++;
            starN = n;
        } else if (starP != std::wstring::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*') ++p;
    return p == pattern.size();
}

}  // namespace

bool WildcardMatch(const std::wstring &pattern, const std::wstring &name) {
    return MatchFrom(CaseKey(pattern), 0, CaseKey(name), 0);
}

uint64_t FileTimeValue(const FILETIME &time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

FILETIME FileTimeFrom(uint64_t value) {
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(value);
    time.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return time;
}

FILETIME DeviceNow() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return now;
}

std::vector<std::string> SplitFields(const std::string &text, char separator) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t at = text.find(separator, start);
        if (at == std::string::npos) {
            fields.push_back(text.substr(start));
            return fields;
        }
        fields.push_back(text.substr(start, at - start));
        start = at + 1;
    }
}

bool ParseUnsigned(const std::string &text, uint64_t *value) {
    if (text.empty() || text.size() > 20) return false;
    uint64_t result = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        uint64_t next = result * 10 + static_cast<uint64_t>(c - '0');
        if (next / 10 != result) return false;
        result = next;
    }
    *value = result;
    return true;
}

bool ParseSigned(const std::string &text, int64_t *value) {
    bool negative = !text.empty() && text[0] == '-';
    uint64_t magnitude = 0;
    if (!ParseUnsigned(negative ? text.substr(1) : text, &magnitude)) return false;
    if (magnitude > (negative ? 0x8000000000000000ull : 0x7FFFFFFFFFFFFFFFull)) return false;
    *value = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    return true;
}

std::string Quoted(const std::wstring &text) { return "\"" + WideToUtf8(text) + "\""; }

std::string Hex(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(value));
    return text;
}

std::vector<std::string> TextLines(const std::string &text) {
    std::vector<std::string> lines;
    for (std::string line : SplitFields(text, '\n')) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}
