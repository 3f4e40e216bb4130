#include "shell/setup_state.h"

SetupState g_setup;
