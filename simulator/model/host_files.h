// Host file helpers for the image folder (wide names throughout: device
// names such as "Tesh™ Reader.lnk" end up as host file names).
#pragma once

#include <windows.h>

#include <string>

bool ReadHostFile(const std::wstring &path, std::string *content);
// Writes a file in place (used for device file contents).
bool WriteHostFile(const std::wstring &path, const std::string &content);
// Replaces a file as a whole: a temporary file beside it, then a rename, so
// a reader (or a killed writer) never sees it half written.
bool ReplaceHostFile(const std::wstring &path, const std::string &content);
// Deletes a folder and everything in it.
bool DeleteHostTree(const std::wstring &path);
// Total size of the files under a folder.
unsigned long long HostTreeBytes(const std::wstring &path);
// Full path of a host path (relative to the current directory).
std::wstring FullHostPath(const std::wstring &path);
bool HostFolderExists(const std::wstring &path);
