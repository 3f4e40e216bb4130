#include "model/device_path.h"

#include "model/text_util.h"

namespace {

const size_t kMaxDevicePath = MAX_PATH - 1;

bool IsReservedHostName(const std::wstring &part) {
    // The host would open a device instead of a file for these names.
    std::wstring base = CaseKey(part.substr(0, part.find(L'.')));
    static const wchar_t *const kReserved[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    for (const wchar_t *name : kReserved) {
        if (base == name) return true;
    }
    if (base.size() == 4 && (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0) &&
        base[3] >= L'1' && base[3] <= L'9') {
        return true;
    }
    return false;
}

DWORD CheckPart(const std::wstring &part, bool allowWildcards) {
    if (part == L"." || part == L"..") return ERROR_BAD_PATHNAME;
    for (wchar_t c : part) {
        if (c < 32 || c == L'<' || c == L'>' || c == L':' || c == L'"' || c == L'|') return ERROR_INVALID_NAME;
        if ((c == L'*' || c == L'?') && !allowWildcards) return ERROR_INVALID_NAME;
    }
    wchar_t last = part.back();
    if (last == L'.' || last == L' ') return ERROR_INVALID_NAME;
    if (IsReservedHostName(part)) return ERROR_INVALID_NAME;
    return 0;
}

}  // namespace

DWORD NormalizeDevicePath(const std::wstring &path, bool allowWildcards, std::wstring *canonical) {
    std::vector<std::wstring> parts;
    std::wstring part;
    for (size_t i = 0; i <= path.size(); ++i) {
        wchar_t c = i < path.size() ? path[i] : L'\\';
        if (c == L'\0') return ERROR_INVALID_NAME;
        if (c != L'\\' && c != L'/') {
            part += c;
            continue;
        }
        if (!part.empty()) parts.push_back(part);
        part.clear();
    }
    std::wstring result;
    for (size_t i = 0; i < parts.size(); ++i) {
        DWORD error = CheckPart(parts[i], allowWildcards && i + 1 == parts.size());
        if (error) return error;
        result += L'\\';
        result += parts[i];
    }
    if (result.empty()) result = L"\\";
    if (result.size() > kMaxDevicePath) return ERROR_FILENAME_EXCED_RANGE;
    *canonical = result;
    return 0;
}

void SplitDevicePath(const std::wstring &canonical, std::wstring *parent, std::wstring *name) {
    size_t at = canonical.rfind(L'\\');
    if (canonical == L"\\" || at == std::wstring::npos) {
        *parent = L"\\";
        name->clear();
        return;
    }
    *parent = at == 0 ? std::wstring(L"\\") : canonical.substr(0, at);
    *name = canonical.substr(at + 1);
}

std::wstring JoinDevicePath(const std::wstring &folder, const std::wstring &name) {
    if (folder == L"\\") return L"\\" + name;
    return folder + L"\\" + name;
}

std::vector<std::wstring> DevicePathParts(const std::wstring &canonical) {
    std::vector<std::wstring> parts;
    std::wstring part;
    for (size_t i = 1; i <= canonical.size(); ++i) {
        if (i == canonical.size() || canonical[i] == L'\\') {
            if (!part.empty()) parts.push_back(part);
            part.clear();
        } else {
            part += canonical[i];
        }
    }
    return parts;
}

bool HasWildcards(const std::wstring &name) { return name.find_first_of(L"*?") != std::wstring::npos; }
