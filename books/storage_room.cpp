#include "books/storage_room.h"

#include <stdio.h>
#include <string.h>

#include "books/book_paths.h"
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

// One planned copy of hostPath to devicePath: the copy's own age test, read
// from the device's listing of the file. A device file that cannot be
// listed is taken as absent, so its copy counts in full.
bool PlanCopy(const char *hostPath, const char *devicePath, bool always, PlannedCopy *copy) {
    FILETIME hostWrite{};
    if (!ReadHostFile(hostPath, &copy->bytes, &hostWrite)) return false;
    copy->target = devicePath;
    copy->always = always;
    copy->upToDate = false;
    copy->replaces = 0;
    wchar_t wide[kDevicePathChars];
    if (!MultiByteToWideChar(CP_ACP, 0, devicePath, -1, wide, kDevicePathChars)) return true;
    CE_FIND_DATA found;
    HANDLE search = CeFindFirstFile(wide, &found);
    if (search == INVALID_HANDLE_VALUE) return true;
    CeFindClose(search);
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return true;
    copy->replaces = (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
    copy->upToDate = CompareFileTime(&hostWrite, &found.ftLastWriteTime) <= 0;
    return true;
}

// The reader's two files, when this run installs them into main memory:
// the reader goes there whatever location the books go to.
void PlanReaderCopies(std::vector<PlannedCopy> *copies) {
    if (strcmp(g_setup.storageRoot, "\\") != 0) return;
    const ReaderVariant variant =
        SelectReaderVariant(static_cast<DWORD>(QueryProcessorType()), g_setup.PlatformCode);
    if (variant.refused) return;
    const std::string reader = HostPath(g_setup.setupFolder, variant.readerVariantFile);
    const std::string helper = HostPath(g_setup.setupFolder, variant.helperVariantFile);
    PlannedCopy copy;
    // Without its reader file the installation stops before either copy.
    if (!PlanCopy(reader.c_str(), kDeviceReaderPathAnsi, false, &copy)) return;
    PlannedCopy helperCopy;
    if (PlanCopy(helper.c_str(), kDeviceHelperPathAnsi, false, &helperCopy)) copies->push_back(helperCopy);
    copies->push_back(copy);
}

// The pending books, in list order, as the transfer copies them.
void PlanBookCopies(PendingBookList **list, std::vector<PlannedCopy> *copies) {
    char folder[kDevicePathChars];
    if (!JoinDevicePath(folder, g_setup.storageRoot, kBookFolderUnderRoot)) return;
    for (PendingBookNode *node = (*list)->first; node; node = node->next) {
        const char *name = static_cast<const char *>(node->item);
        const bool newspaper = IsNewspaperIssue(name);
        char target[kDevicePathChars];
        if (!JoinDevicePath(target, folder, newspaper ? kNewspaperIssue : name)) continue;
        PlannedCopy copy;
        if (PlanCopy(HostPath(g_setup.bookFolder, name).c_str(), target, newspaper, &copy)) copies->push_back(copy);
    }
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
// user is told what they need and what there is.
bool ChosenBooksFit(PendingBookList **list) {
    std::vector<PlannedCopy> copies;
    PlanReaderCopies(&copies);
    PlanBookCopies(list, &copies);
    const uint64_t needed = RoomNeeded(copies);
    uint64_t free = 0;
    if (needed == 0 || !ReadFreeRoom(&free) || needed <= free) return true;
    char text[512];
    snprintf(text, sizeof text, kTextBooksDoNotFitFormat, RoomText(needed, true).c_str(),
             LocationName().c_str(), RoomText(free, false).c_str());
    ShowMessage(text, kCaptionSetup, MB_OK | MB_ICONWARNING);
    return false;
}

}  // namespace

int ChooseStorageWithRoom(PendingBookList **list) {
    for (;;) {
        const int storage = RunStorageSelection();
        if (storage != 1 || ChosenBooksFit(list)) return storage;
        // No card: the storage page was never shown, and only fewer books help.
        if (CountStorageLocations() < 2) return -1;
    }
}
