// The device as a person reads it (cedevice.exe --list): its identity,
// cards, running programs and faults, the registry, then every file and
// folder.
#include <stdio.h>

#include "model/device.h"
#include "model/device_path.h"
#include "model/text_util.h"

// Every key under the four roots, depth first, each value below its key.
std::string Device::DescribeRegistry() {
    std::string text;
    std::vector<std::wstring> pending;
    for (uint32_t root = 0x80000003u; root >= 0x80000000u; --root) pending.push_back(Registry::RootName(root));
    while (!pending.empty()) {
        const std::wstring key = pending.back();
        pending.pop_back();
        if (KeyHidden(key)) continue;
        const std::vector<std::wstring> names = registry_.SubKeys(key);
        for (auto it = names.rbegin(); it != names.rend(); ++it) pending.push_back(key + L"\\" + *it);
        text += WideToUtf8(key) + "\n";
        for (const RegistryValue &value : ShownValues(key)) {
            text += "    " + (value.name.empty() ? std::string("(default)") : WideToUtf8(value.name)) + " = " +
                    DescribeValue(value) + "\n";
        }
    }
    return text;
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
    uint64_t storeSize = 0, storeFree = 0;
    if (DoGetStoreInformation(&storeSize, &storeFree).ok) {
        text += "memory     main memory " + std::to_string(storeSize / 1024) + " KB, " + std::to_string(storeFree / 1024) +
                " KB free\n";
    }
    std::string cards;
    for (const std::wstring &card : cards_) cards += (cards.empty() ? "" : ", ") + WideToUtf8(card);
    text += "cards      " + (cards.empty() ? std::string("(none)") : cards) + "\n";
    for (const Program &program : running_) {
        text += "running    " + WideToUtf8(program.path) + " (window \"" + WideToUtf8(program.windowClass) +
                "\", \"" + WideToUtf8(program.title) + "\")" + (program.endsAt ? ", closing" : "") + "\n";
    }
    std::string faults = faults_.Serialize();
    for (const std::string &line : TextLines(faults)) text += "fault      " + line + "\n";
    text += "\nregistry\n" + DescribeRegistry();
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
