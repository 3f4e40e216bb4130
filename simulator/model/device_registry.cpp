// The registry calls: opening, creating, enumerating, querying, setting and
// deleting keys and values, over the registry kept in the image
// (model/registry.h). Keys are handles of the session that opened them.
// The registry faults apply on top of what is kept: no_ident hides
// HKEY_LOCAL_MACHINE\Ident, and origname / origname_type change what its
// OrigName value shows, without changing what is kept.
#include "model/device.h"
#include "model/host_files.h"
#include "model/profiles.h"
#include "model/text_util.h"

namespace {

const wchar_t kIdentPath[] = L"HKEY_LOCAL_MACHINE\\Ident";
const wchar_t kOrigName[] = L"OrigName";
const DWORD kCreatedNewKey = 1;      // REG_CREATED_NEW_KEY
const DWORD kOpenedExistingKey = 2;  // REG_OPENED_EXISTING_KEY

bool Within(const std::wstring &path, const std::wstring &key) {
    const std::wstring a = CaseKey(path), b = CaseKey(key);
    return a == b || (a.size() > b.size() && a.compare(0, b.size(), b) == 0 && a[b.size()] == L'\\');
}

// Data for a caller with room for `room` bytes: the type and size always;
// the bytes only when wanted and there is room (0 bytes of room asks for
// the size alone, as no buffer does).
Device::Result GiveData(const RegistryValue &value, bool wantData, uint32_t room, DWORD *type,
                        std::vector<uint8_t> *data, uint32_t *size) {
    *type = value.type;
    *size = static_cast<uint32_t>(value.data.size());
    if (!wantData || room == 0) return Device::Done("size " + std::to_string(*size));
    if (room < value.data.size()) {
        Device::Result result = Device::Fail(ERROR_MORE_DATA);
        result.note += ", size " + std::to_string(*size);
        return result;
    }
    *data = value.data;
    return Device::Done(DescribeValue(value));
}

}  // namespace

void Device::LoadRegistry() {
    std::string text;
    if (ReadHostFile(ImageFile(L"registry.txt"), &text)) registry_.Parse(text);
    // An image made before the registry was kept gets its profile's.
    if (registry_.Empty()) SeedRegistry();
}

void Device::SaveRegistry() {
    if (!ReplaceHostFile(ImageFile(L"registry.txt"), registry_.Serialize())) Log("! cannot write registry.txt");
}

void Device::SeedRegistry() {
    const DeviceStatus &status = StatusOfProfile(identity_.profile);
    registry_.SetValue(kIdentPath, TextValue(L"Name", status.deviceName));
    registry_.SetValue(kIdentPath, TextValue(L"Desc", status.model));
    registry_.SetValue(kIdentPath, TextValue(kOrigName, identity_.platform));
    bool created = false;
    for (const wchar_t *key : {L"HKEY_LOCAL_MACHINE\\Software\\Microsoft", L"HKEY_LOCAL_MACHINE\\System",
                               L"HKEY_CURRENT_USER\\Software", L"HKEY_CURRENT_USER\\ControlPanel\\Owner"}) {
        registry_.CreateKey(key, &created);
    }
    SaveRegistry();
}

bool Device::KeyHidden(const std::wstring &path) const { return faults_.noIdent && Within(path, kIdentPath); }

bool Device::KeyInUse(const std::wstring &path) const {
    for (const auto &entry : handles_) {
        if (entry.second.kind == Kind::kKey && Within(entry.second.path, path)) return true;
    }
    return false;
}

DWORD Device::KeyPath(uint32_t session, uint32_t key, std::wstring *path) {
    if (const wchar_t *root = Registry::RootName(key)) {
        *path = root;
        return 0;
    }
    DWORD error = 0;
    const Handle *handle = FindHandle(session, key, Kind::kKey, &error);
    if (!handle) return error;
    *path = handle->path;
    // A key deleted through another handle's parent is gone for this one too.
    return registry_.HasKey(*path) && !KeyHidden(*path) ? 0 : ERROR_KEY_DELETED;
}

std::vector<RegistryValue> Device::ShownValues(const std::wstring &path) const {
    std::vector<RegistryValue> values = registry_.Values(path);
    if (!SameName(path, kIdentPath)) return values;
    for (auto it = values.begin(); it != values.end(); ++it) {
        if (!SameName(it->name, kOrigName)) continue;
        if (faults_.origNameType == "missing") {
            values.erase(it);
        } else if (faults_.origNameType == "dword") {
            *it = DwordValue(kOrigName, 1);
        } else if (faults_.hasOrigName) {
            *it = TextValue(kOrigName, faults_.origName);
        }
        return values;
    }
    if (faults_.origNameType == "dword") values.push_back(DwordValue(kOrigName, 1));
    if (faults_.origNameType == "string" && faults_.hasOrigName) values.push_back(TextValue(kOrigName, faults_.origName));
    return values;
}

Device::Result Device::DoRegOpenKey(uint32_t session, uint32_t parent, const std::wstring &subKey, uint32_t *key) {
    std::wstring base, path;
    DWORD error = KeyPath(session, parent, &base);
    if (!error) error = Registry::JoinPath(base, subKey, &path);
    if (error) return Fail(error);
    if (!registry_.HasKey(path) || KeyHidden(path)) return Fail(ERROR_FILE_NOT_FOUND);
    Handle handle;
    handle.session = session;
    handle.kind = Kind::kKey;
    handle.path = path;
    *key = NewHandle(std::move(handle));
    return Done("key " + std::to_string(*key));
}

Device::Result Device::DoRegCreateKey(uint32_t session, uint32_t parent, const std::wstring &subKey, uint32_t *key,
                                      DWORD *disposition) {
    std::wstring base, path;
    DWORD error = KeyPath(session, parent, &base);
    if (!error) error = Registry::JoinPath(base, subKey, &path);
    if (error) return Fail(error);
    // A hidden Ident cannot be made again while the fault holds.
    if (KeyHidden(path)) return Fail(ERROR_ACCESS_DENIED);
    bool created = false;
    registry_.CreateKey(path, &created);
    if (created) SaveRegistry();
    *disposition = created ? kCreatedNewKey : kOpenedExistingKey;
    Handle handle;
    handle.session = session;
    handle.kind = Kind::kKey;
    handle.path = path;
    *key = NewHandle(std::move(handle));
    return Done(std::string(created ? "created" : "opened") + ", key " + std::to_string(*key));
}

Device::Result Device::DoRegQueryValue(uint32_t session, uint32_t key, const std::wstring &name, bool wantData,
                                       uint32_t bufferSize, DWORD *type, std::vector<uint8_t> *data, uint32_t *size) {
    std::wstring path;
    DWORD error = KeyPath(session, key, &path);
    if (error) return Fail(error);
    for (const RegistryValue &value : ShownValues(path)) {
        if (SameName(value.name, name)) return GiveData(value, wantData, bufferSize, type, data, size);
    }
    return Fail(ERROR_FILE_NOT_FOUND);
}

Device::Result Device::DoRegSetValue(uint32_t session, uint32_t key, const std::wstring &name, DWORD type,
                                     const uint8_t *data, uint32_t size) {
    std::wstring path;
    DWORD error = KeyPath(session, key, &path);
    if (error) return Fail(error);
    if (name.size() > Registry::kMaxNameChars || size > Registry::kMaxValueBytes || (size && !data)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    RegistryValue value;
    value.name = name;
    value.type = type;
    if (size) value.data.assign(data, data + size);
    registry_.SetValue(path, value);
    SaveRegistry();
    return Done("set " + DescribeValue(value));
}

Device::Result Device::DoRegDeleteValue(uint32_t session, uint32_t key, const std::wstring &name) {
    std::wstring path;
    DWORD error = KeyPath(session, key, &path);
    if (error) return Fail(error);
    if (!registry_.DeleteValue(path, name)) return Fail(ERROR_FILE_NOT_FOUND);
    SaveRegistry();
    return Done("deleted");
}

Device::Result Device::DoRegDeleteKey(uint32_t session, uint32_t parent, const std::wstring &subKey) {
    std::wstring base, path;
    DWORD error = KeyPath(session, parent, &base);
    if (!error) error = Registry::JoinPath(base, subKey, &path);
    if (error) return Fail(error);
    if (path == base) return Fail(ERROR_INVALID_PARAMETER);  // a key names no sub key of itself
    if (!registry_.HasKey(path) || KeyHidden(path)) return Fail(ERROR_FILE_NOT_FOUND);
    // As the remote call is documented: a key with sub keys, or one that is
    // open, stays.
    if (!registry_.SubKeys(path).empty() || KeyInUse(path)) return Fail(ERROR_ACCESS_DENIED);
    registry_.DeleteKey(path);
    SaveRegistry();
    return Done("deleted");
}

Device::Result Device::DoRegEnumKey(uint32_t session, uint32_t key, uint32_t index, uint32_t nameRoom,
                                    std::wstring *name) {
    std::wstring path;
    DWORD error = KeyPath(session, key, &path);
    if (error) return Fail(error);
    std::vector<std::wstring> names = registry_.SubKeys(path);
    if (faults_.noIdent) {
        for (auto it = names.begin(); it != names.end(); ++it) {
            if (KeyHidden(path + L"\\" + *it)) {
                names.erase(it);
                break;
            }
        }
    }
    if (index >= names.size()) return Fail(ERROR_NO_MORE_ITEMS);
    if (names[index].size() + 1 > nameRoom) return Fail(ERROR_MORE_DATA);
    *name = names[index];
    return Done(Quoted(*name));
}

Device::Result Device::DoRegEnumValue(uint32_t session, uint32_t key, uint32_t index, uint32_t nameRoom,
                                      bool wantData, uint32_t dataRoom, std::wstring *name, DWORD *type,
                                      std::vector<uint8_t> *data, uint32_t *size) {
    std::wstring path;
    DWORD error = KeyPath(session, key, &path);
    if (error) return Fail(error);
    std::vector<RegistryValue> values = ShownValues(path);
    if (index >= values.size()) return Fail(ERROR_NO_MORE_ITEMS);
    const RegistryValue &value = values[index];
    if (value.name.size() + 1 > nameRoom) return Fail(ERROR_MORE_DATA);
    *name = value.name;
    Result result = GiveData(value, wantData, dataRoom, type, data, size);
    result.note = Quoted(value.name) + " " + result.note;
    return result;
}

namespace {

// The path with a root's short name spelt out; empty when it names no root.
std::wstring FullPath(const std::wstring &path) {
    const wchar_t *const kShort[][2] = {{L"HKCR", L"HKEY_CLASSES_ROOT"}, {L"HKCU", L"HKEY_CURRENT_USER"},
                                         {L"HKLM", L"HKEY_LOCAL_MACHINE"}, {L"HKU", L"HKEY_USERS"}};
    const size_t at = path.find(L'\\');
    std::wstring root = path.substr(0, at), rest = at == std::wstring::npos ? std::wstring() : path.substr(at);
    for (const auto &name : kShort) {
        if (SameName(root, name[0]) || SameName(root, name[1])) return name[1] + rest;
    }
    return std::wstring();
}

}  // namespace

bool Device::ChangeRegistry(bool set, const std::wstring &change, std::string *error) {
    std::lock_guard<std::mutex> lock(mutex_);
    return ChangeRegistryLocked(set, change, error);
}

bool Device::ChangeRegistryLocked(bool set, const std::wstring &change, std::string *error) {
    const size_t equals = set ? change.find(L'=') : std::wstring::npos;
    const std::wstring path = FullPath(change.substr(0, equals));
    const std::wstring root = path.substr(0, path.find(L'\\'));
    std::wstring key, name, checked;
    Registry::SplitPath(path, &key, &name);
    if (key.empty() || (set && equals == std::wstring::npos) ||
        Registry::JoinPath(root, path.substr(root.size()), &checked) != 0 || checked != path) {
        *error = "give KEY\\NAME" + std::string(set ? "=DATA" : "") + ", KEY starting with a root (HKLM, HKCU, HKCR, HKU)";
        return false;
    }
    if (set) {
        RegistryValue value;
        value.name = name;
        const std::string data = WideToUtf8(change.substr(equals + 1));
        value.type = data.compare(0, 5, "text:") == 0 ? REG_SZ : data.compare(0, 6, "dword:") == 0 ? REG_DWORD : REG_BINARY;
        if (!ParseValueData(data, &value) || value.data.size() > Registry::kMaxValueBytes) {
            *error = "the data is not text:TEXT, dword:NUMBER or hex:BYTES";
            return false;
        }
        registry_.SetValue(key, value);
        Log("registry by hand: " + WideToUtf8(path) + " = " + DescribeValue(value));
    } else if (registry_.DeleteValue(key, name)) {
        Log("registry by hand: value " + WideToUtf8(path) + " deleted");
    } else if (!registry_.HasKey(path)) {
        *error = "no such value or key";
        return false;
    } else if (!registry_.SubKeys(path).empty() || KeyInUse(path)) {
        *error = "the key has sub keys, or is open";
        return false;
    } else {
        registry_.DeleteKey(path);
        Log("registry by hand: key " + WideToUtf8(path) + " deleted");
    }
    SaveRegistry();
    return true;
}
