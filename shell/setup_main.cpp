#include "shell/setup_main.h"
#include "shell/setup_state.h"
int SetupMain(HINSTANCE instance, HINSTANCE, LPSTR, int) { g_setup.instance = instance; return 0; }
