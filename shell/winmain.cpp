// The Windows entry point of setup.exe: everything happens in SetupMain.
#include "shell/setup_main.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showCommand) {
    return SetupMain(instance, previous, commandLine, showCommand);
}
