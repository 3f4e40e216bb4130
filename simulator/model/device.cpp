// The device's image folder: reading each piece of state from it, and
// writing each back when it changes. Creating and loading an image is in
// device_create.cpp, sessions and handles in device_items.cpp, the listing
// for cedevice.exe --list in device_listing.cpp; faults, cards, programs
// and direct access from outside a session in device_access.cpp.
#include "model/device.h"

#include "model/device_path.h"
#include "model/host_files.h"
#include "model/text_util.h"

namespace {

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

}  // namespace

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

