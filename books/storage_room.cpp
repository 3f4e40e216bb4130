#include "books/storage_room.h"

#include <stdio.h>
#include <string.h>

#include "books/book_paths.h"
#include "books/folder_listing.h"
#include "books/room_needed.h"
#include "books/storage_selection.h"
#include "device/identification.h"
#include "device/rapi.h"
#include "reader/variant_selection.h"
#include "resources/texts.h"
#include "base/message_box.h"
#include "base/setup_state.h"

namespace {

// folder + "\" + name, for a host file.
std::string HostPath(const char *folder, const char *name) {
    std::string path = folder;
    if (!path.empty() && path.back() != '\\') path += '\\';
    return path + name;
}

// A host file's size and last-write time; false when it cannot be opened,
// in which case the copy will not write it either.
bool ReadHostFile(const char *path, uint64_t *bytes, FILETIME *lastWrite) {
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size{};
    const bool read = GetFileSizeEx(file, &size) && GetFileTime(file, nullptr, nullptr, lastWrite);
    CloseHandle(file);
    *bytes = static_cast<uint64_t>(size.QuadPart);
    return read;
}

// The device file at path, as its folder (up to the last "\") and its name.
struct DeviceFile {
    std::string folder;
    std::string name;
};

DeviceFile SplitDeviceFile(const char *path) {
    const char *name = strrchr(path, '\\');
    name = name ? name + 1 : path;
    return {std::string(path, name), name};
}

// One planned copy of hostPath to the file `name` of a device folder: the
// copy's own age test, worked out from the folder's listing. A file the
// listing does not show is taken as absent, so its copy counts in full.
bool PlanCopy(const char *hostPath, const char *devicePath, const char *name, const FolderListing &listing,
              bool always, PlannedCopy *copy) {
    FILETIME hostWrite{};
    if (!ReadHostFile(hostPath, &copy->bytes, &hostWrite)) return false;
    copy->target = devicePath;
    copy->always = always;
    copy->upToDate = false;
    copy->replaces = 0;
    const ListedFile *found = FindListed(listing, name);
    if (!found) return true;
    copy->replaces = found->bytes;
    copy->upToDate = CompareFileTime(&hostWrite, &found->lastWrite) <= 0;
    return true;
}

// The reader variant this run installs into main memory, when the books go
// there too (the reader goes there whatever location the books go to);
// refused when it does not count.
ReaderVariant ReaderInThisStore() {
    const ReaderVariant none{nullptr, nullptr, true};
    if (strcmp(g_setup.storageRoot, "\\") != 0) return none;
    return SelectReaderVariant(static_cast<DWORD>(QueryProcessorType()), g_setup.PlatformCode);
}

// The reader's two files, from the listing of their device folder.
void PlanReaderCopies(const ReaderVariant &variant, const FolderListing &installFolder,
                      std::vector<PlannedCopy> *copies) {
    if (variant.refused) return;
    const std::string reader = HostPath(g_setup.setupFolder, variant.readerVariantFile);
    const std::string helper = HostPath(g_setup.setupFolder, variant.helperVariantFile);
    PlannedCopy copy;
    // Without its reader file the installation stops before either copy.
    if (!PlanCopy(reader.c_str(), kDeviceReaderPathAnsi, SplitDeviceFile(kDeviceReaderPathAnsi).name.c_str(),
                  installFolder, false, &copy)) {
        return;
    }
    PlannedCopy helperCopy;
    if (PlanCopy(helper.c_str(), kDeviceHelperPathAnsi, SplitDeviceFile(kDeviceHelperPathAnsi).name.c_str(),
                 installFolder, false, &helperCopy)) {
        copies->push_back(helperCopy);
    }
    copies->push_back(copy);
}

// The pending books, in list order, as the transfer copies them into the
// book folder, from its listing.
void PlanBookCopies(PendingBookList **list, const char *folder, const FolderListing &bookFolder,
                    std::vector<PlannedCopy> *copies) {
    for (PendingBookNode *node = (*list)->first; node; node = node->next) {
        const char *name = static_cast<const char *>(node->item);
        const bool newspaper = IsNewspaperIssue(name);
        const char *deviceName = newspaper ? kNewspaperIssue : name;
        char target[kDevicePathChars];
        if (!JoinDevicePath(target, folder, deviceName)) continue;
        PlannedCopy copy;
        if (PlanCopy(HostPath(g_setup.bookFolder, name).c_str(), target, deviceName, bookFolder, newspaper, &copy)) {
            copies->push_back(copy);
        }
    }
}

// The room the reader (when it counts) and the pending books need, from the
// listings of their two folders.
uint64_t RoomForCopies(PendingBookList **list, const ReaderVariant &reader, const FolderListing &installFolder,
                       const char *bookFolder, const FolderListing &books) {
    std::vector<PlannedCopy> copies;
    PlanReaderCopies(reader, installFolder, &copies);
    PlanBookCopies(list, bookFolder, books, &copies);
    return RoomNeeded(copies);
}

// The free room of the chosen location; false when the device does not say.
bool ReadFreeRoom(uint64_t *free) {
    if (strcmp(g_setup.storageRoot, "\\") == 0) {
        STORE_INFORMATION store{};
        if (!CeGetStoreInformation(&store)) return false;
        *free = store.dwFreeSize;
        return true;
    }
    wchar_t root[kDevicePathChars];
    ULARGE_INTEGER available{}, total{}, totalFree{};
    if (!MultiByteToWideChar(CP_ACP, 0, g_setup.storageRoot, -1, root, kDevicePathChars) ||
        !CeGetDiskFreeSpaceEx(root, &available, &total, &totalFree)) {
        return false;
    }
    *free = available.QuadPart;
    return true;
}

// "Main Memory", or the card's name: storageRoot without its separators.
std::string LocationName() {
    const std::string root = g_setup.storageRoot;
    if (root.size() <= 2) return kTextMainMemory;
    return root.substr(1, root.size() - 2);
}

// True when the copies fit, or their room cannot be learnt; otherwise the
// user is told what they need and what there is. The device is asked a
// fixed number of times, whatever the number of books: the processor (when
// the reader counts), one listing of the book folder and the free room. The
// reader's files count in full at first; only when the books do not fit
// even so is the reader's folder listed too, for the exact figure. The
// book folder's listing stays in *books, where the transfer finds the
// books that are current without asking the device again.
bool ChosenBooksFit(PendingBookList **list, FolderListing *books) {
    const ReaderVariant reader = ReaderInThisStore();
    char folder[kDevicePathChars];
    if (!JoinDevicePath(folder, g_setup.storageRoot, kBookFolderUnderRoot)) return true;
    FolderListing installFolder;
    ListDeviceFolder(folder, books);
    uint64_t needed = RoomForCopies(list, reader, installFolder, folder, *books);
    uint64_t free = 0;
    if (needed == 0 || !ReadFreeRoom(&free) || needed <= free) return true;
    if (!reader.refused && ListDeviceFolder(SplitDeviceFile(kDeviceReaderPathAnsi).folder.c_str(), &installFolder)) {
        needed = RoomForCopies(list, reader, installFolder, folder, *books);
        if (needed <= free) return true;
    }
    char text[512];
    snprintf(text, sizeof text, kTextBooksDoNotFitFormat, RoomText(needed, true).c_str(),
             LocationName().c_str(), RoomText(free, false).c_str());
    ShowMessage(text, kCaptionSetup, MB_OK | MB_ICONWARNING);
    return false;
}

}  // namespace

int ChooseStorageWithRoom(PendingBookList **list, FolderListing *bookFolder) {
    for (;;) {
        const int storage = RunStorageSelection();
        if (storage != 1 || ChosenBooksFit(list, bookFolder)) return storage;
        // No card: the storage page was never shown, and only fewer books help.
        if (CountStorageLocations() < 2) return -1;
    }
}
