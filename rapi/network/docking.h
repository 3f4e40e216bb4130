// What the docking of both protocols shares: the deadline a docking device
// has for its whole greeting, and the one box at a time that tells the user
// what to do about it (a password to give, a device to unlock): one box of
// each kind at a time.
#pragma once

#include <winsock2.h>
#include <windows.h>

namespace netdock {

// How long a docking device may take over its whole greeting: its words
// and information block, the verdict on its password, and the opening of
// its remote API port.
const DWORD kGreetingMs = 10000;

// What a message to the user is about: a password (needed or refused),
// or a device to unlock on its own screen.
enum class Box { kPassword, kUnlock };

// Shows a message about the device to the user, in a box of its own
// thread so that the listener keeps listening; at most one box of each
// kind at a time. False, with nothing shown, while the last box of that
// kind is still up.
bool TellUser(const wchar_t *text, Box kind = Box::kPassword);
// True while a box of that kind is up.
bool BoxShown(Box kind = Box::kPassword);

}  // namespace netdock
