// Device paths: absolute, "\" separated, compared without regard to case.
// Every path a client sends is brought to one canonical form before it
// touches the image, and anything that could step outside the store (".."),
// or that the host would store under another name, is refused.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Canonical form: "\" for the root, otherwise "\a\b" with no empty, "." or
// ".." parts. Returns 0, or the Windows error the device gives for the path
// (ERROR_INVALID_NAME, ERROR_BAD_PATHNAME, ERROR_FILENAME_EXCED_RANGE).
// With allowWildcards, the last part may hold `*` and `?`.
DWORD NormalizeDevicePath(const std::wstring &path, bool allowWildcards, std::wstring *canonical);

// "\a\b\c" -> "\a\b" and "c"; "\a" -> "\" and "a"; "\" -> "\" and "".
void SplitDevicePath(const std::wstring &canonical, std::wstring *parent, std::wstring *name);
std::wstring JoinDevicePath(const std::wstring &folder, const std::wstring &name);
// The parts of a canonical path ("\" has none).
std::vector<std::wstring> DevicePathParts(const std::wstring &canonical);
bool HasWildcards(const std::wstring &name);
