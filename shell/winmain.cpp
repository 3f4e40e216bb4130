// The Windows entry point of setup.exe: everything happens in SetupMain.
#include "device/rapi_loader.h"
#include "shell/setup_main.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showCommand) {
    RestrictLibrarySearch();
    return SetupMain(instance, previous, commandLine, showCommand);
}
