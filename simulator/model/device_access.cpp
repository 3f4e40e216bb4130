// The device from outside a session, for the cedevice.exe options and for
// tests: setting faults (and counting the calls towards a planned drop of
// the link), inserting and removing storage cards, starting programs, and
// reading and changing the image directly.
#include "model/device.h"

#include "model/device_path.h"
#include "model/host_files.h"
#include "model/text_util.h"

bool Device::SetFault(const std::string &name, const std::string &value, std::string *error) {
    std::lock_guard<std::mutex> lock(mutex_);
    return SetFaultLocked(name, value, error);
}

bool Device::SetFaultLocked(const std::string &name, const std::string &value, std::string *error) {
    if (!faults_.Set(name, value, error)) return false;
    // The capacities that bound the stores may have changed.
    usedKnown_ = false;
    SaveFaults();
    Log("fault " + name + "=" + value);
    return true;
}

bool Device::DropPlanned(const std::string &prefix) {
    if (faults_.dropAfterCalls < 0) return false;
    if (faults_.dropAfterCalls == 0) {
        faults_.dropAfterCalls = -1;
        SaveFaults();
        Log(prefix + "link dropped (fault drop_after_calls)");
        return true;
    }
    --faults_.dropAfterCalls;
    return false;
}

bool Device::InsertCard(const std::wstring &name, std::string *error) {
    std::lock_guard<std::mutex> lock(mutex_);
    return InsertCardLocked(name, error);
}

bool Device::InsertCardLocked(const std::wstring &name, std::string *error) {
    std::wstring canonical;
    if (NormalizeDevicePath(name, false, &canonical) != 0 || DevicePathParts(canonical).size() != 1) {
        *error = "a card is named by one folder name";
        return false;
    }
    std::wstring card = DevicePathParts(canonical)[0];
    if (IsCardRoot(canonical)) {
        *error = "that card is in already";
        return false;
    }
    if (LookUp(canonical).exists) {
        *error = "the device has a folder of that name";
        return false;
    }
    // A card that was pulled out comes back with what it held.
    std::wstring kept = ImageFile(L"cards") + L"\\" + card;
    bool ok = HostFolderExists(kept) ? MoveFileExW(kept.c_str(), HostPath(canonical).c_str(), 0) != FALSE
                                     : CreateDirectoryW(HostPath(canonical).c_str(), nullptr) != FALSE;
    if (!ok) {
        *error = "cannot create the card's folder (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    cards_.push_back(card);
    SaveCards();
    usedKnown_ = false;
    Log("card inserted: \"" + WideToUtf8(canonical) + "\"");
    return true;
}

bool Device::RemoveCard(const std::wstring &name, std::string *error) {
    std::lock_guard<std::mutex> lock(mutex_);
    return RemoveCardLocked(name, error);
}

bool Device::RemoveCardLocked(const std::wstring &name, std::string *error) {
    std::wstring canonical;
    if (NormalizeDevicePath(name, false, &canonical) != 0 || !IsCardRoot(canonical)) {
        *error = "no such card";
        return false;
    }
    std::wstring card = DevicePathParts(canonical)[0];
    std::wstring prefix = CaseKey(canonical + L"\\");
    // What was open on the card is gone with it; its programs end.
    for (auto &entry : handles_) {
        Handle &handle = entry.second;
        if (handle.kind == Kind::kFile && !handle.gone && CaseKey(handle.path).compare(0, prefix.size(), prefix) == 0) {
            CloseHandle(handle.host);
            handle.host = INVALID_HANDLE_VALUE;
            handle.gone = true;
        }
    }
    size_t before = running_.size();
    running_.erase(std::remove_if(running_.begin(), running_.end(),
                                  [&](const Program &program) {
                                      return CaseKey(program.path).compare(0, prefix.size(), prefix) == 0;
                                  }),
                   running_.end());
    if (running_.size() != before) SaveRunning();
    std::wstring kept = ImageFile(L"cards") + L"\\" + card;
    if (HostFolderExists(kept)) DeleteHostTree(kept);
    if (!MoveFileExW(HostPath(canonical).c_str(), kept.c_str(), 0)) {
        *error = "cannot move the card's folder away (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    cards_.erase(std::remove_if(cards_.begin(), cards_.end(), [&](const std::wstring &c) { return SameName(c, card); }),
                 cards_.end());
    SaveCards();
    usedKnown_ = false;
    Log("card removed: \"" + WideToUtf8(canonical) + "\"");
    return true;
}

bool Device::StartProgram(const std::wstring &path, std::string *error) {
    std::lock_guard<std::mutex> lock(mutex_);
    EndClosedPrograms();
    uint32_t processId = 0;
    Result result = DoCreateProcess(path, &processId);
    Log("start by hand \"" + WideToUtf8(path) + "\" -> " + result.note);
    if (!result.ok) *error = "cannot start it (error " + std::to_string(result.lastError) + ")";
    return result.ok;
}

bool Device::IsRunning(const std::wstring &path) {
    std::lock_guard<std::mutex> lock(mutex_);
    EndClosedPrograms();
    std::wstring canonical;
    return NormalizeDevicePath(path, false, &canonical) == 0 && IsRunningLocked(canonical);
}

size_t Device::OpenHandleCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return handles_.size();
}

bool Device::Exists(const std::wstring &path) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::wstring canonical;
    return NormalizeDevicePath(path, false, &canonical) == 0 && LookUp(canonical).exists;
}

bool Device::ReadContent(const std::wstring &path, std::string *content) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::wstring canonical;
    if (NormalizeDevicePath(path, false, &canonical) != 0) return false;
    Item item = LookUp(canonical);
    return item.exists && !item.directory && ReadHostFile(HostPath(canonical), content);
}

bool Device::WriteContent(const std::wstring &path, const std::string &content) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::wstring canonical, parent, name;
    if (NormalizeDevicePath(path, false, &canonical) != 0 || canonical == L"\\") return false;
    SplitDevicePath(canonical, &parent, &name);
    if (!EnsureFolders(parent)) return false;
    Item before = LookUp(canonical);
    if (before.directory || !WriteHostFile(HostPath(canonical), content)) return false;
    uint64_t now = FileTimeValue(DeviceNow());
    SetRecord(canonical, FILE_ATTRIBUTE_ARCHIVE, before.exists ? before.creation : now, now, now);
    SaveRecords();
    usedKnown_ = false;
    return true;
}

bool Device::MakeFolder(const std::wstring &path) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::wstring canonical;
    return NormalizeDevicePath(path, false, &canonical) == 0 && EnsureFolders(canonical);
}

DWORD Device::Attributes(const std::wstring &path) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::wstring canonical;
    if (NormalizeDevicePath(path, false, &canonical) != 0) return INVALID_FILE_ATTRIBUTES;
    Item item = LookUp(canonical);
    return item.exists ? item.attributes : INVALID_FILE_ATTRIBUTES;
}

bool Device::Times(const std::wstring &path, FILETIME *creation, FILETIME *access, FILETIME *write) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::wstring canonical;
    if (NormalizeDevicePath(path, false, &canonical) != 0) return false;
    Item item = LookUp(canonical);
    if (!item.exists) return false;
    if (creation) *creation = FileTimeFrom(item.creation);
    if (access) *access = FileTimeFrom(item.access);
    if (write) *write = FileTimeFrom(item.write);
    return true;
}

bool Device::SetTimes(const std::wstring &path, const FILETIME &creation, const FILETIME &access,
                      const FILETIME &write) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::wstring canonical;
    if (NormalizeDevicePath(path, false, &canonical) != 0) return false;
    Item item = LookUp(canonical);
    if (!item.exists) return false;
    SetRecord(canonical, item.attributes, FileTimeValue(creation), FileTimeValue(access), FileTimeValue(write));
    SaveRecords();
    return true;
}
