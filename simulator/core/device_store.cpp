// The object store: files, folders, handles, sharing, search, with the
// attributes and file times the device keeps in its own record.
#include <stdio.h>

#include <algorithm>

#include "core/device.h"
#include "core/device_path.h"
#include "core/host_files.h"
#include "core/text_util.h"

namespace {

const DWORD kKeptAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
const DWORD kStorageCard = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_TEMPORARY;

// A new file carries the attributes asked for, and always the archive flag
// (FILE_ATTRIBUTE_NORMAL alone means "none").
DWORD NewFileAttributes(DWORD flags) { return (flags & kKeptAttributes) | FILE_ATTRIBUTE_ARCHIVE; }

// A stable object identifier from the path.
DWORD ObjectId(const std::wstring &canonical) {
    DWORD hash = 2166136261u;
    for (wchar_t c : CaseKey(canonical)) hash = (hash ^ static_cast<DWORD>(c)) * 16777619u;
    return hash | 0x01000000u;
}

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

Device::Result Device::DoCreateFile(uint32_t session, const std::wstring &path, DWORD access, DWORD share,
                                    DWORD disposition, DWORD flags, uint32_t *id) {
    std::wstring canonical, parent, name;
    DWORD error = NormalizeDevicePath(path, false, &canonical);
    if (error) return Fail(error);
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING ||
        (access & ~(GENERIC_READ | GENERIC_WRITE)) != 0 ||
        (disposition == TRUNCATE_EXISTING && !(access & GENERIC_WRITE))) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (canonical == L"\\") return Fail(ERROR_ACCESS_DENIED);
    Item item = LookUp(canonical);
    if (item.exists && item.directory) return Fail(ERROR_ACCESS_DENIED);
    if (!item.exists) {
        SplitDevicePath(canonical, &parent, &name);
        Item folder = LookUp(parent);
        if (!folder.exists || !folder.directory) return Fail(ERROR_PATH_NOT_FOUND);
        if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) return Fail(ERROR_FILE_NOT_FOUND);
    } else {
        if (disposition == CREATE_NEW) return Fail(ERROR_FILE_EXISTS);
        bool changes = (access & GENERIC_WRITE) || disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
        if (changes && IsRunningLocked(canonical)) return Fail(ERROR_SHARING_VIOLATION);
        if (ShareConflict(canonical, access, share)) return Fail(ERROR_SHARING_VIOLATION);
        if (changes && (item.attributes & FILE_ATTRIBUTE_READONLY)) return Fail(ERROR_ACCESS_DENIED);
    }
    Handle handle;
    handle.session = session;
    handle.kind = Kind::kFile;
    handle.path = canonical;
    handle.access = access;
    handle.share = share;
    // The device enforces sharing itself; the host file is opened so that
    // nothing on the host side gets in its way.
    handle.host = CreateFileW(HostPath(canonical).c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle.host == INVALID_HANDLE_VALUE) return Fail(GetLastError());
    uint64_t now = FileTimeValue(DeviceNow());
    if (!item.exists) {
        SetRecord(canonical, NewFileAttributes(flags), now, now, now);
        SaveRecords();
    } else if (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) {
        DWORD attributes = disposition == CREATE_ALWAYS ? NewFileAttributes(flags) : item.attributes;
        SetRecord(canonical, attributes, item.creation, now, now);
        SaveRecords();
        usedKnown_ = false;
    }
    *id = NewHandle(std::move(handle));
    Result result = Done("handle " + std::to_string(*id));
    // As on Windows: an open that found the file says so in the last error.
    bool found = item.exists && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS);
    result.lastError = found ? ERROR_ALREADY_EXISTS : 0;
    if (found) result.note += " (existed)";
    return result;
}

Device::Result Device::DoReadFile(uint32_t session, uint32_t id, uint32_t count, std::vector<uint8_t> *data) {
    DWORD error = 0;
    Handle *handle = FindHandle(session, id, Kind::kFile, &error);
    if (!handle) return Fail(error);
    if (!(handle->access & GENERIC_READ)) return Fail(ERROR_ACCESS_DENIED);
    data->resize(std::min(count, wire::kMaxPiece));
    DWORD got = 0;
    if (!data->empty() && !ReadFile(handle->host, data->data(), static_cast<DWORD>(data->size()), &got, nullptr)) {
        data->clear();
        return Fail(GetLastError());
    }
    data->resize(got);
    return Done(std::to_string(got) + " read");
}

Device::Result Device::DoWriteFile(uint32_t session, uint32_t id, const uint8_t *data, uint32_t count,
                                   uint32_t *written, bool *drop) {
    *written = 0;
    DWORD error = 0;
    Handle *handle = FindHandle(session, id, Kind::kFile, &error);
    if (!handle) return Fail(error);
    if (!(handle->access & GENERIC_WRITE)) return Fail(ERROR_ACCESS_DENIED);
    uint32_t toWrite = count;
    if (faults_.dropAfterBytes >= 0 && static_cast<uint64_t>(faults_.dropAfterBytes) <= count) {
        // The cable comes out part way: what got across stays written.
        toWrite = static_cast<uint32_t>(faults_.dropAfterBytes);
        faults_.dropAfterBytes = -1;
        SaveFaults();
        *drop = true;
    } else if (faults_.dropAfterBytes >= 0) {
        faults_.dropAfterBytes -= count;
    }
    uint64_t growth = 0;
    const bool onCard = IsOnCard(handle->path);
    if (onCard ? CardCapacityOf(handle->path) >= 0 : faults_.capacity >= 0) {
        LARGE_INTEGER position{}, size{}, zero{};
        SetFilePointerEx(handle->host, zero, &position, FILE_CURRENT);
        GetFileSizeEx(handle->host, &size);
        uint64_t end = static_cast<uint64_t>(position.QuadPart) + toWrite;
        growth = end > static_cast<uint64_t>(size.QuadPart) ? end - static_cast<uint64_t>(size.QuadPart) : 0;
        // All or nothing: a store never holds more than its capacity.
        if (!HasRoomFor(handle->path, growth)) return Fail(ERROR_DISK_FULL);
    }
    DWORD done = 0;
    if (toWrite && !WriteFile(handle->host, data, toWrite, &done, nullptr)) return Fail(GetLastError());
    if (onCard) {
        // A card is counted apart from main memory.
    } else if (faults_.capacity >= 0) {
        used_ += growth;
    } else {
        usedKnown_ = false;
    }
    *written = done;
    handle->wrote = true;
    handle->writeTime = FileTimeValue(DeviceNow());
    return Done(std::to_string(done) + " written" + (*drop ? ", then the link drops" : ""));
}

Device::Result Device::DoSetFilePointer(uint32_t session, uint32_t id, int64_t distance, DWORD method,
                                        int64_t *position) {
    DWORD error = 0;
    Handle *handle = FindHandle(session, id, Kind::kFile, &error);
    if (!handle) return Fail(error);
    if (method > FILE_END) return Fail(ERROR_INVALID_PARAMETER);
    LARGE_INTEGER move, now;
    move.QuadPart = distance;
    if (!SetFilePointerEx(handle->host, move, &now, method)) return Fail(GetLastError());
    *position = now.QuadPart;
    return Done("at " + std::to_string(*position));
}

Device::Result Device::DoGetFileSize(uint32_t session, uint32_t id, uint64_t *size) {
    DWORD error = 0;
    Handle *handle = FindHandle(session, id, Kind::kFile, &error);
    if (!handle) return Fail(error);
    LARGE_INTEGER bytes;
    if (!GetFileSizeEx(handle->host, &bytes)) return Fail(GetLastError());
    *size = static_cast<uint64_t>(bytes.QuadPart);
    return Done(std::to_string(*size) + " bytes");
}

Device::Result Device::DoGetFileTime(uint32_t session, uint32_t id, uint64_t times[3]) {
    DWORD error = 0;
    Handle *handle = FindHandle(session, id, Kind::kFile, &error);
    if (!handle) return Fail(error);
    Item item = LookUp(handle->path);
    if (!item.exists) return Fail(ERROR_FILE_NOT_FOUND);
    times[0] = item.creation;
    times[1] = handle->wrote ? handle->writeTime : item.access;
    times[2] = handle->wrote ? handle->writeTime : item.write;
    return Done("ok");
}

Device::Result Device::DoSetFileTime(uint32_t session, uint32_t id, uint32_t which, const uint64_t times[3]) {
    DWORD error = 0;
    Handle *handle = FindHandle(session, id, Kind::kFile, &error);
    if (!handle) return Fail(error);
    if (!(handle->access & GENERIC_WRITE)) return Fail(ERROR_ACCESS_DENIED);
    Item item = LookUp(handle->path);
    if (!item.exists) return Fail(ERROR_FILE_NOT_FOUND);
    uint64_t creation = (which & 1) ? times[0] : item.creation;
    uint64_t access = (which & 2) ? times[1] : (handle->wrote ? handle->writeTime : item.access);
    uint64_t write = (which & 4) ? times[2] : (handle->wrote ? handle->writeTime : item.write);
    SetRecord(handle->path, item.attributes, creation, access, write);
    SaveRecords();
    // Times set by the caller stand; later writes would move them again.
    handle->wrote = false;
    return Done("ok");
}

Device::Result Device::DoCloseHandle(uint32_t session, uint32_t id) {
    auto found = handles_.find(id);
    if (found == handles_.end() || found->second.session != session) return Fail(ERROR_INVALID_HANDLE);
    CloseHandleLocked(id);
    return Done("ok");
}

Device::Result Device::DoDeleteFile(const std::wstring &path) {
    std::wstring canonical;
    DWORD error = NormalizeDevicePath(path, false, &canonical);
    if (error) return Fail(error);
    Item item = LookUp(canonical);
    if (!item.exists) return Fail(MissingError(canonical));
    if (item.directory) return Fail(ERROR_ACCESS_DENIED);
    if (IsRunningLocked(canonical) || IsOpen(canonical)) return Fail(ERROR_SHARING_VIOLATION);
    if (item.attributes & FILE_ATTRIBUTE_READONLY) return Fail(ERROR_ACCESS_DENIED);
    if (!DeleteFileW(HostPath(canonical).c_str())) return Fail(GetLastError());
    ForgetRecord(canonical);
    SaveRecords();
    usedKnown_ = false;
    return Done("deleted");
}

// Renames a file as MoveFile does: the file keeps its attributes and times,
// and an existing target is never replaced (183). Folders are not moved.
// The refuse_move fault fails every rename with its error, the link up.
Device::Result Device::DoMoveFile(const std::wstring &source, const std::wstring &target) {
    if (faults_.refuseMove) return Fail(faults_.refuseMove);
    std::wstring from, to, parent, name;
    DWORD error = NormalizeDevicePath(source, false, &from);
    if (!error) error = NormalizeDevicePath(target, false, &to);
    if (error) return Fail(error);
    Item item = LookUp(from);
    if (!item.exists) return Fail(MissingError(from));
    if (item.directory) return Fail(ERROR_ACCESS_DENIED);
    if (IsRunningLocked(from) || IsOpen(from)) return Fail(ERROR_SHARING_VIOLATION);
    bool sameItem = CaseKey(from) == CaseKey(to);
    if (!sameItem) {
        if (IsRunningLocked(to) || IsOpen(to)) return Fail(ERROR_SHARING_VIOLATION);
        if (LookUp(to).exists) return Fail(ERROR_ALREADY_EXISTS);
        SplitDevicePath(to, &parent, &name);
        Item folder = LookUp(parent);
        if (!folder.exists || !folder.directory) return Fail(ERROR_PATH_NOT_FOUND);
    }
    if (!MoveFileExW(HostPath(from).c_str(), HostPath(to).c_str(), 0)) return Fail(GetLastError());
    ForgetRecord(from);
    SetRecord(to, item.attributes, item.creation, item.access, item.write);
    SaveRecords();
    return Done("moved");
}

Device::Result Device::DoCreateDirectory(const std::wstring &path) {
    std::wstring canonical, parent, name;
    DWORD error = NormalizeDevicePath(path, false, &canonical);
    if (error) return Fail(error);
    if (LookUp(canonical).exists) return Fail(ERROR_ALREADY_EXISTS);
    SplitDevicePath(canonical, &parent, &name);
    Item folder = LookUp(parent);
    if (!folder.exists || !folder.directory) return Fail(ERROR_PATH_NOT_FOUND);
    if (!CreateDirectoryW(HostPath(canonical).c_str(), nullptr)) return Fail(GetLastError());
    uint64_t now = FileTimeValue(DeviceNow());
    SetRecord(canonical, FILE_ATTRIBUTE_DIRECTORY, now, now, now);
    SaveRecords();
    return Done("created");
}

Device::Result Device::DoRemoveDirectory(const std::wstring &path) {
    std::wstring canonical;
    DWORD error = NormalizeDevicePath(path, false, &canonical);
    if (error) return Fail(error);
    if (canonical == L"\\" || IsCardRoot(canonical)) return Fail(ERROR_ACCESS_DENIED);
    Item item = LookUp(canonical);
    if (!item.exists) return Fail(MissingError(canonical));
    if (!item.directory) return Fail(ERROR_DIRECTORY);
    if (!ListFolder(canonical, L"*").empty()) return Fail(ERROR_DIR_NOT_EMPTY);
    if (!RemoveDirectoryW(HostPath(canonical).c_str())) return Fail(GetLastError());
    ForgetRecord(canonical);
    SaveRecords();
    return Done("removed");
}

Device::Result Device::DoGetFileAttributes(const std::wstring &path, DWORD *attributes) {
    *attributes = INVALID_FILE_ATTRIBUTES;
    std::wstring canonical;
    DWORD error = NormalizeDevicePath(path, false, &canonical);
    if (error) return Fail(error);
    Item item = LookUp(canonical);
    if (!item.exists) return Fail(MissingError(canonical));
    *attributes = item.attributes;
    char hex[16];
    snprintf(hex, sizeof hex, "0x%lx", static_cast<unsigned long>(item.attributes));
    return Done(hex);
}

std::vector<Device::FoundEntry> Device::ListFolder(const std::wstring &canonical, const std::wstring &pattern) {
    std::vector<FoundEntry> entries;
    // "*.*" means everything, also names without a dot, as on Windows.
    std::wstring match = pattern == L"*.*" ? std::wstring(L"*") : pattern;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((HostPath(canonical) + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return entries;
    do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L".." || !WildcardMatch(match, name)) continue;
        FoundEntry entry;
        std::wstring child = JoinDevicePath(canonical, name);
        entry.item = LookUp(child);
        if (!entry.item.exists) continue;
        entry.name = name;
        entry.oid = ObjectId(child);
        entries.push_back(entry);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    // A stable order whatever the host lists first: by name, ignoring case.
    std::sort(entries.begin(), entries.end(), [](const FoundEntry &a, const FoundEntry &b) {
        std::wstring ka = CaseKey(a.name), kb = CaseKey(b.name);
        return ka != kb ? ka < kb : a.name < b.name;
    });
    return entries;
}

// A search pattern split into its existing folder and the last part to
// match; 0, or the error a search of it fails with.
DWORD Device::ResolvePattern(const std::wstring &pattern, std::wstring *canonical, std::wstring *folder,
                             std::wstring *name) {
    DWORD error = NormalizeDevicePath(pattern, true, canonical);
    if (error) return error;
    SplitDevicePath(*canonical, folder, name);
    if (name->empty()) return ERROR_FILE_NOT_FOUND;
    Item parent = LookUp(*folder);
    if (!parent.exists || !parent.directory) return ERROR_PATH_NOT_FOUND;
    return 0;
}

Device::Result Device::DoFindFirstFile(uint32_t session, const std::wstring &pattern, uint32_t *id,
                                       FoundEntry *first) {
    std::wstring canonical, folder, name;
    DWORD error = ResolvePattern(pattern, &canonical, &folder, &name);
    if (error) return Fail(error);
    Handle handle;
    handle.session = session;
    handle.kind = Kind::kSearch;
    handle.path = canonical;
    handle.found = ListFolder(folder, name);
    if (handle.found.empty()) return Fail(ERROR_FILE_NOT_FOUND);
    *first = handle.found[0];
    handle.next = 1;
    size_t count = handle.found.size();
    *id = NewHandle(std::move(handle));
    return Done("handle " + std::to_string(*id) + ", " + std::to_string(count) + " found, first " +
                Quoted(first->name));
}

Device::Result Device::DoFindNextFile(uint32_t session, uint32_t id, FoundEntry *entry) {
    DWORD error = 0;
    Handle *handle = FindHandle(session, id, Kind::kSearch, &error);
    if (!handle) return Fail(error);
    if (handle->next >= handle->found.size()) return Fail(ERROR_NO_MORE_FILES);
    *entry = handle->found[handle->next++];
    return Done(Quoted(entry->name));
}

// Attributes a caller may set: read-only, hidden, system and archive
// (FILE_ATTRIBUTE_NORMAL alone clears them). A folder stays a folder.
Device::Result Device::DoSetFileAttributes(const std::wstring &path, DWORD attributes) {
    std::wstring canonical;
    DWORD error = NormalizeDevicePath(path, false, &canonical);
    if (error) return Fail(error);
    if (canonical == L"\\" || IsCardRoot(canonical)) return Fail(ERROR_ACCESS_DENIED);
    Item item = LookUp(canonical);
    if (!item.exists) return Fail(MissingError(canonical));
    DWORD kept = (attributes & kKeptAttributes) | (item.directory ? FILE_ATTRIBUTE_DIRECTORY : 0);
    SetRecord(canonical, kept, item.creation, item.access, item.write);
    SaveRecords();
    return Done(Hex(kept));
}

// Everything in one folder that matches the pattern's last part, at once.
Device::Result Device::DoFindAllFiles(const std::wstring &pattern, std::vector<FoundEntry> *entries) {
    entries->clear();
    std::wstring canonical, folder, name;
    DWORD error = ResolvePattern(pattern, &canonical, &folder, &name);
    if (error) return Fail(error);
    *entries = ListFolder(folder, name);
    return Done(std::to_string(entries->size()) + " found");
}
