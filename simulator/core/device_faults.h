// The faults a device can be told to show, kept in the image's faults.txt
// as "name=value" lines so that they survive a restart and another
// cedevice.exe can set them while one serves.
#pragma once

#include <windows.h>
#include <stdint.h>

#include <string>

struct DeviceFaults {
    bool refuseStartup = false;
    int64_t dropAfterCalls = -1;  // -1: off
    int64_t dropAfterBytes = -1;  // -1: off
    int64_t capacity = -1;        // bytes the store may hold; -1: unlimited
    bool ignoreClose = false;
    bool noIdent = false;
    bool hasOrigName = false;
    std::wstring origName;
    std::string origNameType = "string";  // string, dword, missing
    bool specialFolderFail = false;
    bool hasInvokeResult = false;
    int32_t invokeResult = 0;
    bool hasVersion = false;
    DWORD major = 0;
    DWORD minor = 0;
    bool hasProcessor = false;
    DWORD processor = 0;
    std::wstring password;  // asked for on the network ports; empty: none

    // Sets one fault from its text form; an empty value (or "off") clears
    // it. False and a message for an unknown name or a malformed value.
    bool Set(const std::string &name, const std::string &value, std::string *error);
    // The faults in effect, one "name=value" line each.
    std::string Serialize() const;
};
