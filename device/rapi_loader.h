// How setup.exe finds libraries: rapi.dll only in the system folder
// (rapi_loader.cpp), and nothing from the current directory.
#pragma once

#include <windows.h>

// Takes the current directory (and, where Windows can, the program's own
// folder) out of the search for libraries loaded without a full path. Call
// it first, before any library is loaded. Each step is taken only where
// this Windows has it, so Windows 2000 and XP start as before.
void RestrictLibrarySearch();
