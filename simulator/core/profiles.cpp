#include "core/profiles.h"

namespace {

const wchar_t kPocketPrograms[] = L"\\Windows\\Start Menu\\Programs";
const wchar_t kHandheldPrograms[] = L"\\Windows\\Programs";
const wchar_t kHandheldDesktop[] = L"\\Windows\\Desktop";

const DeviceProfile kProfiles[] = {
    {"pocketpc", L"Pocket_PC", 3, 0, 9348, 2577, kPocketPrograms, L"", L"Storage Card"},
    {"hpc2000", L"Handheld_PC", 3, 0, 9348, 4000, kHandheldPrograms, kHandheldDesktop, L"CF Card"},
    {"hpcpro", L"Handheld_PC", 2, 11, 1999, 10003, kHandheldPrograms, kHandheldDesktop, L""},
    {"teshsize", L"Tesh-size_PC", 2, 11, 1999, 4000, kPocketPrograms, L"", L""},
    {"emulator", L"Pocket_PC", 3, 0, 9348, 586, kPocketPrograms, L"", L""},
};

}  // namespace

const DeviceProfile *FindProfile(const std::string &name) {
    for (const DeviceProfile &profile : kProfiles) {
        if (name == profile.name) return &profile;
    }
    return nullptr;
}

std::string ProfileNames() {
    std::string names;
    for (const DeviceProfile &profile : kProfiles) {
        if (!names.empty()) names += ", ";
        names += profile.name;
    }
    return names;
}

WORD ArchitectureOfProcessor(DWORD processor) {
    switch (processor) {
    case 4000:  // MIPS R4000
        return 1;   // PROCESSOR_ARCHITECTURE_MIPS
    case 10003:  // SH3
    case 10004:
    case 10005:  // SH4
        return 4;   // PROCESSOR_ARCHITECTURE_SHX
    case 2577:  // StrongARM
    case 1824:
    case 2080:
        return 5;   // PROCESSOR_ARCHITECTURE_ARM
    default:
        return 0;   // PROCESSOR_ARCHITECTURE_INTEL (386, 486, 586)
    }
}
