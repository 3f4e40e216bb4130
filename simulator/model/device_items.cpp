// What the object store holds and who holds it open: looking up files and
// folders, the device's own record of attributes and times, the sessions
// and the handles they hold, and sharing. The calls on files are in
// device_store.cpp, the room of each store in device_room.cpp.
#include "model/device.h"
#include "model/device_path.h"
#include "model/host_files.h"
#include "model/text_util.h"

namespace {

const DWORD kStorageCard = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_TEMPORARY;

}  // namespace

Device::Result Device::Fail(DWORD error) {
    Result result;
    result.ok = false;
    result.lastError = error;
    result.note = "error " + std::to_string(error);
    return result;
}

Device::Result Device::Done(const std::string &note) {
    Result result;
    result.note = note;
    return result;
}

Device::Item Device::LookUp(const std::wstring &canonical) {
    Item item;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(HostPath(canonical).c_str(), GetFileExInfoStandard, &data)) return item;
    item.exists = true;
    item.directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    item.size = item.directory ? 0 : (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    item.attributes = item.directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    item.creation = FileTimeValue(data.ftCreationTime);
    item.access = FileTimeValue(data.ftLastAccessTime);
    item.write = FileTimeValue(data.ftLastWriteTime);
    auto record = records_.find(CaseKey(canonical));
    if (record != records_.end()) {
        item.attributes = record->second.attributes;
        item.creation = record->second.creation;
        item.access = record->second.access;
        item.write = record->second.write;
    }
    // Whatever the record says, a folder is a folder and a file a file.
    item.attributes = (item.attributes & ~FILE_ATTRIBUTE_DIRECTORY) | (item.directory ? FILE_ATTRIBUTE_DIRECTORY : 0);
    if (canonical == L"\\") item.attributes = FILE_ATTRIBUTE_DIRECTORY;
    if (IsCardRoot(canonical)) item.attributes = kStorageCard;
    return item;
}

DWORD Device::MissingError(const std::wstring &canonical) {
    std::wstring parent, name;
    SplitDevicePath(canonical, &parent, &name);
    Item folder = LookUp(parent);
    return folder.exists && folder.directory ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

bool Device::IsCardRoot(const std::wstring &canonical) const {
    std::vector<std::wstring> parts = DevicePathParts(canonical);
    if (parts.size() != 1) return false;
    for (const std::wstring &card : cards_) {
        if (SameName(card, parts[0])) return true;
    }
    return false;
}

bool Device::IsOpen(const std::wstring &canonical) const {
    std::wstring key = CaseKey(canonical);
    for (const auto &entry : handles_) {
        const Handle &handle = entry.second;
        if (handle.kind == Kind::kFile && !handle.gone && CaseKey(handle.path) == key) return true;
    }
    return false;
}

bool Device::IsRunningLocked(const std::wstring &canonical) const {
    for (const Program &program : running_) {
        if (SameName(program.path, canonical)) return true;
    }
    return false;
}

bool Device::ShareConflict(const std::wstring &canonical, DWORD access, DWORD share) const {
    std::wstring key = CaseKey(canonical);
    for (const auto &entry : handles_) {
        const Handle &open = entry.second;
        if (open.kind != Kind::kFile || open.gone || CaseKey(open.path) != key) continue;
        if (((access & GENERIC_READ) && !(open.share & FILE_SHARE_READ)) ||
            ((access & GENERIC_WRITE) && !(open.share & FILE_SHARE_WRITE)) ||
            ((open.access & GENERIC_READ) && !(share & FILE_SHARE_READ)) ||
            ((open.access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE))) {
            return true;
        }
    }
    return false;
}

void Device::SetRecord(const std::wstring &canonical, DWORD attributes, uint64_t creation, uint64_t access,
                       uint64_t write) {
    Record &record = records_[CaseKey(canonical)];
    record.path = canonical;
    record.attributes = attributes;
    record.creation = creation;
    record.access = access;
    record.write = write;
}

void Device::ForgetRecord(const std::wstring &canonical) { records_.erase(CaseKey(canonical)); }

uint32_t Device::NewHandle(Handle handle) {
    uint32_t id = nextHandle_;
    nextHandle_ += 4;
    handles_[id] = std::move(handle);
    return id;
}

Device::Handle *Device::FindHandle(uint32_t session, uint32_t id, Kind kind, DWORD *error) {
    auto found = handles_.find(id);
    if (found == handles_.end() || found->second.session != session || found->second.kind != kind) {
        *error = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if (found->second.gone) {
        *error = ERROR_DEV_NOT_EXIST;  // its card was pulled out
        return nullptr;
    }
    return &found->second;
}

void Device::CloseHandleLocked(uint32_t id) {
    auto found = handles_.find(id);
    if (found == handles_.end()) return;
    Handle &handle = found->second;
    if (handle.kind == Kind::kFile && !handle.gone) {
        if (handle.wrote) {
            // The write time is kept in memory while the file is written and
            // recorded once, here, rather than once per written chunk.
            Item item = LookUp(handle.path);
            if (item.exists) {
                SetRecord(handle.path, item.attributes, item.creation, handle.writeTime, handle.writeTime);
                SaveRecords();
            }
        }
        CloseHandle(handle.host);
    }
    handles_.erase(found);
}

bool Device::EnsureFolders(const std::wstring &canonical) {
    std::wstring path;
    for (const std::wstring &part : DevicePathParts(canonical)) {
        path = JoinDevicePath(path.empty() ? L"\\" : path, part);
        Item item = LookUp(path);
        if (item.exists) {
            if (!item.directory) return false;
            continue;
        }
        if (!CreateDirectoryW(HostPath(path).c_str(), nullptr)) return false;
        uint64_t now = FileTimeValue(DeviceNow());
        SetRecord(path, FILE_ATTRIBUTE_DIRECTORY, now, now, now);
        SaveRecords();
    }
    return true;
}

Device::~Device() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<uint32_t> ids;
    for (const auto &entry : handles_) ids.push_back(entry.first);
    for (uint32_t id : ids) CloseHandleLocked(id);
}

uint32_t Device::OpenSession() {
    std::lock_guard<std::mutex> lock(mutex_);
    uint32_t session = nextSession_++;
    sessions_[session] = 0;
    return session;
}

void Device::CloseSession(uint32_t session) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<uint32_t> ids;
    for (const auto &entry : handles_) {
        if (entry.second.session == session) ids.push_back(entry.first);
    }
    for (uint32_t id : ids) CloseHandleLocked(id);
    sessions_.erase(session);
    if (!ids.empty()) Log("session " + std::to_string(session) + " ended: " + std::to_string(ids.size()) +
                          " handle(s) it left open closed");
}

DWORD Device::SessionLastError(uint32_t session, const Result &result) {
    DWORD &last = sessions_[session];
    if (result.lastError != kErrorUnchanged) last = result.lastError;
    return last;
}

bool Device::HandleTarget(uint32_t id, Kind *kind, std::wstring *path) const {
    auto found = handles_.find(id);
    if (found == handles_.end()) return false;
    *kind = found->second.kind;
    *path = found->second.path;
    return true;
}

Device::Result Device::DoCloseHandle(uint32_t session, uint32_t id) {
    auto found = handles_.find(id);
    if (found == handles_.end() || found->second.session != session) return Fail(ERROR_INVALID_HANDLE);
    CloseHandleLocked(id);
    return Done("ok");
}

Device::Result Device::DoCloseOfKind(uint32_t session, uint32_t id, Kind kind) {
    DWORD error = 0;
    if (!FindHandle(session, id, kind, &error)) return Fail(error);
    CloseHandleLocked(id);
    return Done("ok");
}
