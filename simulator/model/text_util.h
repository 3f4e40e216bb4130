// Text helpers of the device: UTF-8 for the image's text files and the log,
// UTF-16 for device names; case-insensitive keys and wildcard matching the
// way the Windows CE object store compares names.
#pragma once

#include <windows.h>
#include <stdint.h>

#include <string>
#include <vector>

std::wstring Utf8ToWide(const std::string &text);
std::string WideToUtf8(const std::wstring &text);
// Upper-cased copy: the object store's names compare without regard to case.
std::wstring CaseKey(const std::wstring &text);
bool SameName(const std::wstring &a, const std::wstring &b);
// `*` matches any run of characters, `?` any one character; case-insensitive.
bool WildcardMatch(const std::wstring &pattern, const std::wstring &name);

// A device name in double quotes, and a number in hexadecimal, for the log.
std::string Quoted(const std::wstring &text);
std::string Hex(uint32_t value);

uint64_t FileTimeValue(const FILETIME &time);
FILETIME FileTimeFrom(uint64_t value);
FILETIME DeviceNow();

// Splits "a<sep>b<sep>c" into its fields (empty fields kept).
std::vector<std::string> SplitFields(const std::string &text, char separator);
// The non-empty lines of a text, without their line ends.
std::vector<std::string> TextLines(const std::string &text);
bool ParseUnsigned(const std::string &text, uint64_t *value);
bool ParseSigned(const std::string &text, int64_t *value);
