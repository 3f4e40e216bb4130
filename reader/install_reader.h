// Installs or updates the reader application on the connected device, and
// starts it there.
#pragma once

#include <windows.h>

// Install Reader and Update Reader. Always 0: it reports its own problems
// to the user, a lost link in one box that says to dock and choose again.
int InstallReader();
// The reader step of Install Book: InstallReader, but a link lost on the
// way is left for the caller to say in the words of its action. False
// then, with the connection forgotten; true otherwise (problems of the
// reader itself, and a connection that could not be made, are said).
bool BringReaderUpToDate();
// Starts the installed reader on the device; the result of the start.
BOOL LaunchReader();
