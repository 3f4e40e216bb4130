// Installs or updates the reader application on the connected device, and
// starts it there.
#pragma once

#include <windows.h>

// Install Reader, Update Reader, and the reader step of Install Book.
// Always 0: it reports its own problems to the user.
int InstallReader();
// Starts the installed reader on the device; the result of the start.
BOOL LaunchReader();
