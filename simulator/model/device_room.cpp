// The room of the device's stores: main memory (the object store, of the
// profile's size or the capacity fault's) and the storage cards. A card is a medium of its
// own, as on a real handheld: main memory's capacity never counts it, and
// it is limited only by its own capacity (the card_capacity fault), or
// else by the host disk.
#include <algorithm>

#include "model/device.h"
#include "model/device_path.h"
#include "model/host_files.h"
#include "model/profiles.h"

namespace {

// The first part of a canonical path: its card's root when it is on a card.
std::wstring RootFolderOf(const std::wstring &canonical) {
    std::vector<std::wstring> parts = DevicePathParts(canonical);
    return parts.empty() ? std::wstring() : L"\\" + parts[0];
}

uint64_t RoomLeft(uint64_t capacity, uint64_t used) { return used < capacity ? capacity - used : 0; }

}  // namespace

int64_t Device::CardCapacityOf(const std::wstring &canonical) {
    if (!IsOnCard(canonical)) return -1;
    return faults_.CardCapacity(RootFolderOf(canonical).substr(1));
}

uint64_t Device::CardUsedBytes(const std::wstring &canonical) { return HostTreeBytes(HostPath(RootFolderOf(canonical))); }

// Main memory's bytes: everything but the cards.
uint64_t Device::UsedBytes() {
    if (!usedKnown_) {
        used_ = HostTreeBytes(storeRoot_);
        for (const std::wstring &card : cards_) used_ -= std::min(used_, CardUsedBytes(L"\\" + card));
        usedKnown_ = true;
    }
    return used_;
}

bool Device::IsOnCard(const std::wstring &canonical) {
    const std::wstring root = RootFolderOf(canonical);
    return !root.empty() && IsCardRoot(root);
}

bool Device::HasRoomFor(const std::wstring &canonical, uint64_t growth) {
    if (IsOnCard(canonical)) {
        const int64_t card = CardCapacityOf(canonical);
        return card < 0 || CardUsedBytes(canonical) + growth <= static_cast<uint64_t>(card);
    }
    return UsedBytes() + growth <= MainMemoryCapacity();
}

// What main memory holds of files: the capacity fault's figure, else the
// profile's store less what the device's own files take.
uint64_t Device::MainMemoryCapacity() const {
    if (faults_.capacity >= 0) return static_cast<uint64_t>(faults_.capacity);
    const DeviceStatus &status = DoGetStatus();
    const uint64_t store = StoreBytes(status);
    return store > status.systemBytes ? store - status.systemBytes : 0;
}

// The object store's size and free space: the capacity fault's figure,
// else the profile's store, of which the device's own files take a part.
Device::Result Device::DoGetStoreInformation(uint64_t *size, uint64_t *free) {
    if (faults_.refuseRoom) return Fail(faults_.refuseRoom);
    *size = faults_.capacity >= 0 ? static_cast<uint64_t>(faults_.capacity) : StoreBytes(DoGetStatus());
    *free = RoomLeft(MainMemoryCapacity(), UsedBytes());
    return Done(std::to_string(*free) + " of " + std::to_string(*size) + " bytes free");
}

Device::Result Device::DoGetDiskFreeSpace(const std::wstring &folder, uint64_t *free, uint64_t *total) {
    *free = *total = 0;
    if (faults_.refuseRoom) return Fail(faults_.refuseRoom);
    // A folder may be named with its trailing separator, as on the desktop.
    std::wstring path = folder;
    if (path.size() > 1 && path.back() == L'\\') path.pop_back();
    std::wstring canonical;
    DWORD error = NormalizeDevicePath(path, false, &canonical);
    if (error) return Fail(error);
    const Item item = LookUp(canonical);
    if (!item.exists) return Fail(MissingError(canonical));
    if (!item.directory) return Fail(ERROR_DIRECTORY);
    if (!IsOnCard(canonical)) return DoGetStoreInformation(total, free);
    const std::wstring root = RootFolderOf(canonical);
    const int64_t capacity = CardCapacityOf(canonical);
    const uint64_t used = CardUsedBytes(canonical);
    if (capacity >= 0) {
        *total = static_cast<uint64_t>(capacity);
        *free = RoomLeft(*total, used);
    } else {
        ULARGE_INTEGER available{};
        if (!GetDiskFreeSpaceExW(HostPath(root).c_str(), &available, nullptr, nullptr)) return Fail(GetLastError());
        *free = available.QuadPart;
        *total = used + *free;
    }
    return Done(std::to_string(*free) + " of " + std::to_string(*total) + " bytes free");
}
