// Small values and helpers the test programs share: file times made from
// tick counts, and the system's own text for an error code.
#pragma once

#include <windows.h>

#include <string>

// 2001-01-01 and one day, in 100-nanosecond ticks.
const ULONGLONG kYear2001 = 126227808000000000ull;
const ULONGLONG kOneDay = 864000000000ull;

inline FILETIME MakeFileTime(ULONGLONG ticks) {
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return time;
}

inline ULONGLONG Ticks(const FILETIME &time) {
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// The system's own text for an error code, as a message box shows it.
inline std::string SystemText(DWORD code) {
    char *text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                   nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char *>(&text), 0,
                   nullptr);
    std::string result = text ? text : "";
    LocalFree(text);
    return result;
}
