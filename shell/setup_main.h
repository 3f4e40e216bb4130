// Program entry and the two menus.
#pragma once

#include <windows.h>

// Runs the whole program; returns the process exit code (always 0).
int SetupMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showCommand);
