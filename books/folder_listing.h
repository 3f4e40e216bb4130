// A device folder's files from one listing: each file's size and last-write
// time by name, so that planning the copies into the folder asks the device
// nothing per file.
#pragma once

#include <windows.h>
#include <stdint.h>

#include <map>
#include <string>

struct ListedFile {
    uint64_t bytes;
    FILETIME lastWrite;
};

// Files by name, compared without regard to case as the device compares
// them. Folders are left out, and so is a name listed twice: neither is a
// file that a copy can be compared with.
struct FolderListing {
    std::map<std::wstring, ListedFile> files;
    // The folder listed, and the connection it was listed in.
    std::string folder;
    LONG connection = 0;
};

// Lists the files of folder (an ANSI device path ending in "\") in one
// call. False, with nothing listed, when the listing fails or the remote
// API has none: every file then counts as absent, and its copy in full.
bool ListDeviceFolder(const char *folder, FolderListing *listing);

// The listed file of this ANSI name; nullptr when the listing does not
// show one.
const ListedFile *FindListed(const FolderListing &listing, const char *name);

// Empties the listing unless it is of folder and was made in the current
// connection: the device listed may have been pulled and another docked.
void KeepListingOnlyOf(FolderListing *listing, const char *folder);

// Drops the file of this ANSI name from the listing: once it has been
// written or deleted since, the listing no longer tells what it holds.
void ForgetListed(FolderListing *listing, const char *name);
