// The faults a device can be told to show, kept in the image's faults.txt
// as "name=value" lines so that they survive a restart and another
// cedevice.exe can set them while one serves.
#pragma once

#include <windows.h>
#include <stdint.h>

#include <map>
#include <string>

// How long a program asked to close through CloseApp keeps running (and its
// file in use) unless a fault says otherwise, as a real handheld's reader
// takes a moment to save its place and end.
const int64_t kDefaultCloseDelayMs = 300;

struct DeviceFaults {
    bool refuseStartup = false;
    int64_t dropAfterCalls = -1;  // -1: off
    int64_t dropAfterBytes = -1;  // -1: off
    int64_t capacity = -1;        // bytes main memory may hold; -1: unlimited
    // Storage cards with a capacity of their own, by card name (any case);
    // a card is never counted in `capacity`.
    std::map<std::wstring, int64_t> cardCapacity;
    bool ignoreClose = false;
    DWORD refuseMove = 0;  // error every rename fails with; 0: off
    DWORD refuseRoom = 0;  // error the questions for a store's room fail with; 0: off
    // Error the version read of the networked remote API fails with, the
    // link holding; 0: off. (The pipe's answer to it carries no failure.)
    DWORD refuseVersion = 0;
    DWORD refuseListing = 0;  // error every CeFindAllFiles fails with; 0: off
    int64_t closeDelayMs = kDefaultCloseDelayMs;
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
    // A Windows Mobile device with a password: its user unlocks it on its
    // own screen this long after a desktop asks; -1: off (the desktop
    // sends the password).
    int64_t unlockAfterMs = -1;

    // Sets one fault from its text form; an empty value (or "off") clears
    // it. False and a message for an unknown name or a malformed value.
    bool Set(const std::string &name, const std::string &value, std::string *error);
    // The faults in effect, one "name=value" line each.
    std::string Serialize() const;
    // The capacity of the card of this name; -1 when it has none of its own.
    int64_t CardCapacity(const std::wstring &card) const;
};
