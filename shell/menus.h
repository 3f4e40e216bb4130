// The two menus of the program. Each returns the identifier of the chosen
// button, or 0 for leaving the menu.
#pragma once

// Main menu (template 108): 0 (Exit, confirmed), IDC_INSTALL_BOOK or
// IDC_OTHER_OPTIONS.
int ShowMainMenu();

// Other Options menu (template 110): 0 (Back) or the action's button.
int ShowOtherOptions();
