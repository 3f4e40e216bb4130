// The built-in device profiles an image is created from.
#pragma once

#include <windows.h>
#include <stdint.h>

#include <string>

struct DeviceProfile {
    const char *name;
    const wchar_t *platform;  // registry HKLM\Ident value OrigName
    DWORD major;
    DWORD minor;
    DWORD build;
    DWORD processor;           // SYSTEM_INFO dwProcessorType
    const wchar_t *programs;   // CSIDL_PROGRAMS
    const wchar_t *desktop;    // CSIDL_DESKTOP; empty: the platform has none
    const wchar_t *card;       // storage card inserted at creation; empty: none
};

// nullptr for an unknown name.
const DeviceProfile *FindProfile(const std::string &name);
// "pocketpc, hpc2000, ..." for messages.
std::string ProfileNames();
// The processor architecture code a processor type belongs to.
WORD ArchitectureOfProcessor(DWORD processor);

// What a docked device of a profile tells of itself beyond its identity:
// the names it gives the desktop, and fixed battery and memory figures.
struct DeviceStatus {
    const char *profile;
    const wchar_t *deviceName;
    const wchar_t *model;
    // The platform the device names when it docks; empty: its OrigName.
    // (Windows Mobile devices say "PocketPC" there, whatever OrigName holds.)
    const wchar_t *platformType;
    // The remote API generation it speaks on a network: 1 for CE 3.x/4.x
    // (the desktop calls the device), 2 for Windows Mobile 5/6 (the device
    // calls the desktop and opens each session itself).
    int remoteApi;
    BYTE acLineStatus;    // 1: on the cradle's power
    BYTE batteryFlag;     // 1: high, 8: charging
    BYTE batteryPercent;
    DWORD storagePages;   // memory given to the object store: main memory's size
    DWORD ramPages;       // memory given to programs
    DWORD pageSize;
    // Of the object store, what a new device's own files and databases
    // (registry, contacts, the Start menu's shortcuts) already take.
    DWORD systemBytes;
};
// Main memory's size: the pages given to the object store.
inline uint64_t StoreBytes(const DeviceStatus &status) {
    return static_cast<uint64_t>(status.storagePages) * status.pageSize;
}
// The status of a profile (the first profile's for an unknown name).
const DeviceStatus &StatusOfProfile(const std::string &name);
