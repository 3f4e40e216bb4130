#include "model/profiles.h"

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
    // Windows Mobile 5 and 6 Pocket PCs keep the Pocket PC's name in
    // Ident\OrigName; their ARM processors report StrongARM's type.
    {"wm5ppc", L"Pocket_PC", 5, 1, 14847, 2577, kPocketPrograms, L"", L"Storage Card"},
    {"wm6ppc", L"Pocket_PC", 5, 2, 17740, 2577, kPocketPrograms, L"", L"Storage Card"},
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

namespace {

// Memory: a handheld's RAM was split between the object store (main
// memory, where files live) and programs; the figures are those of devices
// of each kind (README, "Profiles"): 32 MB of RAM for the Pocket PC and
// Handheld PC 2000 generation, 16 MB for the H/PC Pro and palm-size PC
// generation, half of it the store; 32 and 64 MB stores for Windows Mobile
// 5 and 6, which keep it in flash.
const DWORD kMegabyte = 1024 * 1024;
const DeviceStatus kStatuses[] = {
    {"pocketpc", L"PocketPC", L"Simulated Pocket PC", L"", 1, 1, 1 | 8, 96, 4096, 4096, 4096, 2 * kMegabyte},
    {"hpc2000", L"HPC2000", L"Simulated Handheld PC 2000", L"", 1, 1, 1 | 8, 92, 4096, 4096, 4096, 2 * kMegabyte},
    {"hpcpro", L"HPCPro", L"Simulated H/PC Pro", L"", 1, 1, 1 | 8, 88, 2048, 2048, 4096, kMegabyte},
    {"teshsize", L"TeshSize", L"Simulated Tesh-size PC", L"", 1, 1, 1 | 8, 90, 2048, 2048, 4096, kMegabyte},
    {"emulator", L"Emulator", L"Pocket PC Emulator", L"", 1, 1, 1, 100, 4096, 4096, 4096, 2 * kMegabyte},
    {"wm5ppc", L"Pocket_PC", L"Simulated Windows Mobile 5 Pocket PC", L"PocketPC", 2, 1, 1 | 8, 94, 8192, 8192, 4096,
     4 * kMegabyte},
    {"wm6ppc", L"Pocket_PC", L"Simulated Windows Mobile 6 Pocket PC", L"PocketPC", 2, 1, 1 | 8, 98, 16384, 8192, 4096,
     4 * kMegabyte},
};

}  // namespace

const DeviceStatus &StatusOfProfile(const std::string &name) {
    for (const DeviceStatus &status : kStatuses) {
        if (name == status.profile) return status;
    }
    return kStatuses[0];
}
