// Names in the object store: deleting and moving files, making and removing
// folders, and searching them.
#include <stdio.h>

#include <algorithm>

#include "model/device.h"
#include "model/device_path.h"
#include "model/text_util.h"

namespace {

const DWORD kAttributeInRom = 0x40;  // FILE_ATTRIBUTE_INROM of Windows CE

// A stable object identifier from the path.
DWORD ObjectId(const std::wstring &canonical) {
    DWORD hash = 2166136261u;
    for (wchar_t c : CaseKey(canonical)) hash = (hash ^ static_cast<DWORD>(c)) * 16777619u;
    return hash | 0x01000000u;
}

}  // namespace

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

// Renames a file or a folder as MoveFile does: what moves keeps its
// attributes and times (a folder with everything in it), and an existing
// target is never replaced (183). A folder stays on its volume (main
// memory, or its card: 17 across), never moves into itself (32), and is
// refused (32) while a file in it is open or runs. The root and a card
// are not renamed (5). The refuse_move fault fails every rename with its
// error, the link up.
Device::Result Device::DoMoveFile(const std::wstring &source, const std::wstring &target) {
    if (faults_.refuseMove) return Fail(faults_.refuseMove);
    std::wstring from, to, parent, name;
    DWORD error = NormalizeDevicePath(source, false, &from);
    if (!error) error = NormalizeDevicePath(target, false, &to);
    if (error) return Fail(error);
    Item item = LookUp(from);
    if (!item.exists) return Fail(MissingError(from));
    if (item.directory) {
        error = FolderMoveRefusal(from, to);
    } else if (IsRunningLocked(from) || IsOpen(from)) {
        error = ERROR_SHARING_VIOLATION;
    }
    if (error) return Fail(error);
    bool sameItem = CaseKey(from) == CaseKey(to);
    if (!sameItem) {
        if (IsRunningLocked(to) || IsOpen(to)) return Fail(ERROR_SHARING_VIOLATION);
        if (LookUp(to).exists) return Fail(ERROR_ALREADY_EXISTS);
        SplitDevicePath(to, &parent, &name);
        Item folder = LookUp(parent);
        if (!folder.exists || !folder.directory) return Fail(ERROR_PATH_NOT_FOUND);
    }
    if (!MoveFileExW(HostPath(from).c_str(), HostPath(to).c_str(), 0)) return Fail(GetLastError());
    MoveRecords(from, to);
    SetRecord(to, item.attributes, item.creation, item.access, item.write);
    SaveRecords();
    return Done(item.directory ? "folder moved" : "moved");
}

// Why a folder cannot move from `from` to `to`; 0 when it can.
DWORD Device::FolderMoveRefusal(const std::wstring &from, const std::wstring &to) {
    if (from == L"\\" || IsCardRoot(from)) return ERROR_ACCESS_DENIED;
    const std::wstring key = CaseKey(from) + L"\\";
    if (CaseKey(to).compare(0, key.size(), key) == 0) return ERROR_SHARING_VIOLATION;
    std::wstring fromRoot = IsOnCard(from) ? CaseKey(DevicePathParts(from)[0]) : std::wstring();
    std::wstring toRoot = IsOnCard(to) || IsCardRoot(to) ? CaseKey(DevicePathParts(to)[0]) : std::wstring();
    if (fromRoot != toRoot) return ERROR_NOT_SAME_DEVICE;
    for (const auto &entry : handles_) {
        const Handle &open = entry.second;
        if (open.kind == Kind::kFile && !open.gone && CaseKey(open.path).compare(0, key.size(), key) == 0) {
            return ERROR_SHARING_VIOLATION;
        }
    }
    for (const Program &program : running_) {
        if (CaseKey(program.path).compare(0, key.size(), key) == 0) return ERROR_SHARING_VIOLATION;
    }
    return 0;
}

// The device's records of an item and of everything under it follow it.
void Device::MoveRecords(const std::wstring &from, const std::wstring &to) {
    const std::wstring key = CaseKey(from);
    std::vector<Record> moved;
    for (auto it = records_.begin(); it != records_.end();) {
        const bool inside = it->first == key || it->first.compare(0, key.size() + 1, key + L"\\") == 0;
        if (!inside) {
            ++it;
            continue;
        }
        Record record = it->second;
        record.path = to + record.path.substr(from.size());
        moved.push_back(record);
        it = records_.erase(it);
    }
    for (const Record &record : moved) records_[CaseKey(record.path)] = record;
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

Device::Result Device::DoFindAllFiles(const std::wstring &pattern, uint32_t flags, std::vector<FoundEntry> *entries) {
    entries->clear();
    if (faults_.refuseListing) return Fail(faults_.refuseListing);
    std::wstring canonical, folder, name;
    DWORD error = ResolvePattern(pattern, &canonical, &folder, &name);
    if (error) return Fail(error);
    *entries = ListFolder(folder, name);
    auto excluded = [&](const FoundEntry &entry) {
        DWORD attributes = entry.item.attributes;
        bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if ((flags & kListFoldersOnly) && !directory) return true;
        if ((flags & kListNoHidden) && (attributes & FILE_ATTRIBUTE_HIDDEN)) return true;
        if ((flags & kListNoRomModules) && (attributes & kAttributeInRom)) return true;
        if (flags & kListFoldersWithChildren) {
            return !directory || ListFolder(JoinDevicePath(folder, entry.name), L"*").empty();
        }
        return false;
    };
    entries->erase(std::remove_if(entries->begin(), entries->end(), excluded), entries->end());
    return Done(std::to_string(entries->size()) + " found");
}
