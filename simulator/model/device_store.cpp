// The file calls on an open handle: creating and opening files, reading,
// writing, positions, sizes, times and attributes. Looking items up and the
// handles themselves are in device_items.cpp; deleting, moving, folders and
// searches in device_folders.cpp.
#include <stdio.h>

#include <algorithm>

#include "model/device.h"
#include "model/device_path.h"
#include "model/host_files.h"
#include "model/text_util.h"

namespace {

const DWORD kKeptAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;

// A new file carries the attributes asked for, and always the archive flag
// (FILE_ATTRIBUTE_NORMAL alone means "none").
DWORD NewFileAttributes(DWORD flags) { return (flags & kKeptAttributes) | FILE_ATTRIBUTE_ARCHIVE; }

}  // namespace

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
    data->resize(std::min(count, kMaxRead));
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
    if (!onCard || CardCapacityOf(handle->path) >= 0) {
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
    // A card is counted apart from main memory.
    if (!onCard) used_ += growth;
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
