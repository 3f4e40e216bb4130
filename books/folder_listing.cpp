#include "books/folder_listing.h"

#include <string.h>

#include <set>

#include "books/book_paths.h"
#include "device/rapi.h"
#include "base/setup_state.h"

namespace {

// What a copy's age test and the room it needs depend on.
const DWORD kListedFields = FAF_NAME | FAF_ATTRIBUTES | FAF_LASTWRITE_TIME | FAF_SIZE_HIGH | FAF_SIZE_LOW;

// The name as the listing keys it: upper case, as the device folds it.
std::wstring NameKey(std::wstring name) {
    if (!name.empty()) CharUpperBuffW(&name[0], static_cast<DWORD>(name.size()));
    return name;
}

}  // namespace

bool ListDeviceFolder(const char *folder, FolderListing *listing) {
    listing->files.clear();
    listing->folder = folder;
    listing->connection = g_setup.connections;
    char pattern[kDevicePathChars];
    wchar_t wide[kDevicePathChars];
    if (!JoinDevicePath(pattern, folder, "*") || !MultiByteToWideChar(CP_ACP, 0, pattern, -1, wide, kDevicePathChars)) {
        return false;
    }
    DWORD count = 0;
    CE_FIND_DATA *found = nullptr;
    if (!CeFindAllFiles(wide, kListedFields, &count, &found)) return false;
    std::set<std::wstring> twice;
    for (DWORD i = 0; found && i < count; ++i) {
        const CE_FIND_DATA &entry = found[i];
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        // The record's name ends within it, whatever the device sent.
        const std::wstring key = NameKey(std::wstring(entry.cFileName, wcsnlen(entry.cFileName, MAX_PATH)));
        const ListedFile file{(static_cast<uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow,
                              entry.ftLastWriteTime};
        if (!listing->files.emplace(key, file).second) twice.insert(key);
    }
    if (found) CeRapiFreeBuffer(found);
    for (const std::wstring &key : twice) listing->files.erase(key);
    return true;
}

const ListedFile *FindListed(const FolderListing &listing, const char *name) {
    wchar_t wide[kDevicePathChars];
    if (!MultiByteToWideChar(CP_ACP, 0, name, -1, wide, kDevicePathChars)) return nullptr;
    const auto found = listing.files.find(NameKey(wide));
    return found == listing.files.end() ? nullptr : &found->second;
}

void KeepListingOnlyOf(FolderListing *listing, const char *folder) {
    if (listing->connection != g_setup.connections || _stricmp(listing->folder.c_str(), folder) != 0) {
        listing->files.clear();
    }
}

void ForgetListed(FolderListing *listing, const char *name) {
    wchar_t wide[kDevicePathChars];
    // A name that cannot be converted cannot be found either.
    if (MultiByteToWideChar(CP_ACP, 0, name, -1, wide, kDevicePathChars)) listing->files.erase(NameKey(wide));
}
