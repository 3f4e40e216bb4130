// The device's image folder: creating it from a profile, loading it, and
// writing each piece of state back when it changes; sessions; the state
// and files listed for cedevice.exe --list. Faults, cards, programs and
// direct access from outside a session are in device_access.cpp.
#include "core/device.h"

#include <stdio.h>

#include <algorithm>

#include "core/device_path.h"
#include "core/host_files.h"
#include "core/profiles.h"
#include "core/text_util.h"

namespace {

std::string IdentityText(const DeviceProfile &profile) {
    std::string text;
    text += "profile=" + std::string(profile.name) + "\n";
    text += "platform=" + WideToUtf8(profile.platform) + "\n";
    text += "version=" + std::to_string(profile.major) + "." + std::to_string(profile.minor) + "\n";
    text += "build=" + std::to_string(profile.build) + "\n";
    text += "processor=" + std::to_string(profile.processor) + "\n";
    text += "programs=" + WideToUtf8(profile.programs) + "\n";
    text += "desktop=" + WideToUtf8(profile.desktop) + "\n";
    return text;
}

// "name=value" lines, with any "\r" left by an editor removed.
std::vector<std::pair<std::string, std::string>> NameValueLines(const std::string &text) {
    std::vector<std::pair<std::string, std::string>> lines;
    for (std::string line : SplitFields(text, '\n')) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t at = line.find('=');
        if (line.empty() || line[0] == '#' || at == std::string::npos) continue;
        lines.emplace_back(line.substr(0, at), line.substr(at + 1));
    }
    return lines;
}

std::vector<std::string> TextLines(const std::string &text) {
    std::vector<std::string> lines;
    for (std::string line : SplitFields(text, '\n')) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

// The store's host root: the \\?\ form lets device paths of up to 259
// characters sit under a long image path.
std::wstring StoreRoot(const std::wstring &image) {
    std::wstring store = image + L"\\store";
    if (store.compare(0, 2, L"\\\\") == 0) return store;
    return L"\\\\?\\" + store;
}

}  // namespace

bool Device::CreateImage(const std::wstring &image, const std::string &profileName, std::string *error) {
    const DeviceProfile *profile = FindProfile(profileName);
    if (!profile) {
        *error = "unknown profile \"" + profileName + "\" (known: " + ProfileNames() + ")";
        return false;
    }
    std::wstring full = FullHostPath(image);
    if (GetFileAttributesW(full.c_str()) != INVALID_FILE_ATTRIBUTES) {
        *error = "the image folder exists already";
        return false;
    }
    if (!CreateDirectoryW(full.c_str(), nullptr) || !CreateDirectoryW((full + L"\\store").c_str(), nullptr) ||
        !CreateDirectoryW((full + L"\\cards").c_str(), nullptr)) {
        *error = "cannot create the image folder (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    for (const wchar_t *name : {L"meta.txt", L"cards.txt", L"running.txt", L"faults.txt"}) {
        ReplaceHostFile(full + L"\\" + name, std::string());
    }
    // device.txt last: an image is complete once it has its identity.
    if (!ReplaceHostFile(full + L"\\device.txt", IdentityText(*profile))) {
        *error = "cannot write the image's identity";
        return false;
    }
    std::unique_ptr<Device> device = Load(full, error);
    if (!device) return false;
    std::lock_guard<std::mutex> lock(device->mutex_);
    bool ok = device->EnsureFolders(L"\\Windows") && device->EnsureFolders(L"\\My Documents") &&
              device->EnsureFolders(profile->programs);
    if (*profile->desktop) ok = ok && device->EnsureFolders(profile->desktop);
    if (ok && *profile->card) {
        device->cards_.push_back(profile->card);
        ok = CreateDirectoryW(device->HostPath(JoinDevicePath(L"\\", profile->card)).c_str(), nullptr) != FALSE;
        device->SaveCards();
    }
    if (!ok) *error = "cannot create the profile's folders";
    return ok;
}

std::unique_ptr<Device> Device::Load(const std::wstring &image, std::string *error) {
    std::unique_ptr<Device> device(new Device());
    device->image_ = FullHostPath(image);
    device->storeRoot_ = StoreRoot(device->image_);
    if (!device->LoadIdentity(error)) return nullptr;
    if (!HostFolderExists(device->storeRoot_)) {
        *error = "the image has no store folder";
        return nullptr;
    }
    CreateDirectoryW(device->ImageFile(L"cards").c_str(), nullptr);
    device->LoadRecords();
    device->LoadCards();
    device->LoadRunning();
    device->LoadFaults();
    return device;
}

Device::~Device() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<uint32_t> ids;
    for (const auto &entry : handles_) ids.push_back(entry.first);
    for (uint32_t id : ids) CloseHandleLocked(id);
}

void Device::SetLogSink(LogSink sink) {
    std::lock_guard<std::mutex> lock(mutex_);
    sink_ = std::move(sink);
}

void Device::Note(const std::string &line) {
    std::lock_guard<std::mutex> lock(mutex_);
    Log(line);
}

void Device::Log(const std::string &line) {
    if (sink_) sink_(line);
}

std::wstring Device::ImageFile(const wchar_t *name) const { return image_ + L"\\" + name; }

std::wstring Device::HostPath(const std::wstring &canonical) const {
    return canonical == L"\\" ? storeRoot_ : storeRoot_ + canonical;
}

bool Device::LoadIdentity(std::string *error) {
    std::string text;
    if (!ReadHostFile(ImageFile(L"device.txt"), &text)) {
        *error = "not a device image (no device.txt)";
        return false;
    }
    for (const auto &line : NameValueLines(text)) {
        uint64_t number = 0;
        bool isNumber = ParseUnsigned(line.second, &number) && number <= 0xFFFFFFFFull;
        if (line.first == "profile") identity_.profile = line.second;
        if (line.first == "platform") identity_.platform = Utf8ToWide(line.second);
        if (line.first == "build" && isNumber) identity_.build = static_cast<DWORD>(number);
        if (line.first == "processor" && isNumber) identity_.processor = static_cast<DWORD>(number);
        if (line.first == "programs") identity_.programs = Utf8ToWide(line.second);
        if (line.first == "desktop") identity_.desktop = Utf8ToWide(line.second);
        if (line.first == "version") {
            DeviceFaults parsed;
            std::string ignored;
            if (parsed.Set("version", line.second, &ignored)) {
                identity_.major = parsed.major;
                identity_.minor = parsed.minor;
            }
        }
    }
    return true;
}

void Device::LoadRecords() {
    std::string text;
    if (!ReadHostFile(ImageFile(L"meta.txt"), &text)) return;
    for (const std::string &line : TextLines(text)) {
        std::vector<std::string> fields = SplitFields(line, '\t');
        uint64_t attributes = 0;
        Record record;
        std::wstring canonical;
        if (fields.size() != 5 || !ParseUnsigned(fields[0], &attributes) ||
            !ParseUnsigned(fields[1], &record.creation) || !ParseUnsigned(fields[2], &record.access) ||
            !ParseUnsigned(fields[3], &record.write) ||
            NormalizeDevicePath(Utf8ToWide(fields[4]), false, &canonical) != 0) {
            continue;  // a damaged line costs only that item's times
        }
        record.attributes = static_cast<DWORD>(attributes);
        record.path = canonical;
        records_[CaseKey(canonical)] = record;
    }
}

void Device::SaveRecords() {
    std::string text;
    for (const auto &entry : records_) {
        const Record &record = entry.second;
        text += std::to_string(record.attributes) + "\t" + std::to_string(record.creation) + "\t" +
                std::to_string(record.access) + "\t" + std::to_string(record.write) + "\t" +
                WideToUtf8(record.path) + "\n";
    }
    if (!ReplaceHostFile(ImageFile(L"meta.txt"), text)) Log("! cannot write meta.txt");
}

void Device::LoadCards() {
    std::string text;
    cards_.clear();
    if (!ReadHostFile(ImageFile(L"cards.txt"), &text)) return;
    for (const std::string &line : TextLines(text)) cards_.push_back(Utf8ToWide(line));
}

void Device::SaveCards() {
    std::string text;
    for (const std::wstring &card : cards_) text += WideToUtf8(card) + "\n";
    if (!ReplaceHostFile(ImageFile(L"cards.txt"), text)) Log("! cannot write cards.txt");
}

void Device::LoadRunning() {
    std::string text;
    running_.clear();
    if (!ReadHostFile(ImageFile(L"running.txt"), &text)) return;
    for (const std::string &line : TextLines(text)) {
        std::vector<std::string> fields = SplitFields(line, '\t');
        Program program;
        if (fields.size() != 3 || NormalizeDevicePath(Utf8ToWide(fields[0]), false, &program.path) != 0) continue;
        program.windowClass = Utf8ToWide(fields[1]);
        program.title = Utf8ToWide(fields[2]);
        program.processId = nextProcessId_;
        nextProcessId_ += 2;
        running_.push_back(program);
    }
}

void Device::SaveRunning() {
    std::string text;
    for (const Program &program : running_) {
        // A program asked to close is recorded as ended: a restart of the
        // service in the meantime finds it gone, as it would be by then.
        if (program.endsAt != 0) continue;
        text += WideToUtf8(program.path) + "\t" + WideToUtf8(program.windowClass) + "\t" +
                WideToUtf8(program.title) + "\n";
    }
    if (!ReplaceHostFile(ImageFile(L"running.txt"), text)) Log("! cannot write running.txt");
}

void Device::LoadFaults() {
    std::string text;
    faults_ = DeviceFaults();
    if (!ReadHostFile(ImageFile(L"faults.txt"), &text)) return;
    for (const auto &line : NameValueLines(text)) {
        std::string error;
        if (!faults_.Set(line.first, line.second, &error)) Log("! faults.txt: " + error);
    }
}

void Device::SaveFaults() {
    if (!ReplaceHostFile(ImageFile(L"faults.txt"), faults_.Serialize())) Log("! cannot write faults.txt");
}

uint32_t Device::OpenSession() {
    std::lock_guard<std::mutex> lock(mutex_);
    uint32_t session = nextSession_++;
    sessions_[session] = true;
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

std::string Device::Describe() {
    std::lock_guard<std::mutex> lock(mutex_);
    EndClosedPrograms();
    std::string text;
    text += "image      " + WideToUtf8(image_) + "\n";
    text += "profile    " + identity_.profile + ": " + WideToUtf8(identity_.platform) + " " +
            std::to_string(identity_.major) + "." + std::to_string(identity_.minor) + ", processor " +
            std::to_string(identity_.processor) + "\n";
    text += "programs   " + WideToUtf8(identity_.programs) + "\n";
    text += "desktop    " + (identity_.desktop.empty() ? std::string("(none)") : WideToUtf8(identity_.desktop)) +
            "\n";
    std::string cards;
    for (const std::wstring &card : cards_) cards += (cards.empty() ? "" : ", ") + WideToUtf8(card);
    text += "cards      " + (cards.empty() ? std::string("(none)") : cards) + "\n";
    for (const Program &program : running_) {
        text += "running    " + WideToUtf8(program.path) + " (window \"" + WideToUtf8(program.windowClass) +
                "\", \"" + WideToUtf8(program.title) + "\")" + (program.endsAt ? ", closing" : "") + "\n";
    }
    std::string faults = faults_.Serialize();
    for (const std::string &line : TextLines(faults)) text += "fault      " + line + "\n";
    text += "\nattributes   size        last written (UTC)   path\n";
    std::vector<std::wstring> pending{L"\\"};
    while (!pending.empty()) {
        std::wstring folder = pending.back();
        pending.pop_back();
        std::vector<FoundEntry> entries = ListFolder(folder, L"*");
        for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
            if (it->item.directory) pending.push_back(JoinDevicePath(folder, it->name));
        }
        for (const FoundEntry &entry : entries) {
            SYSTEMTIME when;
            FILETIME written = FileTimeFrom(entry.item.write);
            FileTimeToSystemTime(&written, &when);
            char line[160];
            snprintf(line, sizeof line, "%08lx %11llu  %04u-%02u-%02u %02u:%02u:%02u  ",
                     static_cast<unsigned long>(entry.item.attributes),
                     static_cast<unsigned long long>(entry.item.size), when.wYear, when.wMonth, when.wDay,
                     when.wHour, when.wMinute, when.wSecond);
            text += line + WideToUtf8(JoinDevicePath(folder, entry.name)) + "\n";
        }
    }
    return text;
}
